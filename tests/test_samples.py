"""The two real Manifest Stores of tests/c2pa-samples (made by a camera vendor's C2PA library in
2023: first-version claims, real certificates, RFC 3161 time-stamps), embedded into a font and
validated, against the report a reference validator gave at the time.

What the readings are, and why (see tests/c2pa-samples/ATTRIBUTION.md):
- In any reading the claim signature verifies and every hashed URI the claim lists matches, and
  the hard binding fails: it binds the original JPEG, not the font (assertion.dataHash.mismatch).
- C2PA 2.2's reading, which the validator takes for every manifest whatever its claim version:
  an actions assertion is required (15.10.1.2; claim.malformed, the explanation saying the rule came
  after the claim), the time-stamps are signed with RSA PKCS#1 v1.5, not on 13.2's list, so they do
  not count (timeStamp.untrusted) and the long-expired certificate is judged today
  (claimSignature.outsideValidity), and the chains end below every root of the C2PA Trust List
  (signingCredential.untrusted).
- The reading of their day: the vendor's CA trusted and the time-stamp's time taken as now. Then
  nothing but the two rules 2.2 added or the font changed fails.
Everything the reference reported (manifest label, generator, title, format, instance ID, each
assertion's label and data, the thumbnail's format, the signer's issuer and serial number, the
time-stamp's time) is what the validator reads too.
"""

from __future__ import annotations

import datetime
import json
from pathlib import Path

import pytest

import quillmark
from quillmark_c2pa import status
from quillmark_c2pa.trust import TrustSettings
from quillmark_c2pa.validation import validate

SAMPLES = Path(__file__).resolve().parent / "c2pa-samples"  # their source and licence: ATTRIBUTION.md there
NAMES = ["truepic-20230212-camera", "truepic-20230212-landscape"]
FONT = Path(__file__).resolve().parents[1] / "examples" / "fonts" / "QuillSample-Regular.ttf"


@pytest.fixture(scope="module", params=NAMES)
def sample(request):
    store = (SAMPLES / f"{request.param}.c2pa").read_bytes()
    report = json.loads((SAMPLES / f"{request.param}.report.json").read_text())
    font = quillmark.embed_manifest_store(FONT.read_bytes(), store)
    return font, report, validate(font)


def codes(result, kind):
    return sorted(e.code for e in getattr(result.results.active_manifest, kind))


def test_in_any_reading_the_signature_verifies_and_every_hashed_uri_matches(sample):
    font, report, result = sample
    manifest = result.manifests[-1]
    listed = manifest.claim["assertions"]
    then = validate(font, trust=TrustSettings(anchors=manifest.signature.chain[-1:], bundled=False),
                    now=manifest.signature.stamp_time)  # fmt: skip
    for found in (result, then):
        success = codes(found, "success")
        assert status.CLAIM_SIGNATURE_VALIDATED in success
        assert success.count(status.ASSERTION_HASHED_URI_MATCH) == len(listed) == 7
        assert status.ASSERTION_HASHED_URI_MISMATCH not in codes(found, "failure")


def test_the_reading_of_c2pa_2_2(sample):
    _, _, result = sample
    assert codes(result, "failure") == sorted([
        status.ASSERTION_DATA_HASH_MISMATCH,  # it binds the JPEG
        status.CLAIM_MALFORMED,  # no actions assertion (15.10.1.2)
        status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY,  # no counted time-stamp: the certificate judged today
        status.SIGNING_CREDENTIAL_UNTRUSTED,  # below any root of the C2PA Trust List
    ])  # fmt: skip
    assert status.TIME_STAMP_UNTRUSTED in codes(result, "informational")
    (malformed,) = [e for e in result.results.active_manifest.failure if e.code == status.CLAIM_MALFORMED]
    assert "actions" in malformed.explanation and "first-version" in malformed.explanation


def test_the_reading_of_their_day(sample):
    """The vendor's CA as anchor and the time-stamp's time as now: what remains is what 2.2 added
    and what the font changed."""
    font, _, result = sample
    signature = result.manifests[-1].signature
    then = validate(font, trust=TrustSettings(anchors=signature.chain[-1:], bundled=False), now=signature.stamp_time)
    assert codes(then, "failure") == sorted([status.ASSERTION_DATA_HASH_MISMATCH, status.CLAIM_MALFORMED])
    assert {status.SIGNING_CREDENTIAL_TRUSTED, status.CLAIM_SIGNATURE_INSIDE_VALIDITY} <= set(codes(then, "success"))


def test_what_the_reference_reported_is_read(sample):
    _, report, result = sample
    expected = report["manifests"][report["active_manifest"]]
    assert result.active_manifest == report["active_manifest"]
    (manifest,) = result.manifests
    assert manifest.label == expected["label"] and manifest.active
    assert manifest.claim_generator == expected["claim_generator"]
    assert manifest.claim_generator_info == expected["claim_generator_info"]
    assert (manifest.title, manifest.format, manifest.instance_id) == (expected["title"], expected["format"],
                                                                       expected["instance_id"])  # fmt: skip
    # The reference lists the assertions it shows, each instance numbered apart from its label.
    found = {a.label: a for a in manifest.assertions}
    for assertion in expected["assertions"]:
        label = assertion["label"] + (f"__{assertion['instance']}" if assertion.get("instance") else "")
        assert found[label].data == assertion["data"], label
    thumbnail = found["c2pa.thumbnail.claim.jpeg"]
    assert thumbnail.kind == "embedded" and thumbnail.data["format"] == expected["thumbnail"]["format"]
    assert thumbnail.data["size"] > 100_000
    signature = manifest.signature
    info = signature.info()
    assert info["issuer"] == expected["signature_info"]["issuer"]
    assert info["cert_serial_number"] == expected["signature_info"]["cert_serial_number"]
    # The stamp is read though it does not count under 2.2: its time is the one reported then.
    assert signature.stamp_time == datetime.datetime.fromisoformat(expected["signature_info"]["time"])
