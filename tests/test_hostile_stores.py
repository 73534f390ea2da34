"""Hostile Manifest Stores (issue 16, item 6): each is validated in bounded work and memory, and
what goes past a limit is reported with its status code and the limit named.

Memory is the peak traced by tracemalloc during the call, against a bound a few times the font:
without the limits each of these costs tens of times the font (an object per box or per CBOR
item). Work is counted where it is the risk: bytes hashed, signatures validated."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import manifests as mf
import pki
from quillmark_c2pa import cbor, jumbf, status, store
from memory_util import SANITIZED, linux_only, run_child
from quillmark_c2pa.validation import validate

FONT_PATH = "examples/fonts/QuillSample-Regular.ttf"
TESTS = Path(__file__).resolve().parent
FONT = (TESTS.parent / FONT_PATH).read_bytes()


@pytest.fixture(scope="module")
def font() -> bytes:
    return FONT


def failure_codes(result) -> list[tuple[str, str]]:
    return [(e.code, e.explanation or "") for e in result.results.active_manifest.failure]


def claim_manifest(font: bytes, claim: bytes) -> bytes:
    m = mf.standard(font)
    inner = jumbf.superbox(jumbf.ASSERTION_STORE, "c2pa.assertions", *(b for _, b in m.assertions))
    return jumbf.superbox(jumbf.MANIFEST, mf.LABEL, inner, jumbf.superbox(jumbf.CLAIM, "c2pa.claim.v2", jumbf.box(b"cbor", claim)))


def eight_byte_boxes(font: bytes) -> bytes:
    count = 4 * jumbf.MAX_BOXES
    store_box = jumbf.box(b"jumb", jumbf.description(jumbf.MANIFEST_STORE, "c2pa") + b"\0\0\0\x08free" * count)
    return mf.quillmark.embed_manifest_store(font, store_box)


def content_boxes(font: bytes) -> bytes:
    many = jumbf.superbox(jumbf.CBOR, "com.example.boxes", b"\0\0\0\x08free" * (4 * jumbf.MAX_BOXES))
    return mf.embed(font, mf.standard(font, ("com.example.boxes", many)))


def empty_maps(font: bytes) -> bytes:
    count = 6 * cbor.MAX_ITEMS
    return mf.embed(font, claim_manifest(font, b"\x9a" + struct.pack(">I", count) + b"\xa0" * count))


def deep_arrays(font: bytes) -> bytes:
    return mf.embed(font, claim_manifest(font, b"\x81" * 200_000 + b"\x00"))


def integer_keys(font: bytes) -> bytes:
    # Integer keys (which an attacker can choose to collide in a dict: Python hashes them without a
    # secret) past the limit.
    count = 4 * cbor.MAX_OTHER_KEYS
    keys = b"".join(b"\x19" + struct.pack(">H", k) + b"\x00" for k in range(count))
    return mf.embed(font, claim_manifest(font, b"\xb9" + struct.pack(">H", count) + keys))


def sharing_tag(font: bytes) -> bytes:
    return mf.embed(font, claim_manifest(font, b"\xd8\x1c\x80"))


def documents_adding_up(font: bytes) -> bytes:
    """Assertions of 30,000 empty maps each: each well within the limit for one document, together
    past the limit for the store (decoded documents are kept, for the results and for `show`)."""
    count = 30_000
    many = [mf.cbor_box(f"com.example.maps__{i}", b"\x9a" + struct.pack(">I", count) + b"\xa0" * count) for i in range(3)]
    return mf.embed(font, mf.standard(font, *many))


def exclusions(font: bytes) -> bytes:
    count = cbor.MAX_ITEMS // 2  # five CBOR items each: past MAX_ITEMS
    listed = [{"start": 0, "length": 0}] * count
    binding = mf.cbor_box("c2pa.hash.data", {"alg": "sha256", "hash": bytes(32), "exclusions": listed})
    return mf.embed(font, mf.Manifest([mf.actions(), binding]))


def empty_objects(font: bytes) -> bytes:
    body = b"[" + b"{}," * (2 * store.MAX_JSON_ITEMS) + b"{}]"
    return mf.embed(font, mf.standard(font, mf.json_box("com.example.json", body)))


def long_label(font: bytes) -> bytes:
    """An assertion whose label is 4 MiB: it would be repeated in the URI of each box below it."""
    m = mf.standard(font, mf.cbor_box("x" * (4 << 20), {}))
    m.listed = m.urls()[:1] + m.urls()[2:]
    return mf.embed(font, m)


def head_names(font: bytes) -> bytes:
    """A box entry naming 65,000 head tables (the hard binding's checks count their own work, in
    test_check.py; here the whole validation around them)."""
    entry = {"names": ["head"] * 65_000, "hash": bytes(32)}
    return mf.embed(font, mf.Manifest([mf.actions(), mf.cbor_box("c2pa.hash.boxes", {"alg": "sha256", "boxes": [entry]})]))


# Each hostile store, the failure it gives, and words of its explanation (the limit it names).
HOSTILE = {
    "a store of eight-byte boxes": (eight_byte_boxes, status.GENERAL_ERROR, f"more than {jumbf.MAX_BOXES} boxes"),
    "an assertion of eight-byte boxes": (content_boxes, status.GENERAL_ERROR, f"more than {jumbf.MAX_BOXES} boxes"),
    "a claim of empty maps": (empty_maps, status.CLAIM_CBOR_INVALID, "documents together hold more than"),
    "a claim of nested arrays": (deep_arrays, status.CLAIM_CBOR_INVALID, f"more than {cbor.MAX_DEPTH} deep"),
    "a claim of colliding integer keys": (integer_keys, status.CLAIM_CBOR_INVALID,
                                          f"more than {cbor.MAX_OTHER_KEYS} map keys"),
    "a claim of shared values": (sharing_tag, status.CLAIM_CBOR_INVALID, "tag 28"),
    "assertions adding up": (documents_adding_up, status.ASSERTION_CBOR_INVALID, "documents together hold more than"),
    "a data hash of 260,000 exclusions": (exclusions, status.ASSERTION_CBOR_INVALID, "documents together hold more than"),
    "a JSON assertion of empty objects": (empty_objects, status.ASSERTION_JSON_INVALID, "structural characters"),
    "a label of 4 MiB": (long_label, status.GENERAL_ERROR, f"longer than {jumbf.MAX_LABEL} bytes"),
    "a box entry of 65,000 head names": (head_names, status.ASSERTION_BOXES_HASH_UNKNOWN_BOX, "not covered"),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_stores_give_their_code(font, name):
    make, code, words = HOSTILE[name]
    result = validate(make(font), trust=mf.trust(), now=pki.NOW)
    ((found, explanation),) = failure_codes(result)
    assert found == code and words in explanation
    # No explanation repeats what the store holds at length.
    assert max(len(e.explanation or "") for e in result.results.active_manifest.entries) < 500


@linux_only
@pytest.mark.skipif(SANITIZED, reason="memory figures mean nothing under AddressSanitizer")
def test_hostile_stores_take_memory_a_few_times_the_font():
    """Measured in a child process, the peak of resident memory during each validation: without
    the limits each takes tens of times its font (an object per box, per CBOR or JSON item)."""
    names = list(HOSTILE)
    setup = f"""
        import sys
        sys.path.insert(0, {str(TESTS)!r})
        import manifests as mf, pki, test_hostile_stores as t
        from quillmark_c2pa.validation import validate
        font = open({str(TESTS.parent / FONT_PATH)!r}, "rb").read()
        trust = mf.trust()
        validate(t.sharing_tag(font), trust=trust, now=pki.NOW)  # imports done before measuring
        cases = [t.HOSTILE[name][0](font) for name in {names!r}]
    """
    calls = [f"validate(cases[{i}], trust=trust, now=pki.NOW)" for i in range(len(names))]
    outcomes = run_child(setup, calls, timeout=300)
    for name, outcome in zip(names, outcomes):
        size = len(HOSTILE[name][0](FONT))
        assert outcome["ok"], (name, outcome)
        assert outcome["peak_rise"] < 3 * size + (24 << 20), (name, outcome["peak_rise"], size)


def test_many_references_to_one_large_box_hash_it_once(font, monkeypatch):
    """20,000 hashed URIs inside an assertion all name one 1 MB assertion: it is hashed once."""
    big = mf.cbor_box("c2pa.embedded", {"data": bytes(1 << 20)})
    refs = [mf.hashed("self#jumbf=c2pa.assertions/c2pa.embedded", big[1])] * 20_000
    data = mf.embed(font, mf.standard(font, big, mf.cbor_box("c2pa.references", {"refs": refs})))
    hashed = []
    real = store.Node.hash

    def counting(self, alg):
        hashed.append(self.box.box.end - self.box.box.payload)
        return real(self, alg)

    monkeypatch.setattr(store.Node, "hash", counting)
    result = validate(data, trust=mf.trust(), now=pki.NOW)
    assert result.passed, failure_codes(result)
    assert sum(hashed) < 2 * len(data)


def test_a_long_lineage_validates_each_manifest_once(font, monkeypatch):
    """300 manifests, each naming the one before it as its parent, the first naming the last: each
    is validated once, its signature checked once."""
    from quillmark_c2pa import signature

    count = 300
    labels = [f"urn:c2pa:00000000-0000-4000-8000-{i:012d}" for i in range(count)]
    boxes: list[bytes] = []
    for i, label in enumerate(labels):
        previous = labels[i - 1]
        ingredient = mf.cbor_box("c2pa.ingredient.v3", {
            "relationship": "parentOf", "validationResults": {},
            "activeManifest": {"url": f"self#jumbf=/c2pa/{previous}", "hash": bytes(32)}})  # fmt: skip
        boxes.append(mf.standard(font, ingredient, label=label).box())
    calls = []
    real = signature.validate_signature
    monkeypatch.setattr(signature, "validate_signature", lambda *a, **k: calls.append(1) or real(*a, **k))
    result = validate(mf.quillmark.embed_manifest_store(font, mf.store(*boxes)), trust=mf.trust(), now=pki.NOW)
    assert len(calls) == count
    assert all(m.validated for m in result.manifests)
    assert [e.code for e in result.results.active_manifest.failure] == [status.INGREDIENT_MANIFEST_MISMATCH]


@pytest.fixture(scope="module")
def lineage_store(font) -> bytes:
    parent = mf.standard(font, label=mf.PARENT).box()
    ingredient = mf.cbor_box("c2pa.ingredient.v3", {
        "relationship": "parentOf", "validationResults": {"activeManifest": {"success": [], "informational": [], "failure": []}},
        "activeManifest": mf.hashed(f"self#jumbf=/c2pa/{mf.PARENT}", parent)})  # fmt: skip
    return mf.store(parent, mf.standard(font, ingredient))


EDITS = st.lists(st.tuples(st.integers(0, 2**32), st.sampled_from(["set", "cut", "insert", "length"]), st.binary(min_size=1, max_size=4)),
                 min_size=1, max_size=4)  # fmt: skip


@settings(max_examples=200, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])  # fmt: skip
@given(EDITS)
def test_damaged_stores_are_reported_never_raised(font, lineage_store, edits):
    """Whatever bytes the store holds, validation returns results (never an exception) in which
    every entry is a known code with its kind."""
    data = bytearray(lineage_store)
    for at, how, value in edits:
        at %= len(data)
        if how == "set":
            data[at : at + len(value)] = value
        elif how == "cut":
            del data[at : at + len(value)]
        elif how == "insert":
            data[at:at] = value
        else:  # a box length set to 0, 1 (a 64-bit length follows), 8 or huge
            data[at : at + 4] = [b"\0\0\0\0", b"\0\0\0\x01", b"\0\0\0\x08", b"\xff\xff\xff\xff"][value[0] % 4]
    result = validate(mf.quillmark.embed_manifest_store(font, bytes(data)), trust=mf.trust(), now=pki.NOW)
    assert all(status.KIND[e.code] == e.kind for e in result.results.active_manifest.entries)
    for delta in result.results.ingredient_deltas:
        delta.as_json()
