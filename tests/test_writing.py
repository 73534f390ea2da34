"""The writers (reserve, fill, embed, remove), the exclusion ranges, the compliance verdicts, the
filling guarantee and the limits of what a font can describe."""

from __future__ import annotations

import io
import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from fontTools.ttLib import TTFont

import quillmark as qm
from conftest import C2PA, c2pa_header as H, c2pa_table, directory, head_table, make_font
import messages as M
from memory_util import linux_only
from reference import pad4, rebuild, tables_of, with_adjustment

HEAD = head_table(0x01020304)
CMAP = bytes(range(10))
BASE_TABLES = [(b"head", HEAD), (b"cmap", CMAP)]
BASE = make_font(BASE_TABLES)


def outcome(call, *args):
    try:
        return call(*args)
    except ValueError as e:
        return str(e)


def outside(font: bytes, ranges) -> bytes:
    """Every byte of `font` outside `ranges` (ascending, disjoint), run together."""
    parts, at = [], 0
    for start, length in ranges:
        parts.append(font[at:start])
        at = start + length
    return b"".join(parts) + font[at:]


# ---- replacing and removing ---------------------------------------------------------------------

WRITERS = {
    "embed_manifest_store": (lambda f: qm.embed_manifest_store(f, b"new"), c2pa_table(None, b"new")),
    "embed_remote": (lambda f: qm.embed_remote(f, "new"), c2pa_table(b"new")),
    "reserve": (lambda f: qm.reserve_manifest_placeholder(f, 8), c2pa_table(None, bytes(8))),
    "reserve-uri": (lambda f: qm.reserve_manifest_placeholder(f, 8, "new"), c2pa_table(b"new", bytes(8))),
}
OLD_C2PA = [c2pa_table(b"old-uri", b"old-store"), c2pa_table(None, b"second")]


def font_with_old(count: int) -> bytes:
    tables = BASE_TABLES[:1] + [(C2PA, OLD_C2PA[i]) for i in range(count)] + BASE_TABLES[1:]
    return make_font(tables[::-1])  # out of tag order on purpose


@pytest.mark.parametrize("count", [0, 1, 2])
@pytest.mark.parametrize("write, table", WRITERS.values(), ids=WRITERS.keys())
def test_writers_leave_exactly_one_new_table(write, table, count):
    out = write(font_with_old(count))
    assert out == rebuild(BASE_TABLES + [(C2PA, table)])
    assert qm.is_compliant(out) is True


@pytest.mark.parametrize("count", [0, 1, 2])
def test_removal(count):
    out = qm.remove_manifest_table(font_with_old(count))
    assert out == rebuild(BASE_TABLES)
    assert qm.remove_manifest_table(out) == out
    assert outcome(qm.read_manifest_uri_str, out) == outcome(qm.read_manifest_store, out) == M.NO_C2PA
    assert qm.is_compliant(out) is False


def test_reserving_again_replaces_the_placeholder_and_its_uri():
    first = qm.reserve_manifest_placeholder(BASE, 16, "kept?")
    assert qm.read_manifest_store(first) == bytes(16)
    again = qm.reserve_manifest_placeholder(qm.fill_manifest_store(first, b"signed"), 4)
    assert again == qm.reserve_manifest_placeholder(BASE, 4)
    assert qm.read_manifest_uri_str(again) is None
    assert qm.read_manifest_uri_str(qm.reserve_manifest_placeholder(first, 4, "kept?")) == "kept?"


