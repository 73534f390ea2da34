"""The validator (quillmark_c2pa.validation) on fonts signed for real and then broken one way each:
for every failure, the exact code C2PA 2.2, chapter 15 gives it, with the section that asks for it.
The manifests are built piece by piece (tests/manifests.py) and signed with the test PKI, so the
signature stays valid over each broken claim and only the broken thing fails."""

from __future__ import annotations

import struct
from pathlib import Path

import brotli
import cbor2
import pytest

import manifests as mf
import pki
import quillmark
from conftest import c2pa_table, fix_checksums, make_font
from quillmark_c2pa import jumbf, status
from quillmark_c2pa.signers import PemSigner
from quillmark_c2pa.signing import sign
from quillmark_c2pa.validation import validate

FONT_PATH = Path(__file__).resolve().parent.parent / "examples" / "fonts" / "QuillSample-Regular.ttf"


@pytest.fixture(scope="session")
def font() -> bytes:
    with open(FONT_PATH, "rb") as f:
        return f.read()


@pytest.fixture(scope="session")
def signer() -> PemSigner:
    key, chain = pki.leaf("ES256")
    return PemSigner(pki.key_pem(key), pki.chain_pem(chain))


def run(font: bytes, **kwargs):
    return validate(font, trust=mf.trust(), now=pki.NOW, **kwargs)


def failures(result) -> list[tuple[str, str]]:
    """(code, the last part of its URL) of each failure."""
    return [(e.code, (e.url or "").rsplit("/", 1)[-1]) for e in result.results.active_manifest.failure]


def codes(result, kind: str = "failure") -> list[str]:
    return [e.code for e in getattr(result.results.active_manifest, kind)]


@pytest.mark.parametrize("binding", ["boxes", "data"])
def test_a_font_signed_by_the_engine_passes(font, signer, binding):
    result = run(sign(font, signer, binding=binding))
    assert result.passed, failures(result)
    found = codes(result, "success")
    match = status.ASSERTION_BOXES_HASH_MATCH if binding == "boxes" else status.ASSERTION_DATA_HASH_MATCH
    for code in (status.CLAIM_SIGNATURE_VALIDATED, status.SIGNING_CREDENTIAL_TRUSTED, match):
        assert found.count(code) == 1
    # One hashed-URI match per assertion the claim lists.
    manifest = result.manifests[-1]
    assert found.count(status.ASSERTION_HASHED_URI_MATCH) == len(manifest.claim["created_assertions"])
    assert result.binding == f"c2pa.hash.{binding}"
    out = result.results.as_json()
    assert set(out) == {"activeManifest", "ingredientDeltas"}
    assert set(out["activeManifest"]) == {"success", "informational", "failure"}
    assert all(e["url"].startswith(f"self#jumbf=/c2pa/{manifest.label}/") for e in out["activeManifest"]["success"])
    # What `show` reads.
    assert manifest.active and manifest.validated and manifest.claim_version == 2
    assert manifest.claim_generator_info[0]["name"] == "quillmark"
    assert {a.label for a in manifest.assertions} >= {"c2pa.actions.v2", "font.info", f"c2pa.hash.{binding}"}
    assert manifest.signature.info()["alg"] == "ES256"


def test_the_font_changed_after_signing_fails_its_binding(font, signer):
    signed = bytearray(sign(font, signer))
    # One byte of the glyph data changed, checksums made right again: only the hash can tell.
    glyf = bytes(signed).find(b"glyf")
    offset = struct.unpack_from(">I", signed, glyf + 8)[0]
    signed[offset + 10] ^= 0xFF
    result = run(fix_checksums(bytes(signed)))
    assert failures(result) == [(status.ASSERTION_BOXES_HASH_MISMATCH, "c2pa.hash.boxes")]


# Each broken manifest and the one failure it gives: (code, the last part of the URL it names).
def _stale(font):  # the claim lists a hash of the assertion from before it was filled (issue 16)
    m = mf.standard(font)
    listed = m.urls()
    listed[0]["hash"] = bytes(32)
    m.listed = listed
    return m


