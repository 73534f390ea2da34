"""bench/run.py end to end on the smallest font: it must keep working as quillmark changes, and
the fontTools way that it times must do the very job quillmark does. No time is judged here."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
LARGE = 1 << 20  # the large reservation and store, shrunk from 1 GiB


def test_bench_runs_on_the_sample_font(tmp_path):
    pytest.importorskip("fontTools")
    if not any((ROOT / "examples" / "fonts").glob("*.ttf")) and not DEJAVU.exists():
        pytest.skip("no sample font and no DejaVu Sans to subset one from")
    run = subprocess.run(
        [
            *(sys.executable, str(ROOT / "bench" / "run.py"), "--fonts", "sample", "--out", str(tmp_path)),
            *("--budget", "0.001", "--rounds", "1", "--threads-on", "sample", "--thread-seconds", "0.01"),
            *("--large-size", str(LARGE), "--no-plot"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert "warning" not in run.stderr, run.stderr  # the fontTools way gave another result
    report = json.loads((tmp_path / "results.json").read_text())
    (font,) = report["fonts"]
    assert len(font["operations"]) == 9
    for op, row in font["operations"].items():
        assert set(row) == {"quillmark", "fonttools"}, op
        assert all(row[impl]["peak_extra_bytes"] is not None for impl in row), op
    assert list(font["threads"]) == ["reserve", "sha256"]
    assert all(row["ratio"] > 0 for row in font["threads"].values())
    large = report["large"]["operations"]
    assert list(large) == ["reserve", "fill", "embed_manifest_store"]
    for op, row in large.items():
        assert LARGE <= row["result_bytes"] < LARGE + 64 * 1024, op
        assert row["peak_extra_bytes"] is not None and row["copies"] > 0, op
    assert (tmp_path / "results.md").read_text() in run.stdout

    # A second run proves its results unchanged against the first.
    first = tmp_path / "first.json"
    first.write_text((tmp_path / "results.json").read_text())
    again = subprocess.run(
        [
            *(sys.executable, str(ROOT / "bench" / "run.py"), "--fonts", "sample", "--out", str(tmp_path)),
            *("--no-fonttools", "--no-peak", "--no-large", "--no-plot", "--budget", "0.001", "--compare", str(first)),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert again.returncode == 0, again.stderr
    assert "compared 9 results" in again.stdout and ": 0 differ" in again.stdout
