"""Manifests built piece by piece for the validator's tests, and signed for real with the test PKI
(tests/pki.py), so that a test can break one thing (a hash, a label, a field) and find exactly the
failure that one thing gives, the signature still valid over whatever claim it made.

    m = Manifest([actions(), font_info()], binding=boxes_hash(font))
    signed = embed(font, m)                 # the store [m] embedded in the font
    signed = embed(font, parent, m)         # several manifests: the last is the active one
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass, field
from typing import Any, Optional

from cryptography.hazmat.primitives.serialization import Encoding

import pki
import quillmark
from quillmark_c2pa import cbor, cose, jumbf

JSON = b"json" + bytes.fromhex("00110010800000AA00389B71")
LABEL = "urn:c2pa:6F9C2E58-0B7A-4C1E-9F55-3A2D0C1B7E01"
PARENT = "urn:c2pa:0D3B8F6A-2C41-4E7B-A1D2-7E5F9C3B2A10"
OTHER = "urn:c2pa:9A8B7C6D-5E4F-4A3B-8C2D-1E0F9A8B7C6D"
TRUST = None  # set on first use: pki's roots as anchors (see trust())


def trust() -> Any:
    from quillmark_c2pa.trust import TrustSettings

    global TRUST
    if TRUST is None:
        TRUST = TrustSettings(anchors=[pki.root()], tsa_anchors=[pki.tsa_root()], bundled=False)
    return TRUST


def cbor_box(label: str, value: Any) -> tuple[str, bytes]:
    """An assertion of type cbor: (label, superbox). `value` as bytes is the content as is."""
    content = value if isinstance(value, bytes) else cbor.encode(value)
    return label, jumbf.superbox(jumbf.CBOR, label, jumbf.box(b"cbor", content))


def json_box(label: str, value: Any) -> tuple[str, bytes]:
    content = value if isinstance(value, bytes) else json.dumps(value).encode()
    return label, jumbf.superbox(JSON, label, jumbf.box(b"json", content))


def box_hash(box: bytes, alg: str = "sha256") -> bytes:
    """The hash a hashed URI takes of a superbox: without its 8-byte header (C2PA 2.2, 8.4.2.3)."""
    return hashlib.new(alg, box[8:]).digest()


def hashed(url: str, box: bytes) -> dict[str, Any]:
    return {"url": url, "hash": box_hash(box)}


def actions(*items: Any, label: str = "c2pa.actions.v2") -> tuple[str, bytes]:
    listed = [i if isinstance(i, dict) else {"action": i} for i in (items or ("c2pa.created",))]
    return cbor_box(label, {"actions": listed})


def boxes_hash(font: bytes, label: str = "c2pa.hash.boxes") -> tuple[str, bytes]:
    """The font's c2pa.hash.boxes, one table per entry, as the module hashes them."""
    entries = [{"names": [name], "hash": digest, "pad": b""} for name, digest in quillmark.box_hashes(font)]
    return cbor_box(label, {"alg": "sha256", "boxes": entries})


@dataclass
class Manifest:
    """One manifest. `assertions` are (label, superbox) pairs in store order; the claim lists them
    all (or `listed` when given) as hashed URIs relative to the manifest. `claim` entries override
    the claim's fields (None removes one)."""

    assertions: list[tuple[str, bytes]]
    label: str = LABEL
    listed: Optional[list[Any]] = None
    claim: dict[str, Any] = field(default_factory=dict)
    claim_label: str = "c2pa.claim.v2"
    kind: bytes = jumbf.MANIFEST
    signed: bool = True
    extra: tuple[bytes, ...] = ()  # boxes added to the manifest after the signature
    signer: Any = None  # (key, chain) of the test PKI, such as pki.bad("expired"); the ES256 leaf if None

    def urls(self) -> list[dict[str, Any]]:
        return [hashed(f"self#jumbf=c2pa.assertions/{label}", box) for label, box in self.assertions]

    def claim_bytes(self) -> bytes:
        listed = self.urls() if self.listed is None else self.listed
        value: dict[str, Any] = {
            "instanceID": "xmp:iid:3c1f1e62-6a55-4bd6-9a2f-2d1f0b1e4c77",
            "claim_generator_info": {"name": "quillmark tests"},
            "signature": "self#jumbf=c2pa.signature",
            "alg": "sha256",
        }
        if self.claim_label == "c2pa.claim.v2":
            value["created_assertions"] = listed
        else:
            value.update(assertions=listed, claim_generator="quillmark-tests/1", claim_generator_info=[{"name": "q"}])
            value["dc:format"] = "font/ttf"
        for key, item in self.claim.items():
            if item is None:
                value.pop(key, None)
            else:
                value[key] = item
        return cbor.encode(value)

    def box(self) -> bytes:
        claim = self.claim_bytes()
        parts = [
            jumbf.superbox(jumbf.ASSERTION_STORE, "c2pa.assertions", *(box for _, box in self.assertions)),
            jumbf.superbox(jumbf.CLAIM, self.claim_label, jumbf.box(b"cbor", claim)),
        ]
        if self.signed:
            signature = sign(claim, signer=self.signer)
            parts.append(jumbf.superbox(jumbf.CLAIM_SIGNATURE, "c2pa.signature", jumbf.box(b"cbor", signature)))
        return jumbf.superbox(self.kind, self.label, *parts, *self.extra)


def sign(claim: bytes, alg: str = "ES256", signer: Any = None) -> bytes:
    key, chain = signer or pki.leaf(alg)
    protected = cose.protected_header(alg, [c.public_bytes(Encoding.DER) for c in chain])
    return cose.encode_sign1(protected, {}, cose.sign(key, alg, cose.sig_structure(protected, claim)))


def store(*manifests: Any) -> bytes:
    """A Manifest Store of the manifests given (Manifest objects or ready boxes), in order."""
    boxes = [m.box() if isinstance(m, Manifest) else m for m in manifests]
    return jumbf.superbox(jumbf.MANIFEST_STORE, "c2pa", *boxes)


def embed(font: bytes, *manifests: Any) -> bytes:
    return quillmark.embed_manifest_store(font, store(*manifests))


def standard(font: bytes, *more: tuple[str, bytes], label: str = LABEL, **kwargs: Any) -> Manifest:
    """A manifest a validator accepts for `font` once embedded: c2pa.created, the box hash, `more`."""
    return Manifest([actions(), *more, boxes_hash(font)], label=label, **kwargs)
