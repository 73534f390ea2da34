"""The SFNT container as the functions meet it: which inputs are refused and with what message,
how a font is rebuilt (byte for byte against an independent model), and the whole-font
checksum rule."""

from __future__ import annotations

import struct

import pytest

import quillmark as qm
from conftest import C2PA, MAGIC, c2pa_table, checksum, directory, head_table, make_font
import messages as M
from messages import COLLECTION, NOT_SFNT, PAST_END, TRUNCATED, WOFF
from reference import rebuild, tables_of, with_adjustment

# Every function that parses the font it is given, each called with arguments that are otherwise
# sound, so that only the font can fail. They share one reader of the directory, and so refuse
# the same fonts with the same messages.
PARSERS = {
    "read_manifest_store": qm.read_manifest_store,
    "read_manifest_uri_str": qm.read_manifest_uri_str,
    "remove_manifest_table": qm.remove_manifest_table,
    "is_compliant": qm.is_compliant,
    "reserve": lambda f: qm.reserve_manifest_placeholder(f, 4),
    "fill": lambda f: qm.fill_manifest_store(f, b""),
    "embed_store": lambda f: qm.embed_manifest_store(f, b"m"),
    "embed_remote": lambda f: qm.embed_remote(f, "u"),
    "data_hash_ranges": qm.data_hash_ranges,
    "box_hashes": qm.box_hashes,
    "table_checksums": qm.table_checksums,
}


def raw_font(entries, size, version=b"\0\1\0\0"):
    """Offset table and directory for (tag, offset, length) entries, zero-filled to `size` bytes."""
    out = version + struct.pack(">HHHH", len(entries), 0, 0, 0)
    out += b"".join(struct.pack(">4sIII", tag, 0, offset, length) for tag, offset, length in entries)
    return out + bytes(size - len(out))


def past_end(tag: str) -> str:
    return PAST_END.format(tag=tag)


@pytest.mark.parametrize(
    "font, message",
    [
        (b"", NOT_SFNT),
        (b"\0", NOT_SFNT),
        (b"\0\1\0\0" + bytes(7), NOT_SFNT),
        (b"wOFF" + bytes(7), NOT_SFNT),  # too short to be looked at, even as WOFF
        (b"ttcf" + bytes(7), NOT_SFNT),
        (b"ttcf" + bytes(8), COLLECTION),
        (b"wOFF" + bytes(8), WOFF),
        (b"wOF2" + bytes(8), WOFF),
        (b"wOFF\xff\xff" + bytes(6), WOFF),  # the version is judged before the directory
        (b"TRUE" + bytes(8), NOT_SFNT),
        (b"\0\2\0\0" + bytes(8), NOT_SFNT),
        (b"\0\0\0\0" + bytes(8), NOT_SFNT),
        (b"OTTO\0\1" + bytes(6), TRUNCATED),
        (b"OTTO\0\1" + bytes(21), TRUNCATED),
        (b"\0\1\0\0\xff\xff" + bytes(16 * 0xFFFF - 1 + 6), TRUNCATED),
        (raw_font([(b"glyf", 28, 5)], 32), past_end("glyf")),
        (raw_font([(b"glyf", 0xFFFFFFFF, 1)], 28), past_end("glyf")),  # no wrap to 0
        (raw_font([(b"loca", 29, 0)], 28), past_end("loca")),
        (raw_font([(b"cvt ", 28, 8)], 32), past_end("cvt ")),  # the message shows two blanks
        (raw_font([(b"\xffabc", 28, 8)], 32), past_end("\xffabc")),  # Latin-1: one character a byte
        (raw_font([(b"\xe9tag", 28, 8)], 32), past_end("\xe9tag")),
        (raw_font([(b"\xf0\x9f\x98\x80", 28, 8)], 32), past_end("\xf0\x9f\x98\x80")),  # not U+1F600
        (raw_font([(b"aaaa", 0, 45), (b"bbbb", 0, 46)], 44), past_end("aaaa")),  # first failure only
    ],
)
@pytest.mark.parametrize("call", PARSERS.values(), ids=PARSERS.keys())
def test_refused_inputs(call, font, message):
    with pytest.raises(ValueError) as info:
        call(font)
    assert str(info.value) == message