def _undeclared(font):  # an assertion the claim does not list (C2PA 2.2, 15.10.3.1)
    m = mf.standard(font, mf.cbor_box("com.example.note", {"a": 1}))
    m.listed = [u for u in m.urls() if "com.example.note" not in u["url"]]
    return m


def _missing(font):  # listed, not in the store (15.10.3.1)
    m = mf.standard(font)
    m.listed = m.urls() + [mf.hashed("self#jumbf=c2pa.assertions/com.example.gone", b"x" * 9)]
    return m


def _outside(font):  # listed in another manifest (15.10.3.1)
    m = mf.standard(font)
    m.listed = m.urls() + [{"url": f"self#jumbf=/c2pa/{mf.OTHER}/c2pa.assertions/c2pa.actions.v2", "hash": bytes(32)}]
    return m


def _bad_alg(font):  # 15.4.3
    m = mf.standard(font)
    listed = m.urls()
    listed[0]["alg"] = "md5"
    m.listed = listed
    return m


def _bad_cbor(font):  # 15.10.3.1
    return mf.standard(font, mf.cbor_box("com.example.broken", b"\xa1\x61"))


def _bad_json(font):
    return mf.standard(font, mf.json_box("com.example.json", b'{"a": '))


BROKEN = {
    "stale hashed URI": (_stale, [(status.ASSERTION_HASHED_URI_MISMATCH, "c2pa.actions.v2")]),
    "undeclared": (_undeclared, [(status.ASSERTION_UNDECLARED, "com.example.note")]),
    "missing": (_missing, [(status.ASSERTION_MISSING, "c2pa.claim.v2")]),
    "outside the manifest": (_outside, [(status.ASSERTION_OUTSIDE_MANIFEST, "c2pa.claim.v2")]),
    "unsupported hash": (_bad_alg, [(status.ALGORITHM_UNSUPPORTED, "c2pa.actions.v2")]),
    "cbor": (_bad_cbor, [(status.ASSERTION_CBOR_INVALID, "com.example.broken")]),
    "json": (_bad_json, [(status.ASSERTION_JSON_INVALID, "com.example.json")]),
    # 15.10.1.2: exactly one hard binding; an actions assertion with c2pa.created or c2pa.opened.
    "no hard binding": (lambda f: mf.Manifest([mf.actions()]),
                        [(status.CLAIM_HARD_BINDINGS_MISSING, "c2pa.claim.v2")]),
    "two hard bindings": (lambda f: mf.standard(f, mf.boxes_hash(f, "c2pa.hash.boxes__1")),
                          [(status.ASSERTION_MULTIPLE_HARD_BINDINGS, "c2pa.assertions")]),
    "no actions": (lambda f: mf.Manifest([mf.boxes_hash(f)]), [(status.CLAIM_MALFORMED, "c2pa.claim.v2")]),
    # 15.10.3.2.2
    "created not first": (lambda f: mf.Manifest([mf.actions("c2pa.edited", "c2pa.created"), mf.boxes_hash(f)]),
                          [(status.ASSERTION_ACTION_MALFORMED, "c2pa.actions.v2")]),
    "two actions assertions opening": (
        lambda f: mf.Manifest([mf.actions(), mf.actions(label="c2pa.actions.v2__1"), mf.boxes_hash(f)]),
        [(status.ASSERTION_ACTION_MALFORMED, "c2pa.actions.v2__1"), (status.ASSERTION_ACTION_MALFORMED, "c2pa.actions.v2")]),
    "opened with no ingredient": (lambda f: mf.Manifest([mf.actions("c2pa.opened"), mf.boxes_hash(f)]),
                                  [(status.ASSERTION_ACTION_INGREDIENT_MISMATCH, "c2pa.actions.v2")]),
    "actions not an array": (lambda f: mf.Manifest([mf.cbor_box("c2pa.actions.v2", {"actions": "c2pa.created"}),
                                                    mf.boxes_hash(f)]),
                             [(status.ASSERTION_ACTION_MALFORMED, "c2pa.actions.v2")]),
    "redacted, no redaction named": (lambda f: mf.Manifest([mf.actions("c2pa.created", "c2pa.redacted"), mf.boxes_hash(f)]),
                                     [(status.ASSERTION_ACTION_REDACTION_MISMATCH, "c2pa.actions.v2")]),
    # 15.6: the claim.
    "claim without instanceID": (lambda f: mf.standard(f, claim={"instanceID": None}),
                                 [(status.CLAIM_MALFORMED, "c2pa.claim.v2")]),
    "claim generator without a name": (lambda f: mf.standard(f, claim={"claim_generator_info": {"version": "1"}}),
                                       [(status.CLAIM_MALFORMED, "c2pa.claim.v2")]),
    "claim listing nothing": (lambda f: mf.standard(f, listed=[]), [(status.CLAIM_MALFORMED, "c2pa.claim.v2")]),
    # 15.7: the signature the claim names, in its own manifest.
    "no signature": (lambda f: mf.standard(f, signed=False), [(status.CLAIM_SIGNATURE_MISSING, "c2pa.signature")]),
    "signature elsewhere": (lambda f: mf.standard(f, claim={"signature": f"self#jumbf=/c2pa/{mf.OTHER}/c2pa.signature"}),
                            [(status.CLAIM_SIGNATURE_MISSING, "c2pa.signature")]),
    # 15.10.3.1: a claim never redacts its own assertions.
    "self-redaction": (lambda f: mf.standard(f, claim={"redacted_assertions": ["self#jumbf=c2pa.assertions/font.info"]}),
                       [(status.ASSERTION_SELF_REDACTED, "c2pa.claim.v2")]),
    # 15.10.3.2.4: a map with at least one entry.
    "empty time-stamp assertion": (lambda f: mf.standard(f, mf.cbor_box("c2pa.time-stamp", {})),
                                   [(status.ASSERTION_TIMESTAMP_MALFORMED, "c2pa.time-stamp")]),
    # 15.10.3.3: hashed URIs inside standard assertions and the claim generator's icon (15.6.2).
    "reference to nothing": (lambda f: mf.standard(f, mf.cbor_box("c2pa.thumbnail.ingredient", {
        "icon": {"url": "self#jumbf=c2pa.assertions/c2pa.icon", "hash": bytes(32)}})),
                             [(status.HASHED_URI_MISSING, "c2pa.thumbnail.ingredient")]),
    "stale icon": (lambda f: mf.standard(f, claim={"claim_generator_info": {"name": "q", "icon": {
        "url": "self#jumbf=c2pa.assertions/c2pa.actions.v2", "hash": bytes(32)}}}),
                   [(status.HASHED_URI_MISMATCH, "c2pa.claim.v2")]),
    "NaN in JSON": (lambda f: mf.standard(f, mf.json_box("com.example.json", b'{"a": NaN}')),
                    [(status.ASSERTION_JSON_INVALID, "com.example.json")]),
    # 15.10.1.2: at most one parentOf ingredient.
    "two parents": (lambda f: mf.standard(f, mf.cbor_box("c2pa.ingredient.v3", {"relationship": "parentOf"}),
                                          mf.cbor_box("c2pa.ingredient.v3__1", {"relationship": "parentOf"})),
                    [(status.MANIFEST_MULTIPLE_PARENTS, "c2pa.claim.v2")]),
    # 15.11.3.2
    "ingredient without relationship": (lambda f: mf.standard(f, mf.cbor_box("c2pa.ingredient.v3", {"dc:title": "x"})),
                                        [(status.ASSERTION_INGREDIENT_MALFORMED, "c2pa.ingredient.v3")]),
}


