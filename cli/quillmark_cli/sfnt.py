"""Just enough of the SFNT layout for the tool's own checks, made before the module is asked to
do the work: whether a file is a font at all (from its first bytes), how large a rebuilt font
will be, whether it has a `head` table."""

from __future__ import annotations

import struct
from typing import BinaryIO, Optional

import quillmark

from . import messages

OFFSET_TABLE = 12  # sfntVersion, numTables, searchRange, entrySelector, rangeShift
TABLE_RECORD = 16  # tableTag, checksum, offset, length
C2PA_HEADER = 20  # the C2PA table's fixed header, before the URI and the store


def read_font(f: BinaryIO) -> bytes:
    """The whole font, once its first bytes have shown that it is one: a file that is no font
    is refused from its first 12 bytes, with the module's own message, however large it is."""
    head = f.read(OFFSET_TABLE)
    try:
        quillmark.read_manifest_uri_str(head)  # the offset table alone: the module judges the version
    except ValueError as e:
        if str(e) in messages.NOT_A_FONT:
            raise
    if f.seekable():
        f.seek(0)
        return f.read()
    return head + f.read()


def table_records(font: bytes) -> Optional[list[tuple[bytes, int]]]:
    """(tag, length) of each table, in directory order; None when the directory is truncated
    (the module then gives its own message)."""
    if len(font) < OFFSET_TABLE:
        return None
    (count,) = struct.unpack_from(">H", font, 4)
    if len(font) < OFFSET_TABLE + TABLE_RECORD * count:
        return None
    return [
        (tag, length)
        for tag, length in (struct.unpack_from(">4s8xI", font, OFFSET_TABLE + TABLE_RECORD * i) for i in range(count))
    ]


def rebuilt_size(font: bytes, c2pa_length: Optional[int]) -> Optional[int]:
    """The size of the font the module rebuilds from `font`: every table but `C2PA` written out
    in full at a 4-byte-aligned offset, plus a `C2PA` table of `c2pa_length` bytes (none when
    None). Tables that share bytes in the input are each written out: that is what makes a
    hostile font grow."""
    records = table_records(font)
    if records is None:
        return None
    lengths = [length for tag, length in records if tag != b"C2PA"]
    if c2pa_length is not None:
        lengths.append(c2pa_length)
    return OFFSET_TABLE + TABLE_RECORD * len(lengths) + sum((length + 3) & ~3 for length in lengths)


def has_table(font: bytes, tag: bytes) -> bool:
    return any(t == tag for t, _ in table_records(font) or ())
