"""Hostile and extreme input: whatever a caller hands over, every call returns a result of its
documented type or raises one of the documented exceptions with a documented message, leaves
the caller's objects as they were, and hands back only well-formed fonts.

Exact messages and ordinary behaviour belong to the feature tests; here the inputs are the ones a
malicious or broken font pipeline produces, and the sizes are the ones at and past the formats'
16- and 32-bit limits.
"""

from __future__ import annotations

import copy
import hashlib
import random
import struct
import sys
import threading

import pytest

import quillmark as qm
from conftest import C2PA, c2pa_header, c2pa_table, checksum, directory, head_table, make_font, real_fonts
from memory_util import SANITIZED, linux_only, run_child
import messages as M
from messages import VALUE_ERRORS, pattern

# Every message a ValueError of quillmark may carry. A tag is the directory entry's four bytes
# decoded as Latin-1, so it may hold any character up to U+00FF.
DOCUMENTED = [pattern(text) for text in VALUE_ERRORS]

FONT_RESULT = {"embed_manifest_store", "embed_remote", "remove_manifest_table", "reserve_manifest_placeholder",
               "fill_manifest_store"}


def snapshot(obj):
    """A copy of `obj` that a change made to it in place cannot reach: bytes too, for C code can
    write into a bytes object, and a copy of the same object would see the change."""
    if isinstance(obj, bytes):
        return type(obj)(memoryview(obj))
    if isinstance(obj, (str, int, type(None))):
        return obj
    return copy.deepcopy(obj)


def well_formed(font: bytes) -> None:
    """What every font quillmark hands back must be: a directory sorted by tag that fits, every
    table inside the file at a multiple of 4, padding zero, and the file a multiple of 4 long."""
    assert len(font) >= 12 and len(font) % 4 == 0
    records = directory(font)
    assert len(font) >= 12 + 16 * len(records)
    assert [r[0] for r in records] == sorted(r[0] for r in records)
    at = 12 + 16 * len(records)
    for tag, _, offset, length in records:
        assert offset == at and offset + length <= len(font), (tag, offset, length)
        padded = (length + 3) & ~3
        assert font[offset + length : offset + padded] == bytes(padded - length)
        at += padded
    assert at == len(font)
    heads = [r for r in records if r[0] == b"head"]
    if heads and heads[0][3] >= 12:
        assert checksum(font) == 0xB1B0AFBA


def call(fn, *args, **kwargs):
    """Calls `fn`; checks the outcome is a documented one and the arguments are untouched.
    Returns the result, or the ValueError raised."""
    before = [snapshot(a) for a in (*args, *kwargs.values())]
    try:
        result = fn(*args, **kwargs)
    except ValueError as e:
        assert type(e) is ValueError and len(e.args) == 1, repr(e)
        assert any(p.fullmatch(str(e)) for p in DOCUMENTED), str(e)
        result = e
    else:
        name = fn.__name__
        if name in FONT_RESULT:
            assert type(result) is bytes
            well_formed(result)
        elif name == "read_manifest_store":
            assert type(result) is bytes
        elif name == "read_manifest_uri_str":
            assert result is None or type(result) is str
        elif name == "is_compliant":
            assert result is True or result is False
        elif name == "box_hashes":
            assert type(result) is list and [name for name, _ in result].count("C2PA") == 1
            assert all(type(n) is str and type(d) is bytes and len(d) in (1, 32) for n, d in result)
            assert len({n for n, _ in result}) == len(result)  # never two boxes with one name
        elif name == "table_checksums":
            font = args[0] if args else kwargs["font"]
            assert type(result) is list and len(result) == len(directory(font))
            assert all(type(s) is int and 0 <= s < 2**32 for s in result)
        else:
            font = args[0] if args else kwargs["font"]
            assert type(result) is list and 2 <= len(result) <= 3
            assert all(type(r) is tuple and len(r) == 2 for r in result)
            assert [r[0] for r in result] == sorted(r[0] for r in result)
            assert all(0 <= start and 0 < length and start + length <= len(font) for start, length in result)
    after = [*args, *kwargs.values()]
    assert all(type(a) is type(b) and a == b for a, b in zip(before, after)), "an argument was changed"
    return result