@pytest.mark.parametrize("name", list(BROKEN))
def test_each_broken_manifest_gives_its_failure(font, name):
    make, expected = BROKEN[name]
    result = run(mf.embed(font, make(font)))
    assert sorted(failures(result)) == sorted(expected)
    assert not result.passed
    # Everything else still validated: the signature verifies over the broken claim.
    if expected[0][0] not in (status.CLAIM_SIGNATURE_MISSING, status.CLAIM_MALFORMED) or name == "no actions":
        assert status.CLAIM_SIGNATURE_VALIDATED in codes(result, "success")


# The signer's credential, judged on a font as on its signature alone (test_signature.py): each
# bad certificate of the test PKI and every failure it gives, on the claim signature's URI.
CREDENTIALS = {
    "expired": [status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY],  # 15.7, 14.5.1.1: validity at the time judged
    "not_yet_valid": [status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY],
    "wrong_eku": [status.SIGNING_CREDENTIAL_INVALID, status.SIGNING_CREDENTIAL_UNTRUSTED],  # 14.5.1.1, 14.5.1.2
    "ca": [status.SIGNING_CREDENTIAL_UNTRUSTED],  # 14.5.1.2
    "untrusted": [status.SIGNING_CREDENTIAL_UNTRUSTED],  # 15.7: no anchor
}


