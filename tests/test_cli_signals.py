"""How a run of the `quillmark` command ends when stopped from outside: a signal in the middle
of writing a font, a reader that closes the pipe, a standard output that cannot be
written."""

from __future__ import annotations

import errno
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import quillmark
from test_cli import TOOL

# Signals, pipes and closed descriptors as POSIX systems have them.
pytestmark = pytest.mark.skipif(os.name != "posix", reason="POSIX process behaviour")


# The tool, with its worker held once the output is written to the temporary file and before it
# is flushed and renamed into place: a signal then always finds an unfinished output, however
# fast or slow the machine.
HELD_MID_WRITE = """
import os, sys, threading
import quillmark_cli
os.fsync = lambda fd: threading.Event().wait()
sys.exit(quillmark_cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_a_signal_mid_write_removes_the_temporary_and_exits_128_plus_its_number(truetype_font, tmp_path, name):
    number = getattr(signal, name)
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    (tmp_path / "out.ttf").write_bytes(b"old")

    # As a command at a terminal has it: a test run started in the background (`pytest &`) passes
    # on SIGINT ignored, and the tool, like any program, then keeps ignoring it.
    def as_in_the_foreground() -> None:
        signal.signal(signal.SIGINT, signal.SIG_DFL)

    tool = subprocess.Popen([sys.executable, "-c", HELD_MID_WRITE, "reserve", "f.ttf", "4096", "-o", "out.ttf"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=as_in_the_foreground)  # fmt: skip
    deadline = time.monotonic() + 60
    while not [p for p in tmp_path.iterdir() if p.name.startswith(".")]:  # the temporary is being written
        assert tool.poll() is None and time.monotonic() < deadline, "never caught it writing"
        time.sleep(0.01)
    tool.send_signal(number)
    out, err = tool.communicate(timeout=60)
    assert tool.returncode == 128 + number
    assert err == f"quillmark: stopped by {name}; 1 unfinished output removed\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.ttf", "out.ttf"]
    assert (tmp_path / "out.ttf").read_bytes() == b"old"


def test_a_closed_pipe_ends_the_run_quietly(truetype_font, tmp_path):
    (tmp_path / "f.ttf").write_bytes(quillmark.embed_remote(truetype_font, "https://example.com/a.c2pa"))
    fonts = " ".join(["f.ttf"] * 3000)  # far more output than a pipe holds
    done = subprocess.run(["bash", "-c", f"set -o pipefail; '{TOOL}' info {fonts} | head -1"], cwd=tmp_path,
                          capture_output=True, text=True)  # fmt: skip
    assert (done.stdout, done.stderr) == ("f.ttf\n", "")
    assert done.returncode == 1  # not all was said


@pytest.mark.parametrize("stdout", ["full", "closed"])
def test_standard_output_that_cannot_be_written_ends_the_run_with_one_line(truetype_font, tmp_path, stdout):
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    if stdout == "full":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full here")
        with open("/dev/full", "wb") as full:
            done = subprocess.run([TOOL, "info", "f.ttf"], cwd=tmp_path, stdout=full, stderr=subprocess.PIPE, text=True)
        reason = os.strerror(errno.ENOSPC)
    else:
        done = subprocess.run([TOOL, "info", "f.ttf"], cwd=tmp_path, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: os.close(1))  # fmt: skip
        reason = os.strerror(errno.EBADF)
    assert (done.returncode, done.stderr) == (1, f"quillmark: standard output: {reason}\n")


def test_with_standard_error_closed_messages_do_not_go_to_standard_output(truetype_font, tmp_path):
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    done = subprocess.run([TOOL, "info", "--json", "-v", "missing.ttf", "f.ttf"], cwd=tmp_path, stdout=subprocess.PIPE,
                          text=True, preexec_fn=lambda: os.close(2))  # fmt: skip
    assert done.returncode == 1
    assert [json.loads(line)["path"] for line in done.stdout.splitlines()] == ["missing.ttf", "f.ttf"]