def test_a_tag_is_named_as_the_python_side_names_it():
    """Messages name a tag by the rule the Python side uses (its bytes as Latin-1), so each of
    the 256 values of each byte shows as a character of its own."""
    for tag in (b"\xffabc", b"\xe2\x82ab", b"\xc0\xafab", b"\xed\xa0\x80a", b"\x80\x81\x00\n", bytes(range(252, 256))):
        with pytest.raises(ValueError) as info:
            qm.is_compliant(raw_font([(tag, 28, 8)], 32))
        assert str(info.value) == past_end(tag.decode("latin-1"))


WHOLE = raw_font([(b"OTTO", 0, 28)], 28, b"OTTO")


@pytest.mark.parametrize(
    "font, tables",
    [
        (raw_font([(b"glyf", 28, 4)], 32), [(b"glyf", bytes(4))]),  # ends exactly at the end
        (raw_font([(b"loca", 28, 0)], 28), [(b"loca", b"")]),  # empty, at the very end
        (WHOLE, [(b"OTTO", WHOLE)]),
    ],
    ids=["ends-at-end", "empty-at-end", "table-is-whole-file"],
)
def test_edge_tables_are_accepted(font, tables):
    assert tables_of(font) == tables  # the helper agrees with the bytes we built
    assert qm.remove_manifest_table(font) == rebuild(tables, struct.unpack(">I", font[:4])[0])


# ---- rebuilding -----------------------------------------------------------------------------


def test_rebuild_of_the_small_example_byte_for_byte():
    head = head_table(adjustment=0x12345678)
    cmap = bytes(range(1, 11))
    font = qm.embed_manifest_store(make_font([(b"head", head), (b"cmap", cmap)]), b"\x01\x02\x03\x04\x05")
    assert len(font) == 156
    assert font[:12] == b"\0\1\0\0" + struct.pack(">HHHH", 3, 32, 1, 16)
    c2pa = c2pa_table(store=b"\x01\x02\x03\x04\x05")
    assert directory(font) == [
        (C2PA, checksum(c2pa), 60, 25),
        (b"cmap", checksum(cmap), 88, 10),
        (b"head", checksum(head[:8] + bytes(4) + head[12:]), 100, 54),
    ]
    assert font[60:85] == c2pa and font[88:98] == cmap
    assert font[100:108] == head[:8] and font[112:154] == head[12:]
    assert font[85:88] == bytes(3) and font[98:100] == bytes(2) and font[154:156] == bytes(2)
    assert checksum(font) == MAGIC
    assert font == rebuild([(b"head", head), (b"cmap", cmap), (C2PA, c2pa)])


REBUILDS = {
    "odd-lengths": [(b"glyf", b"\x01\x02\x03\x04\x05"), (b"loca", b"\xff"), (b"head", head_table(0xDEADBEEF))],
    "zero-length": [(b"aaaa", b""), (b"bbbb", b"xyz"), (b"zzzz", b""), (b"head", head_table())],
    "equal-tags-keep-order": [(b"zzzz", b"1"), (b"abcd", b"first"), (b"aaaa", b""), (b"abcd", b"second")],
    "many-equal-tags": [(b"bbbb" if i % 3 else b"aaaa", bytes([i]) * (i % 5)) for i in range(60)],
    "unsigned-tag-order": [(b"\x80abc", b"hi"), (b"cmap", b"c"), (b"OS/2", b"o"), (b"CFF ", b"f"), (b"C2PB", b"b")],
    "short-head": [(b"head", head_table(length=8)), (b"cmap", b"abcdefg")],
    "head-of-12": [(b"cmap", b"abc"), (b"head", head_table(7, length=12))],
    "two-heads": [(b"head", head_table(1)), (b"cmap", b"abc"), (b"head", head_table(2, length=20))],
    "no-head": [(b"cmap", b"abc"), (b"glyf", bytes(9))],
}