@pytest.mark.parametrize("kind", list(CREDENTIALS))
def test_a_font_signed_by_a_bad_certificate(font, kind):
    result = run(mf.embed(font, mf.standard(font, signer=pki.bad(kind))))
    assert sorted(failures(result)) == sorted((code, "c2pa.signature") for code in CREDENTIALS[kind])
    assert not result.passed
    assert status.CLAIM_SIGNATURE_VALIDATED in codes(result, "success")  # the signature itself is sound


@pytest.mark.parametrize("claim_boxes, code", [
    ([], status.CLAIM_MISSING),
    (["c2pa.claim.v2", "c2pa.claim"], status.CLAIM_MULTIPLE),
])  # fmt: skip
def test_claim_boxes(font, claim_boxes, code):
    m = mf.standard(font)
    inner = [jumbf.superbox(jumbf.ASSERTION_STORE, "c2pa.assertions", *(b for _, b in m.assertions))]
    inner += [jumbf.superbox(jumbf.CLAIM, label, jumbf.box(b"cbor", m.claim_bytes())) for label in claim_boxes]
    result = run(mf.embed(font, jumbf.superbox(jumbf.MANIFEST, mf.LABEL, *inner)))
    assert codes(result) == [code]


@pytest.mark.parametrize("content, code", [
    (b"\xa1\x61", status.CLAIM_CBOR_INVALID),  # truncated
    (b"\xa0\x00", status.CLAIM_CBOR_INVALID),  # a byte after the map
    (b"\x80", status.CLAIM_MALFORMED),  # an array, not a map
])  # fmt: skip
def test_claim_content(font, content, code):
    m = mf.standard(font)
    store = jumbf.superbox(jumbf.ASSERTION_STORE, "c2pa.assertions", *(b for _, b in m.assertions))
    claim = jumbf.superbox(jumbf.CLAIM, "c2pa.claim.v2", jumbf.box(b"cbor", content))
    result = run(mf.embed(font, jumbf.superbox(jumbf.MANIFEST, mf.LABEL, store, claim)))
    assert codes(result) == [code]


def test_first_version_claims_are_read_and_judged_by_2_2(font):
    """A c2pa.claim with `assertions` (C2PA 1.x) validates; without actions it is malformed under
    2.2's 15.10.1.2, the explanation saying the rule came after it."""
    result = run(mf.embed(font, mf.standard(font, claim_label="c2pa.claim")))
    assert result.passed, failures(result)
    assert result.manifests[-1].claim_version == 1 and result.manifests[-1].claim_generator == "quillmark-tests/1"
    result = run(mf.embed(font, mf.Manifest([mf.boxes_hash(font)], claim_label="c2pa.claim")))
    (failure,) = result.results.active_manifest.failure
    assert failure.code == status.CLAIM_MALFORMED and "first-version" in failure.explanation


