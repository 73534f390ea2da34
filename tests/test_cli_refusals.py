"""What the `quillmark` command refuses: with one line saying why, the output left alone, the
other fonts of the run still handled; and usage errors, which write nothing."""

from __future__ import annotations

import errno
import os
import struct
import subprocess
import sys

import pytest

import quillmark
from memory_util import SANITIZED
from messages import FILL_NO_STORE, NO_C2PA, NOT_SFNT, STORE_TOO_LONG, URI_TOO_LONG
from test_cli import TOOL, URI, here, tool  # noqa: F401 (here: a fixture)

STORE_LIMIT = STORE_TOO_LONG.format(size=5000000000)
URI_LIMIT = URI_TOO_LONG.format(size=65536)


@pytest.mark.parametrize(
    "args, message",
    [
        (["reserve", "f.ttf", "5000000000", "-o", "o.ttf"], STORE_LIMIT),
        (["reserve", "f.ttf", "1", "--uri", "u" * 65536, "-o", "o.ttf"], URI_LIMIT),
        (["embed", "f.ttf", "--uri", "é" * 32768, "-o", "o.ttf"], URI_LIMIT),
        (["fill", "f.ttf", "m.c2pa", "-o", "o.ttf"], NO_C2PA),
        (["fill", "uri.ttf", "m.c2pa", "-o", "o.ttf"], FILL_NO_STORE),
        (["extract", "f.ttf", "-o", "o.bin"], NO_C2PA),
        (["ranges", "f.ttf"], NO_C2PA),
        # Things that would write a font that looks provenanced, or no longer is, and pass as success.
        (["fill", "reserved.ttf", "empty", "-o", "o.ttf"], "the manifest is empty"),
        (["fill", "reserved.ttf", "zeros", "-o", "o.ttf"], "the manifest holds only zero bytes"),
        (["reserve", "signed.ttf", "100", "-o", "o.ttf"],
         f"it already holds a 5-byte manifest store and the manifest URI {URI}; reserving would discard it:"
         " --force reserves anyway"),
        (["reserve", "uri.ttf", "100", "--uri", "https://other", "-o", "o.ttf"],
         f"it already holds the manifest URI {URI}; reserving would discard it: --force reserves anyway"),
        (["fill", "signed.ttf", "m.c2pa", "-o", "o.ttf"],
         "its 5-byte manifest store already holds a manifest, which filling would replace: --force fills anyway"),
        # A file that is no font: one message whatever the subcommand.
        *((["info" if c == "x" else c, "text.ttf", *rest], NOT_SFNT) for c, rest in [
            ("x", []), ("ranges", []), ("remove", ["-o", "o.ttf"]), ("extract", ["-o", "o.ttf"]),
            ("reserve", ["10", "-o", "o.ttf"]), ("fill", ["m.c2pa", "-o", "o.ttf"])]),
    ],  # fmt: skip
    ids=lambda v: "-".join(v[:2]) if isinstance(v, list) else None,
)
def test_refusals_say_why_and_leave_the_output_alone(here, truetype_font, tmp_path, args, message):
    files = {
        "f.ttf": truetype_font,
        "uri.ttf": quillmark.embed_remote(truetype_font, URI),
        "reserved.ttf": quillmark.reserve_manifest_placeholder(truetype_font, 100),
        "signed.ttf": quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(truetype_font, 5, URI), b"12345"),
        "text.ttf": b"Lorem ipsum dolor sit amet, consectetur adipiscing elit",
        "m.c2pa": b"manifest",
        "empty": b"",
        "zeros": bytes(100),
        "o.ttf": b"precious",
    }  # fmt: skip
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    assert here(*args, cwd=tmp_path, code=1)[1] == f"quillmark: {args[1]}: {message}\n"
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == files  # nothing written, no temporary


def test_a_missing_output_folder_is_named(here, truetype_font, tmp_path):
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    assert here("remove", "f.ttf", "-o", "nope/o.ttf", cwd=tmp_path, code=1)[1] == (
        f"quillmark: f.ttf: {os.path.realpath(tmp_path / 'nope')}: {os.strerror(errno.ENOENT)}\n")  # fmt: skip
    assert [p.name for p in tmp_path.iterdir()] == ["f.ttf"]