# ---- compliance verdicts ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "font, verdict",
    [
        (with_adjustment(BASE), False),  # no C2PA table
        (with_adjustment(make_font(BASE_TABLES + [(C2PA, c2pa_table(b"u"))])), True),
        (with_adjustment(make_font(BASE_TABLES + [(C2PA, c2pa_table(None, b"s"))])), True),
        (with_adjustment(make_font(BASE_TABLES + [(C2PA, c2pa_table(b"u", b"s"))])), True),
        (with_adjustment(make_font(BASE_TABLES + [(C2PA, c2pa_table(b"u"))]), 0), False),  # wrong adjustment
        (make_font([(b"cmap", CMAP), (C2PA, c2pa_table(b"u"))]), False),  # no head at all
        (qm.embed_remote(make_font([(b"head", head_table(length=11))]), "u"), False),  # head too short
        (qm.reserve_manifest_placeholder(BASE, 64), True),  # an unfilled placeholder counts as a store
        (qm.embed_remote(BASE, ""), False),  # a table that carries nothing
    ],
    ids=["no-table", "uri", "store", "both", "bad-adjustment", "no-head", "short-head", "placeholder", "empty"],
)
def test_compliance_verdicts(font, verdict):
    assert qm.is_compliant(font) is verdict


# ---- exclusion ranges ------------------------------------------------------------------------


def test_ranges_of_the_small_example():
    reserved = qm.reserve_manifest_placeholder(make_font([(b"head", head_table()), (b"cmap", CMAP)]), 100)
    assert len(reserved) == 248
    assert [(t, o, n) for t, _, o, n in directory(reserved)] == [(C2PA, 60, 120), (b"cmap", 180, 10), (b"head", 192, 54)]
    assert qm.data_hash_ranges(reserved) == [(16, 4), (80, 100), (200, 4)]


def expected_ranges(font: bytes):
    """The ranges worked out from the directory: the first C2PA's store and record checksum,
    and the first head's checkSumAdjustment when it has one."""
    entries = directory(font)
    i = next(i for i, e in enumerate(entries) if e[0] == C2PA)
    offset = entries[i][2]
    store_offset, store_length = struct.unpack_from(">II", font, offset + 12)
    ranges = [(offset + store_offset, store_length), (12 + 16 * i + 4, 4)]
    head = next((e for e in entries if e[0] == b"head"), None)
    if head and head[3] >= 12:
        ranges.append((head[2] + 8, 4))
    return sorted(ranges)


RANGES = {
    "head-before-c2pa": [(b"head", HEAD), (C2PA, c2pa_table(b"u", b"store"))],
    "no-head": [(C2PA, c2pa_table(None, b"store")), (b"cmap", CMAP)],
    "short-head": [(C2PA, c2pa_table(None, b"store")), (b"head", head_table(length=11))],
    "two-heads": [(b"head", HEAD), (C2PA, c2pa_table(None, b"s")), (b"head", head_table(length=30))],
    "two-c2pa": [(C2PA, c2pa_table(None, b"first")), (b"head", HEAD), (C2PA, c2pa_table(None, b"second!"))],
    "store-ends-at-table-end": [(C2PA, H(store_offset=18, store_length=4) + b"ab"), (b"head", HEAD)],
    "uri-not-decoded": [(C2PA, c2pa_table(b"\xff\xfe", b"store")), (b"head", HEAD)],
    "store-over-header": [(C2PA, H(store_offset=4, store_length=16)), (b"head", HEAD)],
}


@pytest.mark.parametrize("tables", RANGES.values(), ids=RANGES.keys())
def test_ranges_of_hand_made_fonts(tables):
    font = make_font(tables)
    ranges = qm.data_hash_ranges(font)
    assert ranges == expected_ranges(font)
    first_head = next((data for tag, data in tables if tag == b"head"), b"")
    assert len(ranges) == (3 if len(first_head) >= 12 else 2)


@pytest.mark.parametrize(
    "table, message",
    [
        (c2pa_table(b"uri only"), M.NOTHING_TO_BIND),
        (H(store_offset=20, store_length=0), M.NOTHING_TO_BIND),
        (H(store_offset=0, store_length=4) + b"abcd", M.NOTHING_TO_BIND),
        # the readers' messages for the same faults
        (H()[:19], M.SHORT),
        (H(store_offset=18, store_length=5) + b"ab", M.STORE_PAST),
        (H(store_offset=0xFFFFFFFF, store_length=0xFFFFFFFF), M.STORE_PAST),
        (H(store_offset=21, store_length=0), M.STORE_PAST),  # an empty store, but past the end
    ],
)
def test_ranges_refusals(table, message):
    assert outcome(qm.data_hash_ranges, make_font([(C2PA, table), (b"head", HEAD)])) == message