# 15.5 and 15.6: where no active manifest, or no claim in it, can be located, claim.missing (its
# code list: "the referenced claim in the manifest cannot be found"); a file unreadable, general.error.
@pytest.mark.parametrize("case, expected", [
    ("not a font", [status.GENERAL_ERROR]),
    ("no C2PA table", [status.CLAIM_MISSING]),
    ("two C2PA tables", [status.CLAIM_MISSING]),
    ("placeholder", [status.CLAIM_MISSING]),
    ("not a store", [status.CLAIM_MISSING]),
    ("a store of no manifest", [status.CLAIM_MISSING]),
    ("a table of neither store nor URI", [status.CLAIM_MISSING]),
    ("garbage after the store", [status.GENERAL_ERROR]),
    ("uri only", [status.MANIFEST_INACCESSIBLE]),  # never fetched (C2PA 2.2, 15.5.3.1)
])  # fmt: skip
def test_locating_the_store(font, case, expected):
    store = mf.store(mf.standard(font))
    if case == "not a font":
        data = b"wOFF" + bytes(40)
    elif case == "no C2PA table":
        data = font
    elif case == "two C2PA tables":
        table = c2pa_table(store=store)
        data = make_font([(b"C2PA", table), (b"C2PA", table), (b"head", bytes(54))])
    elif case == "placeholder":
        data = quillmark.reserve_manifest_placeholder(font, 500)
    elif case == "not a store":
        data = quillmark.embed_manifest_store(font, jumbf.superbox(jumbf.MANIFEST, "c2pa", b""))
    elif case == "a store of no manifest":
        data = quillmark.embed_manifest_store(font, jumbf.superbox(jumbf.MANIFEST_STORE, "c2pa"))
    elif case == "a table of neither store nor URI":
        data = make_font([(b"C2PA", c2pa_table()), (b"head", bytes(54))])
    elif case == "garbage after the store":
        data = quillmark.embed_manifest_store(font, store + b"\x01")
    else:
        data = quillmark.embed_remote(font, "https://example.com/m.c2pa")
    result = run(data)
    assert codes(result) == expected
    assert result.passed == (not expected)
    if case == "uri only":
        assert result.uri == "https://example.com/m.c2pa"
        remote = run(data, allow_remote=True)
        assert codes(remote) == [] and remote.passed and "not fetched" in remote.notes[0]


# -- ingredients -----------------------------------------------------------------------------------


def test_a_derived_font_validates_its_parent(font, signer):
    parent = sign(font, signer)
    child = sign(font, signer, parent=parent, actions=["font.subset"])
    result = run(child)
    assert result.passed, failures(result)
    assert codes(result, "success").count(status.INGREDIENT_MANIFEST_VALIDATED) == 1
    assert len(result.manifests) == 2 and [m.validated for m in result.manifests] == [True, True]
    # The parent was validated by the signer with the bundled trust lists only: it recorded
    # signingCredential.untrusted, and today (with the test root trusted) it is trusted: both differ.
    (delta,) = result.results.ingredient_deltas
    assert delta.ingredient_assertion_uri.endswith("/c2pa.assertions/c2pa.ingredient.v3")
    found = {e.code for e in delta.validation_deltas.entries}
    assert status.SIGNING_CREDENTIAL_TRUSTED in found and status.SIGNING_CREDENTIAL_UNTRUSTED in found
    # No hard-binding code is compared: the parent recorded its box-hash match, which an
    # ingredient's validation cannot repeat.
    assert not any("boxesHash" in code for code in found)


def _parent(font):
    return mf.standard(font, label=mf.PARENT)


def _ingredient(parent_box: bytes, **fields):
    value = {"relationship": "parentOf", "validationResults": {"activeManifest": {"success": [], "informational": [],
                                                                                  "failure": []}}}  # fmt: skip
    value["activeManifest"] = mf.hashed(f"self#jumbf=/c2pa/{mf.PARENT}", parent_box)
    value.update(fields)
    return mf.cbor_box("c2pa.ingredient.v3", {k: v for k, v in value.items() if v is not None})


def _child(font, ingredient):
    opened = {"action": "c2pa.opened", "parameters": {"ingredients": [
        mf.hashed("self#jumbf=c2pa.assertions/c2pa.ingredient.v3", ingredient[1])]}}  # fmt: skip
    return mf.Manifest([ingredient, mf.actions(opened), mf.boxes_hash(font)])


