"""A second, deliberately plain model of the fonts quillmark writes, so that its output can be
compared byte for byte with something that shares none of its code."""

from __future__ import annotations

import struct

from conftest import MAGIC, checksum, directory


def pad4(n: int) -> int:
    return n + (-n % 4)


def rebuild(tables, version: int = 0x00010000) -> bytes:
    """The font a rebuild must produce from `tables` ((tag, data) pairs in font order): sorted by
    tag (stably), each table on a multiple of 4 with zero padding, head summed with its
    checkSumAdjustment as zero, and the adjustment written into the first head when it has 12
    bytes or more."""
    tables = sorted(tables, key=lambda t: t[0])
    n = len(tables)
    e = n.bit_length() - 1 if n else 0
    search_range = 16 << e
    out = bytearray(
        struct.pack(">IHHHH", version, n, search_range & 0xFFFF, e, (16 * n - search_range) & 0xFFFF)
    )
    body = bytearray()
    first_head = None
    for tag, data in tables:
        offset = 12 + 16 * n + len(body)
        summed = data[:8] + bytes(4) + data[12:] if tag == b"head" and len(data) >= 12 else data
        out += struct.pack(">4sIII", tag, checksum(summed), offset, len(data))
        if tag == b"head" and first_head is None:
            first_head = (offset, len(data))
        body += data + bytes(-len(data) % 4)
    font = out + body
    if first_head and first_head[1] >= 12:
        at = first_head[0] + 8
        font[at : at + 4] = bytes(4)
        font[at : at + 4] = struct.pack(">I", (MAGIC - checksum(font)) % 2**32)
    return bytes(font)


def tables_of(font: bytes) -> list[tuple[bytes, bytes]]:
    """(tag, data) of every directory entry, in directory order."""
    return [(tag, font[offset : offset + length]) for tag, _, offset, length in directory(font)]


def with_adjustment(font: bytes, value: int | None = None) -> bytes:
    """`font` with the first head's checkSumAdjustment made right (or set to `value`), wherever
    that head lies: right means the stored value is MAGIC minus the sum of the file with the
    field zeroed."""
    for tag, _, offset, length in directory(font):
        if tag == b"head" and length >= 12:
            out = bytearray(font)
            out[offset + 8 : offset + 12] = bytes(4)
            if value is None:
                value = (MAGIC - checksum(out)) % 2**32
            out[offset + 8 : offset + 12] = struct.pack(">I", value)
            return bytes(out)
    raise ValueError("no head table of 12 bytes or more")
