"""The C2PA table: how its header is read (through the two readers and the compliance check)
and what the writers put into it, byte for byte."""

from __future__ import annotations

import struct

import pytest

import quillmark as qm
from conftest import C2PA, c2pa_header as H, c2pa_table, directory, head_table, make_font, table_bytes
from reference import with_adjustment

SHORT = "invalid C2PA table: table shorter than 20-byte header"
URI_PAST = "invalid C2PA table: active manifest URI extends past end of table"
STORE_PAST = "invalid C2PA table: manifest store extends past end of table"
BAD_UTF8 = "invalid C2PA table: active manifest URI is not valid UTF-8"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"
MOVES = "invalid C2PA table: filling would change bytes outside the exclusion ranges; reserve the font again"


def font_with(*c2pa_tables: bytes) -> bytes:
    """A font holding the given C2PA tables, in order, with a right checkSumAdjustment."""
    return with_adjustment(make_font([(C2PA, t) for t in c2pa_tables] + [(b"head", head_table())]))


def outcome(call, font):
    """The result, or the message of the ValueError."""
    try:
        return call(font)
    except ValueError as e:
        return str(e)


# table -> (URI read back, store read back, is_compliant), each a value or an error message. The
# whole table is decoded for either read, so a bad store fails the URI's read too.
DECODING = {
    "19-bytes": (H()[:19], SHORT, SHORT, SHORT),
    "bare-header": (bytes(20), None, NO_STORE, False),
    "uri-offset-0-ignores-length": (H(0, 7) + b"abcdefg", None, NO_STORE, False),
    "store-offset-0-ignores-length": (H(store_length=5) + bytes(5), None, NO_STORE, False),
    "empty-uri-at-end": (H(20, 0), "", NO_STORE, True),
    "empty-uri-one-past": (H(21, 0), URI_PAST, URI_PAST, URI_PAST),
    "empty-store": (H(store_offset=20), None, b"", True),
    "store-ends-at-end": (H(store_offset=22, store_length=3) + b"xyzab", None, b"zab", True),
    "store-one-past": (H(store_offset=22, store_length=4) + b"xyzab", STORE_PAST, STORE_PAST, STORE_PAST),
    "uri-ends-at-end": (H(21, 2) + b"xyz", "yz", NO_STORE, True),
    "uri-one-past": (H(21, 3) + b"xyz", URI_PAST, URI_PAST, URI_PAST),
    "uri-offset-max": (H(0xFFFFFFFF, 2) + b"ab", URI_PAST, URI_PAST, URI_PAST),
    "store-offset-max": (H(store_offset=0xFFFFFFFF, store_length=2) + b"ab", STORE_PAST, STORE_PAST, STORE_PAST),
    "store-length-max": (H(store_offset=20, store_length=0xFFFFFFFF) + b"ab", STORE_PAST, STORE_PAST, STORE_PAST),
    "uri-overlaps-header": (H(1, 3), "\0\0\x01", NO_STORE, True),
    "store-overlaps-header": (H(store_offset=16, store_length=4), None, b"\0\0\0\x04", True),
    "shared-bytes": (H(20, 3, 20, 3) + b"abc", "abc", b"abc", True),
    "spare-bytes": (H(24, 1, 28, 2, major=3, minor=7) + b"....u...st..", "u", b"st", True),
    "both-out-of-bounds": (H(40, 1, 50, 1), URI_PAST, URI_PAST, URI_PAST),
    "bad-uri-before-store-range": (H(20, 1, 99, 1) + b"\xff", BAD_UTF8, BAD_UTF8, BAD_UTF8),
    "version-9.9": (H(20, 1, 21, 1, major=9, minor=9) + b"us", "u", b"s", True),
}


@pytest.mark.parametrize("table, uri, store, compliant", DECODING.values(), ids=DECODING.keys())
def test_decoding(table, uri, store, compliant):
    font = font_with(table)
    assert outcome(qm.read_manifest_uri_str, font) == uri
    assert outcome(qm.read_manifest_store, font) == store
    assert outcome(qm.is_compliant, font) == compliant


INVALID_UTF8 = {
    "overlong-2": b"\xc0\xaf",
    "overlong-3": b"\xe0\x80\xaf",
    "overlong-4": b"\xf0\x80\x80\xaf",
    "surrogate-high": b"\xed\xa0\x80",
    "surrogate-low": b"\xed\xbf\xbf",
    "above-10ffff": b"\xf4\x90\x80\x80",
    "lead-f5": b"\xf5\x80\x80\x80",
    "lead-ff": b"a\xff",
    "truncated-2": b"ab\xc3",
    "truncated-4": b"\xf0\x9f\x98",
    "lone-continuation": b"\x80",
    "continuation-after-ascii": b"a\xbf",
    "missing-continuation": b"\xe2\x82a",
}


@pytest.mark.parametrize("raw", INVALID_UTF8.values(), ids=INVALID_UTF8.keys())
def test_invalid_utf8_uri_is_refused(raw):
    font = font_with(c2pa_table(uri=raw, store=b"s"))
    for call in (qm.read_manifest_uri_str, qm.read_manifest_store, qm.is_compliant):
        assert outcome(call, font) == BAD_UTF8