@pytest.mark.parametrize("store", [b"", bytes(64)], ids=["empty", "zeros"])
def test_embedding_a_store_that_carries_nothing_is_refused(truetype_font, tmp_path, store):
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    (tmp_path / "s.c2pa").write_bytes(store)
    done = tool("embed", "f.ttf", "--store", "s.c2pa", "-o", "out/", cwd=tmp_path, code=1)
    assert done.stderr.startswith("quillmark: s.c2pa: the manifest store ")
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_force_replaces_what_a_refusal_protects(truetype_font, tmp_path):
    signed = quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(truetype_font, 5, URI), b"12345")
    (tmp_path / "s.ttf").write_bytes(signed)
    (tmp_path / "m.c2pa").write_bytes(b"54321")
    tool("fill", "s.ttf", "m.c2pa", "--force", "-o", "refilled.ttf", cwd=tmp_path)
    assert quillmark.read_manifest_store((tmp_path / "refilled.ttf").read_bytes()) == b"54321"
    tool("reserve", "s.ttf", "9", "--force", "-o", "again.ttf", cwd=tmp_path)
    assert (tmp_path / "again.ttf").read_bytes() == quillmark.reserve_manifest_placeholder(signed, 9)


def shared_bytes_font(tables: int, size: int) -> bytes:
    """A font whose directory points every table at the same bytes: small, but rebuilt with
    each table written out in full."""
    data = bytes(range(256)) * (size // 256)
    header = struct.pack(">IHHHH", 0x00010000, tables, 0, 0, 0)
    records = b"".join(struct.pack(">4sIII", b"t%03d" % i, 0, 12 + 16 * tables, len(data)) for i in range(tables))
    return header + records + data


def test_a_font_that_would_grow_far_larger_is_refused_unless_forced(truetype_font, tmp_path):
    hostile = shared_bytes_font(200, 64 * 1024)  # 67 kB, rebuilt into 13 MB
    (tmp_path / "hostile.ttf").write_bytes(hostile)
    (tmp_path / "good.ttf").write_bytes(truetype_font)
    done = tool("remove", "hostile.ttf", "good.ttf", "-o", "out", cwd=tmp_path, code=1)
    assert done.stderr == (
        f"quillmark: hostile.ttf: the rebuilt font would be {len(quillmark.remove_manifest_table(hostile))} bytes,"
        f" more than twice its {len(hostile)} bytes plus the 0 added (its tables share bytes, and each is written"
        " out in full); --force writes it anyway\n")  # fmt: skip
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["good.ttf"]
    tool("embed", "hostile.ttf", "--uri", URI, "--force", "-o", "out", cwd=tmp_path)
    assert (tmp_path / "out/hostile.ttf").read_bytes() == quillmark.embed_remote(hostile, URI)


@pytest.mark.skipif(sys.platform != "linux", reason="an address-space limit, as ulimit -v sets it")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow memory cannot live under an address-space cap")
def test_running_out_of_memory_fails_that_font_only(truetype_font, tmp_path):
    import resource

    (tmp_path / "hostile.ttf").write_bytes(shared_bytes_font(1000, 2 * 1024 * 1024))  # rebuilt: 2 GB
    (tmp_path / "good.ttf").write_bytes(truetype_font)

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    done = subprocess.run([TOOL, "remove", "--force", "hostile.ttf", "good.ttf", "-o", "out"], cwd=tmp_path,
                          capture_output=True, text=True, preexec_fn=limit)  # fmt: skip
    assert (done.returncode, done.stderr) == (1, "quillmark: hostile.ttf: not enough memory for this font\n")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["good.ttf"]


@pytest.mark.skipif(sys.platform != "linux", reason="an address-space limit, as ulimit -v sets it")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow memory cannot live under an address-space cap")
def test_a_large_file_that_is_no_font_is_refused_from_its_first_bytes(tmp_path):
    import resource

    with open(tmp_path / "huge.ttf", "wb") as f:  # sparse: 2 GiB that take no room
        f.write(b"GIF89a")
        f.truncate(2 << 30)

    def limit() -> None:  # reading the whole file would run out of memory
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    done = tool("info", "huge.ttf", cwd=tmp_path, code=1, preexec_fn=limit)
    assert done.stderr == f"quillmark: huge.ttf: {NOT_SFNT}\n"


def test_in_place_refuses_a_file_with_several_hard_links_unless_forced(truetype_font, tmp_path):
    signed = quillmark.embed_remote(truetype_font, URI)
    (tmp_path / "f.ttf").write_bytes(signed)
    os.link(tmp_path / "f.ttf", tmp_path / "other-name.ttf")
    done = tool("remove", "f.ttf", "--in-place", cwd=tmp_path, code=1)
    assert done.stderr == ("quillmark: f.ttf: it has 2 hard links, and replacing it would split them (the other"
                           " names would keep the old font); --force replaces this name only\n")  # fmt: skip
    assert (tmp_path / "f.ttf").read_bytes() == signed
    tool("remove", "f.ttf", "--in-place", "--force", cwd=tmp_path)
    assert (tmp_path / "f.ttf").read_bytes() == quillmark.remove_manifest_table(signed)
    assert (tmp_path / "other-name.ttf").read_bytes() == signed


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["sign", "f.ttf"],
        ["reserve", "f.ttf", "100"],  # neither -o nor --in-place
        ["reserve", "f.ttf", "0", "-o", "o.ttf"],
        ["reserve", "f.ttf", "-5", "-o", "o.ttf"],
        ["reserve", "f.ttf", "1k", "-o", "o.ttf"],
        ["reserve", "f.ttf", "18446744073709551616", "-o", "o.ttf"],
        ["reserve", "f.ttf", "100", "-o", "o.ttf", "--in-place"],
        ["reserve", "f.ttf", "100", "--uri", "", "-o", "o.ttf"],
        ["embed", "f.ttf", "-o", "o.ttf"],
        ["embed", "f.ttf", "--uri", "u", "--store", "f.ttf", "-o", "o.ttf"],
        ["embed", "f.ttf", "--uri", "\udcff", "-o", "o.ttf"],  # a byte that is not UTF-8 in argv
        ["embed", "f.ttf", "--uri", "", "-o", "o.ttf"],
        ["embed", "f.ttf", "--store", "s.c2pa", "-o", "s.c2pa"],  # -o names an input of another role
        ["fill", "f.ttf", "s.c2pa", "-o", "s.c2pa"],
        ["fill", "f.ttf", "-o", "o.ttf"],  # no manifest
        ["fill", "f.ttf", "g.ttf", "s.c2pa", "-o", "out"],  # several fonts need --manifests
        ["fill", ".", "s.c2pa", "-o", "out"],  # so does a folder of several
        ["remove", "f.ttf", "./f.ttf", "--in-place"],  # the same font twice, replaced at once
        ["remove", "f.ttf", "g.ttf", "-o", "-"],  # two fonts, one standard output
        ["remove", "f.ttf", "g.ttf", "-o", "o.ttf"],  # a file where a folder is needed
        ["remove", "sub", "-o", "o.ttf"],  # so does a folder, even of one font
        ["remove", "f.ttf", "-o", "f.ttf"],
        ["remove", "f.ttf", "-o", ""],  # "$OUT" unset
        ["fill", "f.ttf", "--manifests", "", "-o", "out"],
        ["remove", "f.ttf", "-o", "./f.ttf"],
        ["remove", "f.ttf", "-o", "hardlink.ttf"],
        ["remove", "f.ttf", "-o", "."],
        ["remove", "f.ttf", "sub/f.ttf", "-o", "out"],  # both would be out/f.ttf
        ["remove", "f.ttf", "-j", "-1", "-o", "out"],
        ["extract", "f.ttf"],
        ["extract", "f.ttf", "-o", "out"],
        ["info"],
        ["info", "f.ttf", "--\x1b[31m.ttf"],  # a file name taken for an option: escaped too
    ],
)
def test_usage_errors_exit_2_and_write_nothing(here, truetype_font, tmp_path, args):
    for name in ("f.ttf", "g.ttf", "sub/f.ttf", "manifests/f.c2pa"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(truetype_font)
    os.link(tmp_path / "f.ttf", tmp_path / "hardlink.ttf")
    (tmp_path / "s.c2pa").write_bytes(b"store")
    (tmp_path / "o.ttf").write_bytes(b"precious")
    (tmp_path / "out").mkdir()
    before = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")}
    out, err = here(*args, cwd=tmp_path, code=2)
    assert out == ""
    top_level = not args or args[0] == "sign" or args[-1].startswith("--\x1b")  # unknown options: the top-level parser
    assert err.startswith("usage: quillmark " + ("" if top_level else f"{args[0]} "))
    assert "\x1b" not in err
    assert {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")} == before
