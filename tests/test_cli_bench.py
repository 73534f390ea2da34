"""bench/cli.py end to end on two small fonts: it must keep working as the tool changes. No time
is judged here."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_cli_bench_runs(tmp_path, truetype_font, cff_font):
    if shutil.which("cp") is None:
        pytest.skip("the bench compares with cp -r")
    (tmp_path / "fonts").mkdir()
    (tmp_path / "fonts/a.ttf").write_bytes(truetype_font)
    (tmp_path / "fonts/b.otf").write_bytes(cff_font)
    (tmp_path / "fonts/notes.txt").write_bytes(b"not a font")
    run = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "cli.py"), "--fonts", str(tmp_path / "fonts"), "--rounds", "1",
         "--out", str(tmp_path / "out"), "--tmp", str(tmp_path)],  # fmt: skip
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    report = json.loads((tmp_path / "out/cli.json").read_text())
    assert report["fonts"] == 2
    assert len(report["folder"]) == 5 and len(report["start_up"]) == 4
    assert "| quillmark reserve -j 1 |" in (tmp_path / "out/cli.md").read_text()