def test_small_reservations():
    one = qm.reserve_manifest_placeholder(BASE, 1)
    (c2pa_tag, _, offset, length), cmap = directory(one)[:2]
    assert (c2pa_tag, length) == (C2PA, 21) and one[offset + 21 : offset + 24] == bytes(3) and cmap[2] == offset + 24
    four = qm.reserve_manifest_placeholder(BASE, 4)
    offset = directory(four)[0][2]
    assert (offset + 20, 4) in qm.data_hash_ranges(four)
    assert qm.fill_manifest_store(four, b"ABCD")[offset + 20 : offset + 24] == b"ABCD"


# ---- filling ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "font, manifest, message",
    [
        (BASE, b"", M.NO_C2PA),
        (qm.embed_remote(BASE, "u"), b"", M.FILL_NO_STORE),
        (qm.reserve_manifest_placeholder(BASE, 1024), bytes(1025), M.FILL_TOO_LONG.format(size=1025, reserved=1024)),
        (make_font([(C2PA, H(store_offset=20))]), b"x", M.FILL_TOO_LONG.format(size=1, reserved=0)),
    ],
    ids=["no-table", "uri-only", "too-long", "empty-store"],
)
def test_fill_refusals(font, manifest, message):
    assert outcome(qm.fill_manifest_store, font, manifest) == message


def check_filled(reserved: bytes, filled: bytes, manifest: bytes, size: int, uri):
    ranges = qm.data_hash_ranges(reserved)
    assert len(filled) == len(reserved)
    assert qm.data_hash_ranges(filled) == ranges
    assert outside(filled, ranges) == outside(reserved, ranges)
    assert qm.is_compliant(filled) is True
    assert qm.read_manifest_store(filled) == manifest + bytes(size - len(manifest))
    assert qm.read_manifest_uri_str(filled) == uri
    assert filled == rebuild(tables_of(filled), int.from_bytes(filled[:4], "big"))  # right checksums inside


@pytest.mark.parametrize("uri", [None, "https://example.com/manifest.c2pa"])
def test_filling_guarantee(any_font, uri):
    size = 1024
    reserved = qm.reserve_manifest_placeholder(any_font, size, uri)
    others = [t for t in tables_of(any_font) if t[0] != C2PA]
    assert reserved == rebuild(others + [(C2PA, c2pa_table(uri and uri.encode(), bytes(size)))], int.from_bytes(any_font[:4], "big"))
    assert qm.is_compliant(reserved) is True
    signed = os.urandom(size)
    for manifest in (signed, b"", signed[:100]):  # exact fit, empty, partial
        check_filled(reserved, qm.fill_manifest_store(reserved, manifest), manifest, size, uri)
    refilled = qm.fill_manifest_store(qm.fill_manifest_store(reserved, signed), signed[:7])  # shorter over longer
    check_filled(reserved, refilled, signed[:7], size, uri)
    assert refilled == qm.fill_manifest_store(reserved, signed[:7])


@pytest.mark.parametrize(
    "tables",
    [
        [(b"head", HEAD), (b"glyf", bytes(range(40))), (b"head", head_table(7, length=30))],
        [(b"head", head_table(7, length=8)), (b"glyf", bytes(range(40))), (b"head", HEAD)],
    ],
    ids=["two-heads", "short-head-then-head"],
)
def test_filling_guarantee_with_several_heads(tables):
    reserved = qm.reserve_manifest_placeholder(make_font(tables), 64, "u")
    ranges = qm.data_hash_ranges(reserved)
    filled = qm.fill_manifest_store(reserved, b"m" * 40)
    assert outside(filled, ranges) == outside(reserved, ranges)
    assert qm.data_hash_ranges(filled) == ranges


