"""The `quillmark` command, run as the installed console script: the signing workflow and where
results go (files, folders, standard output), and what `info` says of a font."""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quillmark
import quillmark_cli
from conftest import c2pa_table, head_table, make_font
from messages import NOT_SFNT

TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
URI = "https://example.com/myfont.c2pa"


def tool(*args: str | Path, cwd: Path, code: int = 0, **kwargs) -> subprocess.CompletedProcess[str]:
    """Runs the tool; checks its exit status and that nothing ended in a traceback."""
    done = subprocess.run([TOOL, *map(str, args)], cwd=cwd, capture_output=True, text=True, **kwargs)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr
    return done


@pytest.fixture
def here(monkeypatch, capsys):
    """Runs the tool's main() in this process, in a given folder (quicker than a process, for
    what does not depend on being one): returns standard output and error."""

    def run(*args: str | Path, cwd: Path, code: int = 0) -> tuple[str, str]:
        monkeypatch.chdir(cwd)
        try:
            status = quillmark_cli.main([str(a) for a in args])
        except SystemExit as e:
            status = e.code
        out, err = capsys.readouterr()
        assert status == code, err
        return out, err

    return run


def parse_ranges(text: str) -> list[tuple[int, int]]:
    return [(int(a), int(b)) for a, b in (line.split() for line in text.splitlines())]


def test_signing_workflow(real_font, tmp_path):
    (tmp_path / "font.ttf").write_bytes(real_font)
    printed = parse_ranges(tool("reserve", "font.ttf", "4096", "--uri", URI, "-o", "reserved.ttf", cwd=tmp_path).stdout)
    reserved = (tmp_path / "reserved.ttf").read_bytes()
    assert reserved == quillmark.reserve_manifest_placeholder(real_font, 4096, URI)
    assert printed == quillmark.data_hash_ranges(reserved)
    assert parse_ranges(tool("ranges", "reserved.ttf", cwd=tmp_path).stdout) == printed

    manifest = os.urandom(4095) + b"\x01"  # exactly the reservation, ending in no zero: no padding, no note
    (tmp_path / "manifest.c2pa").write_bytes(manifest)
    assert tool("fill", "reserved.ttf", "manifest.c2pa", "-o", "signed.ttf", cwd=tmp_path).stderr == ""
    assert (tmp_path / "signed.ttf").read_bytes() == quillmark.fill_manifest_store(reserved, manifest)
    tool("extract", "signed.ttf", "-o", "copy.c2pa", cwd=tmp_path)
    assert (tmp_path / "copy.c2pa").read_bytes() == manifest

    (line,) = tool("info", "--json", "signed.ttf", cwd=tmp_path).stdout.splitlines()
    assert json.loads(line) == {"path": "signed.ttf", "c2pa_table": True, "uri": URI, "store_size": 4096,
                                "store_state": "manifest", "padding": 0, "exclusions": [list(r) for r in printed],
                                "compliant": True, "reason": None}  # fmt: skip
    assert (tmp_path / "font.ttf").read_bytes() == real_font
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "copy.c2pa", "font.ttf", "manifest.c2pa", "reserved.ttf", "signed.ttf"]  # fmt: skip


@pytest.mark.parametrize(
    "args, written",
    [
        (["remove", "f.ttf", "-o", "new/"], "new/f.ttf"),  # a trailing separator: a folder, created
        (["remove", "f.ttf", "g.ttf", "-o", "new/deeper"], "new/deeper/g.ttf"),  # several fonts: a folder
        (["remove", "f.ttf", "-o", "n" * 251 + ".ttf"], "n" * 251 + ".ttf"),  # the longest name there is
        (["extract", "s.ttf", "-o", "stores/"], "stores/s.c2pa"),
        (["remove", "one", "-o", "new"], "new/f.ttf"),  # a folder in: a folder out, even for one font
        (["extract", "signed", "-o", "out"], "out/s.c2pa"),
    ],
    ids=["slash", "several", "255-bytes", "extract-folder", "folder-of-one", "extract-folder-of-one"],
)
def test_outputs_go_where_o_says(here, truetype_font, tmp_path, args, written):
    signed = quillmark.embed_manifest_store(truetype_font, b"store")
    for name, data in [("f.ttf", truetype_font), ("g.ttf", truetype_font), ("s.ttf", signed),
                       ("one/f.ttf", truetype_font), ("signed/s.ttf", signed)]:  # fmt: skip
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(data)
    (tmp_path / "out").mkdir()
    here(*args, cwd=tmp_path)
    expected = b"store" if args[0] == "extract" else quillmark.remove_manifest_table(truetype_font)
    assert (tmp_path / written).read_bytes() == expected
    assert not [p for p in tmp_path.rglob(".*")]  # no temporary left