@pytest.mark.parametrize("version", [0x00010000, 0x4F54544F, 0x74727565, 0x74797031])
@pytest.mark.parametrize("align", [True, False], ids=["aligned", "unaligned"])
@pytest.mark.parametrize("tables", REBUILDS.values(), ids=REBUILDS.keys())
def test_rebuild_matches_the_model(tables, align, version):
    out = qm.remove_manifest_table(make_font(tables, version, align=align))
    assert out == rebuild(tables, version)
    assert qm.remove_manifest_table(out) == out  # rebuilding a rebuilt font changes nothing


def test_rebuild_zero_length_and_padding_details():
    out = qm.remove_manifest_table(make_font(REBUILDS["zero-length"]))
    entries = {tag: (cs, off, ln) for tag, cs, off, ln in directory(out)}
    assert entries[b"aaaa"] == (0, entries[b"bbbb"][1], 0)  # takes no room: the next table's offset
    assert entries[b"zzzz"] == (0, len(out), 0)  # the last: the file's length
    glyf = qm.remove_manifest_table(make_font([(b"glyf", b"\x01\x02\x03\x04\x05")]))
    assert glyf[28:36] == b"\x01\x02\x03\x04\x05\0\0\0" and len(glyf) == 36
    assert directory(glyf)[0][1] == 0x01020304 + 0x05000000


def test_short_head_is_left_alone():
    head = head_table(0xCAFEBABE, length=8)
    out = qm.embed_remote(make_font([(b"head", head), (b"cmap", b"abc")]), "u")
    assert tables_of(out)[2] == (b"head", head)
    assert qm.is_compliant(out) is False


def test_two_heads_adjust_the_first_one():
    """The adjusted head is the one whose field the exclusion ranges name and the compliance
    check reads: the first; a first head too short for the field means no adjustment at all."""
    first, second = head_table(0x11111111), head_table(0x22222222, length=20)
    out = qm.embed_remote(make_font([(b"head", first), (b"head", second)]), "u")
    heads = [data for tag, data in tables_of(out) if tag == b"head"]
    assert heads[0][:8] == first[:8] and heads[0][12:] == first[12:] and heads[1] == second
    assert checksum(out) == MAGIC and qm.is_compliant(out) is True

    short = head_table(0x11111111, length=8)
    out = qm.embed_remote(make_font([(b"head", short), (b"head", second)]), "u")
    assert [data for tag, data in tables_of(out) if tag == b"head"] == [short, second]
    assert qm.is_compliant(out) is False


@pytest.mark.parametrize(
    "n, fields",
    [(0, (16, 0, 0xFFF0)), (1, (16, 0, 0)), (3, (32, 1, 16)), (10, (128, 3, 32)), (16, (256, 4, 0)),
     (4096, (0, 12, 0)), (4097, (0, 12, 16))],
)
def test_search_range_fields(n, fields):
    tables = [(struct.pack(">I", 0x61616161 + i), b"") for i in range(n)]
    out = qm.remove_manifest_table(make_font(tables))
    assert struct.unpack(">HHHH", out[4:12]) == (n, *fields)


def test_only_c2pa_becomes_the_bare_header():
    for version in (b"\0\1\0\0", b"OTTO"):
        font = make_font([(C2PA, c2pa_table(store=b"s")), (C2PA, c2pa_table(uri=b"u"))], version)
        assert qm.remove_manifest_table(font) == version + b"\0\0\0\x10\0\0\xff\xf0"


# ---- the whole-font checksum ------------------------------------------------------------------


def c2pa_font(head_first: bool, align: bool, tail: bytes = b""):
    tables = [(C2PA, c2pa_table(uri=b"u")), (b"head", head_table(0x5A5A5A5A)), (b"glyf", bytes(range(7)) + tail)]
    return make_font(tables[1:2] + tables[:1] + tables[2:] if head_first else tables, align=align)


