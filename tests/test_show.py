"""`quillmark show`: a font's Manifest Store as JSON (quillmark_c2pa.describe), judged against what
the tests put in the store, against fontTools-free readings of it (cbor2, the certificate), and
against a reference validator's report of two real stores."""

from __future__ import annotations

import base64
import datetime
import json
import math
import subprocess
import sysconfig
from pathlib import Path

import cbor2
import pytest
from cryptography.x509.oid import NameOID

import pki
import quillmark
import tsa
from conftest import sign_boxes
from quillmark_c2pa import status
from quillmark_c2pa.describe import as_json, describe
from quillmark_c2pa.trust import TrustSettings
from quillmark_c2pa.validation import validate

TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
# The real stores of 2023, as tests/test_samples.py finds them.
SAMPLES = Path(__file__).resolve().parent / "c2pa-samples"
TRUST = TrustSettings(bundled=False)


def trust() -> TrustSettings:
    return TrustSettings(anchors=[pki.root()], tsa_anchors=[pki.tsa_root()], bundled=False)


def signed(font: bytes, **kwargs) -> bytes:
    from quillmark_c2pa.signers import PemSigner
    from quillmark_c2pa.signing import sign

    key, chain = pki.leaf("ES256")
    return sign(font, PemSigner(pki.key_pem(key), pki.chain_pem(chain)), **kwargs)


def shown(font: bytes, trusting: TrustSettings = TRUST) -> dict:
    out = describe(validate(font, trust=trusting))
    json.dumps(out, allow_nan=False)  # JSON as it is, nothing Python-only
    return out


def test_a_signed_font_shows_its_manifest_signature_and_results(truetype_font):
    font = signed(truetype_font)
    out = shown(font, trust())
    label = out["active_manifest"]
    assert list(out["manifests"]) == [label] and label.startswith("urn:c2pa:")
    manifest = out["manifests"][label]
    assert manifest["claim_generator_info"][0]["name"] == "quillmark" and manifest["claim_version"] == 2
    assert manifest["instance_id"].startswith("xmp:iid:") and manifest["validated"] is True
    labels = [a["label"] for a in manifest["assertions"]]
    assert labels[0] == "c2pa.actions.v2" and "c2pa.hash.boxes" in labels
    assert manifest["assertions"][0]["data"]["actions"][0]["action"] == "c2pa.created"
    # Byte strings as base64: the C2PA box's hash is 00, the others the table hashes, as in the store.
    (boxes,) = [a["data"]["boxes"] for a in manifest["assertions"] if a["label"] == "c2pa.hash.boxes"]
    hashes = dict(quillmark.box_hashes(font, "sha256"))
    for entry in boxes:
        (name,) = entry["names"]
        assert base64.b64decode(entry["hash"]) == (b"\0" if name == "C2PA" else hashes[name])
    certificate = pki.leaf()[1][0]
    assert manifest["signature_info"] == {
        "alg": "ES256",
        "issuer": certificate.subject.get_attributes_for_oid(NameOID.ORGANIZATION_NAME)[0].value,
        "common_name": certificate.subject.get_attributes_for_oid(NameOID.COMMON_NAME)[0].value,
        "cert_serial_number": str(certificate.serial_number),
    }  # no time: no time-stamp
    assert out["validation_results"]["activeManifest"]["failure"] == []
    assert "validation_status" not in out and "validation_results" not in manifest  # the font's, once


def test_the_time_of_a_counted_time_stamp_is_shown(truetype_font):
    manifest = next(iter(shown(signed(truetype_font, tsa_url=tsa.url()), trust())["manifests"].values()))
    at = datetime.datetime.fromisoformat(manifest["signature_info"]["time"])
    assert abs(at - datetime.datetime.now(datetime.timezone.utc)) < datetime.timedelta(hours=1)


def test_a_derived_font_shows_its_parent_as_an_ingredient(truetype_font):
    parent = signed(truetype_font)
    child = signed(truetype_font, parent=parent, actions=["font.subset"])
    out = shown(child, trust())
    parent_label = shown(parent)["active_manifest"]
    assert list(out["manifests"]) == [parent_label, out["active_manifest"]]
    (ingredient,) = out["manifests"][out["active_manifest"]]["ingredients"]
    assert (ingredient["relationship"], ingredient["active_manifest"]) == ("parentOf", parent_label)
    # The parent was validated too, as part of the lineage: its results are shown with it.
    assert out["manifests"][parent_label]["validated"] is True
    assert out["manifests"][parent_label]["validation_results"]["failure"] == []


def test_failures_are_listed_as_validators_list_them(truetype_font):
    """A store never signed (the placeholder signature): validation_status holds the failures."""
    out = shown(sign_boxes(truetype_font))
    assert out["validation_status"] == out["validation_results"]["activeManifest"]["failure"] != []
    manifest = out["manifests"][out["active_manifest"]]
    assert manifest["signature_info"] is not None and "common_name" not in manifest["signature_info"]