def every_function(font: bytes) -> dict:
    """Every function on `font`, with ordinary other arguments."""
    return {
        "embed_manifest_store": call(qm.embed_manifest_store, font, b"store"),
        "embed_remote": call(qm.embed_remote, font, "https://example.com/m"),
        "read_manifest_store": call(qm.read_manifest_store, font),
        "read_manifest_uri_str": call(qm.read_manifest_uri_str, font),
        "remove_manifest_table": call(qm.remove_manifest_table, font),
        "is_compliant": call(qm.is_compliant, font),
        "reserve_manifest_placeholder": call(qm.reserve_manifest_placeholder, font, 16, "u"),
        "data_hash_ranges": call(qm.data_hash_ranges, font),
        "fill_manifest_store": call(qm.fill_manifest_store, font, b"m"),
        "box_hashes": call(qm.box_hashes, font),
        "table_checksums": call(qm.table_checksums, font),
    }


def sfnt(n: int, records: bytes, body: bytes = b"", version: bytes = b"\x00\x01\x00\x00") -> bytes:
    return version + struct.pack(">HHHH", n, 0, 0, 0) + records + body


def record(tag: bytes, offset: int, length: int) -> bytes:
    return struct.pack(">4sIII", tag, 0, offset, length)


HEAD = head_table()


def overlapping_fonts():
    """Fonts whose tables overlap one another, the directory and the offset table."""
    store = c2pa_table(store=b"S" * 24)
    n = 3
    base = 12 + 16 * n
    body = store + HEAD
    yield "c2pa-over-head", sfnt(n, record(C2PA, base, len(store)) + record(b"head", base, len(HEAD))
                                  + record(b"glyf", base + 4, 40), body)
    whole = 12 + 16 * 2 + len(HEAD)
    yield "table-is-whole-file", sfnt(2, record(b"glyf", 0, whole) + record(b"head", 44, len(HEAD)), HEAD)
    yield "head-over-directory", sfnt(2, record(b"head", 0, 54) + record(b"cmap", 12, 32), bytes(22))
    # A store offset that, added to the table's offset in 32 bits, would wrap round to the
    # font's first byte: refused, never wrapped.
    yield "store-offset-wraps", sfnt(2, record(C2PA, 44, 20) + record(b"head", 64, len(HEAD)),
                                     c2pa_header(store_offset=0xFFFFFFFF - 43, store_length=32) + HEAD)
    twin = c2pa_table(uri=b"https://a", store=b"x" * 8)
    yield "c2pa-twice-same-bytes", sfnt(3, record(C2PA, 60, len(twin)) + record(C2PA, 60, len(twin))
                                        + record(b"head", 60 + 40, len(HEAD)), twin.ljust(40, b"\0") + HEAD)


HOSTILE = [
    ("no-tables", sfnt(0, b"")),
    ("no-tables-otto", sfnt(0, b"", version=b"OTTO")),
    ("zero-length-tables", sfnt(3, record(C2PA, 60, 0) + record(b"head", 60, 0) + record(b"zero", 60, 0))),
    ("offset-ffffffff", sfnt(1, record(b"glyf", 0xFFFFFFFF, 1), bytes(8))),
    ("length-ffffffff", sfnt(1, record(b"glyf", 0, 0xFFFFFFFF), bytes(8))),
    ("count-ffff-short", sfnt(0xFFFF, record(b"glyf", 0, 0))),
    ("tags-of-every-byte", make_font([(bytes([b, 255 - b, 10, 0]), b"x") for b in range(0, 256, 17)])),
    ("head-short", make_font([(b"head", HEAD[:11]), (C2PA, c2pa_table(store=b"s"))])),
    ("two-heads", make_font([(b"head", HEAD), (C2PA, c2pa_table(store=b"s" * 9)), (b"head", head_table(5))])),
    *overlapping_fonts(),
]


@pytest.mark.parametrize("font", [f for _, f in HOSTILE], ids=[n for n, _ in HOSTILE])
def test_hostile_font_every_function(font):
    every_function(font)


def many_tables(n: int, extra=()) -> bytes:
    """A font of `n` tables of 4 bytes each (tags 'T' + index), then the (tag, data) in extra."""
    tables = [(b"T" + i.to_bytes(3, "big"), i.to_bytes(4, "big")) for i in range(n - len(extra))]
    return make_font([*tables, *extra])


