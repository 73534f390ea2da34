"""Fonts that quillmark rebuilds from real fonts, judged by tools that share none of its code:
fontTools (with its strictest checksum checking) and the OpenType Sanitizer."""

from __future__ import annotations

import io
import logging
import os

import ots
import pytest
from fontTools.ttLib import TTFont

import quillmark as qm
from conftest import C2PA, MAGIC, checksum
from reference import tables_of

URI = "https://example.com/manifests/font.c2pa"
SIGNED = os.urandom(1500)

OPERATIONS = {
    "reserve": lambda f: qm.reserve_manifest_placeholder(f, 2048, URI),
    "fill": lambda f: qm.fill_manifest_store(qm.reserve_manifest_placeholder(f, 2048), SIGNED),
    "embed_remote": lambda f: qm.embed_remote(f, URI),
    "embed_manifest_store": lambda f: qm.embed_manifest_store(f, SIGNED),
    "remove": lambda f: qm.remove_manifest_table(qm.embed_remote(f, URI)),
}


def sanitizer_accepts(data: bytes, tmp_path, name: str) -> bool:
    path = tmp_path / name
    path.write_bytes(data)
    return ots.sanitize(str(path), capture_output=True).returncode == 0


def without_adjustment(tables):
    """Table bytes by tag, head's checkSumAdjustment blanked: the one field a rebuild may change."""
    return {tag: data[:8] + bytes(4) + data[12:] if tag == b"head" else data for tag, data in tables if tag != C2PA}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_rebuilt_fonts_pass_the_judges(any_font, operation, tmp_path, caplog):
    out = operation(any_font)

    with caplog.at_level(logging.WARNING, logger="fontTools"):
        font = TTFont(io.BytesIO(out), checkChecksums=2)
        for tag in font.reader.keys():
            font.reader[tag]  # reading a table checks its directory checksum (an error at level 2)
        assert font["head"].magicNumber == 0x5F0F3CF5  # head still decompiles
    assert not caplog.records, [r.getMessage() for r in caplog.records]
    assert checksum(out) == MAGIC

    assert without_adjustment(tables_of(out)) == without_adjustment(tables_of(any_font))
    assert (C2PA in font.reader.keys()) == (operation is not OPERATIONS["remove"])

    if sanitizer_accepts(any_font, tmp_path, "input.ttf"):
        assert sanitizer_accepts(out, tmp_path, "output.ttf")


@pytest.mark.parametrize("fixture", ["truetype_font", "cff_font"])
def test_a_font_saved_by_fonttools_is_still_read(fixture, request):
    # fontTools orders and pads tables its own way; the C2PA table must survive and stay readable.
    filled = qm.fill_manifest_store(qm.reserve_manifest_placeholder(request.getfixturevalue(fixture), 2048, URI), SIGNED)
    buffer = io.BytesIO()
    TTFont(io.BytesIO(filled)).save(buffer)
    resaved = buffer.getvalue()
    assert qm.read_manifest_store(resaved) == SIGNED + bytes(548)
    assert qm.read_manifest_uri_str(resaved) == URI
    assert qm.is_compliant(resaved) is True
    assert len(qm.data_hash_ranges(resaved)) == 3