@pytest.mark.parametrize("out", ["-", "/dev/stdout"])
@pytest.mark.parametrize("command", ["extract", "remove", "fill"])
def test_standard_output(truetype_font, tmp_path, out, command):
    reserved = quillmark.reserve_manifest_placeholder(truetype_font, 64)
    (tmp_path / "r.ttf").write_bytes(reserved)
    (tmp_path / "m.c2pa").write_bytes(b"m" * 64)
    args = {"extract": ["s.ttf"], "remove": ["r.ttf"], "fill": ["r.ttf", "m.c2pa"]}[command]
    (tmp_path / "s.ttf").write_bytes(quillmark.embed_manifest_store(truetype_font, b"\0store\n"))
    done = subprocess.run([TOOL, command, *args, "-o", out], cwd=tmp_path, capture_output=True)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == {"extract": b"\0store\n", "remove": quillmark.remove_manifest_table(reserved),
                           "fill": quillmark.fill_manifest_store(reserved, b"m" * 64)}[command]  # fmt: skip
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.c2pa", "r.ttf", "s.ttf"]


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


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file away needs root")
def test_in_place_keeps_owner_and_group(truetype_font, tmp_path):
    font = tmp_path / "f.ttf"
    font.write_bytes(truetype_font)
    os.chown(font, 4321, 8765)
    font.chmod(0o2755)  # set-group-id, which a chown after chmod would clear
    tool("remove", "f.ttf", "--in-place", cwd=tmp_path)
    st = font.stat()
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (4321, 8765, 0o2755)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file away needs root")
def test_an_owner_that_cannot_be_kept_is_refused_unless_forced(here, truetype_font, tmp_path, monkeypatch):
    font = tmp_path / "f.ttf"
    font.write_bytes(truetype_font)
    os.chown(font, 4321, 8765)

    def not_permitted(*args):
        raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(os, "chown", not_permitted)  # as for a user who is not root
    assert here("remove", "f.ttf", "--in-place", cwd=tmp_path, code=1)[1] == (
        "quillmark: f.ttf: cannot keep its owner and group (4321:8765); --force writes it as yours\n")
    assert [p.name for p in tmp_path.iterdir()] == ["f.ttf"]
    assert font.read_bytes() == truetype_font
    here("remove", "f.ttf", "--in-place", "--force", cwd=tmp_path)
    assert font.read_bytes() == quillmark.remove_manifest_table(truetype_font)


def test_version_goes_to_standard_output(tmp_path):
    done = tool("--version", cwd=tmp_path)
    assert (done.stdout.split()[0], done.stderr) == ("quillmark", "")


@pytest.mark.parametrize("encoding", ["utf-8", "ascii"])
def test_file_names_are_escaped_wherever_shown(truetype_font, tmp_path, encoding):
    """A name with an escape sequence, one with a byte that is not UTF-8, and one that the
    output's encoding cannot write, in reports and in error lines: escaped, never sent raw,
    never a traceback."""
    names = [b"esc\x1b]0;owned\x07.ttf", b"latin\xff.ttf", "café.ttf".encode()]
    for name in names:
        (tmp_path / os.fsdecode(name)).write_bytes(truetype_font)
        (tmp_path / os.fsdecode(b"bad-" + name)).write_bytes(b"not a font at all")
    args = [TOOL.encode(), b"info", *names, *(b"bad-" + name for name in names)]
    env = {**os.environ, "PYTHONIOENCODING": encoding}
    done = subprocess.run(args, cwd=tmp_path, capture_output=True, env=env)
    assert done.returncode == 1
    assert b"Traceback" not in done.stderr
    shown = [b"esc\\x1b]0;owned\\x07.ttf", b"latin\\xff.ttf", "café.ttf".encode(encoding, "backslashreplace")]
    assert [line for line in done.stdout.splitlines() if not line.startswith(b" ")] == shown
    assert done.stderr.splitlines() == [b"quillmark: bad-" + name + b": " + NOT_SFNT.encode() for name in shown]


