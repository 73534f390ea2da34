"""A font's Manifest Store as JSON a person and a script can read (`quillmark show`): the active
manifest's label; for each manifest its claim generator, title, instance ID, assertions (CBOR and
JSON as JSON, byte strings as base64, thumbnails as their format and size), ingredients and
signature information; and the validation results (C2PA 2.2, 15.2.1).

The field names are those reports of C2PA validators commonly use (`active_manifest`, `manifests`
keyed by label, `claim_generator`, `instance_id`, `signature_info` with `alg`, `issuer`,
`common_name`, `cert_serial_number` and `time`, `validation_status` for the failures), with the
validation results under `validation_results`, spelled inside as 15.2.1's CDDL spells them.

Nothing here judges or reads the store again: what the validator found (validation.FontValidation,
its ManifestReports) is shown as it found it, and what it could not read is shown as absent (None)
rather than guessed. The data was decoded within the bounds of the store model and the CBOR
decoder, and images are shown as their size, so the output is at most a few times the store's.
"""

from __future__ import annotations

import base64
import datetime
import math
from typing import TYPE_CHECKING, Any, Dict, Optional

from .validation import AssertionInfo, FontValidation, ManifestReport

if TYPE_CHECKING:
    from .signature import SignatureReport

# Assertions that hold an image of the asset or of an ingredient (C2PA 2.2, 18.9): shown as their
# format and size, never as data.
THUMBNAIL_PREFIX = "c2pa.thumbnail."
CLAIM_THUMBNAIL = THUMBNAIL_PREFIX + "claim"
MANIFEST_URI = "self#jumbf=/c2pa/"


# The deepest nesting shown, as the CBOR decoder's bound (cbor.MAX_DEPTH); a JSON assertion may
# nest as deep as the interpreter's recursion allows, which would take printing it past that.
MAX_DEPTH = 64
TOO_DEEP = f"(nested more than {MAX_DEPTH} deep: not shown)"


def as_json(value: Any, depth: int = 0) -> Any:
    """A decoded CBOR or JSON value as JSON can hold it: byte strings as base64, tags as {"tag",
    "value"}, map keys as text, times as ISO 8601, floats that JSON has no number for as text,
    anything nested more than MAX_DEPTH deep as a note that it is not shown."""
    if depth > MAX_DEPTH:
        return TOO_DEEP
    if isinstance(value, dict):
        return {k if isinstance(k, str) else str(as_json(k, depth + 1)): as_json(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [as_json(v, depth + 1) for v in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return base64.b64encode(bytes(value)).decode("ascii")
    if isinstance(value, bool) or value is None or isinstance(value, (int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if isinstance(value, (datetime.datetime, datetime.date)):
        return value.isoformat()
    tag = getattr(value, "tag", None)
    if isinstance(tag, int) and hasattr(value, "value"):
        return {"tag": tag, "value": as_json(value.value, depth + 1)}
    if isinstance(value, (set, frozenset)):
        return [as_json(v, depth + 1) for v in value]
    return str(value)


def describe(validation: FontValidation) -> Dict[str, Any]:
    """The JSON of `show` for one font's FontValidation (validation.validate)."""
    out: Dict[str, Any] = {}
    if validation.uri is not None:
        out["remote_manifest"] = validation.uri
    out["active_manifest"] = validation.active_manifest
    out["manifests"] = {}
    for index, manifest in enumerate(validation.manifests):
        # Two manifests with one label: the later is shown under its label and its place.
        key = manifest.label or ""
        if key in out["manifests"]:
            key = f"{key} [{index}]"
        out["manifests"][key] = describe_manifest(manifest)
    out["validation_results"] = validation.results.as_json()
    failures = validation.results.active_manifest.failure
    if failures:
        out["validation_status"] = [entry.as_json() for entry in failures]
    return out


def describe_manifest(manifest: ManifestReport) -> Dict[str, Any]:
    out: Dict[str, Any] = {"label": manifest.label, "kind": manifest.kind}
    if manifest.compressed:
        out["compressed"] = True
    # Manifests outside the active manifest's lineage are read for show but not validated
    # (C2PA 2.2, 15.11.3.3): say so, rather than show them as if they had passed.
    out["validated"] = manifest.validated
    out["claim_generator"] = manifest.claim_generator
    out["claim_generator_info"] = as_json(manifest.claim_generator_info)
    out["title"] = manifest.title
    out["format"] = manifest.format
    out["instance_id"] = manifest.instance_id
    out["claim_version"] = manifest.claim_version
    thumbnails = [a for a in manifest.assertions if a.label.startswith(CLAIM_THUMBNAIL)]
    if thumbnails:
        out["thumbnail"] = {"identifier": thumbnails[0].label, **_image(thumbnails[0])}
    out["ingredients"] = [_ingredient(a) for a in manifest.ingredients]
    out["assertions"] = [_assertion(a) for a in manifest.assertions]
    out["signature_info"] = _signature_info(manifest.signature)
    if manifest.validated and not manifest.active:  # the active manifest's are the font's, below
        out["validation_results"] = manifest.results.as_json()
    return out


def _text(value: Any) -> Optional[str]:
    return value if isinstance(value, str) else None


def _image(assertion: AssertionInfo) -> Dict[str, Any]:
    """An image's (or any embedded file's) format and size in bytes, not its data."""
    data = assertion.data if isinstance(assertion.data, dict) else {}
    return {"format": _text(data.get("format")), "size": data.get("size")}


def _assertion(assertion: AssertionInfo) -> Dict[str, Any]:
    out: Dict[str, Any] = {"label": assertion.label, "content_type": assertion.kind}
    if assertion.kind == "embedded" or assertion.label.startswith(THUMBNAIL_PREFIX):
        out["data"] = _image(assertion)
    else:
        out["data"] = as_json(assertion.data)  # None: it did not decode (the results say why)
    return out


def _manifest_label(url: Any) -> Optional[str]:
    """The label of the manifest an absolute JUMBF URI names (self#jumbf=/c2pa/LABEL/...)."""
    if not isinstance(url, str) or not url.startswith(MANIFEST_URI):
        return None
    return url[len(MANIFEST_URI) :].split("/", 1)[0] or None


def _ingredient(assertion: AssertionInfo) -> Dict[str, Any]:
    value = assertion.data
    out: Dict[str, Any] = {"label": assertion.label}
    if not isinstance(value, dict):
        out["error"] = "the ingredient assertion does not decode to a map"
        return out
    out["title"] = _text(value.get("dc:title", value.get("title")))
    out["format"] = _text(value.get("dc:format", value.get("format")))
    out["relationship"] = _text(value.get("relationship"))
    out["instance_id"] = _text(value.get("instanceID"))
    # v3 names the ingredient's manifest activeManifest; v1 and v2 c2pa_manifest (C2PA 2.2, 18.15).
    reference = value.get("activeManifest", value.get("c2pa_manifest"))
    out["active_manifest"] = _manifest_label(reference.get("url")) if isinstance(reference, dict) else None
    for name, key in (("validationResults", "validation_results"), ("validationStatus", "validation_status")):
        if name in value:
            out[key] = as_json(value[name])
    return out


def _signature_info(report: Optional[SignatureReport]) -> Optional[Dict[str, Any]]:
    """The validator's reading of the claim signature (signature.SignatureReport.info()): the
    algorithm, the signer's organization (issuer) and common name, the certificate's serial
    number, and the time of a counted time-stamp; what it could not read is left out. None for a
    manifest whose signature was not validated."""
    if report is None:
        return None
    return {key: as_json(value) for key, value in report.info().items() if value is not None}