def test_65535_tables():
    full = many_tables(0xFFFF, [(b"head", HEAD)])
    results = every_function(full)
    rebuilt = results["remove_manifest_table"]
    assert len(directory(rebuilt)) == 0xFFFF and struct.unpack_from(">H", rebuilt, 4)[0] == 0xFFFF
    # A 65536th table does not fit the 16-bit count: refused, not truncated or wrapped.
    for name in ("embed_manifest_store", "embed_remote", "reserve_manifest_placeholder"):
        assert str(results[name]) == M.INVALID_C2PA + M.TOO_MANY_TABLES.format(count=65536)


def test_zero_tables():
    empty = sfnt(0, b"")
    assert call(qm.remove_manifest_table, empty) == struct.pack(">IHHHH", 0x00010000, 0, 16, 0, 0xFFF0)
    reserved = call(qm.reserve_manifest_placeholder, empty, 3)
    assert call(qm.read_manifest_store, reserved) == bytes(3)
    # No head, so no checksum adjustment: two ranges, and not compliant.
    assert len(call(qm.data_hash_ranges, reserved)) == 2
    assert call(qm.is_compliant, reserved) is False


@pytest.mark.parametrize("name, font", list(overlapping_fonts()), ids=[n for n, _ in overlapping_fonts()])
def test_overlapping_tables_rebuild_apart(name, font):
    """Tables that share bytes in the input come out as separate copies in a sound layout, and
    the filling guarantee holds for the rebuilt font."""
    reserved = call(qm.reserve_manifest_placeholder, font, 40, "https://example.com/m")
    for tag, _, offset, length in directory(font):
        if tag not in (C2PA, b"head"):
            rebuilt = dict((t, (o, n)) for t, _, o, n in directory(reserved))
            o, n = rebuilt[tag]
            assert reserved[o : o + n] == font[offset : offset + length]
    ranges = call(qm.data_hash_ranges, reserved)
    filled = call(qm.fill_manifest_store, reserved, b"signed")
    outside = lambda f: bytes(b for i, b in enumerate(f) if not any(s <= i < s + n for s, n in ranges))
    assert len(filled) == len(reserved) and outside(filled) == outside(reserved)


def model_decode(table: bytes):
    """The C2PA table read from its layout: (uri bytes or None, store or None) or the message."""
    if len(table) < 20:
        return M.SHORT
    _, _, uo, ul, _, so, sl = struct.unpack_from(">HHIHHII", table)
    uri = store = None
    if uo:
        if uo + ul > len(table):
            return M.URI_PAST
        uri = table[uo : uo + ul]
        try:
            uri.decode("utf-8")
        except UnicodeDecodeError:
            return M.BAD_UTF8
    if so:
        if so + sl > len(table):
            return M.STORE_PAST
        store = table[so : so + sl]
    return uri, store


OFFSETS = [0, 1, 19, 20, 27, 28, 29, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF]


@pytest.mark.parametrize("uri_offset", OFFSETS)
@pytest.mark.parametrize("store_offset", OFFSETS)
def test_c2pa_offsets_point_anywhere(uri_offset, store_offset):
    """Header offsets at the header, inside it, at and past the table's end and at the top of the
    32-bit range, with lengths from 0 to the field's maximum: reading, binding and filling give
    what the layout says, or refuse with its message."""
    for uri_length, store_length in [(0, 0), (1, 1), (8, 2), (0xFFFF, 0xFFFFFFFF), (2, 0xFFFFFFFF - 0x7FFFFFFE)]:
        table = c2pa_header(uri_offset, uri_length, store_offset, store_length) + b"https://"
        font = make_font([(C2PA, table), (b"head", HEAD)])
        expected = model_decode(table)
        uri = call(qm.read_manifest_uri_str, font)
        store = call(qm.read_manifest_store, font)
        if isinstance(expected, str):
            assert str(uri) == str(store) == expected
            assert isinstance(call(qm.is_compliant, font), ValueError)
            assert isinstance(call(qm.fill_manifest_store, font, b""), ValueError)
        else:
            assert uri == (None if expected[0] is None else expected[0].decode())
            assert store == expected[1] or (expected[1] is None and isinstance(store, ValueError))
        # The ranges come from the header's store fields alone, never from decoding.
        ranges = call(qm.data_hash_ranges, font)
        bindable = store_offset != 0 and store_length != 0 and store_offset + store_length <= len(table)
        assert isinstance(ranges, list) == bindable, ranges
        if bindable:
            assert (directory(font)[0][2] + store_offset, store_length) in ranges
        for fn in (qm.remove_manifest_table, qm.embed_remote):
            call(fn, font, *(["u"] if fn is qm.embed_remote else []))