def relaid(reserved: bytes) -> dict[str, bytes]:
    """`reserved` changed in one way that moves or rewrites bytes a signer hashed, were it
    filled: each is refused rather than filled."""
    records = directory(reserved)
    n = len(records)
    tables = tables_of(reserved)
    version = int.from_bytes(reserved[:4], "big")
    c2pa = dict(tables)[C2PA]
    stale = bytearray(reserved)
    stale[12 + 16 * (n - 1) + 4] ^= 1  # the last record's checksum
    swapped = bytearray(reserved)
    swapped[12:28], swapped[28:44] = reserved[28:44], reserved[12:28]
    saved = io.BytesIO()
    TTFont(io.BytesIO(reserved)).save(saved)
    foreign = struct.pack(">HHIHHII", 3, 7, 0, 0, 0, 20, len(c2pa) - 20) + c2pa[20:]
    return {
        "stale-checksum": bytes(stale),
        "unsorted-directory": bytes(swapped),
        "trailing-bytes": reserved + bytes(4),
        "second-c2pa-table": rebuild([*tables, (C2PA, c2pa_table(None, b"other"))], version),
        "foreign-c2pa-table": rebuild([t if t[0] != C2PA else (C2PA, foreign) for t in tables], version),
        "spare-bytes-in-c2pa": rebuild([t if t[0] != C2PA else (C2PA, c2pa + b"tail") for t in tables], version),
        "saved-by-fonttools": saved.getvalue(),
    }


RELAID = ["stale-checksum", "unsorted-directory", "trailing-bytes", "second-c2pa-table", "foreign-c2pa-table",
          "spare-bytes-in-c2pa", "saved-by-fonttools"]


@pytest.mark.parametrize("case", RELAID)
def test_filling_refuses_a_font_laid_out_otherwise(truetype_font, case):
    reserved = qm.reserve_manifest_placeholder(truetype_font, 64, "https://example.com/m")
    font = relaid(reserved)[case]
    assert font != reserved
    assert outcome(qm.fill_manifest_store, font, b"signed") == M.FILL_WOULD_MOVE


# ---- limits -------------------------------------------------------------------------------------

URI_LIMIT = M.URI_TOO_LONG.format(size=65536)


@pytest.mark.parametrize("uri", ["u" * 65536, "é" * 32768], ids=["ascii", "two-byte"])
def test_uri_limit(uri):
    assert outcome(qm.embed_remote, BASE, uri) == URI_LIMIT
    assert outcome(qm.reserve_manifest_placeholder, BASE, 1, uri) == URI_LIMIT
    longest = "é" * 32767 + "u"
    assert qm.read_manifest_uri_str(qm.embed_remote(BASE, longest)) == longest
    assert qm.read_manifest_uri_str(qm.reserve_manifest_placeholder(BASE, 1, longest)) == longest


def many_tables(count: int, with_c2pa: bool) -> bytes:
    tables = [(b"zzzz", b"")] * count
    return make_font(tables + [(C2PA, c2pa_table(None, bytes(4)))] if with_c2pa else tables)


@pytest.mark.parametrize("write", [w for w, _ in WRITERS.values()], ids=WRITERS.keys())
def test_table_count_limit(write):
    message = M.INVALID_C2PA + M.TOO_MANY_TABLES.format(count=65536)
    assert outcome(write, many_tables(65535, False)) == message
    out = write(many_tables(65534, True))  # the C2PA table is replaced, not added
    assert int.from_bytes(out[4:6], "big") == 65535


def test_filling_a_font_of_65535_tables():
    reserved = qm.reserve_manifest_placeholder(many_tables(65534, False), 4)
    filled = qm.fill_manifest_store(reserved, b"sign")
    assert int.from_bytes(filled[4:6], "big") == 65535 and qm.read_manifest_store(filled) == b"sign"


