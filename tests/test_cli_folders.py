"""Whole folders through the `quillmark` command: fonts found recursively, each result under
the same name in the output folder, manifests matched by name, several fonts at a time with the
results in input order, and progress on a terminal."""

from __future__ import annotations

import hashlib
import io
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import quillmark
from messages import NOT_SFNT
from test_cli import TOOL, URI, here, tool  # noqa: F401 (here: a fixture)


@pytest.fixture
def tree(truetype_font, cff_font, tmp_path) -> Path:
    """fonts/A.ttf, fonts/B.otf, fonts/sub/C.ttf, and files that are not fonts by their names."""
    for name, data in [("A.ttf", truetype_font), ("B.otf", cff_font), ("sub/C.TTF", truetype_font),
                       ("notes.txt", b"x"), ("sub/D.woff2", b"wOF2"), (".hidden/E.ttf", truetype_font)]:  # fmt: skip
        (tmp_path / "fonts" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "fonts" / name).write_bytes(data)
    return tmp_path


def signature(font: bytes, ranges: list[list[int]]) -> bytes:
    """A stand-in for signing: the SHA-256 of every byte outside the ranges."""
    digest, position = hashlib.sha256(), 0
    for start, length in ranges:
        digest.update(font[position:start])
        position = start + length
    return digest.update(font[position:]) or digest.digest()


def test_signing_a_whole_folder(tree):
    tool("reserve", "fonts", "64", "--uri", URI, "-o", "reserved", cwd=tree)
    names = ["A.ttf", "B.otf", "sub/C.TTF"]
    assert sorted(str(p.relative_to(tree / "reserved")) for p in (tree / "reserved").rglob("*.*")) == names
    for line in tool("ranges", "--json", "reserved", cwd=tree).stdout.splitlines():
        entry = json.loads(line)
        manifest = tree / "manifests" / Path(entry["path"]).relative_to("reserved").with_suffix(".c2pa")
        manifest.parent.mkdir(parents=True, exist_ok=True)
        manifest.write_bytes(signature((tree / entry["path"]).read_bytes(), entry["exclusions"]).ljust(64, b"+"))
    (tree / "manifests/B.c2pa").unlink()  # one font without its manifest

    done = tool("fill", "reserved", "--manifests", "manifests", "-o", "signed/", cwd=tree, code=1)
    assert done.stderr == "quillmark: reserved/B.otf: no manifest for it: manifests/B.c2pa is missing\n"
    for name in ["A.ttf", "sub/C.TTF"]:
        signed = (tree / "signed" / name).read_bytes()
        ranges = [list(r) for r in quillmark.data_hash_ranges(signed)]
        assert quillmark.read_manifest_store(signed) == signature(signed, ranges).ljust(64, b"+")
        assert quillmark.is_compliant(signed)
    assert not (tree / "signed/B.otf").exists()

    tool("extract", "signed", "-o", "copies", cwd=tree)
    assert (tree / "copies/sub/C.c2pa").read_bytes() == (tree / "manifests/sub/C.c2pa").read_bytes()


def test_several_fonts_at_a_time_report_in_input_order(tree, real_font):
    fonts = []
    for i in range(12):  # large and small fonts, and failures, interleaved
        name = f"f{i:02}.ttf"
        data = [real_font, (tree / "fonts/A.ttf").read_bytes(), b"nothing", quillmark.embed_remote(real_font, URI)][i % 4]
        (tree / name).write_bytes(data)
        fonts.append(name)
    runs = [tool("info", "-j", jobs, "-v", *fonts, cwd=tree, code=1) for jobs in ("1", "4", "0")]
    assert len({(run.stdout, run.stderr) for run in runs}) == 1
    assert runs[0].stderr.splitlines()[:3] == ["quillmark: f00.ttf: done", "quillmark: f01.ttf: done",
                                               f"quillmark: f02.ttf: {NOT_SFNT}"]  # fmt: skip
    done = tool("remove", "-j", "3", *fonts, "-o", "out", cwd=tree, code=1)
    assert done.stderr.count("\n") == 3
    assert (tree / "out/f03.ttf").read_bytes() == quillmark.remove_manifest_table((tree / "f03.ttf").read_bytes())