def child_setup(font_expr="make_font([(b'head', head_table())])"):
    return f"""
        import sys
        sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
        from conftest import make_font, head_table, c2pa_table
        font = {font_expr}
    """


CAP = 768 * 2**20  # address space above what the child already uses

LIARS = {
    "maxsize": "sys.maxsize",
    "2**62": "2**62",
    "raises": "1 // 0",
    "negative": "-5",
    "huge": "2**100",
}


@linux_only
def test_lying_length_allocates_by_the_items():
    """A sequence's __len__ is a hint; a lie in it neither allocates gigabytes nor fails."""
    setup = child_setup()
    for name, length in LIARS.items():
        setup += f"""
        class Liar_{name.replace("*", "_")}:
            def __len__(self):
                return {length}
            def __getitem__(self, i):
                if i >= 1000:
                    raise IndexError(i)
                return i % 256
        """
    calls = [f"quillmark.read_manifest_store(quillmark.embed_manifest_store(font, Liar_{n.replace('*', '_')}()))"
             for n in LIARS]
    results = run_child(setup, calls, address_space_limit="0" if SANITIZED else f"used() + {CAP}")
    for name, result in zip(LIARS, results):
        assert (result["type"], result["len"]) == ("bytes", 1000), (name, result)
        if not SANITIZED:
            assert result["peak_rise"] < 8 * 2**20, (name, result)


def test_caller_sequences_survive_mutation_during_conversion():
    """Items whose __index__ changes the very list being converted: the conversion sees some
    state of the list, raises nothing unexpected, and the font it writes is sound."""
    font = make_font([(b"head", HEAD)])

    class Shrinks:
        def __init__(self, items):
            self.items = items

        def __index__(self):
            self.items.clear()
            return 7

    class Grows:
        def __init__(self, items):
            self.items = items

        def __index__(self):
            if len(self.items) < 5000:
                self.items.extend([1, 2, 3])
            return 9

    for cls in (Shrinks, Grows):
        items = [1, 2]
        items.append(cls(items))
        items.append(4)
        result = qm.embed_manifest_store(font, items)
        well_formed(result)
        store = qm.read_manifest_store(result)
        assert store[:3] == bytes([1, 2, 7 if cls is Shrinks else 9])


def thread_fonts(truetype_font, cff_font) -> list[bytes]:
    """Fonts on either side of the size from which the module works without the GIL (64 KiB):
    the real fonts, the two built ones, and the built ones grown past 64 KiB and past 1 MiB
    with a private table, as fontTools saves them."""
    import io

    from fontTools.ttLib import TTFont, newTable

    fonts = [truetype_font, cff_font]
    for size in (100 << 10, 1536 << 10):
        for base in (truetype_font, cff_font):
            font = TTFont(io.BytesIO(base))
            table = newTable("Zpad")
            table.data = random.Random(size).randbytes(size)
            font["Zpad"] = table
            out = io.BytesIO()
            font.save(out)
            fonts.append(out.getvalue())
    return fonts + [p.read_bytes() for p in real_fonts()]


