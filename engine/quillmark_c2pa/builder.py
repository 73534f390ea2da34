"""Building a C2PA Manifest Store (C2PA 2.2, 11.1.4): assertion boxes, hashed URIs, the v2 claim,
the manifest and the store around it. Pure functions of their inputs; `signing.py` decides what
goes in.
"""

from __future__ import annotations

import hashlib
import os
import uuid
from typing import Any, Optional, Sequence

from . import cbor, jumbf
from .store import ASSERTIONS_LABEL, CLAIM_V2, SIGNATURE_LABEL, STORE_LABEL

HASH = "sha256"
# A salt in each assertion's description box (C2PA 2.2, 8.4.2.3 and 11.1.4.1.2): the claim's hash
# of an assertion then cannot be matched against guessed contents once the assertion is redacted.
SALT_SIZE = 16


def new_manifest_label() -> str:
    """A fresh manifest label: urn:c2pa: and a random UUID v4 (C2PA 2.2, 8.1), upper case as the
    ABNF's HEXDIG is."""
    return f"urn:c2pa:{str(uuid.uuid4()).upper()}"


def new_instance_id() -> str:
    """A fresh instanceID (C2PA 2.2, 10.2.2) for a font that carries no XMP: an XMP-style
    instance ID of a random UUID v4."""
    return f"xmp:iid:{uuid.uuid4()}"


def header_length(box: bytes) -> int:
    """8, or 16 for a box with a 64-bit XLBox."""
    return 16 if box[:4] == b"\x00\x00\x00\x01" else 8


def box_hash(box: bytes, alg: str = HASH) -> bytes:
    """The hash of a superbox as a hashed URI takes it: its description box and content boxes,
    without the superbox's own header (C2PA 2.2, 8.4.2.3)."""
    return hashlib.new(alg, memoryview(box)[header_length(box) :]).digest()


def hashed_uri(url: str, box: bytes) -> dict[str, Any]:
    """A hashed-uri-map (C2PA 2.2, 8.4.2.1); the algorithm is the claim's `alg`."""
    return {"url": url, "hash": box_hash(box)}


def cbor_assertion(label: str, data: Any, *, salt: Optional[bytes] = None) -> bytes:
    """An assertion superbox of type cbor holding `data` in deterministic CBOR (C2PA 2.2, 18.1)."""
    if salt is None:
        salt = os.urandom(SALT_SIZE)
    return jumbf.superbox(jumbf.CBOR, label, jumbf.box(b"cbor", cbor.encode(data)), salt=salt)


def assertion_url(label: str) -> str:
    return f"self#jumbf={ASSERTIONS_LABEL}/{label}"


def manifest_url(label: str) -> str:
    """The store-relative JUMBF URI of a manifest (C2PA 2.2, 8.4.2.1)."""
    return f"self#jumbf=/{STORE_LABEL}/{label}"


def claim(
    *,
    instance_id: str,
    generator: dict[str, Any],
    created: Sequence[tuple[str, bytes]],
    title: Optional[str] = None,
) -> bytes:
    """A v2 claim (C2PA 2.2, 10.2.1, claim-map-v2) listing `created` ((label, assertion box)
    pairs) as hashed URIs, in deterministic CBOR."""
    value: dict[str, Any] = {
        "instanceID": instance_id,
        "claim_generator_info": generator,
        "signature": f"self#jumbf={SIGNATURE_LABEL}",
        "created_assertions": [hashed_uri(assertion_url(label), box) for label, box in created],
        "alg": HASH,
    }
    if title is not None:
        value["dc:title"] = title
    return cbor.encode(value)


def manifest(label: str, assertions: Sequence[bytes], claim_bytes: bytes, signature: bytes) -> bytes:
    """A standard manifest superbox (c2ma): the assertion store, the claim, the claim signature
    (C2PA 2.2, 11.1.4.2-4)."""
    return jumbf.superbox(
        jumbf.MANIFEST,
        label,
        jumbf.superbox(jumbf.ASSERTION_STORE, ASSERTIONS_LABEL, *assertions),
        jumbf.superbox(jumbf.CLAIM, CLAIM_V2, jumbf.box(b"cbor", claim_bytes)),
        signature_box(signature),
    )


def signature_box(sign1: bytes) -> bytes:
    return jumbf.superbox(jumbf.CLAIM_SIGNATURE, SIGNATURE_LABEL, jumbf.box(b"cbor", sign1))


def store(manifests: Sequence[bytes]) -> bytes:
    """The Manifest Store superbox; the active manifest is the last (C2PA 2.2, 10.4.3)."""
    return jumbf.superbox(jumbf.MANIFEST_STORE, STORE_LABEL, *manifests)


def fit_pad(value: dict[str, Any], size: int, *, second: Optional[str] = "pad2") -> dict[str, Any]:
    """`value` with a zero-filled `pad` (and, where one byte string cannot reach it, `second`)
    byte string sized so that its deterministic CBOR is exactly `size` bytes (C2PA 2.2, 10.4.4:
    the length of a byte string's head jumps, so some sizes need two pads). ValueError when no
    padding fits (the value without padding is already larger)."""
    for extra in (None, *range(0, 40)):
        trial = dict(value)
        trial["pad"] = b""
        if extra is not None:
            if second is None:
                break
            trial[second] = bytes(extra)
        need = size - len(cbor.encode(trial))
        if need < 0:
            continue
        # A pad of n bytes takes n plus its head (1, 2, 3 or 5 bytes) where the empty one took 1.
        for head in (0, 1, 2, 4):
            n = need - head
            if n < 0:
                continue
            trial["pad"] = bytes(n)
            if len(cbor.encode(trial)) == size:
                return trial
    raise ValueError(f"no padding makes this structure exactly {size} bytes")
