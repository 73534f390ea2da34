"""The SFNT layout as the C2PA engine reads it: the offset table, the table records, the `C2PA`
table's header (C2PA 2.2, A.3.9), box names (18.7.3.6) and checksums, with `head`'s
checkSumAdjustment taken as zero in one place.

Every read is checked against the file before it is used; a font that cannot be read raises
SfntError with a one-line message. Work is bounded by the file's size: a directory whose tables
share bytes is refused once the bytes it asks to read pass twice the file (`work_limit`).
"""

from __future__ import annotations

import array
import struct
import sys
from typing import Callable, List, NamedTuple, Optional, Sequence, Tuple, Union

import quillmark

Buffer = Union[bytes, memoryview]

# The offset table: sfntVersion u32, numTables u16, searchRange u16, entrySelector u16, rangeShift u16.
OFFSET_TABLE_SIZE = 12
# A table record: tableTag Tag, checksum u32, offset Offset32, length u32.
TABLE_RECORD_SIZE = 16
TABLE_RECORD = struct.Struct(">4sIII")
NUM_TABLES = struct.Struct(">H")
NUM_TABLES_FIELD = 4

SFNT_VERSIONS = frozenset({b"\x00\x01\x00\x00", b"OTTO", b"true", b"typ1"})
# Formats a font file may be in that are not one plain SFNT font, named in the refusal.
OTHER_FORMATS = {b"ttcf": "a font collection", b"wOFF": "a WOFF font", b"wOF2": "a WOFF2 font"}

# head: checkSumAdjustment is the u32 at byte 8; the file's checksum plus it makes this magic.
HEAD = b"head"
HEAD_ADJUSTMENT_FIELD = 8
HEAD_ADJUSTMENT_END = HEAD_ADJUSTMENT_FIELD + 4
CHECKSUM_MAGIC = 0xB1B0AFBA

# The C2PA table (C2PA 2.2, A.3.9.2, Table 14): majorVersion u16, minorVersion u16,
# activeManifestUriOffset Offset32, activeManifestUriLength u16, reserved u16,
# manifestStoreOffset Offset32, manifestStoreLength u32; offsets count from the table's start.
C2PA = b"C2PA"
C2PA_HEADER = struct.Struct(">HHIHHII")
C2PA_HEADER_SIZE = C2PA_HEADER.size
assert C2PA_HEADER_SIZE == 20


class SfntError(ValueError):
    """The file cannot be read as one SFNT font; the message says why, on one line."""


def box_name(tag: bytes) -> str:
    """A table's box name (C2PA 2.2, 18.7.3.6): its tag decoded as Latin-1, trailing spaces
    stripped. Latin-1 maps each byte to one character, so two tags never share a name (the
    module's `box_hashes` names tables by the same rule)."""
    return tag.decode("latin-1").rstrip(" ")


class Table(NamedTuple):
    """One table record, as the directory gives it. A NamedTuple, not a dataclass: every command
    imports this module, and importing dataclasses would add to each one's start-up."""

    tag: bytes
    checksum: int
    offset: int
    length: int

    @property
    def name(self) -> str:
        """The box name of the table (see `box_name`)."""
        return box_name(self.tag)

    @property
    def end(self) -> int:
        return self.offset + self.length

    @property
    def adjusted(self) -> bool:
        """Whether the table holds a checkSumAdjustment that hashing and summing take as zero."""
        return self.tag == HEAD and self.length >= HEAD_ADJUSTMENT_END


def work_limit(font: Buffer) -> int:
    """The most bytes that summing or hashing the tables of a font may take: twice the file."""
    return 2 * len(font) + 65536


def read_directory(font: Buffer) -> List[Table]:
    """The table records in directory order, each inside the file."""
    if len(font) < OFFSET_TABLE_SIZE:
        raise SfntError(f"not a font: shorter than the {OFFSET_TABLE_SIZE}-byte offset table")
    version = bytes(font[:4])
    if version not in SFNT_VERSIONS:
        raise SfntError(f"not a plain SFNT font: {OTHER_FORMATS.get(version, 'unknown sfnt version')}")
    (count,) = NUM_TABLES.unpack_from(font, NUM_TABLES_FIELD)
    if directory_end(count) > len(font):
        raise SfntError(f"table directory of {count} tables runs past the end of the file")
    tables = [Table(*TABLE_RECORD.unpack_from(font, OFFSET_TABLE_SIZE + TABLE_RECORD_SIZE * i)) for i in range(count)]
    for table in tables:
        if table.end > len(font):
            raise SfntError(f"table '{table.name}' runs past the end of the file")
    # Tables that share bytes are each summed and hashed in full: bound the work a directory of
    # records pointing at the same bytes could ask for.
    total = sum(t.length for t in tables)
    if total > work_limit(font):
        raise SfntError(f"the tables overlap: {total} bytes of tables in a {len(font)}-byte file")
    return tables


def directory_end(count: int) -> int:
    """Where the table directory of `count` tables ends: the bytes no table and no box covers."""
    return OFFSET_TABLE_SIZE + TABLE_RECORD_SIZE * count


def head_zeroed(font: Buffer, start: int, end: int, tables: Sequence[Table] = ()) -> List[Buffer]:
    """The bytes of `font[start:end]` as pieces to hash or sum in turn, without copying them:
    slices of one memoryview, with the checkSumAdjustment of each `head` among `tables` that
    lies in the range given as four zero bytes (C2PA 2.2, 18.7.3.6; the SFNT checksum of
    `head` is taken the same way). One pass over `tables`, whatever they hold."""
    view = font if isinstance(font, memoryview) else memoryview(font)
    fields = sorted(
        t.offset + HEAD_ADJUSTMENT_FIELD
        for t in tables
        if t.adjusted and start <= t.offset + HEAD_ADJUSTMENT_FIELD and t.offset + HEAD_ADJUSTMENT_END <= end
    )
    pieces: List[Buffer] = []
    position = start
    for at in fields:
        if at < position:  # two head records that share their adjustment: it is zeroed once
            continue
        pieces += [view[position:at], bytes(4)]
        position = at + 4
    pieces.append(view[position:end])
    return pieces


