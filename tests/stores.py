"""Manifest Stores built by hand for the tests, framed in JUMBF as C2PA 2.2 frames one (section
11.1.4): the Manifest Store superbox, one manifest, its assertion store, the claim and a claim
signature, with any assertions, labels and parts a test asks for, including broken ones.

The signature is the placeholder of C2PA 2.2, 10.4.2, or an Ed25519 COSE_Sign1 with no
certificate: no validator trusts either. Tests that need a signature a validator accepts sign
with the engine and the test PKI (tests/pki.py); these stores test the reading of everything
else: the framing, the hard bindings, hostile input.
"""

from __future__ import annotations

import hashlib
import struct
import uuid
from typing import Any, Callable, Optional

import cbor2

import quillmark

SUFFIX = bytes.fromhex("00110010800000AA00389B71")
MANIFEST_STORE, MANIFEST, ASSERTION_STORE, CLAIM, SIGNATURE, CBOR = (
    kind + SUFFIX for kind in (b"c2pa", b"c2ma", b"c2as", b"c2cl", b"c2cs", b"cbor")
)
# Label present and requestable (C2PA 2.2, 11.1.4.1.2).
TOGGLES = 0x03


def box(kind: bytes, payload: bytes) -> bytes:
    """A JUMBF box with a 32-bit length."""
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def superbox(kind: bytes, label: str, *content: bytes) -> bytes:
    """A jumb superbox: its description box (jumd: type, toggles, label with its NUL), then the content."""
    description = box(b"jumd", kind + bytes([TOGGLES]) + label.encode() + b"\0")
    return box(b"jumb", description + b"".join(content))


def cbor(value: Any) -> bytes:
    """Deterministic CBOR (RFC 8949, 4.2.1), as C2PA 2.2, 18.1 asks of assertions."""
    return cbor2.dumps(value, canonical=True)


def cbor_superbox(kind: bytes, label: str, value: Any) -> bytes:
    return superbox(kind, label, box(b"cbor", cbor(value)))


def data_hash(digest: bytes, exclusions: list[tuple[int, int]], alg: str = "sha256") -> dict[str, Any]:
    """A c2pa.hash.data assertion (C2PA 2.2, 18.5)."""
    return {
        "alg": alg,
        "hash": digest,
        "pad": b"",
        "exclusions": [{"start": start, "length": length} for start, length in exclusions],
    }


def box_hash(boxes: list[tuple[str, bytes]], alg: str = "sha256") -> dict[str, Any]:
    """A c2pa.hash.boxes assertion (C2PA 2.2, 18.7), one table per entry, as box_hashes gives them."""
    return {"alg": alg, "boxes": [{"names": [name], "hash": digest, "pad": b""} for name, digest in boxes]}


Signer = Callable[[bytes], bytes]


def cose_sign1(claim: bytes, sign: Optional[Signer]) -> Any:
    """A COSE_Sign1 (tag 18) with a detached payload over the claim's bytes. With no signer, the
    placeholder of C2PA 2.2, 10.4.2: empty headers, 16 bytes of pad, an empty signature."""
    if sign is None:
        return cbor2.CBORTag(18, [b"", {"pad": bytes(16)}, None, b""])
    protected = cbor({1: -8})  # alg: EdDSA
    to_be_signed = cbor(["Signature1", protected, b"", claim])
    return cbor2.CBORTag(18, [protected, {}, None, sign(to_be_signed)])


def manifest_store(
    assertions: list[tuple[str, dict[str, Any]]],
    sign: Optional[Signer] = None,
    *,
    manifest_id: str = "urn:c2pa:F9168C5E-CEB2-4FAA-B6BF-329BF39FA1E4",
    generator: str = "quillmark example",
) -> bytes:
    """A Manifest Store holding one manifest whose assertion store holds `assertions` ((label,
    CBOR map) pairs, in that order), with a claim (C2PA 2.2, 10.2) that lists them by hashed
    URI and a claim signature."""
    boxes = [(label, cbor_superbox(CBOR, label, value)) for label, value in assertions]
    claim = cbor({
        "alg": "sha256",
        "signature": "self#jumbf=c2pa.signature",
        "instanceID": f"xmp:iid:{uuid.UUID(int=1)}",
        # The hash of an assertion covers its superbox without the 8-byte header (C2PA 2.2, 8.4.2.3).
        "created_assertions": [
            {"url": f"self#jumbf=c2pa.assertions/{label}", "hash": hashlib.sha256(data[8:]).digest()}
            for label, data in boxes
        ],
        "claim_generator_info": {"name": generator},
    })
    manifest = superbox(
        MANIFEST,
        manifest_id,
        superbox(ASSERTION_STORE, "c2pa.assertions", *(data for _, data in boxes)),
        superbox(CLAIM, "c2pa.claim.v2", box(b"cbor", claim)),
        superbox(SIGNATURE, "c2pa.signature", box(b"cbor", cbor(cose_sign1(claim, sign)))),
    )
    return superbox(MANIFEST_STORE, "c2pa", manifest)


def reserve_exactly(
    font: bytes, uri: Optional[str], store: Callable[[list[tuple[int, int]]], bytes]
) -> tuple[bytes, list[tuple[int, int]]]:
    """The font reserved with room of exactly the size of `store(ranges)`, and its ranges.

    A c2pa.hash.data store's size depends on the ranges (their numbers' CBOR lengths), and the
    ranges on the size reserved: reserve until the two agree, so the store needs no padding."""
    size = len(store([(0, 0)]))
    for _ in range(8):
        reserved = quillmark.reserve_manifest_placeholder(font, size, uri)
        ranges = quillmark.data_hash_ranges(reserved)
        if len(store(ranges)) == size:
            return reserved, ranges
        size = len(store(ranges))
    raise ValueError("the store's size does not settle")