def test_results_come_out_in_input_order_whatever_finishes_first(capsys):
    """The first font's job waits for the second to finish: in input order, or not at all."""
    from quillmark_cli.runner import Job, Outcome, run

    second_done = threading.Event()

    def first() -> Outcome:
        assert second_done.wait(30), "the jobs did not run at the same time"
        return Outcome(lines=["first"], errors=["quillmark: a.ttf: refused"], status=1)

    def second() -> Outcome:
        second_done.set()
        return Outcome(lines=["second"])

    assert run([Job("a.ttf", first), Job("b.ttf", second)], workers=2, verbose=True) == 1
    assert capsys.readouterr() == ("first\nsecond\n", "quillmark: a.ttf: refused\nquillmark: b.ttf: done\n")


def run_on_terminal(args: list[str], cwd: Path) -> tuple[int, bytes, bytes]:
    """Runs the tool with standard error on a terminal; returns its status, output and what the
    terminal showed."""
    pty = pytest.importorskip("pty")
    controller, terminal = pty.openpty()
    try:
        done = subprocess.run([TOOL, *args], cwd=cwd, stdout=subprocess.PIPE, stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed: all was read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    return done.returncode, done.stdout, shown


@pytest.mark.parametrize(
    "options, fonts, progress",
    [([], 6, True), (["-q"], 6, False), ([], 3, False)],
    ids=["many-fonts", "quiet", "few-fonts"],
)
def test_progress_shows_on_a_terminal_only(tree, options, fonts, progress):
    args = ["info", *options, *["fonts/A.ttf"] * fonts]
    status, out, terminal = run_on_terminal(args, tree)
    assert status == 0
    assert (f"{fonts}/{fonts} fonts done".encode() in terminal) == progress
    assert out.count(b"compliant") == fonts
    piped = tool(*args, cwd=tree)  # never on a pipe
    assert piped.stderr == ""


@pytest.mark.parametrize("running_for, shown", [(0.0, ""), (3.0, "; slow (6 s): f1.ttf")], ids=["quick", "slow"])
def test_progress_names_a_font_that_takes_long(monkeypatch, running_for, shown):
    from quillmark_cli import runner

    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    monkeypatch.setattr(sys, "stderr", Terminal())
    jobs = [runner.Job(f"f{i}.ttf", runner.Outcome) for i in range(6)]
    now = time.monotonic()
    jobs[0].started, jobs[0].finished = now - 100, True
    jobs[1].started = now - running_for * runner.SLOW  # the oldest still running
    jobs[2].started = now
    runner.Console(len(jobs), verbose=False, quiet=False).show_progress(1, jobs)
    assert sys.stderr.getvalue() == "\rquillmark: 1/6 fonts done" + shown


def test_quiet_silences_notes_but_not_errors(tree):
    (tree / "r.ttf").write_bytes(quillmark.reserve_manifest_placeholder((tree / "fonts/A.ttf").read_bytes(), 100))
    (tree / "m.c2pa").write_bytes(b"short")
    assert "padded with 95 zero bytes" in tool("fill", "r.ttf", "m.c2pa", "-o", "s.ttf", cwd=tree).stderr
    assert tool("fill", "-q", "r.ttf", "m.c2pa", "-o", "t.ttf", cwd=tree).stderr == ""
    assert tool("reserve", "-q", "fonts/A.ttf", "10", "-o", "q.ttf", cwd=tree).stdout == ""  # ranges: ask again
    assert tool("fill", "-q", "s.ttf", "m.c2pa", "-o", "u.ttf", cwd=tree, code=1).stderr.startswith("quillmark: s.ttf:")


def test_a_folder_without_fonts_is_reported(tree):
    (tree / "empty").mkdir()
    done = tool("remove", "empty", "fonts/A.ttf", "-o", "out", cwd=tree, code=1)
    assert done.stderr == "quillmark: empty: no fonts (.ttf, .otf) in this folder\n"
    assert [p.name for p in (tree / "out").iterdir()] == ["A.ttf"]


def test_a_folder_that_cannot_be_read_is_reported(tree, here, monkeypatch):
    """Not skipped in silence: its fonts would be missing from a run that says all went well.
    (Refused by os.scandir here, as it is for a user without the right to list it.)"""
    scandir = os.scandir

    def refusing(path="."):
        if os.path.basename(os.fspath(path)) == "sub":
            raise PermissionError(13, "Permission denied", path)
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    assert here("remove", "fonts", "-o", "out", cwd=tree, code=1)[1] == (
        "quillmark: fonts: 1 other file skipped (not .ttf or .otf fonts; -v names them)\n"
        "quillmark: fonts/sub: cannot read this folder: Permission denied\n")  # fmt: skip
    assert sorted(p.name for p in (tree / "out").iterdir()) == ["A.ttf", "B.otf"]