@pytest.mark.parametrize(
    "raw",
    [b"\0", b"a\0b", b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xef\xbf\xbf",
     b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\xef\xbb\xbfBOM"],
)
def test_well_formed_utf8_uri_is_read(raw):
    font = font_with(c2pa_table(uri=raw))
    assert qm.read_manifest_uri_str(font) == raw.decode("utf-8")
    assert qm.is_compliant(font) is True


def test_first_of_two_tables_is_read():
    good, bad = c2pa_table(uri=b"first", store=b"1"), H()[:10]
    for font in (font_with(good, bad), font_with(good, c2pa_table(uri=b"second", store=b"2"))):
        assert qm.read_manifest_uri_str(font) == "first"
        assert qm.read_manifest_store(font) == b"1"
        # a second C2PA table would vanish from under the signer's hash
        assert outcome(lambda f: qm.fill_manifest_store(f, b"x"), font) == MOVES
    font = font_with(bad, good)
    for call in (qm.read_manifest_uri_str, qm.read_manifest_store, lambda f: qm.fill_manifest_store(f, b"")):
        assert outcome(call, font) == SHORT


@pytest.mark.parametrize("count", [2, 3])
@pytest.mark.parametrize("broken", [False, True], ids=["sound", "malformed-and-bad-checksum"])
def test_compliance_refuses_several_tables(count, broken):
    tables = [H()[:10] if broken else c2pa_table(uri=b"u")] * count
    font = font_with(*tables)
    if broken:
        font = with_adjustment(font, 0x12345678)
    message = f"invalid C2PA table: font contains {count} C2PA tables; at most one is allowed"
    assert outcome(qm.is_compliant, font) == message


def test_malformed_table_raises_whatever_the_checksum():
    font = with_adjustment(font_with(H()[:10]), 0)
    assert outcome(qm.is_compliant, font) == SHORT


# ---- what the writers encode ------------------------------------------------------------------

BASE = make_font([(b"head", head_table()), (b"cmap", bytes(10))])
EMPTY_TABLE = bytes.fromhex("0000 0001 00000000 0000 0000 00000000 00000000")


@pytest.mark.parametrize(
    "write, table",
    [
        (lambda f: qm.embed_manifest_store(f, b"\1\2\3\4\5"),
         bytes.fromhex("0000 0001 00000000 0000 0000 00000014 00000005 0102030405")),
        (lambda f: qm.embed_remote(f, "abc"), bytes.fromhex("0000 0001 00000014 0003 0000 00000000 00000000 616263")),
        (lambda f: qm.embed_remote(f, "é"), bytes.fromhex("0000 0001 00000014 0002 0000 00000000 00000000 c3a9")),
        (lambda f: qm.reserve_manifest_placeholder(f, 4, "abc"),
         bytes.fromhex("0000 0001 00000014 0003 0000 00000017 00000004 616263 00000000")),
        (lambda f: qm.reserve_manifest_placeholder(f, 1), bytes.fromhex("0000 0001 00000000 0000 0000 00000014 00000001 00")),
        (lambda f: qm.fill_manifest_store(qm.reserve_manifest_placeholder(f, 4, "abc"), b"xy"),
         bytes.fromhex("0000 0001 00000014 0003 0000 00000017 00000004 616263 78790000")),
        (lambda f: qm.embed_remote(f, ""), EMPTY_TABLE),
        (lambda f: qm.embed_manifest_store(f, b""), EMPTY_TABLE),
    ],
    ids=["store", "uri", "uri-utf8-length", "reserve-uri", "reserve-1", "fill", "empty-uri", "empty-store"],
)
def test_written_table_layout(write, table):
    out = write(BASE)
    assert table_bytes(out, C2PA) == table
    assert [tag for tag, *_ in directory(out)].count(C2PA) == 1


def test_empty_pieces_are_written_as_absent():
    for out in (qm.embed_remote(BASE, ""), qm.embed_manifest_store(BASE, b"")):
        assert qm.read_manifest_uri_str(out) is None
        assert outcome(qm.read_manifest_store, out) == NO_STORE
        assert qm.is_compliant(out) is False


def test_rewriting_a_foreign_table_writes_our_own_layout():
    # version 3.7, a reserved field that is not zero, spare bytes around both pieces
    foreign = struct.pack(">HHIHHII", 3, 7, 24, 3, 0xBEEF, 30, 4) + b"JUNKabc...WXYZtail"
    font = font_with(foreign)
    assert qm.read_manifest_uri_str(font) == "abc" and qm.read_manifest_store(font) == b"WXYZ"
    assert outcome(lambda f: qm.fill_manifest_store(f, b"hi"), font) == MOVES  # its header would change
    assert table_bytes(qm.embed_remote(font, "new"), C2PA) == c2pa_table(b"new")
    assert table_bytes(qm.embed_manifest_store(font, b"st"), C2PA) == c2pa_table(None, b"st")
    assert table_bytes(qm.reserve_manifest_placeholder(font, 2), C2PA) == c2pa_table(None, bytes(2))
