"""What the tool works out from a font's table directory before the module is asked to rebuild
it: how large the rebuilt font will be, and whether it has a given table. The layout's facts
(offset table, table records, the C2PA table's header) are the engine's, `quillmark_c2pa.sfnt`."""

from __future__ import annotations

from typing import Optional

from quillmark_c2pa.sfnt import C2PA, C2PA_HEADER_SIZE, NUM_TABLES, NUM_TABLES_FIELD, OFFSET_TABLE_SIZE
from quillmark_c2pa.sfnt import TABLE_RECORD, TABLE_RECORD_SIZE

__all__ = ["C2PA_HEADER_SIZE", "has_table", "rebuilt_size", "table_records"]


def table_records(font: bytes, inside: bool = True) -> Optional[list[tuple[bytes, int]]]:
    """(tag, length) of each table, in directory order; None when the directory is truncated or
    (with `inside`) a table other than `C2PA` runs past the end of the file: the module then
    refuses the font with its own message, which says so. A `C2PA` table is dropped when
    rebuilding, so its bounds are the module's to judge."""
    if len(font) < OFFSET_TABLE_SIZE:
        return None
    (count,) = NUM_TABLES.unpack_from(font, NUM_TABLES_FIELD)
    if len(font) < OFFSET_TABLE_SIZE + TABLE_RECORD_SIZE * count:
        return None
    directory = memoryview(font)[OFFSET_TABLE_SIZE : OFFSET_TABLE_SIZE + TABLE_RECORD_SIZE * count]
    records = []
    size = len(font)
    for tag, _, offset, length in TABLE_RECORD.iter_unpack(directory):
        if inside and offset + length > size and tag != C2PA:
            return None
        records.append((tag, length))
    return records


def rebuilt_size(font: bytes, c2pa_length: Optional[int]) -> Optional[int]:
    """The size of the font the module rebuilds from `font`: every table but `C2PA` written out
    in full at a 4-byte-aligned offset, plus a `C2PA` table of `c2pa_length` bytes (none when
    None). Tables that share bytes in the input are each written out: that is what makes a
    hostile font grow. None for a font the module will refuse."""
    records = table_records(font)
    if records is None:
        return None
    lengths = [length for tag, length in records if tag != C2PA]
    if c2pa_length is not None:
        lengths.append(c2pa_length)
    return OFFSET_TABLE_SIZE + TABLE_RECORD_SIZE * len(lengths) + sum((length + 3) & ~3 for length in lengths)


def has_table(font: bytes, tag: bytes) -> bool:
    return any(t == tag for t, _ in table_records(font, inside=False) or ())