def every_outcome(font: bytes, variant: int) -> list:
    """Every writer and reader on `font` and on what the writers make of it, failures included,
    each result as a digest (fonts of megabytes, many times over)."""
    uri = f"https://example.com/{variant}/m.c2pa"
    signed = bytes(range(variant, variant + 200)) * 5
    outcomes = []

    def run(fn, *args):
        try:
            result = fn(*args)
        except ValueError as e:
            result = str(e)
        outcomes.append(hashlib.sha256(result).hexdigest() if type(result) is bytes else result)
        return result

    reserved = run(qm.reserve_manifest_placeholder, font, 1000 + variant, uri)
    run(qm.data_hash_ranges, reserved)
    filled = run(qm.fill_manifest_store, reserved, signed)
    run(qm.fill_manifest_store, reserved, signed * 2)  # too long for the reservation
    run(qm.read_manifest_store, filled)
    run(qm.read_manifest_uri_str, filled)
    run(qm.is_compliant, filled)
    run(qm.table_checksums, filled)
    run(qm.remove_manifest_table, filled)
    run(qm.embed_remote, font, uri)
    run(qm.embed_manifest_store, font, signed)
    run(qm.embed_manifest_store, font, list(signed[:50]))
    run(qm.read_manifest_store, font)  # no C2PA table
    run(qm.is_compliant, font[: len(font) // 2])  # a table past the end
    return outcomes


def test_threads_get_what_one_thread_gets(truetype_font, cff_font):
    """Eight threads run every writer and reader at once, on fonts small and large, several on
    the same font object at a time: each result is byte for byte the one a single thread gets."""
    fonts = thread_fonts(truetype_font, cff_font)
    jobs = [(k, variant) for k in range(len(fonts)) for variant in range(2)]
    expected = {job: every_outcome(fonts[job[0]], job[1]) for job in jobs}
    assert any(len(font) >= 1 << 20 for font in fonts)
    threads = 8
    start = threading.Barrier(threads)
    failures = []

    def thread(t):
        try:
            start.wait()
            for i in range(len(jobs)):
                k, variant = job = jobs[(i + t * len(jobs) // threads) % len(jobs)]
                if every_outcome(fonts[k], variant) != expected[job]:
                    failures.append((t, job))
        except BaseException as e:  # noqa: BLE001 - a thread must report, not swallow
            failures.append((t, repr(e)))

    workers = [threading.Thread(target=thread, args=(t,)) for t in range(threads)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old)
    assert failures == []


ALLOCATION_BOUNDS = {
    # call: how much peak resident memory it may add, in multiples of S, the size of its result.
    # Each writer writes the C2PA table's pieces straight into the result, and reads a bytes store
    # in place: its result is all it allocates, whatever the store's size.
    "quillmark.reserve_manifest_placeholder(font, S)": 1.05,
    "quillmark.fill_manifest_store(reserved, b'x' * 1000)": 1.05,
    "quillmark.read_manifest_store(reserved)": 1.05,
    "quillmark.embed_manifest_store(font, payload)": 1.05,
    "quillmark.remove_manifest_table(reserved)": 1.05,
    # small results: a bool, a few ranges, a short URI
    "quillmark.is_compliant(reserved)": 0,
    "quillmark.data_hash_ranges(reserved)": 0,
    "quillmark.read_manifest_uri_str(reserved)": 0,
    "quillmark.table_checksums(reserved)": 0,
}


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine and shadow distort peak memory")
@linux_only
def test_allocation_stays_near_the_result():
    """Peak memory a call adds is a small multiple of what it returns (S = 32 MiB)."""
    setup = child_setup() + """
        S = 32 * 2**20
        reserved = quillmark.reserve_manifest_placeholder(font, S, "https://example.com/m")
        payload = b'p' * S
    """
    results = run_child(setup, list(ALLOCATION_BOUNDS))
    report = {call: round(r["peak_rise"] / 2**25, 2) for call, r in zip(ALLOCATION_BOUNDS, results)}
    for (call_expr, bound), result in zip(ALLOCATION_BOUNDS.items(), results):
        assert result["ok"], result
        assert result["peak_rise"] <= bound * 2**25 + 4 * 2**20, report


@pytest.mark.parametrize("tag, shown", [
    (b"a\x00bc", "a\x00bc"),
    (b"\x00\x00\x00\x00", "\x00" * 4),
    (b"\xffabc", "\xffabc"),
    (b"\xe2\x82\x00\n", "\xe2\x82\x00\n"),
])
def test_tag_reaches_the_message_whole(tag, shown):
    """A tag goes into a message as its bytes decode, NUL and line feed included, not cut short
    at the first NUL."""
    font = sfnt(1, record(tag, 28, 1))
    for fn in (qm.read_manifest_store, qm.is_compliant, qm.remove_manifest_table):
        assert str(call(fn, font)) == M.PAST_END.format(tag=shown)


def test_type_name_reaches_the_message_whole():
    class Odd:
        pass

    Odd.__qualname__ = "odd\x00name"
    with pytest.raises(TypeError) as e:
        qm.is_compliant(Odd())
    assert str(e.value) == M.CANNOT_CONVERT.format(param="font", type="odd\x00name", target="PyBytes")
