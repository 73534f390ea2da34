"""Fonts and small byte-level helpers shared by the tests.

The helpers here are written independently of quillmark's C++ so that they can judge it: a font
builder that lays tables out exactly as asked (any order, any offsets), a plain encoder for the
C2PA table header, the SFNT checksum, box hashes from fontTools and hashlib, and fonts bound
to stores built by hand (tests/stores.py).
"""

from __future__ import annotations

import hashlib
import io
import os
import struct
from pathlib import Path

import pytest

import quillmark

import stores as ms

C2PA = b"C2PA"
MAGIC = 0xB1B0AFBA

# Real fonts from Debian's font packages (.ci/run installs them where they are missing).
REAL_FONT_PATHS = [
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf",
    "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf",
]


def checksum(data: bytes) -> int:
    """The SFNT checksum: big-endian u32 words summed modulo 2**32, zero-padded."""
    data = bytes(data) + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(f">{len(data) // 4}I", data)) & 0xFFFFFFFF


def c2pa_table(uri: bytes | None = None, store: bytes | None = None, major: int = 0, minor: int = 1) -> bytes:
    """A C2PA table as quillmark writes it: header, URI bytes, store bytes."""
    u = len(uri or b"")
    s = len(store or b"")
    header = struct.pack(">HHIHHII", major, minor, 20 if u else 0, u, 0, 20 + u if s else 0, s)
    return header + (uri or b"") + (store or b"")


def c2pa_header(uri_offset=0, uri_length=0, store_offset=0, store_length=0, major=0, minor=1) -> bytes:
    """A bare C2PA header with any field values, for malformed tables."""
    return struct.pack(">HHIHHII", major, minor, uri_offset, uri_length, 0, store_offset, store_length)


def make_font(tables, version: int | bytes = 0x00010000, *, align: bool = True) -> bytes:
    """An SFNT font whose directory lists `tables` ((tag, data) pairs) in the given order, each
    table's data following the directory in the same order. Checksums are those of the data;
    no checkSumAdjustment is computed."""
    n = len(tables)
    head = version if isinstance(version, bytes) else struct.pack(">I", version)
    out = bytearray(head + struct.pack(">HHHH", n, 0, 0, 0))
    offset = 12 + 16 * n
    records = bytearray()
    body = bytearray()
    for tag, data in tables:
        records += struct.pack(">4sIII", tag, checksum(data), offset + len(body), len(data))
        body += data
        if align:
            body += b"\0" * (-len(body) % 4)
    return bytes(out + records + body)


def head_table(adjustment: int = 0, length: int = 54) -> bytes:
    """A head table with a given checkSumAdjustment; the rest is filler."""
    data = bytearray(struct.pack(">IIII", 0x00010000, 0x00010000, adjustment, 0x5F0F3CF5))
    data += bytes(range(16, length)) if length > 16 else b""
    return bytes(data[:length])


def directory(font: bytes) -> list[tuple[bytes, int, int, int]]:
    """(tag, checksum, offset, length) of every record, in directory order."""
    n = struct.unpack_from(">H", font, 4)[0]
    return [struct.unpack_from(">4sIII", font, 12 + 16 * i) for i in range(n)]


def fix_checksums(font: bytes) -> bytes:
    """The font with every table checksum and checkSumAdjustment recomputed, as a tool that
    rewrites a font leaves it."""
    out = bytearray(font)
    head = None
    for i, (tag, _, offset, length) in enumerate(directory(font)):
        data = bytearray(out[offset : offset + length])
        if tag == b"head":
            head, data[8:12] = offset, bytes(4)
            out[offset + 8 : offset + 12] = bytes(4)
        struct.pack_into(">I", out, 12 + 16 * i + 4, checksum(data))
    if head is not None:
        struct.pack_into(">I", out, head + 8, (0xB1B0AFBA - checksum(out)) & 0xFFFFFFFF)
    return bytes(out)


def table_bytes(font: bytes, tag: bytes) -> bytes:
    for t, _, offset, length in directory(font):
        if t == tag:
            return font[offset : offset + length]
    raise KeyError(tag)


def independent_box_hashes(font: bytes, alg: str = "sha256") -> list[tuple[str, bytes]]:
    """The box hashes of a font (C2PA 2.2, 18.7.3.6) from fontTools' table bytes and hashlib:
    every table in directory order, head's checkSumAdjustment as zero, C2PA as 00."""
    from fontTools.ttLib import TTFont

    reader = TTFont(io.BytesIO(font), lazy=True).reader
    boxes = []
    for record, *_ in directory(font):  # directory order: fontTools keeps its tables in file order
        tag = record.decode("latin-1")
        data = bytearray(reader[tag])
        if tag == "head" and len(data) >= 12:
            data[8:12] = bytes(4)
        boxes.append((tag.rstrip(" "), b"\0" if tag == "C2PA" else hashlib.new(alg, data).digest()))
    return boxes