# The requests below would need gigabytes if quillmark allocated before checking, so they run in
# a child whose address space is capped at 1 GiB: a check that comes too late shows up as a
# MemoryError instead of the ValueError. A store of 4 GiB or more cannot come through
# embed_manifest_store within any test's memory, and fill never grows a table, so those writers
# share the checks exercised here without a test of their own.
LIMITED_CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import quillmark as qm
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    font, bomb = (open(path, "rb").read() for path in sys.argv[1:3])
    empty = b"\\0\\1\\0\\0" + bytes(8)
    results = []
    for call in json.loads(sys.argv[3]):
        try:
            result = eval(call)
            results.append(["ok", result if isinstance(result, str) else ""])
        except BaseException as e:
            results.append([type(e).__name__, str(e)])
    print(json.dumps(results))
    """
)
BOMB_TABLES = 17000  # every table is the whole file: 272 KB that would rebuild to 4.6 GB


def first_past_limit(tables):
    """The refusal's detail for the first table that a rebuild would start past 2**32 - 1."""
    at = 12 + 16 * len(tables)
    for tag, length in sorted(tables, key=lambda t: t[0]):
        if at > 2**32 - 1:
            return M.TABLE_TOO_FAR.format(tag=tag.decode(), offset=at)
        at += pad4(length)
    raise AssertionError("everything fits")


@linux_only
def test_large_requests_are_refused_before_allocating(tmp_path, truetype_font):
    size = 12 + 16 * BOMB_TABLES
    bomb = struct.pack(">IHHHH", 0x00010000, BOMB_TABLES, 0, 0, 0) + struct.pack(">4sIII", b"zzzz", 0, 0, size) * BOMB_TABLES
    (tmp_path / "font.ttf").write_bytes(truetype_font)
    (tmp_path / "bomb.ttf").write_bytes(bomb)
    calls = [
        "qm.reserve_manifest_placeholder(font, 2**32)",
        "qm.reserve_manifest_placeholder(font, 2**63)",
        "qm.reserve_manifest_placeholder(font, 2**64 - 1)",
        "qm.reserve_manifest_placeholder(font, 0xFFFFFF00)",
        "qm.reserve_manifest_placeholder(empty, 0xFFFFFFFF, 'u' * 65535)",
        "qm.remove_manifest_table(bomb)",
        "qm.embed_remote(bomb, 'u')",
        "qm.reserve_manifest_placeholder(empty, 0xFFFFFF00)",  # fits the format: really allocated
        "qm.read_manifest_store(qm.reserve_manifest_placeholder(font, 3)).hex()",  # and the process lives on
    ]
    run = subprocess.run(
        [sys.executable, "-c", LIMITED_CHILD, str(tmp_path / "font.ttf"), str(tmp_path / "bomb.ttf"), json.dumps(calls)],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr

    normal = [(t, n) for t, _, _, n in directory(truetype_font)]
    assert json.loads(run.stdout) == [
        ["ValueError", M.STORE_TOO_LONG.format(size=2**32)],
        ["ValueError", M.STORE_TOO_LONG.format(size=2**63)],
        ["ValueError", M.STORE_TOO_LONG.format(size=2**64 - 1)],
        ["ValueError", M.INVALID_C2PA + first_past_limit(normal + [(C2PA, 20 + 0xFFFFFF00)])],
        ["ValueError", M.INVALID_C2PA + M.TABLE_TOO_LONG.format(tag="C2PA", size=20 + 65535 + 0xFFFFFFFF)],
        ["ValueError", M.INVALID_FONT + first_past_limit([(b"zzzz", size)] * BOMB_TABLES)],
        ["ValueError", M.INVALID_C2PA + first_past_limit([(b"zzzz", size)] * BOMB_TABLES + [(C2PA, 21)])],
        ["MemoryError", ""],
        ["ok", "000000"],
    ]
