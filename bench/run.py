#!/usr/bin/env python3
"""Benchmark quillmark's nine operations against the fontTools way and against the floor.

    python bench/run.py [--fonts sample,dejavu,cjk,synthetic] [--no-peak] [--compare OLD.json]
                        [--threads-on cjk] [--large-size BYTES | --no-large] [--no-plot]

For every font of a corpus that it builds itself, and every operation, it times quillmark, the
same job done with fontTools (the fastest way a user reasonably would: see FONTTOOLS_WAY), and the
two floors a caller pays anyway: one copy of the font (`bytearray(font)`) and one SHA-256 of it.
Each time is the median of repeated calls, the best of three rounds over all measurements (a
shared machine's bursts of other work last seconds). The peak extra memory of one call is
measured in a fresh process.

Two more measurements follow. On the fonts named by --threads-on (the 16 MB CJK face), the
throughput of `reserve_manifest_placeholder` in 1 thread and in 2 threads at once, and the
second over the first: whether a thread pool that signs fonts gains from a second core, which
it does only while quillmark works without the GIL. The same for one SHA-256 of the font, which
hashlib computes without the GIL, shows what a shared machine allowed meanwhile. And on a reservation of 1 GiB
(--large-size) on the sample font, `reserve_manifest_placeholder`, `fill_manifest_store` on its
result, and `embed_manifest_store` with a store of that size, each in a fresh process: the time
as copies of the result, and the peak extra memory as a multiple of the result.

Results go to bench/out/ as results.md, results.json and (with matplotlib) a plot of time against
font size; the Markdown tables are also printed.

results.json records a SHA-256 of every quillmark result, so that `--compare OLD.json` proves that
a change to the C++ left every output byte for byte as it was.

Needs fontTools (`pip install '.[bench]'`); the 16 MB font also needs Debian's fonts-noto-cjk.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import hashlib
import io
import json
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_OUT = HERE / "out"

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
CJK_COLLECTION = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")
SYNTHETIC_SIZE = 256 << 20

RESERVE_SIZE = 64 << 10
MANIFEST_SIZE = 40 << 10
URI = "https://example.com/manifests/quillmark-bench.c2pa"

FONTTOOLS_WAY = (
    "TTFont(BytesIO(font), lazy=True, recalcBBoxes=False, recalcTimestamp=False); the C2PA table "
    "read, added or replaced as raw table data (header packed with struct); "
    "save(BytesIO(), reorderTables=None), which skips the reordering pass; is_compliant sums the "
    "file with fontTools.ttLib.sfnt.calcChecksum"
)

OPERATIONS = [
    # name, input kind, what it does
    ("reserve", "base", "reserve_manifest_placeholder(font, 64 KiB)"),
    ("data_hash_ranges", "reserved", "data_hash_ranges(reserved)"),
    ("fill", "reserved", "fill_manifest_store(reserved, 40 KiB manifest)"),
    ("read_manifest_store", "filled", "read_manifest_store(filled)"),
    ("read_manifest_uri_str", "remote", "read_manifest_uri_str(font with a URI)"),
    ("is_compliant", "filled", "is_compliant(filled)"),
    ("embed_remote", "base", "embed_remote(font, uri)"),
    ("embed_manifest_store", "base", "embed_manifest_store(font, 40 KiB manifest)"),
    ("remove_manifest_table", "filled", "remove_manifest_table(filled)"),
]
OP_NAMES = [name for name, _, _ in OPERATIONS]
OP_INPUT = {name: kind for name, kind, _ in OPERATIONS}


def manifest_bytes() -> bytes:
    """A stand-in for a signed manifest: incompressible and the same in every run."""
    return random.Random(40).randbytes(MANIFEST_SIZE)


# ---------------------------------------------------------------------------------------------
# The corpus


def _fonttools():
    try:
        import fontTools  # noqa: F401
    except ImportError:
        sys.exit("bench needs fontTools: pip install '.[bench]'")


def _sample_font(cache: Path) -> tuple[Path, str] | None:
    bundled = sorted((ROOT / "examples" / "fonts").glob("*.ttf"))
    if bundled:
        return bundled[0], f"bundled sample {bundled[0].name}"
    target = cache / "sample.ttf"
    if not target.exists():
        if not DEJAVU.exists():
            return None
        import logging

        from fontTools import subset
        from fontTools.ttLib import TTFont

        logging.getLogger("fontTools.subset").setLevel(logging.ERROR)  # "FFTM NOT subset" and the like
        font = TTFont(DEJAVU, recalcTimestamp=False)
        options = subset.Options()
        subsetter = subset.Subsetter(options)
        subsetter.populate(unicodes=range(0x20, 0x7F))
        subsetter.subset(font)
        _save_atomically(font, target)
    return target, "DejaVu Sans subset to ASCII with fontTools (no bundled sample font)"


def _cjk_font(cache: Path) -> tuple[Path, str] | None:
    target = cache / "cjk.otf"
    if not target.exists():
        if not CJK_COLLECTION.exists():
            return None
        from fontTools.ttLib import TTFont

        # One face out of the collection, its tables copied as they are.
        font = TTFont(CJK_COLLECTION, fontNumber=0, lazy=True, recalcBBoxes=False, recalcTimestamp=False)
        _save_atomically(font, target)
    return target, f"face 0 of {CJK_COLLECTION.name} (CFF), extracted with fontTools"


def _synthetic_font(cache: Path) -> tuple[Path, str] | None:
    target = cache / "synthetic.ttf"
    if not target.exists():
        if not DEJAVU.exists():
            return None
        from fontTools.ttLib import TTFont, newTable

        # DejaVu Sans plus four private tables of random bytes, 256 MB in all: a font the size of
        # the largest families, with the bulk of its bytes in a few big tables as in real ones.
        font = TTFont(DEJAVU, lazy=True, recalcBBoxes=False, recalcTimestamp=False)
        rest = SYNTHETIC_SIZE - DEJAVU.stat().st_size - 12 - 16 * (len(font.reader.keys()) + 4)
        rng = random.Random(256)
        for i in range(4):
            table = newTable(f"Zyn{i}")
            table.data = rng.randbytes(rest // 4 & ~3)
            font[f"Zyn{i}"] = table
        _save_atomically(font, target)
    return target, "DejaVu Sans plus four 64 MB tables of random bytes"


def _save_atomically(font, target: Path) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = target.with_suffix(".partial")
    font.save(str(partial), reorderTables=None)
    partial.replace(target)


def build_corpus(cache: Path, wanted: list[str]) -> list[dict]:
    import quillmark as qm

    fonts = []
    makers = {
        "sample": _sample_font,
        "dejavu": lambda c: (DEJAVU, "DejaVu Sans from Debian's fonts-dejavu-core") if DEJAVU.exists() else None,
        "cjk": _cjk_font,
        "synthetic": _synthetic_font,
    }
    manifest = manifest_bytes()
    for name in wanted:
        found = makers[name](cache)
        if found is None:
            source = CJK_COLLECTION if name == "cjk" else DEJAVU
            package = "fonts-noto-cjk" if name == "cjk" else "fonts-dejavu-core"
            print(f"skipping {name}: {source} is missing (Debian's {package})", file=sys.stderr)
            continue
        path, description = found
        base = path.read_bytes()
        # The inputs of the operations, made by quillmark itself and kept as files for the
        # fresh processes that measure memory.
        reserved = qm.reserve_manifest_placeholder(base, RESERVE_SIZE)
        inputs = {
            "base": base,
            "reserved": reserved,
            "filled": qm.fill_manifest_store(reserved, manifest),
            "remote": qm.embed_remote(base, URI),
        }
        paths = {"base": path}
        for kind in ("reserved", "filled", "remote"):
            paths[kind] = cache / f"{name}.{kind}.ttf"
            if not paths[kind].exists() or paths[kind].read_bytes() != inputs[kind]:
                paths[kind].write_bytes(inputs[kind])
        fonts.append(
            {"name": name, "description": description, "size": len(base), "inputs": inputs, "paths": paths}
        )
    return fonts


# ---------------------------------------------------------------------------------------------
# The operations, through quillmark and through fontTools

C2PA_HEADER = struct.Struct(">HHIHHII")


def c2pa_encode(uri: bytes | None, store: bytes | None) -> bytes:
    u = len(uri or b"")
    s = len(store or b"")
    header = C2PA_HEADER.pack(0, 1, 20 if u else 0, u, 0, 20 + u if s else 0, s)
    return header + (uri or b"") + (store or b"")


def c2pa_decode(data: bytes) -> tuple[bytes | None, bytes | None]:
    _, _, uri_offset, uri_length, _, store_offset, store_length = C2PA_HEADER.unpack_from(data)
    uri = data[uri_offset : uri_offset + uri_length] if uri_offset else None
    store = data[store_offset : store_offset + store_length] if store_offset else None
    return uri, store


def quillmark_ops() -> dict:
    import quillmark as qm

    manifest = manifest_bytes()
    return {
        "reserve": lambda f: qm.reserve_manifest_placeholder(f, RESERVE_SIZE),
        "data_hash_ranges": qm.data_hash_ranges,
        "fill": lambda f: qm.fill_manifest_store(f, manifest),
        "read_manifest_store": qm.read_manifest_store,
        "read_manifest_uri_str": qm.read_manifest_uri_str,
        "is_compliant": qm.is_compliant,
        "embed_remote": lambda f: qm.embed_remote(f, URI),
        "embed_manifest_store": lambda f: qm.embed_manifest_store(f, manifest),
        "remove_manifest_table": qm.remove_manifest_table,
    }


def fonttools_ops() -> dict:
    from fontTools.ttLib import TTFont, newTable
    from fontTools.ttLib.sfnt import calcChecksum

    manifest = manifest_bytes()

    def open_font(font: bytes):
        return TTFont(io.BytesIO(font), lazy=True, recalcBBoxes=False, recalcTimestamp=False)

    def save(tt) -> bytes:
        out = io.BytesIO()
        tt.save(out, reorderTables=None)
        return out.getvalue()

    def with_c2pa(tt, data: bytes) -> bytes:
        table = newTable("C2PA")
        table.data = data
        tt["C2PA"] = table
        return save(tt)

    def c2pa_of(tt) -> tuple[bytes | None, bytes | None]:
        return c2pa_decode(tt.reader["C2PA"])

    def reserve(font):
        return with_c2pa(open_font(font), c2pa_encode(None, bytes(RESERVE_SIZE)))

    def data_hash_ranges(font):
        tt = open_font(font)
        entries = tt.reader.tables  # in directory order
        c2pa = entries["C2PA"]
        _, _, _, _, _, store_offset, store_length = C2PA_HEADER.unpack(tt.reader["C2PA"][:20])
        ranges = [(c2pa.offset + store_offset, store_length), (12 + 16 * list(entries).index("C2PA") + 4, 4)]
        head = entries.get("head")
        if head is not None and head.length >= 12:
            ranges.append((head.offset + 8, 4))
        return sorted(ranges)

    def fill(font):
        tt = open_font(font)
        uri, store = c2pa_of(tt)
        return with_c2pa(tt, c2pa_encode(uri, manifest + bytes(len(store) - len(manifest))))

    def read_manifest_store(font):
        return c2pa_of(open_font(font))[1]

    def read_manifest_uri_str(font):
        uri = c2pa_of(open_font(font))[0]
        return None if uri is None else uri.decode("utf-8")

    def is_compliant(font):
        tt = open_font(font)
        uri, store = c2pa_of(tt)
        head = tt.reader.tables["head"]
        field = head.offset + 8
        stored = struct.unpack_from(">I", font, field)[0]
        # The file's sum with checkSumAdjustment taken as zero: take the field back out of the plain
        # sum rather than copy the whole font to zero it.
        total = calcChecksum(font)
        for k in range(4):
            total -= font[field + k] << (8 * (3 - (field + k) % 4))
        return (uri is not None or store is not None) and (stored + total) & 0xFFFFFFFF == 0xB1B0AFBA

    def embed_remote(font):
        return with_c2pa(open_font(font), c2pa_encode(URI.encode(), None))

    def embed_manifest_store(font):
        return with_c2pa(open_font(font), c2pa_encode(None, manifest))

    def remove_manifest_table(font):
        tt = open_font(font)
        if "C2PA" in tt:
            del tt["C2PA"]
        return save(tt)

    return {
        "reserve": reserve,
        "data_hash_ranges": data_hash_ranges,
        "fill": fill,
        "read_manifest_store": read_manifest_store,
        "read_manifest_uri_str": read_manifest_uri_str,
        "is_compliant": is_compliant,
        "embed_remote": embed_remote,
        "embed_manifest_store": embed_manifest_store,
        "remove_manifest_table": remove_manifest_table,
    }


def floor_ops() -> dict:
    return {"copy": bytearray, "sha256": lambda f: hashlib.sha256(f).digest()}


def digest(result) -> str:
    data = bytes(result) if isinstance(result, (bytes, bytearray)) else repr(result).encode()
    return hashlib.sha256(data).hexdigest()


def tables_of(font: bytes) -> dict[bytes, bytes]:
    """Every table's bytes, head with checkSumAdjustment taken as zero."""
    n = struct.unpack_from(">H", font, 4)[0]
    tables = {}
    for i in range(n):
        tag, _, offset, length = struct.unpack_from(">4sIII", font, 12 + 16 * i)
        data = font[offset : offset + length]
        tables[tag] = data[:8] + bytes(4) + data[12:] if tag == b"head" else data
    return tables


