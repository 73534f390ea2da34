#!/usr/bin/env python3
"""Benchmark `quillmark check` against its floor: SHA-256 of the same fonts.

    python bench/check.py [--fonts PATH ...] [--rounds N] [--no-cli]

A validator must hash every byte of a font once; that is the floor, and it is what this measures
`check` against. The corpus: the sample font, every DejaVu face installed, Noto Sans and
Liberation Sans where installed, and the first face of Noto Sans CJK (a 16 MB CFF font, extracted
from Debian's collection with fontTools) when it is installed; or the fonts named by --fonts.

Every font is signed first, by the engine, with a throwaway CA made for the run (the example's:
examples/sign_font.py): once by box hash, once by data hash. Then, each the best of --rounds
rounds (a shared machine's bursts of other work last seconds):
- sha256: hashlib.sha256 over every font, one thread, then two threads sharing the list;
- validate: quillmark_c2pa.validation over every signed font, one thread, then two threads (the
  hashing releases the GIL; the rest of validation does not);
- checksums: the SFNT checksum warnings `check` adds (quillmark_c2pa.sfnt.checksum_problems);
- the command line: `quillmark check -q -j 1` and `-j 2` over the folder of signed fonts, the
  whole process (start-up included), against the same folder hashed by `sha256sum`.

Results are printed as a Markdown table and written to bench/out/check.json.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import io
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable, Sequence

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
SAMPLE = ROOT / "examples" / "fonts" / "QuillSample-Regular.ttf"
REAL = [
    Path("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf"),
    Path("/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf"),
]
DEJAVU = Path("/usr/share/fonts/truetype/dejavu")
CJK_COLLECTION = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")
TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")


def corpus(work: Path) -> dict[str, list[Path]]:
    """The fonts by group: "real" (the sample, DejaVu, Noto, Liberation) and "cjk"."""
    real = [SAMPLE, *sorted(DEJAVU.glob("*.ttf")), *[p for p in REAL if p.exists()]]
    groups = {"real": real}
    if CJK_COLLECTION.exists():
        from fontTools.ttLib import TTCollection

        face = work / "NotoSansCJK-Regular.otf"
        buffer = io.BytesIO()
        TTCollection(str(CJK_COLLECTION)).fonts[0].save(buffer)
        face.write_bytes(buffer.getvalue())
        groups["cjk"] = [face]
    return groups


def credentials(folder: Path) -> tuple:
    """A signer and the CA that trusts it, made by the example's own function."""
    found = importlib.util.spec_from_file_location("sign_font", ROOT / "examples" / "sign_font.py")
    assert found is not None and found.loader is not None
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    example.make_credentials(folder)
    from quillmark_c2pa import PemSigner

    signer = PemSigner.from_files(folder / "signer-key.pem", folder / "signer-chain.pem")
    return signer, folder / "ca.pem"


def best(rounds: int, run: Callable[[], None]) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def over(fonts: Sequence[bytes], job: Callable[[bytes], object], threads: int) -> Callable[[], None]:
    if threads == 1:
        return lambda: [job(f) for f in fonts] and None
    pool = ThreadPoolExecutor(threads)
    return lambda: list(pool.map(job, fonts)) and None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fonts", nargs="+", type=Path, help="fonts to use instead of the corpus")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-cli", action="store_true", help="measure the engine only")
    args = parser.parse_args()

    from quillmark_c2pa import sfnt
    from quillmark_c2pa.signing import sign
    from quillmark_c2pa.trust import TrustSettings, load_pem_certificates
    from quillmark_c2pa.validation import validate

    with tempfile.TemporaryDirectory() as temp:
        work = Path(temp)
        groups = {"given": args.fonts} if args.fonts else corpus(work)
        signer, ca = credentials(work / "credentials")
        trust = TrustSettings(anchors=load_pem_certificates(ca), bundled=False)
        results = {"machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
                              f"{platform.system()} {platform.release()}, Python {platform.python_version()}",
                   "groups": {}}  # fmt: skip
        rows = []
        for group, paths in groups.items():
            fonts = [p.read_bytes() for p in paths]
            size = sum(map(len, fonts))
            for binding in ("boxes", "data"):
                signed = [sign(f, signer, binding=binding) for f in fonts]
                verdicts = [validate(f, trust=trust) for f in signed]
                failed = [str(p) for p, v in zip(paths, verdicts) if not v.passed]
                if failed:
                    print(f"not every font passes: {failed[:3]}", file=sys.stderr)
                    return 1
                folder = work / f"{group}-{binding}"
                folder.mkdir()
                for path, data in zip(paths, signed):
                    (folder / (path.stem + path.suffix)).write_bytes(data)
                measured = {
                    "fonts": len(fonts),
                    "bytes": sum(map(len, signed)),
                    "sha256 -j1": best(args.rounds, over(signed, hashlib.sha256, 1)),
                    "sha256 -j2": best(args.rounds, over(signed, hashlib.sha256, 2)),
                    "validate -j1": best(args.rounds, over(signed, lambda f: validate(f, trust=trust), 1)),
                    "validate -j2": best(args.rounds, over(signed, lambda f: validate(f, trust=trust), 2)),
                    "checksums -j1": best(args.rounds, over(
                        signed, lambda f: sfnt.checksum_problems(f, sfnt.read_directory(f)), 1)),
                }  # fmt: skip
                if not args.no_cli:
                    files = sorted(str(p) for p in folder.iterdir())
                    for jobs in (1, 2):
                        command = [TOOL, "check", "-q", "-j", str(jobs), "--no-bundled-trust", "--trust-anchors",
                                   str(ca), str(folder)]  # fmt: skip
                        measured[f"quillmark check -j{jobs}"] = best(
                            args.rounds, lambda: subprocess.run(command, check=True, stdout=subprocess.DEVNULL))
                    if shutil.which("sha256sum"):
                        measured["sha256sum"] = best(args.rounds, lambda: subprocess.run(
                            ["sha256sum", *files], check=True, stdout=subprocess.DEVNULL))  # fmt: skip
                results["groups"][f"{group}, {binding}"] = measured
                rows.append((f"{group} ({len(fonts)} fonts, {size / 1e6:.1f} MB), {binding}", measured))
        print(f"machine: {results['machine']}\n")
        keys = [k for k in rows[0][1] if k not in ("fonts", "bytes")]
        print("| corpus, binding | " + " | ".join(keys) + " | validate / sha256 (-j1) |")
        print("|---" * (len(keys) + 2) + "|")
        for name, measured in rows:
            cells = [f"{measured[k] * 1000:.1f} ms" for k in keys]
            ratio = measured["validate -j1"] / measured["sha256 -j1"]
            print(f"| {name} | " + " | ".join(cells) + f" | {ratio:.1f}x |")
        OUT.mkdir(exist_ok=True)
        (OUT / "check.json").write_text(json.dumps(results, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