def hash_outside(font: bytes, ranges) -> bytes:
    """SHA-256 of the font outside the ranges."""
    digest, position = hashlib.sha256(), 0
    for start, length in ranges:
        digest.update(font[position:start])
        position = start + length
    return digest.update(font[position:]) or digest.digest()


def sign_data(font: bytes, uri=None, edit=lambda ranges: ranges, extra=()) -> bytes:
    """Signed by c2pa.hash.data, the store of exactly the reserved size; `edit` changes the
    exclusions the assertion lists, `extra` adds assertions."""

    def store(ranges, digest=bytes(32)):
        return ms.manifest_store([("c2pa.hash.data", ms.data_hash(digest, edit(ranges))), *extra])

    reserved, ranges = ms.reserve_exactly(font, uri, store)
    return quillmark.fill_manifest_store(reserved, store(ranges, hash_outside(reserved, edit(ranges))))


def box_store(font: bytes, edit=lambda boxes: boxes, extra=()) -> bytes:
    """A c2pa.hash.boxes store for `font`, its box hashes computed independently of quillmark."""
    boxes = independent_box_hashes(quillmark.embed_manifest_store(font, b"any store"))
    return ms.manifest_store([("c2pa.hash.boxes", ms.box_hash(edit(boxes))), *extra])


def sign_boxes(font: bytes, uri=None, **kwargs) -> bytes:
    """Signed by c2pa.hash.boxes: the store embedded, or reserved to its size beside a URI."""
    store = box_store(font, **kwargs)
    if uri is None:
        return quillmark.embed_manifest_store(font, store)
    return quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, len(store), uri), store)


def _build_font(cff: bool) -> bytes:
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.t2CharStringPen import T2CharStringPen
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    glyphs = [".notdef", "A", "space"]
    fb = FontBuilder(1000, isTTF=not cff)
    fb.setupGlyphOrder(glyphs)
    fb.setupCharacterMap({0x41: "A", 0x20: "space"})
    metrics = {g: (600, 50) for g in glyphs}
    if cff:
        outlines = {}
        for g in glyphs:
            pen = T2CharStringPen(600, None)
            if g != "space":
                pen.moveTo((50, 0)), pen.lineTo((550, 0)), pen.lineTo((300, 700)), pen.closePath()
            outlines[g] = pen.getCharString()
        fb.setupCFF("QuillTestCFF", {"FullName": "Quill Test CFF"}, outlines, {})
    else:
        outlines = {}
        for g in glyphs:
            pen = TTGlyphPen(None)
            if g != "space":
                pen.moveTo((50, 0)), pen.lineTo((550, 0)), pen.lineTo((300, 700)), pen.closePath()
            outlines[g] = pen.glyph()
        fb.setupGlyf(outlines)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Quill Test", "styleName": "Regular"})
    fb.setupOS2(sTypoAscender=800, usWinAscent=800, usWinDescent=200)
    fb.setupPost()
    buf = io.BytesIO()
    fb.save(buf)
    return buf.getvalue()


@pytest.fixture(scope="session")
def truetype_font() -> bytes:
    """A small TrueType font built with fontTools."""
    return _build_font(cff=False)


@pytest.fixture(scope="session")
def cff_font() -> bytes:
    """A small CFF-flavoured OpenType font ('OTTO') built with fontTools."""
    return _build_font(cff=True)


def real_fonts() -> list[Path]:
    return [Path(p) for p in REAL_FONT_PATHS if os.path.exists(p)]


@pytest.fixture(scope="session", params=[p for p in REAL_FONT_PATHS], ids=lambda p: Path(p).stem)
def real_font(request) -> bytes:
    path = Path(request.param)
    if not path.exists():
        pytest.skip(f"{path} is not installed")
    return path.read_bytes()


@pytest.fixture(scope="session", params=["truetype", "cff", *REAL_FONT_PATHS], ids=lambda p: Path(p).stem)
def any_font(request, truetype_font, cff_font) -> bytes:
    """Every font the suite has: the two built ones and the real ones."""
    if request.param == "truetype":
        return truetype_font
    if request.param == "cff":
        return cff_font
    path = Path(request.param)
    if not path.exists():
        pytest.skip(f"{path} is not installed")
    return path.read_bytes()