def test_json_lines_name_each_font_as_given(truetype_font, tmp_path):
    """One object a line, the path as given (a program can open it again), errors included."""
    (tmp_path / "r.ttf").write_bytes(quillmark.reserve_manifest_placeholder(truetype_font, 10))
    (tmp_path / "x.ttf").write_bytes(b"nothing")
    done = tool("info", "--json", "r.ttf", "x.ttf", "missing.ttf", "r.ttf", cwd=tmp_path, code=1)
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["path"], r.get("store_state"), r.get("error")) for r in lines] == [
        ("r.ttf", "placeholder", None), ("x.ttf", None, NOT_SFNT),
        ("missing.ttf", None, "No such file or directory"), ("r.ttf", "placeholder", None)]  # fmt: skip
    assert done.stderr.splitlines()[1] == "quillmark: missing.ttf: No such file or directory"
    ranges = quillmark.data_hash_ranges((tmp_path / "r.ttf").read_bytes())
    done = tool("ranges", "--json", "r.ttf", "r.ttf", cwd=tmp_path)
    assert [json.loads(line) for line in done.stdout.splitlines()] == [
        {"path": "r.ttf", "exclusions": [list(r) for r in ranges]}] * 2  # fmt: skip


def _font() -> bytes:
    import conftest

    return conftest._build_font(cff=False)


BAD_CHECKSUM = "checkSumAdjustment is wrong: the font changed after it was written"


def _info_cases():
    font = _font()
    head = head_table(adjustment=1)
    store = b"manifest" + bytes(8)
    jumbf_box = struct.pack(">I4s", 24, b"jumb") + bytes(range(1, 16))  # 23 bytes of a 24-byte box
    return [
        ("placeholder", quillmark.reserve_manifest_placeholder(font, 16),
         "  manifest store  16 bytes, a placeholder: all zeros, not signed yet",
         "  compliant       yes (in form; the placeholder is not signed yet)"),
        ("padded", quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, 16), b"manifest"),
         "  manifest store  16 bytes: a 8-byte manifest and 8 bytes of zero padding", "  compliant       yes"),
        ("framed-manifest-ending-in-zero",  # a JUMBF superbox says its own length: its last zero is no padding
         quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, 32), jumbf_box + b"\0"),
         "  manifest store  32 bytes: a 24-byte manifest and 8 bytes of zero padding", "  compliant       yes"),
        ("no-table", font, None, "  compliant       no: no C2PA table"),
        ("two-tables", make_font([(b"C2PA", c2pa_table(store=store)), (b"C2PA", c2pa_table(store=store)),
                                  (b"head", head)]),
         None, "  compliant       no: invalid C2PA table: font contains 2 C2PA tables; at most one is allowed"),
        ("malformed", make_font([(b"C2PA", c2pa_table(store=store)[:12]), (b"head", head)]),
         None, "  compliant       no: invalid C2PA table: table shorter than 20-byte header"),
        ("checksum", make_font([(b"C2PA", c2pa_table(store=store)), (b"head", head)]),
         "  manifest store  16 bytes: a 8-byte manifest and 8 bytes of zero padding", f"  compliant       no: {BAD_CHECKSUM}"),
        ("empty-table", make_font([(b"C2PA", c2pa_table()), (b"head", head)]), "  manifest store  none",
         "  compliant       no: the C2PA table carries neither a manifest URI nor a manifest store"),
    ]  # fmt: skip


@pytest.mark.parametrize("font, store_line, verdict", [c[1:] for c in _info_cases()], ids=[c[0] for c in _info_cases()])
def test_info_tells_the_stores_state_and_why_a_font_is_not_compliant(here, tmp_path, font, store_line, verdict):
    (tmp_path / "f.ttf").write_bytes(font)
    lines = here("info", "f.ttf", cwd=tmp_path)[0].splitlines()
    assert lines[-1] == verdict
    assert (store_line in lines) if store_line else not any("manifest store" in line for line in lines)
