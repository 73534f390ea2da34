#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus into fuzz/corpus/<target>/, beside what the fuzzers found.

Seeds are small on purpose: a few real fonts cut down with fontTools' subsetter to a glyph or
two, the same fonts as quillmark writes them (reserved, filled, with a URI), and hand-made edge
cases of the container and of the C2PA table. Run it from a venv with fontTools and quillmark
installed; the files it writes are committed, so CI does not need to run it.
"""

from __future__ import annotations

import io
import struct
import sys
from pathlib import Path

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

import quillmark

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from conftest import c2pa_header, c2pa_table, directory, head_table, make_font  # noqa: E402
from reference import rebuild, tables_of  # noqa: E402

REAL = [
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf",
    "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
]


def small(path: str, text: str = "A") -> bytes:
    """`path` cut down to the glyphs of `text`, without layout tables or hinting."""
    if path.endswith(".ttc"):
        font = TTCollection(path).fonts[0]
    else:
        font = TTFont(path)
    options = subset.Options()
    options.layout_features = []
    options.hinting = False
    options.desubroutinize = True
    options.name_IDs = [1, 2]
    options.notdef_outline = False
    options.drop_tables += ["DSIG", "GPOS", "GSUB", "GDEF", "kern", "VORG", "vhea", "vmtx", "gasp", "FFTM"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=text)
    subsetter.subset(font)
    out = io.BytesIO()
    font.recalcTimestamp = False  # the same seeds on every run
    font.save(out)
    return out.getvalue()


def fonts() -> dict[str, bytes]:
    seeds: dict[str, bytes] = {}
    for path in REAL:
        if Path(path).exists():
            seeds["real-" + Path(path).stem] = small(path)
    seeds["real-DejaVuSans-word"] = small(REAL[0], "Quillmark fonts?")
    base = seeds["real-DejaVuSans"]
    seeds["reserved"] = quillmark.reserve_manifest_placeholder(base, 64, "https://example.com/m")
    seeds["filled"] = quillmark.fill_manifest_store(seeds["reserved"], b"\x00\x01manifest" * 3)
    seeds["remote"] = quillmark.embed_remote(seeds["real-LiberationSans-Regular"], "https://example.com/x")
    seeds["embedded"] = quillmark.embed_manifest_store(seeds["real-NotoSans-Regular"], b"store" * 5)

    head = head_table()
    cmap = b"\x00\x00\x00\x01" * 3
    v = struct.pack
    seeds.update({
        "empty": b"",
        "short": b"\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00",
        "no-tables": v(">IHHHH", 0x00010000, 0, 16, 0, 0xFFF0),
        "otto-no-tables": b"OTTO" + bytes(8),
        "true-no-tables": b"true" + bytes(8),
        "typ1-no-tables": b"typ1" + bytes(8),
        "ttcf": b"ttcf" + v(">II", 0x00010000, 1) + v(">I", 16) + make_font([(b"head", head)]),
        "woff": b"wOFF" + bytes(40),
        "woff2": b"wOF2" + bytes(40),
        "bad-version": v(">I", 0x00020000) + bytes(8),
        "truncated-directory": b"OTTO" + v(">HHHH", 1, 16, 0, 0),
        "whole-file-table": b"OTTO" + v(">HHHH", 1, 16, 0, 0) + v(">4sIII", b"glyf", 0, 0, 28),
        "past-end": v(">IHHHH", 0x00010000, 1, 16, 0, 0) + v(">4sIII", b"cvt ", 0, 28, 1),
        "offset-ffffffff": v(">IHHHH", 0x00010000, 1, 16, 0, 0) + v(">4sIII", b"\xffabc", 0, 0xFFFFFFFF, 1),
        "zero-length-at-end": v(">IHHHH", 0x00010000, 1, 16, 0, 0) + v(">4sIII", b"zero", 0, 28, 0),
        "head-only": make_font([(b"head", head)]),
        "short-head": make_font([(b"cmap", cmap), (b"head", head_table(length=8))]),
        "two-heads": make_font([(b"head", head), (b"head", head_table(7))]),
        "unsorted-unaligned": make_font([(b"maxp", b"\x01\x02\x03"), (b"head", head), (b"OS/2", b"\x05" * 5)], align=False),
        "c2pa-store": make_font([(b"head", head), (b"C2PA", c2pa_table(store=b"abcde"))]),
        "c2pa-uri": make_font([(b"C2PA", c2pa_table(uri=b"https://e.com")), (b"head", head)]),
        "c2pa-both": make_font([(b"cmap", cmap), (b"C2PA", c2pa_table(b"u", b"\x00" * 9)), (b"head", head)]),
        "c2pa-twice": make_font([(b"C2PA", c2pa_table(store=b"one")), (b"C2PA", c2pa_header(store_offset=20, store_length=99)), (b"head", head)]),
        "c2pa-twice-bad-first": make_font([(b"C2PA", c2pa_header(uri_offset=99, uri_length=1)), (b"C2PA", c2pa_table(store=b"one")), (b"head", head)]),
        "c2pa-short": make_font([(b"C2PA", b"\x00\x01" * 5), (b"head", head)]),
        "c2pa-ffffffff": make_font([(b"C2PA", c2pa_header(0xFFFFFFFF, 2, 0xFFFFFFFF, 2)), (b"head", head)]),
        "c2pa-store-past-end": make_font([(b"C2PA", c2pa_header(store_offset=20, store_length=5) + b"abcd"), (b"head", head)]),
        "c2pa-bad-utf8": make_font([(b"C2PA", c2pa_header(uri_offset=20, uri_length=2, store_offset=22, store_length=1) + b"\xc0\x80s"), (b"head", head)]),
        "c2pa-empty-pieces": make_font([(b"C2PA", c2pa_header(uri_offset=20, uri_length=0, store_offset=20, store_length=0)), (b"head", head)]),
        "c2pa-no-head": make_font([(b"C2PA", c2pa_table(store=b"\x00" * 16))]),
    })
    seeds.update(relaid(seeds["reserved"]))
    seeds["reserved-two-heads"] = quillmark.reserve_manifest_placeholder(
        make_font([(b"head", head), (b"glyf", bytes(range(40))), (b"head", head_table(7, length=30))]), 16, "u")
    seeds["reserved-short-head-first"] = quillmark.reserve_manifest_placeholder(
        make_font([(b"head", head_table(7, length=8)), (b"glyf", bytes(range(40))), (b"head", head)]), 16)
    # Tables that overlap one another and the directory.
    overlap = bytearray(make_font([(b"C2PA", c2pa_table(store=b"xyzw")), (b"head", head)]))
    struct.pack_into(">II", overlap, 12 + 16 + 8, 0, len(overlap))
    seeds["overlap-directory"] = bytes(overlap)
    return seeds


def relaid(reserved: bytes) -> dict[str, bytes]:
    """`reserved` changed in one way each that filling must refuse: it would move or rewrite
    bytes outside the exclusion ranges."""
    n = len(directory(reserved))
    tables = tables_of(reserved)
    version = int.from_bytes(reserved[:4], "big")
    c2pa = dict(tables)[b"C2PA"]
    c2pa_at, c2pa_length = next((offset, length) for tag, _, offset, length in directory(reserved) if tag == b"C2PA")
    stale = bytearray(reserved)
    stale[12 + 16 * (n - 1) + 4] ^= 1  # the last record's checksum
    swapped = bytearray(reserved)
    swapped[12:28], swapped[28:44] = reserved[28:44], reserved[12:28]
    padding = bytearray(reserved)
    assert c2pa_length % 4
    padding[c2pa_at + c2pa_length] = 1
    foreign = struct.pack(">HHIHHII", 3, 7, 0, 0, 0, 20, len(c2pa) - 20) + c2pa[20:]
    return {
        "relaid-stale-checksum": bytes(stale),
        "relaid-unsorted-directory": bytes(swapped),
        "relaid-trailing-bytes": reserved + bytes(4),
        "relaid-padding": bytes(padding),
        "relaid-second-c2pa": rebuild([*tables, (b"C2PA", c2pa_table(None, b"other"))], version),
        "relaid-foreign-c2pa": rebuild([t if t[0] != b"C2PA" else (b"C2PA", foreign) for t in tables], version),
        "relaid-spare-bytes-in-c2pa": rebuild([t if t[0] != b"C2PA" else (b"C2PA", c2pa + b"tail") for t in tables], version),
    }


def tables() -> dict[str, bytes]:
    h = c2pa_header
    seeds = {
        "empty": b"",
        "19-bytes": bytes(19),
        "zeros": bytes(20),
        "store": c2pa_table(store=b"abcde"),
        "uri": c2pa_table(uri=b"https://example.com/manifest.c2pa"),
        "both": c2pa_table(uri="https://ex.com/\u00e9\u4e2d\U0001f600".encode(), store=bytes(range(32))),
        "version-3-7": c2pa_table(store=b"s", major=3, minor=7),
        "uri-offset-ignored-length": h(uri_offset=0, uri_length=7),
        "empty-uri-at-end": h(uri_offset=20, uri_length=0),
        "uri-one-past": h(uri_offset=21, uri_length=0),
        "store-at-end": h(store_offset=20, store_length=3) + b"abc",
        "store-one-past": h(store_offset=20, store_length=4) + b"abc",
        "ffffffff": h(0xFFFFFFFF, 2, 0xFFFFFFFF, 2),
        "uri-over-header": h(uri_offset=1, uri_length=3),
        "overlapping": h(uri_offset=20, uri_length=4, store_offset=22, store_length=4) + b"abcd",
        "spare-bytes": h(uri_offset=24, uri_length=2, store_offset=30, store_length=2) + b"....ab....cd..",
    }
    bad_utf8 = {
        "overlong-2": b"\xc0\x80", "overlong-3": b"\xe0\x80\x80", "overlong-4": b"\xf0\x80\x80\x80",
        "surrogate": b"\xed\xa0\x80", "above-10ffff": b"\xf4\x90\x80\x80", "f5": b"\xf5\x80\x80\x80",
        "lone-continuation": b"a\x80b", "cut-off": b"ab\xe2\x82", "ff": b"\xff", "nul": b"a\x00b",
        "max": b"\xf4\x8f\xbf\xbf",
    }
    for name, uri in bad_utf8.items():
        seeds["utf8-" + name] = c2pa_table(uri=uri)
    return seeds


def write(directory: Path, seeds: dict[str, bytes]) -> None:
    # Only the named seeds are rewritten: the fuzzers' findings kept beside them stay.
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (directory / name).write_bytes(data)


def main() -> None:
    corpus = HERE / "corpus"
    font_seeds = fonts()
    write(corpus / "read", font_seeds)
    write(corpus / "table", tables())
    # fuzz_rebuild: 4 bytes of parameters (embed what, URI length, store length) before the font.
    write(corpus / "rebuild", {name: b"\x03\x10\x00\x40" + data for name, data in font_seeds.items() if len(data) >= 12})
    # fuzz_fill: 8 bytes of parameters (reserve_size - 1, URI length and flag, two manifest
    # lengths) before the font.
    write(corpus / "fill", {name: struct.pack(">HBBHH", 99, 12, 1, 40, 7) + data for name, data in font_seeds.items() if len(data) >= 12})
    total = sum(p.stat().st_size for p in corpus.rglob("*") if p.is_file())
    print(f"{sum(1 for p in corpus.rglob('*') if p.is_file())} files, {total} bytes")


if __name__ == "__main__":
    main()