@pytest.mark.parametrize("name", ["truepic-20230212-camera", "truepic-20230212-landscape"])
def test_the_real_stores_show_what_the_reference_report_shows(truetype_font, name):
    """The fields a reference validator reported in 2023, read the same; the time is not shown,
    since C2PA 2.2 does not count their time-stamps (RSA PKCS#1 v1.5, 15.8.2)."""
    path = SAMPLES / f"{name}.c2pa"
    if not path.exists():
        pytest.skip(f"{path} is not there")
    report = json.loads((SAMPLES / f"{name}.report.json").read_text())
    out = shown(quillmark.embed_manifest_store(truetype_font, path.read_bytes()))
    assert out["active_manifest"] == report["active_manifest"]
    ours, theirs = out["manifests"][out["active_manifest"]], report["manifests"][report["active_manifest"]]
    for key in ("label", "claim_generator", "claim_generator_info", "title", "format", "instance_id", "ingredients"):
        assert ours[key] == theirs[key], key
    assert ours["thumbnail"]["format"] == theirs["thumbnail"]["format"] and ours["thumbnail"]["size"] > 1000
    for key in ("issuer", "cert_serial_number"):
        assert ours["signature_info"][key] == theirs["signature_info"][key]
    assert "time" not in ours["signature_info"]
    # Their assertions (not the hard binding or the thumbnail), in order, labels without the instance.
    listed = [(a["label"].split("__")[0], a["data"]) for a in ours["assertions"]
              if not a["label"].startswith(("c2pa.hash.", "c2pa.thumbnail."))]  # fmt: skip
    assert listed == [(a["label"], a["data"]) for a in theirs["assertions"]]
    # The binding is the JPEG's: a font fails it, and nothing else fails but the 2.2 rules they predate.
    failures = {e["code"] for e in out["validation_status"]}
    assert status.ASSERTION_DATA_HASH_MISMATCH in failures
    assert status.CLAIM_SIGNATURE_MISMATCH not in failures and status.ASSERTION_HASHED_URI_MISMATCH not in failures


@pytest.mark.parametrize("value, expected", [
    (b"\0\1", "AAE="),
    ({1: b"", "a": [True, None, 1.5]}, {"1": "", "a": [True, None, 1.5]}),
    (cbor2.CBORTag(18, [b"x"]), {"tag": 18, "value": ["eA=="]}),
    (datetime.datetime(2026, 1, 2, tzinfo=datetime.timezone.utc), "2026-01-02T00:00:00+00:00"),
    (math.nan, "nan"),
    (2**70, 2**70),
])  # fmt: skip
def test_decoded_cbor_becomes_json(value, expected):
    assert as_json(value) == expected


def test_a_thumbnail_is_shown_as_its_format_and_size_not_its_data(truetype_font):
    path = SAMPLES / "truepic-20230212-camera.c2pa"
    if not path.exists():
        pytest.skip(f"{path} is not there")
    out = shown(quillmark.embed_manifest_store(truetype_font, path.read_bytes()))
    (thumbnail,) = [a for a in out["manifests"][out["active_manifest"]]["assertions"]
                    if a["label"].startswith("c2pa.thumbnail.")]  # fmt: skip
    assert thumbnail["data"] == {"format": "image/jpeg", "size": 162787}
    assert thumbnail["content_type"] == "embedded"


def show_tool(*args, cwd: Path, code: int) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([TOOL, "show", *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=60)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr
    return done


def test_command_line(truetype_font, tmp_path):
    (tmp_path / "root.pem").write_bytes(pki.chain_pem([pki.root()]))
    (tmp_path / "A.ttf").write_bytes(signed(truetype_font))
    (tmp_path / "plain.ttf").write_bytes(truetype_font)
    out = json.loads(show_tool("--trust-anchors", "root.pem", "A.ttf", cwd=tmp_path, code=0).stdout)
    assert out["path"] == "A.ttf" and out["validation_results"]["activeManifest"]["failure"] == []
    assert list(out)[:3] == ["path", "active_manifest", "manifests"]
    # Without the anchor the signer is untrusted: shown, and the run still succeeds.
    lines = show_tool("--compact", "A.ttf", "plain.ttf", cwd=tmp_path, code=0).stdout.splitlines()
    first, second = map(json.loads, lines)
    assert status.SIGNING_CREDENTIAL_UNTRUSTED in {e["code"] for e in first["validation_status"]}
    assert second["active_manifest"] is None and second["manifests"] == {}
    assert second["validation_status"][0]["code"] == status.CLAIM_MISSING
    done = show_tool("missing.ttf", cwd=tmp_path, code=1)
    assert json.loads(done.stdout) == {"path": "missing.ttf", "error": "No such file or directory"}


def test_a_font_holding_only_a_uri_shows_the_failure_check_gives(truetype_font, tmp_path):
    """show's validation results are the ones check judges by: manifest.inaccessible for a remote
    manifest (never fetched), unless --allow-remote, as for check."""
    (tmp_path / "R.ttf").write_bytes(quillmark.embed_remote(truetype_font, "https://example.com/m.c2pa"))
    out = json.loads(show_tool("R.ttf", cwd=tmp_path, code=0).stdout)
    assert [e["code"] for e in out["validation_results"]["activeManifest"]["failure"]] == [status.MANIFEST_INACCESSIBLE]
    out = json.loads(show_tool("--allow-remote", "R.ttf", cwd=tmp_path, code=0).stdout)
    assert out["validation_results"]["activeManifest"]["failure"] == []
    assert out["remote_manifest"] == "https://example.com/m.c2pa"


def test_a_json_assertion_nested_as_deep_as_json_allows_is_shown_cut(truetype_font):
    """JSON decodes as deep as the interpreter's recursion allows; showing it stops at the depth
    CBOR is bounded to, instead of failing with a RecursionError."""
    from stores import MANIFEST, MANIFEST_STORE, SUFFIX, box, superbox

    deep = b"[" * 900 + b"]" * 900
    assertions = superbox(b"c2as" + SUFFIX, "c2pa.assertions", superbox(b"json" + SUFFIX, "deep", box(b"json", deep)))
    store = superbox(MANIFEST_STORE, "c2pa", superbox(MANIFEST, "urn:c2pa:x", assertions))
    out = shown(quillmark.embed_manifest_store(truetype_font, store))
    (assertion,) = out["manifests"]["urn:c2pa:x"]["assertions"]
    data, depth = assertion["data"], 0
    while isinstance(data, list):
        (data,), depth = data, depth + 1
    assert data == "(nested more than 64 deep: not shown)" and depth == 65
