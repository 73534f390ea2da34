"""Fuzzing the JUMBF reader and the whole check with hypothesis: a short, bounded, reproducible run
(derandomized, a few hundred examples each) in the test suite.

Whatever the bytes, the reader either returns boxes that nest inside their containers or raises
JumbfError, and `check` (the validator and what the command line makes of its results) returns
its verdict: never another exception, never a hang."""

from __future__ import annotations

import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import stores as ms
import quillmark
from quillmark_c2pa import jumbf
from conftest import fix_checksums
from quillmark_c2pa.trust import TrustSettings
from quillmark_cli.commands.check import check_font

NO_TRUST = TrustSettings(bundled=False)

FUZZ = settings(max_examples=300, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])  # fmt: skip

STORE = ms.manifest_store([
    ("c2pa.actions.v2", {"actions": [{"action": "c2pa.created"}]}),
    ("c2pa.hash.data", ms.data_hash(bytes(32), [(0, 1)])),
])  # fmt: skip


def assert_nested(tree: jumbf.Superbox, start: int, end: int) -> None:
    assert start <= tree.box.start < tree.box.payload <= tree.box.end <= end
    for child in tree.children:
        if isinstance(child, jumbf.Superbox):
            assert_nested(child, tree.box.payload, tree.box.end)
        else:
            assert tree.box.payload <= child.start < child.payload <= child.end <= tree.box.end


def read(data: bytes) -> None:
    try:
        tree = jumbf.read_superbox(data, jumbf.read_box(data, 0, len(data)))
    except jumbf.JumbfError:
        return
    assert_nested(tree, 0, len(data))


# Box headers with the lengths that matter: 0, 1, 2..7, small, huge, and types the reader knows.
HEADER = st.builds(
    lambda length, kind: struct.pack(">I4s", length, kind),
    st.one_of(st.integers(0, 64), st.sampled_from([2**31, 2**32 - 1])),
    st.sampled_from([b"jumb", b"jumd", b"cbor", b"free", b"c2sh"]),
)
DESCRIPTION = st.sampled_from([ms.MANIFEST_STORE + b"\x03c2pa\0", ms.MANIFEST + b"\x13urn:c2pa:x\0"])
PIECES = st.lists(st.one_of(HEADER, DESCRIPTION, st.binary(max_size=24)), max_size=12)


@FUZZ
@given(PIECES)
def test_reader_on_pieces_of_boxes(pieces):
    read(b"".join(pieces))


@FUZZ
@given(st.data())
def test_reader_on_a_store_with_bytes_overwritten(data):
    store = bytearray(STORE)
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(store) - 1))
        lengths = st.sampled_from([b"\0\0\0\0", b"\0\0\0\1", b"\0\0\0\7", b"\xff" * 4])
        patch = data.draw(st.one_of(st.binary(min_size=1, max_size=4), lengths))
        store[at : at + len(patch)] = patch
    read(bytes(store))


@pytest.fixture(scope="module")
def signed(truetype_font):
    return quillmark.embed_manifest_store(truetype_font, STORE)


@FUZZ
@given(data=st.data())
def test_check_on_a_signed_font_with_its_store_overwritten(signed, data):
    """The whole check, on fonts whose store is damaged: a verdict, whatever the damage."""
    store_at = signed.index(STORE)
    font = bytearray(signed)
    at = store_at + data.draw(st.integers(0, len(STORE) - 1))
    patch = data.draw(st.binary(min_size=1, max_size=8))
    font[at : at + len(patch)] = patch
    checked = check_font(fix_checksums(bytes(font)), "A.ttf", NO_TRUST)
    # The store binds no font (its hash is zeros) and is not signed: whatever the damage, nothing passes.
    assert not checked.passed(strict=False)
    assert checked.lines(strict=False, verbose=True) and checked.as_json(strict=False)["passed"] is False