@pytest.mark.parametrize("fields, expected", [
    ({}, []),
    ({"activeManifest": {"url": f"self#jumbf=/c2pa/{mf.PARENT}", "hash": bytes(32)}},
     [status.INGREDIENT_MANIFEST_MISMATCH]),
    ({"activeManifest": {"url": f"self#jumbf=/c2pa/{mf.OTHER}", "hash": bytes(32)}},
     [status.INGREDIENT_MANIFEST_MISSING, status.CLAIM_MISSING]),
    ({"validationResults": None}, [status.ASSERTION_INGREDIENT_MALFORMED]),
])  # fmt: skip
def test_ingredient_manifests(font, fields, expected):
    parent = _parent(font)
    parent_box = parent.box()
    result = run(mf.embed(font, parent_box, _child(font, _ingredient(parent_box, **fields))))
    assert sorted(codes(result)) == sorted(expected)
    if not expected:
        assert status.INGREDIENT_MANIFEST_VALIDATED in codes(result, "success")


def test_an_ingredient_with_no_manifest_has_unknown_provenance(font):
    ingredient = mf.cbor_box("c2pa.ingredient.v3", {"relationship": "parentOf", "dc:title": "a font"})
    result = run(mf.embed(font, _child(font, ingredient)))
    assert result.passed
    assert codes(result, "informational") == [status.INGREDIENT_UNKNOWN_PROVENANCE]


def test_recorded_results_are_compared(font):
    """What the ingredient recorded and what validation finds today differ both ways: each
    difference is one entry of the ingredient's deltas (C2PA 2.2, 15.11.3.3)."""
    parent = _parent(font)
    parent_box = parent.box()
    today = run(mf.embed(font, parent_box)).results.active_manifest.as_json()
    recorded = {kind: [e for e in entries if "boxesHash" not in e["code"]] for kind, entries in today.items()}
    dropped = recorded["success"].pop(0)
    recorded["failure"].append({"code": "signingCredential.ocsp.revoked", "url": f"self#jumbf=/c2pa/{mf.PARENT}/c2pa.signature"})
    # Relative URIs in the record are relative to the ingredient's manifest.
    for entry in recorded["success"]:
        entry["url"] = entry["url"].replace(f"/c2pa/{mf.PARENT}/", "")
    ingredient = _ingredient(parent_box, validationResults={"activeManifest": recorded})
    result = run(mf.embed(font, parent_box, _child(font, ingredient)))
    assert result.passed, failures(result)
    (delta,) = result.results.ingredient_deltas
    assert [e.code for e in delta.validation_deltas.success] == [dropped["code"]]
    assert [e.code for e in delta.validation_deltas.failure] == ["signingCredential.ocsp.revoked"]
    assert delta.as_json()["ingredientAssertionURI"] == f"self#jumbf=/c2pa/{mf.LABEL}/c2pa.assertions/c2pa.ingredient.v3"


def test_deltas_past_their_limit_are_cut_and_said(font, monkeypatch):
    """Past ingredients.MAX_DELTA_ENTRIES the comparison stops, and the font fails with general.error
    naming the limit rather than passing on a comparison it did not finish (docs/validation.md)."""
    from quillmark_c2pa import ingredients

    parent_box = _parent(font).box()
    # The ingredient recorded no results; today its manifest has several successes, each a delta.
    font = mf.embed(font, parent_box, _child(font, _ingredient(parent_box)))
    assert len(run(font).results.ingredient_deltas[0].validation_deltas.entries) > 2
    monkeypatch.setattr(ingredients, "MAX_DELTA_ENTRIES", 2)
    result = run(font)
    assert failures(result) == [(status.GENERAL_ERROR, "")] and not result.passed
    assert result.results.ingredient_deltas == []


def test_a_manifest_naming_itself_as_ingredient_is_validated_once(font):
    # The ingredient names the active manifest itself: the lineage is a loop, read once.
    m = mf.standard(font, mf.cbor_box("c2pa.ingredient.v3", {
        "relationship": "componentOf", "validationResults": {},
        "activeManifest": {"url": f"self#jumbf=/c2pa/{mf.LABEL}", "hash": bytes(32)}}))  # fmt: skip
    result = run(mf.embed(font, m))
    assert codes(result) == [status.INGREDIENT_MANIFEST_MISMATCH]


# -- update and compressed manifests ---------------------------------------------------------------


def _update(parent_box: bytes, *more):
    ingredient = _ingredient(parent_box)
    return mf.Manifest([ingredient, mf.actions("c2pa.published"), *more], kind=jumbf.UPDATE_MANIFEST)


