"""The `quillmark` command, run as the installed console script on real fonts."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quillmark
import quillmark_cli

TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
URI = "https://example.com/myfont.c2pa"


def tool(*args: str | Path, cwd: Path, code: int = 0) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([TOOL, *map(str, args)], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr
    return done


def parse_ranges(text: str) -> list[tuple[int, int]]:
    return [(int(a), int(b)) for a, b in (line.split() for line in text.splitlines())]


def test_signing_workflow(real_font, tmp_path):
    (tmp_path / "font.ttf").write_bytes(real_font)
    printed = parse_ranges(tool("reserve", "font.ttf", "4096", "--uri", URI, "-o", "reserved.ttf", cwd=tmp_path).stdout)
    reserved = (tmp_path / "reserved.ttf").read_bytes()
    assert reserved == quillmark.reserve_manifest_placeholder(real_font, 4096, URI)
    assert printed == quillmark.data_hash_ranges(reserved)
    assert parse_ranges(tool("ranges", "reserved.ttf", cwd=tmp_path).stdout) == printed

    manifest = os.urandom(4096)  # exactly the reservation: no padding, no note
    (tmp_path / "manifest.c2pa").write_bytes(manifest)
    assert tool("fill", "reserved.ttf", "manifest.c2pa", "-o", "signed.ttf", cwd=tmp_path).stderr == ""
    assert (tmp_path / "signed.ttf").read_bytes() == quillmark.fill_manifest_store(reserved, manifest)
    tool("extract", "signed.ttf", "-o", "copy.c2pa", cwd=tmp_path)
    assert (tmp_path / "copy.c2pa").read_bytes() == manifest

    (report,) = json.loads(tool("info", "--json", "signed.ttf", cwd=tmp_path).stdout)
    assert report == {"path": "signed.ttf", "c2pa_table": True, "uri": URI, "store_size": 4096,
                      "exclusions": [list(r) for r in printed], "compliant": True}  # fmt: skip
    assert (tmp_path / "font.ttf").read_bytes() == real_font
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "copy.c2pa", "font.ttf", "manifest.c2pa", "reserved.ttf", "signed.ttf"]  # fmt: skip


def test_refused_fonts_are_reported_and_the_run_goes_on(truetype_font, tmp_path):
    (tmp_path / "a.ttf").write_bytes(truetype_font)
    (tmp_path / "bad.ttf").write_bytes(b"wOF2" + bytes(40))
    (tmp_path / "z.ttf").write_bytes(quillmark.embed_remote(truetype_font, "https://x/\x1b]0;owned\x07"))
    fonts = ["a.ttf", "bad.ttf", "missing.ttf", "z.ttf"]

    text = tool("info", *fonts, cwd=tmp_path, code=1)
    assert text.stderr.splitlines() == [
        "quillmark: bad.ttf: WOFF/WOFF2 fonts are not supported; decompress to SFNT first",
        "quillmark: missing.ttf: No such file or directory"]  # fmt: skip
    assert text.stdout.splitlines() == [
        "a.ttf", "  C2PA table      no", "  compliant       no",
        "z.ttf", "  C2PA table      yes", "  manifest URI    https://x/\\x1b]0;owned\\x07",
        "  manifest store  none", "  compliant       yes"]  # fmt: skip
    reports = json.loads(tool("info", "--json", *fonts, cwd=tmp_path, code=1).stdout)
    assert [r.get("error") for r in reports] == [None, "WOFF/WOFF2 fonts are not supported; decompress to SFNT first",
                                                 "No such file or directory", None]  # fmt: skip

    (tmp_path / "out").mkdir()
    tool("embed", *fonts, "--uri", URI, "-o", "out", cwd=tmp_path, code=1)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.ttf", "z.ttf"]  # no temporaries left
    assert (tmp_path / "out/a.ttf").read_bytes() == quillmark.embed_remote(truetype_font, URI)


STORE_LIMIT = "invalid C2PA table: manifest store is 5000000000 bytes; at most 4294967295 fit the table"
URI_LIMIT = "invalid C2PA table: active manifest URI is 65536 bytes; at most 65535 fit the table"


@pytest.mark.parametrize(
    "args, message",
    [
        (["reserve", "f.ttf", "5000000000", "-o", "o.ttf"], STORE_LIMIT),
        (["reserve", "f.ttf", "1", "--uri", "u" * 65536, "-o", "o.ttf"], URI_LIMIT),
        (["embed", "f.ttf", "--uri", "é" * 32768, "-o", "o.ttf"], URI_LIMIT),
        (["fill", "f.ttf", "f.ttf", "-o", "o.ttf"], "no C2PA table found in font"),
        (["fill", "uri.ttf", "f.ttf", "-o", "o.ttf"], "invalid C2PA table: reserved font has no manifest store"),
        (["extract", "f.ttf", "-o", "o.bin"], "no C2PA table found in font"),
        (["ranges", "f.ttf"], "no C2PA table found in font"),
    ],
    ids=["store-limit", "uri-limit", "uri-limit-utf8", "fill", "fill-uri-only", "extract", "ranges"],
)
def test_refusals_carry_quillmarks_message_and_leave_the_output_alone(truetype_font, tmp_path, args, message):
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    (tmp_path / "uri.ttf").write_bytes(quillmark.embed_remote(truetype_font, URI))
    (tmp_path / "o.ttf").write_bytes(b"precious")
    assert tool(*args, cwd=tmp_path, code=1).stderr == f"quillmark: {args[1]}: {message}\n"
    assert (tmp_path / "o.ttf").read_bytes() == b"precious"
    assert len(list(tmp_path.iterdir())) == 3  # no temporary left behind


def test_short_manifest_is_padded_with_a_note(truetype_font, tmp_path):
    (tmp_path / "r.ttf").write_bytes(quillmark.reserve_manifest_placeholder(truetype_font, 100))
    (tmp_path / "m.bin").write_bytes(b"m" * 60)
    assert "padded with 40 zero bytes" in tool("fill", "r.ttf", "m.bin", "--in-place", cwd=tmp_path).stderr
    assert quillmark.read_manifest_store((tmp_path / "r.ttf").read_bytes()) == b"m" * 60 + bytes(40)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX file modes; symbolic links need privileges on Windows")
def test_in_place_keeps_mode_and_symlink(truetype_font, tmp_path):
    signed = quillmark.embed_manifest_store(truetype_font, b"store")
    (tmp_path / "real.ttf").write_bytes(signed)
    (tmp_path / "real.ttf").chmod(0o640)
    (tmp_path / "link.ttf").symlink_to("real.ttf")
    tool("remove", "link.ttf", "--in-place", cwd=tmp_path)
    assert (tmp_path / "link.ttf").is_symlink()
    assert (tmp_path / "real.ttf").read_bytes() == quillmark.remove_manifest_table(signed)
    assert (tmp_path / "real.ttf").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["sign", "f.ttf"],
        ["reserve", "f.ttf", "100"],  # neither -o nor --in-place
        ["reserve", "f.ttf", "0", "-o", "o.ttf"],
        ["reserve", "f.ttf", "-5", "-o", "o.ttf"],
        ["reserve", "f.ttf", "1k", "-o", "o.ttf"],
        ["reserve", "f.ttf", "100", "-o", "o.ttf", "--in-place"],
        ["embed", "f.ttf", "-o", "o.ttf"],
        ["embed", "f.ttf", "--uri", "u", "--store", "f.ttf", "-o", "o.ttf"],
        ["embed", "f.ttf", "--uri", "\udcff", "-o", "o.ttf"],  # a byte that is not UTF-8 in argv
        ["remove", "f.ttf", "g.ttf", "-o", "o.ttf"],  # two fonts, one output file
        ["remove", "f.ttf", "-o", "f.ttf"],
        ["remove", "f.ttf", "-o", "./f.ttf"],
        ["remove", "f.ttf", "-o", "hardlink.ttf"],
        ["remove", "f.ttf", "-o", "."],
        ["remove", "f.ttf", "sub/f.ttf", "-o", "out"],  # both would be out/f.ttf
        ["extract", "f.ttf"],
        ["extract", "f.ttf", "-o", "out"],
        ["info"],
    ],
)
def test_usage_errors_exit_2_and_write_nothing(truetype_font, tmp_path, args):
    for name in ("f.ttf", "g.ttf", "sub/f.ttf"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(truetype_font)
    os.link(tmp_path / "f.ttf", tmp_path / "hardlink.ttf")
    (tmp_path / "out").mkdir()
    before = sorted(tmp_path.rglob("*"))
    env = dict(os.environ, PYTHONUTF8="1")
    done = subprocess.run([TOOL, *args], cwd=tmp_path, capture_output=True, env=env)
    assert (done.returncode, done.stdout) == (2, b""), done.stderr
    assert done.stderr.startswith(b"usage: ")
    assert sorted(tmp_path.rglob("*")) == before
    assert (tmp_path / "f.ttf").read_bytes() == truetype_font


def test_interrupted_write_leaves_old_file_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "font.ttf"
    target.write_bytes(b"old")

    def interrupted(src, dst):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        quillmark_cli.write_atomically(str(target), b"new" * 1000)
    assert [p.name for p in tmp_path.iterdir()] == ["font.ttf"]
    assert target.read_bytes() == b"old"
