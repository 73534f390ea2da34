"""The paths that were rewritten for speed must give the answers of the plain ones.

The SFNT checksum is summed by byte position in vector lanes, folded every 2 KiB: the tables here
have lengths on either side of the 8-byte words, of the 1 to 7 bytes after them and of those
folds, and bytes of 0xFF, which fill the lanes fastest. The placeholder is written into fresh,
uninitialised storage.
"""

from __future__ import annotations

import random

import pytest

import quillmark as qm
from conftest import MAGIC, c2pa_table, checksum, directory, head_table, make_font

LENGTHS = [1, 3, 4, 7, 8, 9, 15, 2047, 2048, 2049, 2052, 2055, 4096 + 7, 50001]


def table_data(length: int, pattern: str) -> bytes:
    if pattern == "ff":
        return b"\xff" * length
    return random.Random(length).randbytes(length)


def sum_as_stored(tag: bytes, data: bytes) -> int:
    """A table's directory checksum: head is summed with checkSumAdjustment taken as zero."""
    if tag == b"head":
        data = data[:8] + bytes(4) + data[12:]
    return checksum(data)


@pytest.mark.parametrize("pattern", ["ff", "random"])
@pytest.mark.parametrize("length", LENGTHS)
def test_rebuilt_font_checksums(length, pattern):
    data = table_data(length, pattern)
    font = make_font([(b"head", head_table(0x12345678)), (b"glyf", data), (b"loca", data[: length // 2 + 1])])
    for out in (qm.embed_remote(font, "https://example.com/m"), qm.remove_manifest_table(font)):
        for tag, stored, offset, size in directory(out):
            assert stored == sum_as_stored(tag, out[offset : offset + size]), tag
        assert checksum(out) == MAGIC
    assert qm.is_compliant(qm.embed_remote(font, "https://example.com/m"))


def unaligned_font(head_at: int, tail: int) -> tuple[bytes, int]:
    """A font with a URI-only C2PA table whose head table starts `head_at` bytes past a multiple
    of 4 and whose length is `tail` past one, with a correct checkSumAdjustment; and the offset
    of that field."""
    c2pa = c2pa_table(uri=b"https://example.com/m")  # 41 bytes
    pad = bytes(range(1, 1 + (head_at - len(c2pa)) % 4 + 4))
    end = b"\xff" * (4 + (tail - (len(c2pa) + len(pad) + 54)) % 4)
    font = bytearray(
        make_font([(b"C2PA", c2pa), (b"Zpad", pad), (b"head", head_table(0)), (b"zend", end)], align=False)
    )
    head = next(offset for tag, _, offset, _ in directory(bytes(font)) if tag == b"head")
    assert head % 4 == head_at and len(font) % 4 == tail
    field = head + 8
    font[field : field + 4] = ((MAGIC - checksum(bytes(font))) & 0xFFFFFFFF).to_bytes(4, "big")
    return bytes(font), head


@pytest.mark.parametrize("tail", [0, 1, 2, 3])
@pytest.mark.parametrize("head_at", [0, 1, 2, 3])
def test_compliance_sums_the_file_as_it_lies(head_at, tail):
    font, head = unaligned_font(head_at, tail)
    assert qm.is_compliant(font)
    # Any one byte changed, checkSumAdjustment's own included, breaks the sum: a directory
    # checksum, the padding table, head before, in and after the field, the file's last byte.
    for position in (16, head - 1, head + 7, head + 8, head + 11, head + 12, len(font) - 1):
        broken = bytearray(font)
        broken[position] ^= 0x5A
        assert not qm.is_compliant(bytes(broken)), position


@pytest.mark.parametrize("signed_length", [0, 1, 4095, 4096])
def test_fill_changes_only_the_excluded_ranges(truetype_font, signed_length):
    # Dirty the heap first: the placeholder is written into fresh, uninitialised storage, and
    # only an explicit fill with zeros keeps earlier bytes out of it.
    qm.embed_manifest_store(truetype_font, b"\xa5" * 8192)
    reserved = qm.reserve_manifest_placeholder(truetype_font, 4096, "https://example.com/m")
    (start, length), *_ = [r for r in qm.data_hash_ranges(reserved) if r[1] == 4096]
    assert reserved[start : start + length] == bytes(4096)

    signed = bytes((i * 7 + 1) % 256 for i in range(signed_length))
    filled = qm.fill_manifest_store(reserved, signed)
    assert len(filled) == len(reserved)
    assert filled[start : start + length] == signed + bytes(4096 - signed_length)
    kept = bytearray(filled)
    for range_start, range_length in qm.data_hash_ranges(reserved):
        kept[range_start : range_start + range_length] = reserved[range_start : range_start + range_length]
    assert bytes(kept) == reserved
    assert qm.is_compliant(filled)