def test_an_update_manifest_binds_through_its_parent(font):
    parent_box = _parent(font).box()
    result = run(mf.embed(font, parent_box, _update(parent_box)))
    assert result.passed, failures(result)
    assert status.ASSERTION_BOXES_HASH_MATCH in codes(result, "success")
    assert result.binding == "c2pa.hash.boxes"
    assert result.manifests[-1].kind == "update"


@pytest.mark.parametrize("more, expected", [
    ([lambda f: mf.boxes_hash(f)], [status.MANIFEST_UPDATE_INVALID]),
    ([lambda f: mf.actions("c2pa.edited", label="c2pa.actions.v2__1")], [status.MANIFEST_UPDATE_INVALID]),
])  # fmt: skip
def test_update_manifest_rules(font, more, expected):
    parent_box = _parent(font).box()
    result = run(mf.embed(font, parent_box, _update(parent_box, *(m(font) for m in more))))
    assert set(codes(result)) == set(expected)


def test_an_update_manifest_with_no_parent(font):
    m = mf.Manifest([mf.actions("c2pa.published")], kind=jumbf.UPDATE_MANIFEST)
    assert sorted(codes(run(mf.embed(font, m)))) == [status.CLAIM_HARD_BINDINGS_MISSING, status.MANIFEST_UPDATE_WRONG_PARENTS]


def compressed(manifest_box: bytes, label: str = mf.LABEL, data=None) -> bytes:
    payload = brotli.compress(manifest_box) if data is None else data
    return jumbf.superbox(jumbf.COMPRESSED_MANIFEST, label, jumbf.box(b"brob", payload))


@pytest.mark.parametrize("case, expected", [
    ("good", []),
    ("not brotli", [status.MANIFEST_COMPRESSED_INVALID]),
    ("other label", [status.MANIFEST_COMPRESSED_INVALID]),
    ("not a manifest", [status.MANIFEST_COMPRESSED_INVALID]),
])  # fmt: skip
def test_compressed_manifests(font, case, expected):
    box = mf.standard(font).box()
    store_box = {
        "good": lambda: compressed(box),
        "not brotli": lambda: compressed(box, data=b"\xff" * 40),
        "other label": lambda: compressed(box, label=mf.OTHER),
        "not a manifest": lambda: compressed(jumbf.superbox(jumbf.CBOR, mf.LABEL, b"")),
    }[case]()
    result = run(mf.embed(font, store_box))
    assert codes(result) == expected
    if not expected:
        assert result.manifests[-1].compressed and status.CLAIM_SIGNATURE_VALIDATED in codes(result, "success")


def test_an_ingredient_names_a_compressed_manifest_by_its_compressed_box(font):
    """The hash of a compressed manifest covers its c2cm box, brob and all (C2PA 2.2, 11.1.3.2)."""
    parent_box = compressed(_parent(font).box(), label=mf.PARENT)
    result = run(mf.embed(font, parent_box, _child(font, _ingredient(parent_box))))
    assert result.passed, failures(result)
    assert status.INGREDIENT_MANIFEST_VALIDATED in codes(result, "success")


# -- redaction -------------------------------------------------------------------------------------

SECRET = f"self#jumbf=/c2pa/{mf.PARENT}/c2pa.assertions/com.example.secret"


def _signature_box(manifest_box: bytes) -> bytes:
    tree = jumbf.read_superbox(manifest_box, jumbf.read_box(manifest_box, 0, len(manifest_box)))
    (found,) = tree.superboxes(jumbf.CLAIM_SIGNATURE)
    return manifest_box[found.box.start : found.box.end]


# Each way a child may redact its parent's assertion, and what it gives: (the active manifest's
# failures, the failures of the parent's ingredient delta).
REDACTIONS = {
    "zeroed": ([], []),
    # 15.10.3.1: a redacted assertion holds no data.
    "left in": ([(status.ASSERTION_NOT_REDACTED, "com.example.secret")], []),
    # 15.10.3.1: actions and hard bindings are never redacted; the parent's claim is rejected.
    "actions": ([], [status.ASSERTION_ACTION_REDACTED]),
    "hard binding": ([], [status.ASSERTION_DATA_HASH_REDACTED]),
    # 15.11.3.3.1: the ingredient's claim signature, by the hash the ingredient records.
    "stale claim signature hash": ([(status.INGREDIENT_CLAIM_SIGNATURE_MISMATCH, "c2pa.ingredient.v3")], []),
    "no claim signature field": ([(status.INGREDIENT_CLAIM_SIGNATURE_MISSING, "c2pa.ingredient.v3")], []),
}


