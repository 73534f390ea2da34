#!/usr/bin/env python3
"""Benchmark the `quillmark` command line against the floors around it.

    python bench/cli.py [--fonts DIR] [--count N] [--rounds R] [--out DIR]

On a folder of fonts (by default copies of up to --count real fonts found under
/usr/share/fonts, or the folder --fonts names), it times, per font:

- `cp -r`: copying the folder, which reads and writes every byte (without flushing to disk);
- a plain Python loop doing the same work as `quillmark reserve` by hand: read the font,
  `quillmark.reserve_manifest_placeholder`, write a temporary file, fsync, rename;
- `quillmark reserve FOLDER SIZE -o OUT` with -j 1 and -j 2 (it flushes each output too: an
  interrupted run leaves the old file or the new one);
- `quillmark info FOLDER` (read only);

and the start-up of one call: `python -c pass`, `python -c "import argparse, quillmark"` and
`quillmark --help`, `quillmark ranges FONT` on the smallest font.

Each figure is the best of --rounds runs (a shared machine's bursts of other work last seconds).
Results go to OUT/cli.md and OUT/cli.json; the Markdown is also printed.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE / "out"
SYSTEM_FONTS = Path("/usr/share/fonts")
RESERVE_SIZE = 16384

# The plain loop, run in a fresh interpreter as the tool is: the same work, nothing around it.
LOOP = """
import os, sys, quillmark
src, dst, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
for folder, _, names in os.walk(src):
    out_folder = os.path.join(dst, os.path.relpath(folder, src))
    os.makedirs(out_folder, exist_ok=True)
    for name in names:
        with open(os.path.join(folder, name), "rb", buffering=0) as f:
            font = f.read()
        data = quillmark.reserve_manifest_placeholder(font, size)
        target = os.path.join(out_folder, name)
        temporary = target + ".tmp"
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
"""


def tool() -> list[str]:
    script = Path(sysconfig.get_path("scripts")) / "quillmark"
    return [str(script)] if script.exists() else [sys.executable, "-m", "quillmark_cli"]


def gather_fonts(source: Path | None, count: int, folder: Path) -> list[Path]:
    """Copies of the fonts to run on, in `folder` (each readable as an SFNT font by quillmark)."""
    import quillmark

    folder.mkdir(parents=True)
    candidates = sorted(source.rglob("*")) if source else sorted(SYSTEM_FONTS.rglob("*"))
    fonts = []
    for path in candidates:
        if len(fonts) >= count:
            break
        if path.suffix.lower() not in (".ttf", ".otf") or not path.is_file():
            continue
        data = path.read_bytes()
        try:
            quillmark.data_hash_ranges(quillmark.reserve_manifest_placeholder(data, 16))
        except ValueError:
            continue
        target = folder / f"{len(fonts):04}-{path.name}"
        target.write_bytes(data)
        fonts.append(target)
    return fonts


def best(command: list[str], rounds: int, before=None) -> float:
    times = []
    for _ in range(rounds):
        if before is not None:
            before()
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(), "system": platform.platform()}


def run(args: argparse.Namespace) -> dict:
    work = Path(tempfile.mkdtemp(prefix="quillmark-bench-cli-", dir=args.tmp))
    try:
        fonts = gather_fonts(args.fonts, args.count, work / "fonts")
        if not fonts:
            raise SystemExit("no fonts to run on")
        total = sum(p.stat().st_size for p in fonts)
        out = work / "out"

        def clear() -> None:
            shutil.rmtree(out, ignore_errors=True)

        quillmark = tool()
        smallest = str(min(fonts, key=lambda p: p.stat().st_size))
        (work / "reserved.ttf").write_bytes(
            __import__("quillmark").reserve_manifest_placeholder(Path(smallest).read_bytes(), 64)
        )
        folder_runs = {
            "cp -r": (["cp", "-r", str(work / "fonts"), str(out)], clear),
            "Python loop (read, reserve, write, fsync, rename)":
                ([sys.executable, "-c", LOOP, str(work / "fonts"), str(out), str(RESERVE_SIZE)], clear),
            "quillmark reserve -j 1": ([*quillmark, "reserve", "-q", str(work / "fonts"), str(RESERVE_SIZE), "-o",
                                        str(out), "-j", "1"], clear),
            "quillmark reserve -j 2": ([*quillmark, "reserve", "-q", str(work / "fonts"), str(RESERVE_SIZE), "-o",
                                        str(out), "-j", "2"], clear),
            "quillmark info": ([*quillmark, "info", str(work / "fonts")], None),
        }  # fmt: skip
        start_up = {
            "python -c pass": [sys.executable, "-c", "pass"],
            "python -c 'import argparse, quillmark'": [sys.executable, "-c", "import argparse, quillmark"],
            "quillmark --help": [*quillmark, "--help"],
            "quillmark ranges (one small font)": [*quillmark, "ranges", str(work / "reserved.ttf")],
        }
        report = {
            "machine": machine(),
            "fonts": len(fonts),
            "bytes": total,
            "rounds": args.rounds,
            "folder": {name: best(command, args.rounds, before) for name, (command, before) in folder_runs.items()},
            "start_up": {name: best(command, args.rounds) for name, command in start_up.items()},
        }
        return report
    finally:
        shutil.rmtree(work, ignore_errors=True)


def markdown(report: dict) -> str:
    count, size = report["fonts"], report["bytes"]
    lines = [
        f"## The command line: {count} fonts, {size / 1e6:.1f} MB",
        "",
        f"{report['machine']['cpu']}, {report['machine']['cores']} cores, Python {report['machine']['python']};"
        f" best of {report['rounds']} runs.",
        "",
        "| run over the folder | total | per font |",
        "|---|---:|---:|",
    ]
    for name, seconds in report["folder"].items():
        lines.append(f"| {name} | {seconds * 1000:.0f} ms | {seconds / count * 1000:.2f} ms |")
    lines += ["", "| one call | time |", "|---|---:|"]
    for name, seconds in report["start_up"].items():
        lines.append(f"| {name} | {seconds * 1000:.1f} ms |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fonts", type=Path, help="a folder of fonts to copy and run on (default: the system's)")
    parser.add_argument("--count", type=int, default=300, help="at most this many fonts (default 300)")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each command; the best counts (default 3)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="where cli.md and cli.json go")
    parser.add_argument("--tmp", type=Path, default=None, help="where the copies are made (default: the system's)")
    args = parser.parse_args()
    report = run(args)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "cli.json").write_text(json.dumps(report, indent=2) + "\n")
    text = markdown(report)
    (args.out / "cli.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