def table_bytes(font: Buffer, table: Table) -> List[Buffer]:
    """One table's bytes as `head_zeroed` gives them."""
    return head_zeroed(font, table.offset, table.end, (table,))


# -- the C2PA table ---------------------------------------------------------------------------------


class C2paTable(NamedTuple):
    """The C2PA table's header, and the file ranges (start, length) of the active manifest URI
    and the Manifest Store; None where the header gives a length of 0."""

    major_version: int
    minor_version: int
    uri_range: Optional[Tuple[int, int]]
    store_range: Optional[Tuple[int, int]]

    def uri(self, font: Buffer) -> Optional[bytes]:
        if self.uri_range is None:
            return None
        start, length = self.uri_range
        return bytes(font[start : start + length])


def read_c2pa_table(font: Buffer, table: Table) -> C2paTable:
    """The C2PA table's header, its URI and store ranges checked to lie inside the table."""
    if table.length < C2PA_HEADER_SIZE:
        raise SfntError(f"C2PA table is shorter than its {C2PA_HEADER_SIZE}-byte header")
    major, minor, uri_offset, uri_length, _, store_offset, store_length = C2PA_HEADER.unpack_from(font, table.offset)
    uri_range: Optional[Tuple[int, int]] = None
    store_range: Optional[Tuple[int, int]] = None
    if uri_length:
        if uri_offset + uri_length > table.length:
            raise SfntError("C2PA table's active manifest URI runs past the end of the table")
        uri_range = (table.offset + uri_offset, uri_length)
    if store_length:
        if store_offset + store_length > table.length:
            raise SfntError("C2PA table's Manifest Store runs past the end of the table")
        store_range = (table.offset + store_offset, store_length)
    return C2paTable(major, minor, uri_range, store_range)


def c2pa_tables(tables: Sequence[Table]) -> List[Table]:
    return [t for t in tables if t.tag == C2PA]


# -- checksums ------------------------------------------------------------------------------------


def sfnt_sum(pieces: Sequence[Buffer]) -> int:
    """The SFNT checksum of the pieces' bytes, one after another: big-endian 32-bit words summed
    modulo 2**32, the last word zero-padded."""
    data = b"".join(pieces)
    words = array.array("I" if array.array("I").itemsize == 4 else "L")
    words.frombytes(data + bytes(-len(data) % 4))
    if sys.byteorder == "little":
        words.byteswap()
    return sum(words) & 0xFFFFFFFF


def _python_table_checksums(font: Buffer) -> List[int]:
    return [sfnt_sum(table_bytes(font, t)) for t in read_directory(font)]


# The module sums in C++ without holding the GIL; the Python sum stands in where it is missing.
_table_checksums: Callable[[Buffer], List[int]] = getattr(quillmark, "table_checksums", None) or _python_table_checksums


def table_checksums(font: bytes, tables: Sequence[Table]) -> List[int]:
    """Each table's SFNT checksum, in directory order, with head's checkSumAdjustment as zero."""
    try:
        sums = list(_table_checksums(font))
    except ValueError:  # a font the module refuses that this reader accepts: sum it here
        sums = _python_table_checksums(font)
    if len(sums) != len(tables):
        sums = _python_table_checksums(font)
    return sums


def file_checksum(font: Buffer, tables: Sequence[Table], sums: Sequence[int]) -> int:
    """The whole file's SFNT checksum with every head's checkSumAdjustment as zero.

    Built from the table checksums where the tables tile the file (HarfBuzz's way: the directory's
    sum plus the tables' sums, plus whatever lies between them), so the font's bytes are not
    summed a second time; a file laid out otherwise is summed whole."""
    view = memoryview(font)
    position = directory_end(len(tables))
    total = sfnt_sum([view[:position]])
    for table, checksum in sorted(zip(tables, sums), key=lambda pair: pair[0].offset):
        padded = min((table.end + 3) & ~3, len(font))
        if table.offset % 4 or table.offset < position or any(view[table.end : padded]):
            return sfnt_sum(head_zeroed(font, 0, len(font), tables))
        if table.offset > position:
            total += sfnt_sum([view[position : table.offset]])
        total += checksum
        position = padded
    total += sfnt_sum([view[position:]])
    return total & 0xFFFFFFFF


def checksum_problems(font: bytes, tables: Sequence[Table]) -> List[str]:
    """What is wrong with the font's checksums, one line each: table checksums that do not match
    their tables, and head's checkSumAdjustment."""
    sums = table_checksums(font, tables)
    problems: List[str] = []
    wrong = [t.name for t, s in zip(tables, sums) if s != t.checksum]
    if wrong:
        shown = ", ".join(f"'{name}'" for name in wrong[:8]) + (f" and {len(wrong) - 8} more" if len(wrong) > 8 else "")
        problems.append(f"wrong table checksum: {shown}")
    heads = [t for t in tables if t.adjusted]
    if heads:
        (adjustment,) = struct.unpack_from(">I", font, heads[0].offset + HEAD_ADJUSTMENT_FIELD)
        if adjustment != (CHECKSUM_MAGIC - file_checksum(font, tables, sums)) & 0xFFFFFFFF:
            problems.append("wrong checkSumAdjustment in the head table")
    return problems
