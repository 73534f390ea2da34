"""Reference and memory leaks: every function, on success and on every failure path, called
a thousand times, must leave reference counts, the interpreter's live objects and allocations
and the process's resident memory where they were.

Fonts here carry a 32 KiB table, so that a leaked result or a leaked C++ copy of the font shows
in resident memory within the calls a case makes (tracemalloc sees only the interpreter's own
allocations; resident memory sees the C++ heap too).
"""

from __future__ import annotations

import gc
import struct
import sys
import tracemalloc

import pytest

import quillmark as qm
from conftest import c2pa_header, c2pa_table, head_table, make_font
import messages as M
from memory_util import LINUX, SANITIZED, linux_only, resident_bytes

CALLS = 1000
BIG = 32 * 1024


def font_with(*tables):
    return make_font([(b"glyf", bytes(range(256)) * (BIG // 256)), (b"head", head_table()), *tables])


def one_table_six_times():
    """Six directory entries on one table: more bytes to sum than table_checksums allows."""
    records = b"".join(struct.pack(">4sIII", b"T%03d" % i, 0, 12 + 16 * 6, BIG) for i in range(6))
    return struct.pack(">IHHHH", 0x00010000, 6, 0, 0, 0) + records + bytes(BIG)


PLAIN = font_with()
RESERVED = qm.reserve_manifest_placeholder(PLAIN, 1024, "https://example.com/m")
FILLED = qm.fill_manifest_store(RESERVED, b"manifest")
REMOTE = qm.embed_remote(PLAIN, "https://example.com/r")
SIGNED = b"m" * 1000
STORE_LIST = list(range(256)) * 4
LONG_URI = "u" * 65536


class Liar:
    """A sequence whose length is a lie: it claims more items than any machine holds."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        return self.items[i]


class Breaks:
    """A sequence that fails halfway through its items."""

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i == 2:
            raise RuntimeError("item 2 is gone")
        return i


class NotAnIndex:
    def __index__(self):
        raise ArithmeticError("no index here")


# (id, function, args, kwargs, expected exception type or None, text the message contains: quillmark's
# own texts whole)
SUCCESS = [
    ("embed_store_bytes", qm.embed_manifest_store, (PLAIN, SIGNED), {}, None, ""),
    ("embed_store_bytearray", qm.embed_manifest_store, (PLAIN, bytearray(SIGNED)), {}, None, ""),
    ("embed_store_list", qm.embed_manifest_store, (PLAIN, STORE_LIST), {}, None, ""),
    ("embed_store_tuple", qm.embed_manifest_store, (PLAIN, tuple(STORE_LIST)), {}, None, ""),
    ("embed_store_lying_length", qm.embed_manifest_store, (PLAIN, Liar([1, 2, 3])), {}, None, ""),
    ("embed_remote", qm.embed_remote, (PLAIN,), {"uri": "https://example.com/\u00e9"}, None, ""),
    ("read_store", qm.read_manifest_store, (FILLED,), {}, None, ""),
    ("read_uri", qm.read_manifest_uri_str, (FILLED,), {}, None, ""),
    ("read_uri_none", qm.read_manifest_uri_str, (qm.embed_manifest_store(PLAIN, b"s"),), {}, None, ""),
    ("remove", qm.remove_manifest_table, (FILLED,), {}, None, ""),
    ("compliant_true", qm.is_compliant, (FILLED,), {}, None, ""),
    ("compliant_false", qm.is_compliant, (PLAIN,), {}, None, ""),
    ("reserve", qm.reserve_manifest_placeholder, (PLAIN, 4096), {"uri": "https://example.com/m"}, None, ""),
    ("reserve_no_uri", qm.reserve_manifest_placeholder, (PLAIN, 100, None), {}, None, ""),
    ("ranges", qm.data_hash_ranges, (RESERVED,), {}, None, ""),
    ("fill", qm.fill_manifest_store, (RESERVED, SIGNED), {}, None, ""),
    ("box_hashes", qm.box_hashes, (FILLED,), {"alg": "sha384"}, None, ""),
    ("table_checksums", qm.table_checksums, (FILLED,), {}, None, ""),
]

V = ValueError
OPERATION_FAILURES = [
    ("no_c2pa", qm.read_manifest_store, (PLAIN,), {}, V, M.NO_C2PA),
    ("not_sfnt", qm.read_manifest_uri_str, (b"",), {}, V, M.NOT_SFNT),
    ("collection", qm.is_compliant, (b"ttcf" + bytes(BIG),), {}, V, M.COLLECTION),
    ("woff", qm.remove_manifest_table, (b"wOFF" + bytes(BIG),), {}, V, M.WOFF),
    ("directory_truncated", qm.read_manifest_store, (PLAIN[:40],), {}, V, M.TRUNCATED),
    ("table_past_end", qm.embed_remote, (PLAIN[:-4], "u"), {}, V, M.PAST_END.format(tag="head")),
    ("ranges_past_end", qm.data_hash_ranges, (RESERVED[:-8],), {}, V, M.PAST_END.format(tag="head")),
    ("c2pa_short", qm.read_manifest_store, (font_with((b"C2PA", bytes(10))),), {}, V, M.SHORT),
    ("uri_past_end", qm.read_manifest_uri_str, (font_with((b"C2PA", c2pa_header(99, 1))),), {}, V, M.URI_PAST),
    ("store_past_end", qm.read_manifest_store, (font_with((b"C2PA", c2pa_header(0, 0, 0xFFFFFFFF, 2))),), {}, V,
     M.STORE_PAST),
    ("uri_not_utf8", qm.read_manifest_uri_str, (font_with((b"C2PA", c2pa_table(uri=b"\xed\xa0\x80"))),), {}, V,
     M.BAD_UTF8),
    ("no_store", qm.read_manifest_store, (REMOTE,), {}, V, M.NO_STORE),
    ("two_c2pa", qm.is_compliant, (font_with((b"C2PA", c2pa_table(b"u")), (b"C2PA", c2pa_table(b"v"))),), {}, V,
     M.SEVERAL_C2PA.format(count=2)),
    ("reserve_zero", qm.reserve_manifest_placeholder, (PLAIN, 0), {}, V, M.RESERVE_ZERO),
    ("reserve_too_big", qm.reserve_manifest_placeholder, (PLAIN, 2**32), {}, V, M.STORE_TOO_LONG.format(size=2**32)),
    ("reserve_table_too_big", qm.reserve_manifest_placeholder, (PLAIN, 2**32 - 20), {}, V,
     M.INVALID_C2PA + M.TABLE_TOO_LONG.format(tag="C2PA", size=2**32)),
    ("uri_too_long", qm.embed_remote, (PLAIN, LONG_URI), {}, V, M.URI_TOO_LONG.format(size=len(LONG_URI))),
    ("ranges_no_store", qm.data_hash_ranges, (REMOTE,), {}, V, M.NOTHING_TO_BIND),
    ("ranges_c2pa_short", qm.data_hash_ranges, (font_with((b"C2PA", bytes(8))),), {}, V, M.SHORT),
    ("ranges_store_past", qm.data_hash_ranges, (font_with((b"C2PA", c2pa_header(0, 0, 20, 9))),), {}, V,
     M.STORE_PAST),
    ("ranges_no_c2pa", qm.data_hash_ranges, (PLAIN,), {}, V, M.NO_C2PA),
    ("fill_no_store", qm.fill_manifest_store, (REMOTE, b"x"), {}, V, M.FILL_NO_STORE),
    ("fill_too_long", qm.fill_manifest_store, (RESERVED, bytes(1025)), {}, V,
     M.FILL_TOO_LONG.format(size=1025, reserved=1024)),
    ("fill_no_c2pa", qm.fill_manifest_store, (PLAIN, b"x"), {}, V, M.NO_C2PA),
    ("fill_moves_bytes", qm.fill_manifest_store, (RESERVED + bytes(4), b"x"), {}, V, M.FILL_WOULD_MOVE),
    ("box_hashes_alg", qm.box_hashes, (PLAIN, "md5"), {}, V, M.BOX_HASHES_ALG.format(alg="md5")),
    ("box_hashes_not_sfnt", qm.box_hashes, (b"wOF2" + bytes(BIG),), {}, V, M.WOFF),
    ("box_hashes_two_tags", qm.box_hashes, (font_with((b"glyf", b"again")),), {}, V,
     M.TWO_TABLES_ONE_TAG.format(tag="glyf")),
    ("checksums_past_end", qm.table_checksums, (PLAIN[:-4],), {}, V, M.PAST_END.format(tag="head")),
    ("checksums_overlap", qm.table_checksums, (one_table_six_times(),), {}, V, "the tables overlap"),
]


def convert(param, type_name, target):
    return M.CANNOT_CONVERT.format(param=param, type=type_name, target=target)


T, O = TypeError, OverflowError
BINDING_FAILURES = [
    ("too_many", qm.is_compliant, (PLAIN, PLAIN), {}, T,
     M.TOO_MANY_ARGUMENTS.format(name="is_compliant", takes=1, given=2, verb="were")),
    ("too_many_range", qm.reserve_manifest_placeholder, (PLAIN, 1, None, 4), {}, T,
     M.TOO_MANY_ARGUMENTS.format(name="reserve_manifest_placeholder", takes="from 2 to 3", given=4, verb="were")),
    ("unexpected_keyword", qm.is_compliant, (), {"fnt": PLAIN}, T,
     M.UNEXPECTED_KEYWORD.format(name="is_compliant", key="fnt")),
    ("multiple_values", qm.is_compliant, (PLAIN,), {"font": PLAIN}, T,
     M.MULTIPLE_VALUES.format(name="is_compliant", param="font")),
    ("missing_two", qm.embed_remote, (), {}, T,
     M.MISSING_ARGUMENTS.format(name="embed_remote", count=2, noun="arguments", names="'font' and 'uri'")),
    ("missing_one", qm.fill_manifest_store, (RESERVED,), {}, T,
     M.MISSING_ARGUMENTS.format(name="fill_manifest_store", count=1, noun="argument", names="'signed_manifest'")),
    ("font_bytearray", qm.read_manifest_store, (bytearray(PLAIN),), {}, T, convert("font", "bytearray", "PyBytes")),
    ("font_none", qm.data_hash_ranges, (None,), {}, T, convert("font", "NoneType", "PyBytes")),
    ("signed_bytearray", qm.fill_manifest_store, (RESERVED, bytearray(b"x")), {}, T,
     convert("signed_manifest", "bytearray", "PyBytes")),
    ("store_str", qm.embed_manifest_store, (PLAIN, "abc"), {}, T, M.STORE_FROM_STR),
    ("store_int", qm.embed_manifest_store, (PLAIN, 5), {}, T, convert("manifest_store", "int", "Sequence")),
    ("store_item_256", qm.embed_manifest_store, (PLAIN, [1, 256]), {}, O, M.OUT_OF_RANGE),
    ("store_item_negative", qm.embed_manifest_store, (PLAIN, [-1]), {}, O, M.OUT_OF_RANGE),
    ("store_item_huge", qm.embed_manifest_store, (PLAIN, [2**70]), {}, O, ""),
    ("store_item_float", qm.embed_manifest_store, (PLAIN, [1.5]), {}, T,
     M.NOT_AN_INTEGER.format(param="manifest_store", type="float")),
    ("store_item_raises", qm.embed_manifest_store, (PLAIN, [1, NotAnIndex()]), {}, ArithmeticError, "no index here"),
    ("store_breaks", qm.embed_manifest_store, (PLAIN, Breaks()), {}, RuntimeError, "item 2 is gone"),
    ("size_negative", qm.reserve_manifest_placeholder, (PLAIN, -1), {}, O, ""),
    ("size_2_64", qm.reserve_manifest_placeholder, (PLAIN, 2**64), {}, O, ""),
    ("size_float", qm.reserve_manifest_placeholder, (PLAIN, 1.5), {}, T,
     M.NOT_AN_INTEGER.format(param="reserve_size", type="float")),
    ("uri_int", qm.reserve_manifest_placeholder, (PLAIN, 1, 5), {}, T, convert("uri", "int", "PyString")),
    ("uri_none", qm.embed_remote, (PLAIN, None), {}, T, convert("uri", "NoneType", "PyString")),
    ("uri_surrogate", qm.embed_remote, (PLAIN, "a\ud800b"), {}, UnicodeEncodeError, "surrogate"),
    ("alg_bytes", qm.box_hashes, (PLAIN, b"sha256"), {}, T, convert("alg", "bytes", "PyString")),
]

CASES = SUCCESS + OPERATION_FAILURES + BINDING_FAILURES


def test_every_function_has_a_success_case():
    assert {fn.__name__ for _, fn, *_ in SUCCESS} == set(qm.__all__)


def run(fn, args, kwargs, exc, text):
    if exc is None:
        return fn(*args, **kwargs)
    try:
        fn(*args, **kwargs)
    except exc as e:
        assert type(e) is exc, e
        assert text in str(e), e
        return None
    raise AssertionError(f"{fn.__name__} did not raise {exc.__name__}")


def tracked(args, kwargs):
    """Objects whose reference counts a call must leave alone: the arguments, their types, and
    the singletons results and errors are made of."""
    objs = [args, *args, *kwargs.values(), *(type(a) for a in (*args, *kwargs.values()))]
    return objs + [None, True, False, ValueError, TypeError, OverflowError]


def counts(objs):
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("name, fn, args, kwargs, exc, text", CASES, ids=[c[0] for c in CASES])
def test_no_leak(name, fn, args, kwargs, exc, text):
    objs = tracked(args, kwargs)
    for _ in range(50):
        run(fn, args, kwargs, exc, text)
    gc.collect()
    refs = counts(objs)
    live = len(gc.get_objects())
    traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else None
    resident = resident_bytes() if LINUX else None

    for _ in range(CALLS):
        run(fn, args, kwargs, exc, text)
    gc.collect()

    # Every reference taken during a call was given back. A fault shows in step with the calls;
    # the interpreter's own caches (its type attribute cache, for one) may take or drop a
    # reference once. Before Python 3.12 the singletons are counted by the rest of the
    # interpreter too, so for them only a growth in step with the calls counts; from 3.12 on
    # they are immortal, and their count must stay put like the others'.
    grown = [(o if not isinstance(o, bytes) else f"<bytes of {len(o)}>", after - before)
             for o, before, after in zip(objs, refs, counts(objs))]
    shared = () if sys.version_info >= (3, 12) else (None, True, False)
    assert all(abs(d) <= 2 for (_, d), o in zip(grown, objs) if not any(o is s for s in shared)), grown
    assert all(abs(d) < CALLS // 4 for _, d in grown), grown
    assert len(gc.get_objects()) - live < 50
    if traced is not None:
        assert tracemalloc.get_traced_memory()[0] - traced < 256 * 1024
    if resident is not None and not SANITIZED:
        # CALLS leaked copies of a 32 KiB font come to 32 MiB; the allocator's own slack does not.
        assert resident_bytes() - resident < 16 * 2**20


@pytest.fixture(autouse=True, scope="module")
def traced_allocations():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@linux_only
def test_whole_run_resident_memory_is_flat():
    """After every case has run once more, the process is no larger than after the first round."""
    if SANITIZED:
        pytest.skip("the sanitizer's quarantine holds freed memory on purpose")
    for round_ in range(2):
        for _, fn, args, kwargs, exc, text in CASES:
            for _ in range(200):
                run(fn, args, kwargs, exc, text)
        gc.collect()
        if round_ == 0:
            first = resident_bytes()
    assert resident_bytes() - first < 8 * 2**20