@pytest.mark.parametrize("case", list(REDACTIONS))
def test_an_ingredient_assertion_redacted_by_the_child(font, case):
    """The child redacts an assertion of its parent's manifest (C2PA 2.2, 15.10.2): the parent's
    claim still lists its hash, the store holds zeros in its place, and the parent is validated by
    its claim signature's hash instead of its manifest's (15.11.3.3.1)."""
    value = {"secret": "the type designer's home address"}
    label, secret = mf.cbor_box("com.example.secret", value)
    zeroed = jumbf.superbox(jumbf.CBOR, label, jumbf.box(b"cbor", bytes(len(mf.cbor.encode(value)))))
    assert len(zeroed) == len(secret)
    parent = mf.standard(font, (label, secret), label=mf.PARENT)
    original = parent.box()
    target = {"actions": "c2pa.actions.v2", "hard binding": "c2pa.hash.boxes"}.get(case, "com.example.secret")
    redacted_uri = f"self#jumbf=/c2pa/{mf.PARENT}/c2pa.assertions/{target}"
    if target == "com.example.secret":
        in_store = original.replace(secret, zeroed) if case != "left in" else original
    else:  # zeroed, as a redaction leaves it: only the parent's claim rejects it
        kept = dict(parent.assertions)[target]
        tree = jumbf.read_superbox(kept, jumbf.read_box(kept, 0, len(kept)))
        content = tree.children[-1]
        in_store = original.replace(kept, kept[: content.payload] + bytes(content.end - content.payload))
    signature_ref = mf.hashed(f"self#jumbf=/c2pa/{mf.PARENT}/c2pa.signature", _signature_box(original))
    if case == "stale claim signature hash":
        signature_ref["hash"] = bytes(32)
    ingredient = _ingredient(original, claimSignature=None if case == "no claim signature field" else signature_ref)
    opened = {"action": "c2pa.opened", "parameters": {"ingredients": [
        mf.hashed("self#jumbf=c2pa.assertions/c2pa.ingredient.v3", ingredient[1])]}}  # fmt: skip
    redaction = {"action": "c2pa.redacted", "reason": "c2pa.PII.present", "parameters": {"redacted": redacted_uri}}
    child = mf.Manifest([ingredient, mf.actions(opened, redaction), mf.boxes_hash(font)],
                        claim={"redacted_assertions": [redacted_uri]})  # fmt: skip
    result = run(mf.embed(font, in_store, child))
    active, parent_failures = REDACTIONS[case]
    assert failures(result) == active
    assert result.passed == (not active)
    success = codes(result, "success")
    assert status.INGREDIENT_MANIFEST_VALIDATED not in success
    assert (status.INGREDIENT_CLAIM_SIGNATURE_VALIDATED in success) == ("claim signature" not in case)
    deltas = result.results.ingredient_deltas
    assert sorted(e.code for d in deltas for e in d.validation_deltas.failure) == parent_failures


def test_a_font_never_signed(font):
    """The temporary claim signature of C2PA 2.2, 10.4.2 (empty protected header, no signature),
    left by a writer that filled in the store and never signed: the signature fails, the rest of
    the manifest is reported as it is."""
    m = mf.standard(font, signed=False)
    placeholder = cbor2.dumps(cbor2.CBORTag(18, [b"", {"pad": bytes(16)}, None, b""]))
    m.extra = (jumbf.superbox(jumbf.CLAIM_SIGNATURE, "c2pa.signature", jumbf.box(b"cbor", placeholder)),)
    result = run(mf.embed(font, m))
    assert failures(result) == [(status.CLAIM_SIGNATURE_MISMATCH, "c2pa.signature")]  # 15.7
    assert status.ASSERTION_BOXES_HASH_MATCH in codes(result, "success")
    assert not result.passed