def same_job(op: str, ours, theirs) -> bool:
    """Whether the fontTools way did the job quillmark did: the same answer, or a font with the
    same tables (fontTools lays them out in its own order) and a valid checksum adjustment."""
    if not isinstance(ours, (bytes, bytearray)) or op in ("read_manifest_store",):
        return ours == theirs
    import quillmark as qm

    return tables_of(ours) == tables_of(theirs) and (op == "remove_manifest_table" or qm.is_compliant(theirs))


# ---------------------------------------------------------------------------------------------
# Timing


def measure(fn, arg, budget: float) -> dict:
    """The median time of one call, over samples that each run long enough for the clock."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        fn(arg)
        first = time.perf_counter() - start
        # Slow calls (the fontTools way on the large fonts) keep their first run as a sample:
        # a warm-up of seconds would only eat the time limit.
        samples = [first] if first > 0.5 else []
        inner = max(1, int(2e-3 / max(first, 1e-9)))
        count = min(max(int(budget / (first * inner)), 7 if first < 0.5 else 3), 41)
        while len(samples) < count:
            start = time.perf_counter()
            for _ in range(inner):
                fn(arg)
            samples.append((time.perf_counter() - start) / inner)
    finally:
        if enabled:
            gc.enable()
    return {"median_s": statistics.median(samples), "samples": len(samples), "calls_per_sample": inner}


# ---------------------------------------------------------------------------------------------
# Peak memory of one call, in a fresh process


def _rss_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def peak_child(impl: str, op: str, path: str, warm_path: str) -> None:
    """Runs in the fresh process: loads the input, warms the code up on a small font, then makes
    one call and reports how far the resident set rose above what it was just before the call."""
    ops = quillmark_ops() if impl == "quillmark" else fonttools_ops()
    fn = ops[op]
    fn(Path(warm_path).read_bytes())
    font = Path(path).read_bytes()
    result, peak, exact = call_with_peak(fn, font)
    del result
    print(json.dumps({"peak_extra_bytes": peak, "exact": exact}))


def call_with_peak(fn, arg):
    """fn(arg), how far the resident set rose above what it was just before the call (its
    result, kept alive, included), and whether that figure is exact."""
    import resource

    gc.collect()
    gc.disable()
    before = _rss_kib("VmRSS")
    exact = False
    try:
        # Resets the kernel's peak resident set (VmHWM) to the current one, so that loading and
        # warming up above do not count.
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        exact = before is not None
    except OSError:
        pass
    if not exact:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = fn(arg)  # kept alive: the result is part of the call's memory
    after = _rss_kib("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    gc.enable()
    return result, max(0, after - before) * 1024, exact


def peak_extra(impl: str, op: str, path: Path, warm_path: Path) -> int | None:
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--peak-child", impl, op, str(path), str(warm_path)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        print(f"peak measurement failed for {impl} {op} {path.name}:\n{proc.stderr}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])["peak_extra_bytes"]


# ---------------------------------------------------------------------------------------------
# Threads, and a reservation of 1 GiB

THREADS_TARGET = 1.7  # 2 threads' throughput over 1 thread's, on a machine of 2 cores or more
LARGE_SIZE = 1 << 30
LARGE_COPIES_TARGET = 1.1  # time, in copies of the result
LARGE_PEAK_TARGET = 1.05  # peak extra memory, in multiples of the result
LARGE_OPERATIONS = [
    # name, what it does (S: the size asked for, on the sample font)
    ("reserve", "reserve_manifest_placeholder(font, S)"),
    ("fill", "fill_manifest_store(reserved, 40 KiB manifest) on a reservation of S"),
    ("embed_manifest_store", "embed_manifest_store(font, store of S bytes)"),
]


def throughput(fn, arg, threads: int, calls: int) -> float:
    """Calls per second of `threads` threads that each make `calls` calls of fn(arg), all at once."""
    import threading

    ready = threading.Barrier(threads + 1)

    def work() -> None:
        ready.wait()
        for _ in range(calls):
            fn(arg)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        ready.wait()
        start = time.perf_counter()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()
    return threads * calls / elapsed


def measure_threads(fn, arg: bytes, seconds: float, rounds: int) -> dict:
    """The throughput of 1 and of 2 threads calling fn(arg), the best of `rounds` each, and the
    second over the first."""
    start = time.perf_counter()
    fn(arg)
    calls = max(3, int(seconds / max(time.perf_counter() - start, 1e-9)))
    best = {1: 0.0, 2: 0.0}
    for _ in range(rounds):
        for threads in best:
            best[threads] = max(best[threads], throughput(fn, arg, threads, calls))
    return {
        "calls_per_thread": calls,
        "calls_per_s": {str(n): rate for n, rate in best.items()},
        "ratio": best[2] / best[1],
    }


def large_child(op: str, size: int, path: str, rounds: int) -> None:
    """Runs in a fresh process: makes the input of `op` at `size` bytes from the small font at
    `path`, warms up on the small font, makes one call for its peak extra memory, then times
    `rounds` calls and as many copies of the result."""
    import quillmark as qm

    font = Path(path).read_bytes()
    manifest = manifest_bytes()
    if op == "reserve":
        fn, arg = (lambda f: qm.reserve_manifest_placeholder(f, size)), font
        qm.reserve_manifest_placeholder(font, len(manifest))  # the warm-up, at a small size
    elif op == "fill":
        fn = lambda f: qm.fill_manifest_store(f, manifest)  # noqa: E731
        arg = qm.reserve_manifest_placeholder(font, size)
        fn(qm.reserve_manifest_placeholder(font, len(manifest)))
    else:
        fn = lambda store: qm.embed_manifest_store(font, store)  # noqa: E731
        arg = b"p" * size
        fn(manifest)
    result, peak, exact = call_with_peak(fn, arg)
    length = len(result)
    del result
    times, copies = [], []
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        result = fn(arg)
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
        copy = bytearray(result)
        copies.append(time.perf_counter() - start)
        del copy, result
    print(json.dumps({
        "result_bytes": length,
        "peak_extra_bytes": peak,
        "exact": exact,
        "median_s": statistics.median(times),
        "copy_s": statistics.median(copies),
    }))


def measure_large(size: int, path: Path, rounds: int) -> dict:
    report = {}
    for op, description in LARGE_OPERATIONS:
        print(f"{op} at {fmt_size(size)}", file=sys.stderr, flush=True)
        proc = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--large-child", op, str(size), str(path), str(rounds)],
            capture_output=True,
            text=True,
        )
        if proc.returncode != 0:
            print(f"large measurement failed for {op}:\n{proc.stderr}", file=sys.stderr)
            report[op] = None
            continue
        row = json.loads(proc.stdout.strip().splitlines()[-1])
        row["description"] = description
        row["copies"] = row["median_s"] / row["copy_s"]
        row["peak_over_result"] = row["peak_extra_bytes"] / row["result_bytes"]
        report[op] = row
    return report


# ---------------------------------------------------------------------------------------------
# Reporting


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "–"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_size(n: int | None) -> str:
    if n is None:
        return "–"
    if n < 1 << 20:
        return f"{n / 1024:.0f} KiB"
    if n < 1 << 30:
        return f"{n / (1 << 20):.1f} MiB"
    return f"{n / (1 << 30):.2f} GiB"


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import quillmark

    try:
        import fontTools

        fonttools_version = fontTools.version
    except ImportError:
        fonttools_version = None
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "quillmark": getattr(quillmark, "__version__", None) or _dist_version("quillmark"),
        "fonttools": fonttools_version,
    }


def _dist_version(name: str) -> str | None:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:
        return None


def markdown(report: dict) -> str:
    m = report["machine"]
    lines = [
        f"Measured {report['date']} on {m['cpu']} ({m['cores']} cores), {m['system']}, Python {m['python']}, "
        f"quillmark {m['quillmark']}, fontTools {m['fonttools']}. Medians of repeated calls, the best of "
        f"{report['rounds']} rounds; "
        "\"× copy\" is the time over one `bytearray(font)` of the same font; peak extra memory is that "
        "of one call in a fresh process, its result included.",
        "",
        "| font | operation | quillmark | × copy | fontTools | speed-up | peak extra, quillmark | peak extra, fontTools |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for font in report["fonts"]:
        name = f"{font['name']} ({fmt_size(font['size'])})"
        floors = font["floors"]
        lines.append(
            f"| {name} | *copy floor* | {fmt_time(floors['copy'])} | 1.00 | | | | |"
        )
        lines.append(
            f"| {name} | *SHA-256 floor* | {fmt_time(floors['sha256'])} | "
            f"{floors['sha256'] / floors['copy']:.2f} | | | | |"
        )
        for op in OP_NAMES:
            row = font["operations"].get(op)
            if row is None:
                continue
            q = row["quillmark"]
            ft = row.get("fonttools")
            ratio = q["median_s"] / floors["copy"]
            speedup = f"{ft['median_s'] / q['median_s']:.0f}×" if ft else "–"
            lines.append(
                f"| {name} | {op} | {fmt_time(q['median_s'])} | {ratio:.2f} | "
                f"{fmt_time(ft['median_s']) if ft else '–'} | {speedup} | "
                f"{fmt_size(q.get('peak_extra_bytes'))} | {fmt_size(ft.get('peak_extra_bytes') if ft else None)} |"
            )
    lines += ["", f"fontTools way: {FONTTOOLS_WAY}."]
    threads = [font for font in report["fonts"] if "threads" in font]
    if threads:
        lines += [
            "",
            f"Threads: `reserve_manifest_placeholder(font, 64 KiB)` (reserve) on one font, 1 thread against 2 "
            f"at once, the best of "
            f"{report['rounds']} rounds (target: 2 threads ≥ {THREADS_TARGET}× the throughput of 1, on "
            f"{m['cores']} cores here); one SHA-256 of the font, which hashlib computes without the GIL, "
            "shows what the machine allowed meanwhile.",
            "",
            "| font | operation | 1 thread | 2 threads | 2 over 1 |",
            "|---|---|---:|---:|---:|",
        ]
        for font in threads:
            for name, t in font["threads"].items():
                rates = t["calls_per_s"]
                lines.append(
                    f"| {font['name']} ({fmt_size(font['size'])}) | {name} | {rates['1']:.1f} calls/s | "
                    f"{rates['2']:.1f} calls/s | {t['ratio']:.2f}× |"
                )
    large = report.get("large")
    if large:
        size = fmt_size(large["size"])
        lines += [
            "",
            f"Large: S = {size} on the {large['font']} font, each measured in a fresh process: the median of "
            f"{report['rounds']} calls, as copies of the result (one `bytearray(result)`), and the peak extra "
            f"memory of one call over the result (targets: ≤ {LARGE_COPIES_TARGET} copies, "
            f"≤ {LARGE_PEAK_TARGET}× the result).",
            "",
            "| operation | result | time | × copy of the result | peak extra | × result |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        for op, description in LARGE_OPERATIONS:
            row = large["operations"].get(op)
            if row is None:
                lines.append(f"| `{description}` | – | – | – | – | – |")
                continue
            lines.append(
                f"| `{description}` | {fmt_size(row['result_bytes'])} | {fmt_time(row['median_s'])} | "
                f"{row['copies']:.2f} | {fmt_size(row['peak_extra_bytes'])} | {row['peak_over_result']:.2f}× |"
            )
    return "\n".join(lines) + "\n"


def plot(report: dict, target: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fonts = sorted(report["fonts"], key=lambda f: f["size"])
    sizes = [f["size"] / (1 << 20) for f in fonts]
    fig, axes = plt.subplots(3, 3, figsize=(13, 11), sharex=True, sharey=True)
    for ax, op in zip(axes.flat, OP_NAMES):
        for impl, label, style in (("quillmark", "quillmark", "o-"), ("fonttools", "fontTools", "s--")):
            points = [
                (s, f["operations"][op][impl]["median_s"])
                for s, f in zip(sizes, fonts)
                if op in f["operations"] and impl in f["operations"][op]
            ]
            if points:
                ax.plot(*zip(*points), style, label=label)
        ax.plot(sizes, [f["floors"]["copy"] for f in fonts], ":", color="grey", label="one copy")
        ax.plot(sizes, [f["floors"]["sha256"] for f in fonts], "-.", color="grey", label="one SHA-256")
        ax.set_title(op)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.grid(True, which="major", alpha=0.3)
    for ax in axes[-1]:
        ax.set_xlabel("font size (MiB)")
    for ax in axes[:, 0]:
        ax.set_ylabel("time per call (s)")
    axes.flat[0].legend(fontsize="small")
    fig.suptitle(f"quillmark and fontTools, time against font size ({report['date']})")
    fig.tight_layout()
    fig.savefig(target, dpi=90)
    plt.close(fig)
    return True


def compare(report: dict, old_path: Path) -> int:
    old = json.loads(old_path.read_text())
    old_fonts = {f["name"]: f for f in old["fonts"]}
    differ = 0
    checked = 0
    for font in report["fonts"]:
        before_font = old_fonts.get(font["name"])
        if before_font is None:
            continue
        if before_font.get("input_sha256", {}).get("base") != font["input_sha256"]["base"]:
            print(f"not compared: {font['name']} is another font than in {old_path}", file=sys.stderr)
            continue
        for op, row in font["operations"].items():
            before = before_font["operations"].get(op, {}).get("quillmark", {}).get("result_sha256")
            if before is None:
                continue
            checked += 1
            if before != row["quillmark"]["result_sha256"]:
                differ += 1
                print(f"DIFFERS: {font['name']} {op}", file=sys.stderr)
    print(f"compared {checked} results with {old_path}: {differ} differ")
    return differ


# ---------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fonts", default="sample,dejavu,cjk,synthetic", help="comma-separated corpus subset")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="where the corpus and results go")
    parser.add_argument("--no-fonttools", action="store_true", help="time quillmark and the floors only")
    parser.add_argument("--no-peak", action="store_true", help="skip the fresh-process memory measurements")
    parser.add_argument("--budget", type=float, default=0.3, help="seconds of samples per measurement")
    parser.add_argument("--rounds", type=int, default=3, help="rounds over the quick measurements; the best is kept")
    parser.add_argument("--compare", type=Path, help="a results.json whose quillmark outputs must match")
    parser.add_argument(
        "--threads-on", default="cjk", help="comma-separated fonts of the corpus to time 1 and 2 threads on"
    )
    parser.add_argument("--thread-seconds", type=float, default=1.0, help="seconds of calls per thread and round")
    parser.add_argument("--large-size", type=int, default=LARGE_SIZE, help="bytes of the large reservation and store")
    parser.add_argument("--no-large", action="store_true", help="skip the large reservation and store")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot of time against font size")
    parser.add_argument("--peak-child", nargs=4, metavar=("IMPL", "OP", "INPUT", "WARM"), help=argparse.SUPPRESS)
    parser.add_argument("--large-child", nargs=4, metavar=("OP", "SIZE", "FONT", "ROUNDS"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.peak_child:
        peak_child(*args.peak_child)
        return 0
    if args.large_child:
        op, size, path, rounds = args.large_child
        large_child(op, int(size), path, int(rounds))
        return 0

    started = time.perf_counter()
    if not args.no_fonttools:
        _fonttools()
    cache = args.out / "corpus"
    cache.mkdir(parents=True, exist_ok=True)
    wanted = [name.strip() for name in args.fonts.split(",") if name.strip()]
    threads_on = {name.strip() for name in args.threads_on.split(",") if name.strip()}
    if unknown := (set(wanted) | threads_on) - {"sample", "dejavu", "cjk", "synthetic"}:
        parser.error(f"unknown fonts: {', '.join(sorted(unknown))}")
    if "sample" not in wanted:
        wanted.insert(0, "sample")  # the fresh processes warm up on it
    corpus = build_corpus(cache, wanted)
    if not corpus or corpus[0]["name"] != "sample":
        sys.exit("bench needs the sample font (examples/fonts/*.ttf, or DejaVu Sans to subset one from)")
    warm = corpus[0]["paths"]

    qm_ops = quillmark_ops()
    ft_ops = None if args.no_fonttools else fonttools_ops()
    floors = floor_ops()
    report = {
        "date": datetime.date.today().isoformat(),
        "machine": machine(),
        "fonttools_way": FONTTOOLS_WAY,
        "rounds": args.rounds,
        "fonts": [],
    }
    for font in corpus:
        print(f"{font['name']}: {fmt_size(font['size'])}", file=sys.stderr, flush=True)
        base = font["inputs"]["base"]
        entry = {
            "name": font["name"],
            "description": font["description"],
            "size": font["size"],
            "input_sha256": {kind: digest(data) for kind, data in font["inputs"].items()},
            "floors": {},
            "operations": {},
        }
        for op in OP_NAMES:
            arg = font["inputs"][OP_INPUT[op]]
            ours = qm_ops[op](arg)
            entry["operations"][op] = {"quillmark": {"result_sha256": digest(ours)}}
            if ft_ops is not None:
                entry["operations"][op]["fonttools"] = {}
                if not same_job(op, ours, ft_ops[op](arg)):
                    print(f"warning: the fontTools way gives another result for {op}", file=sys.stderr)
            del ours

        # Rounds over every measurement, the best median of each kept: on a shared machine a
        # burst of someone else's work lasts seconds, and would otherwise spoil whichever
        # measurement it fell on. The slow ones (fontTools on large fonts) run in one round.
        def keep(row: dict, measured: dict) -> None:
            if "median_s" not in row or measured["median_s"] < row["median_s"]:
                row.update(measured)

        for round_ in range(args.rounds):
            for name, fn in floors.items():
                measured = measure(fn, base, args.budget)
                entry["floors"][name] = min(entry["floors"].get(name, measured["median_s"]), measured["median_s"])
            for op in OP_NAMES:
                arg = font["inputs"][OP_INPUT[op]]
                row = entry["operations"][op]
                keep(row["quillmark"], measure(qm_ops[op], arg, args.budget))
                if ft_ops is not None and (round_ == 0 or row["fonttools"]["median_s"] < 0.5):
                    keep(row["fonttools"], measure(ft_ops[op], arg, args.budget))
        if not args.no_peak:
            for op in OP_NAMES:
                kind = OP_INPUT[op]
                for impl, row in entry["operations"][op].items():
                    row["peak_extra_bytes"] = peak_extra(impl, op, font["paths"][kind], warm[kind])
        if font["name"] in threads_on:
            print(f"{font['name']}: 1 and 2 threads", file=sys.stderr, flush=True)
            # SHA-256 of the font is the control: hashlib lets go of the GIL on large buffers,
            # so its ratio is what the machine allows at the moment.
            entry["threads"] = {
                name: measure_threads(fn, base, args.thread_seconds, args.rounds)
                for name, fn in (("reserve", qm_ops["reserve"]), ("sha256", floors["sha256"]))
            }
        report["fonts"].append(entry)
        font["inputs"].clear()  # let the large fonts go before the next one
        gc.collect()

    if not args.no_large:
        report["large"] = {"size": args.large_size, "font": corpus[0]["name"]}
        report["large"]["operations"] = measure_large(args.large_size, warm["base"], args.rounds)

    report["elapsed_s"] = round(time.perf_counter() - started, 1)
    args.out.mkdir(parents=True, exist_ok=True)
    table = markdown(report)
    (args.out / "results.md").write_text(table)
    (args.out / "results.json").write_text(json.dumps(report, indent=1) + "\n")
    drawn = not args.no_plot and plot(report, args.out / "time_vs_size.png")
    print(table)
    print(
        f"wrote {args.out / 'results.md'}, {args.out / 'results.json'}"
        + (f", {args.out / 'time_vs_size.png'}" if drawn else "" if args.no_plot else " (no plot: matplotlib is not installed)")
        + f" in {report['elapsed_s']} s"
    )
    if args.compare is not None and compare(report, args.compare):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