@pytest.mark.parametrize("head_first", [True, False])
@pytest.mark.parametrize("align", [True, False], ids=["aligned", "unaligned"])
def test_checksum_adjustment_rule(align, head_first):
    font = with_adjustment(c2pa_font(head_first, align))
    assert qm.is_compliant(font) is True
    head_offset = next(off for tag, _, off, _ in directory(font) if tag == b"head")
    if not align and not head_first:
        assert head_offset % 4 == 1  # the field straddles two words
    for position in (6, head_offset + 8, len(font) - 1):  # searchRange, the field, the last byte
        broken = bytearray(font)
        broken[position] ^= 0x01
        assert qm.is_compliant(bytes(broken)) is False, position


def test_checksum_counts_a_trailing_byte_as_a_high_byte():
    font = with_adjustment(c2pa_font(False, False, tail=bytes(858) + b"\x7f"))
    assert len(font) == 1001
    assert qm.is_compliant(font) is True
    assert qm.is_compliant(font[:-1] + b"\x7e") is False
    low_byte_reading = checksum(with_adjustment(font, 0)) - 0x7F000000 + 0x7F
    assert qm.is_compliant(with_adjustment(font, (MAGIC - low_byte_reading) % 2**32)) is False


# ---- table_checksums ----------------------------------------------------------------------------


def model_checksums(font: bytes) -> list[int]:
    """Each table's checksum from conftest's plain sum, head's bytes 8 to 12 zeroed when it has them."""
    sums = []
    for tag, _, offset, length in directory(font):
        data = bytearray(font[offset : offset + length])
        if tag == b"head" and length >= 12:
            data[8:12] = bytes(4)
        sums.append(checksum(data))
    return sums


@pytest.mark.parametrize("align", [True, False], ids=["aligned", "unaligned"])
@pytest.mark.parametrize("tables", REBUILDS.values(), ids=REBUILDS.keys())
def test_table_checksums_match_a_plain_sum(tables, align):
    """In directory order, as the font has them (not sorted), at any alignment, with every head
    of 12 bytes or more summed with checkSumAdjustment as zero, and none shorter."""
    font = make_font(tables, align=align)
    sums = qm.table_checksums(font)
    assert sums == model_checksums(font)
    assert all(type(s) is int and 0 <= s < 2**32 for s in sums)


def test_table_checksums_are_what_the_writers_put_in_the_records(any_font):
    for font in (any_font, qm.embed_manifest_store(any_font, b"\xff" * 1001), qm.remove_manifest_table(any_font)):
        assert qm.table_checksums(font) == model_checksums(font)
    written = qm.embed_remote(any_font, "https://example.com/m")
    assert qm.table_checksums(written) == [record[1] for record in directory(written)]


def test_table_checksums_of_a_large_table_and_a_trailing_partial_word():
    """Past the size from which the module lets go of the GIL, and past the kernels' blocks,
    with bytes near 255 that fill their lanes."""
    big = bytes([255, 254, 253]) * 100_001
    font = make_font([(b"glyf", big), (b"head", head_table(0xFFFFFFFF, 55))], align=False)
    assert qm.table_checksums(font) == model_checksums(font)


def shared_tables(count: int, length: int) -> bytes:
    """A font whose `count` directory entries all point at one table of `length` bytes."""
    offset = 12 + 16 * count
    records = b"".join(struct.pack(">4sIII", b"T%03d" % i, 0, offset, length) for i in range(count))
    return struct.pack(">IHHHH", 0x00010000, count, 0, 0, 0) + records + bytes(range(256)) * (length // 256)


def test_table_checksums_bound_the_work_of_shared_bytes():
    """Entries that share bytes may add up to twice the file and 64 KiB, as the Python checker
    allows; past that the sum is refused, before anything is summed, rather than read the file
    over and over (65535 entries on one 16 MiB table would be a terabyte)."""
    length = 1 << 16
    for count in (1, 2, 3, 4, 5):
        font = shared_tables(count, length)
        if count * length <= 2 * len(font) + 65536:
            assert qm.table_checksums(font) == [checksum(font[-length:])] * count
        else:
            with pytest.raises(ValueError) as refused:
                qm.table_checksums(font)
            assert str(refused.value) == M.TABLES_OVERLAP.format(total=count * length, size=len(font))
    assert sum(count * length <= 2 * len(shared_tables(count, length)) + 65536 for count in range(1, 6)) == 3
