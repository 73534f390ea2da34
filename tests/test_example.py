"""examples/sign_font.py run as a newcomer runs it: a subprocess, judged by its output and files,
and its signed fonts judged by `quillmark check`."""

from __future__ import annotations

import hashlib
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import manifest_store as ms
import quillmark
from conftest import independent_box_hashes, real_fonts
from messages import NOT_SFNT
from quillmark_cli.commands.check import check_font

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "sign_font.py"
SAMPLE = SCRIPT.parent / "fonts" / "QuillSample-Regular.ttf"
TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
URI = "https://example.com/manifests/quill-sample.c2pa"


def run(*args, cwd: Path) -> subprocess.CompletedProcess:
    command = [sys.executable, str(SCRIPT), *map(str, args)]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)


def labels(data: bytes) -> list[str]:
    """The label of every superbox in the store, depth first; written apart from quillmark_cli."""
    found, position = [], 0
    while position < len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        if kind == b"jumb":
            label = data[position + 8 + 8 + 17 : position + length]
            found.append(label[: label.index(b"\0")].decode())
            jumd_length = struct.unpack_from(">I", data, position + 8)[0]
            found += labels(data[position + 8 + jumd_length : position + length])
        position += length
    return found


def layout(data: bytes, start: int = 0, end: int | None = None) -> list[tuple[int, bytes, int]]:
    """(offset, type, length) of every box, depth first, superboxes opened."""
    found, position, end = [], start, len(data) if end is None else end
    while position < end:
        length, kind = struct.unpack_from(">I4s", data, position)
        found.append((position, kind, length))
        if kind == b"jumb":
            found += layout(data, position + 8, position + length)
        position += length
    return found


def test_the_demonstration_store_is_laid_out_as_a_worked_example():
    """An unsigned store of a c2pa.hash.data assertion, against a layout worked out by hand from
    C2PA 2.2, 11.1.4 (every box at its offset, with its length), and the claim's hash of the
    assertion (C2PA 2.2, 8.4.2.3) computed there."""
    store = ms.manifest_store([("c2pa.hash.data", ms.data_hash(b"\xaa" * 32, [(532, 696)]))], generator="example")
    assert layout(store) == [
        (0, b"jumb", 696), (8, b"jumd", 30), (38, b"jumb", 658), (46, b"jumd", 71), (117, b"jumb", 193),
        (125, b"jumd", 41), (166, b"jumb", 144), (174, b"jumd", 40), (214, b"cbor", 96), (310, b"jumb", 303),
        (318, b"jumd", 39), (357, b"cbor", 256), (613, b"jumb", 83), (621, b"jumd", 40), (661, b"cbor", 35)]  # fmt: skip
    assert store[:46].hex() == ("000002b86a756d62" "0000001e6a756d64" "6332706100110010800000aa00389b71" "03"
                                "6332706100" "000002926a756d62")  # fmt: skip
    assert bytes.fromhex("a97fbc96122bc012de0d5f9eb6c3abc396142640f548b994be2eb28e8214bce5") in store


def digest_outside(font: bytes, ranges) -> str:
    kept, position = bytearray(), 0
    for start, length in ranges:
        kept += font[position:start]
        position = start + length
    return hashlib.sha256(bytes(kept + font[position:])).hexdigest()


@pytest.mark.parametrize("binding", ["data", "boxes"])
@pytest.mark.parametrize("case", ["sample", "sample-uri", "real", "cff"])
def test_signs_end_to_end(case, binding, tmp_path, request):
    uri, args = None, ["--binding", binding]
    if case == "real":
        if not real_fonts():
            pytest.skip("no real font installed")
        source, out = real_fonts()[0], tmp_path / "signed.ttf"
        args += [source, "-o", out]
    elif case == "cff":
        # The default output keeps the input's suffix, and a name with a space survives.
        source = tmp_path / "Quill Test.otf"
        source.write_bytes(request.getfixturevalue("cff_font"))
        out = tmp_path / "Quill Test-signed.otf"
        args += [source]
    else:
        source, out = SAMPLE, tmp_path / "QuillSample-Regular-signed.ttf"
        if case == "sample-uri":
            uri = URI
            args += ["--uri", URI]
    original = source.read_bytes()

    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = result.stdout
    assert "DEMONSTRATION" in report and "is not a C2PA signature" in report
    assert f"font       {source}, {len(original)} bytes" in report
    assert f"uri        {uri or 'none'}" in report
    assert f"checked    c2pa.hash.{binding} matches the signed font" in report
    signed = out.read_bytes()
    assert f"wrote      {out.resolve()}, {len(signed)} bytes" in report
    assert source.read_bytes() == original

    # The written font, judged by the module, an independent hash and the command-line check.
    store = quillmark.read_manifest_store(signed)
    assert labels(store) == [
        "c2pa", "urn:c2pa:F9168C5E-CEB2-4FAA-B6BF-329BF39FA1E4", "c2pa.assertions", f"c2pa.hash.{binding}",
        "c2pa.claim.v2", "c2pa.signature"]  # fmt: skip
    assert quillmark.read_manifest_uri_str(signed) == uri
    if binding == "data":
        ranges = quillmark.data_hash_ranges(signed)
        assert " ".join(f"({s}, {n})" for s, n in ranges) in report
        assert f"sha256 {digest_outside(signed, ranges)}" in report
        assert f"reserved   {len(store)} bytes, the manifest's exact size" in report
    else:
        boxes = independent_box_hashes(signed)
        assert f"boxes      {len(boxes)}: {' '.join(name for name, _ in boxes)}" in report
    done = subprocess.run([TOOL, "check", "--strict", "--embedded", out], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout
    assert done.stdout.endswith(f"{out}: ok: c2pa.hash.{binding} matches (sha256)\n")


@pytest.mark.parametrize("binding", ["data", "boxes"])
def test_any_later_change_to_the_signed_font_fails_the_check(binding, tmp_path):
    assert run("--binding", binding, "-o", "signed.ttf", cwd=tmp_path).returncode == 0
    signed = (tmp_path / "signed.ttf").read_bytes()
    assert check_font(signed).failure is None
    # Every byte of the offset table, the directory and the C2PA table's start, then a stride
    # through the rest (the store, every other table and the padding between them).
    positions = [*range(0, 400), *range(400, len(signed), 37), len(signed) - 1]
    for position in positions:
        changed = bytearray(signed)
        changed[position] ^= 0x40
        assert check_font(bytes(changed)).failure is not None, position
    assert not check_font(signed + bytes(4)).passed(strict=True)


@pytest.mark.parametrize(
    "case, message",
    [
        ("not-a-font", f"error: {NOT_SFNT}"),
        ("missing", "No such file"),
        ("output-is-input", "error: refusing to overwrite the input font"),
    ],
)
def test_failure_exits_nonzero_and_writes_nothing(case, message, tmp_path):
    font = tmp_path / "input.ttf"
    font.write_bytes(b"not a font\n" * 20 if case == "not-a-font" else SAMPLE.read_bytes())
    args = [font, "--binding", "data"]
    if case == "missing":
        font.unlink()
    elif case == "output-is-input":
        args += ["-o", "./input.ttf"]  # the same file under another spelling
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert message in result.stderr and result.stderr.count("\n") == 1
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
