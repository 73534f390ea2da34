"""COSE_Sign1 as C2PA uses it for claim signatures (C2PA 2.2, 13.2; RFC 8152, 4.2 and 4.4).

Building (used by the signer):
    protected = cose.protected_header("ES256", [leaf_der, intermediate_der])
    tbs = cose.sig_structure(protected, claim_bytes)        # the bytes to sign
    signature = cose.sign(key, "ES256", tbs)                 # raw r||s for ECDSA
    box = cose.encode_sign1(protected, {"sigTst2": ...}, signature)

Reading (used by the validator): `decode_sign1(data) -> Sign1`, which raises `CoseError` with a
one-line reason for anything that is not a COSE_Sign1_Tagged with a detached payload; `verify`.

ECDSA signatures in COSE are the raw concatenation r||s, each integer left-padded to the curve's
byte length (RFC 8152, 8.1), not the DER `Ecdsa-Sig-Value` that `cryptography` makes and takes:
`sign` and `verify` convert.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Optional, Union

import cbor2
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature

from . import cbor

# The allowed list of C2PA 2.2, 13.2.1, by name, with the COSE algorithm identifiers of the IANA
# registry (RFC 8152, 8.1 and 8.2; RFC 8230, 2). C2PA allows only the Ed25519 instance of EdDSA,
# so the name here is "Ed25519" for COSE's "EdDSA" (-8). The deprecated list is empty in 2.2.
ALGORITHMS: dict[str, int] = {
    "ES256": -7,
    "ES384": -35,
    "ES512": -36,
    "PS256": -37,
    "PS384": -38,
    "PS512": -39,
    "Ed25519": -8,
}
NAMES: dict[int, str] = {v: k for k, v in ALGORITHMS.items()}
DEPRECATED: frozenset[str] = frozenset()

_HASHES: "dict[str, Callable[[], hashes.HashAlgorithm]]" = {
    "ES256": hashes.SHA256,
    "ES384": hashes.SHA384,
    "ES512": hashes.SHA512,
    "PS256": hashes.SHA256,
    "PS384": hashes.SHA384,
    "PS512": hashes.SHA512,
}

# Curves C2PA 2.2, 13.2.1 accepts for every ECDSA algorithm, with their scalar sizes in bytes.
_CURVES = {"secp256r1": 32, "secp384r1": 48, "secp521r1": 66}
_CURVE_ALG = {"secp256r1": "ES256", "secp384r1": "ES384", "secp521r1": "ES512"}

# COSE header labels (RFC 8152, 3.1; RFC 9360, 2) and C2PA's own string labels (C2PA 2.2, 10.3.2.5.4
# and 14.5.2).
HEADER_ALG = 1
HEADER_X5CHAIN = 33
HEADER_X5CHAIN_STRING = "x5chain"  # the deprecated string label (C2PA 2.2, 14.5)
HEADER_SIG_TST = "sigTst"
HEADER_SIG_TST2 = "sigTst2"
HEADER_RVALS = "rVals"
HEADER_PAD = "pad"
HEADER_PAD2 = "pad2"

COSE_SIGN1_TAG = 18

PrivateKey = Union[ec.EllipticCurvePrivateKey, rsa.RSAPrivateKey, ed25519.Ed25519PrivateKey]
PublicKey = Union[ec.EllipticCurvePublicKey, rsa.RSAPublicKey, ed25519.Ed25519PublicKey]


class CoseError(ValueError):
    """A COSE structure that cannot be used, with a one-line reason."""


def sig_structure(protected: bytes, payload: bytes, *, context: str = "Signature1") -> bytes:
    """The ToBeSigned bytes of RFC 8152, 4.4: ["Signature1", body_protected, external_aad, payload]
    with an empty external_aad (C2PA 2.2, 13.2.3). `context="CounterSignature"` gives the form a
    time-stamp's message imprint is computed over (C2PA 2.2, 10.3.2.5.3)."""
    if context not in ("Signature1", "CounterSignature"):
        raise ValueError(f"unknown Sig_structure context {context!r}")
    return cbor2.dumps([context, bytes(protected), b"", bytes(payload)])


def protected_header(alg: str, chain: "list[bytes]", *, extra: "Optional[dict[Any, Any]]" = None) -> bytes:
    """The serialized protected header bucket a claim signature needs: `alg` (label 1) and `x5chain`
    (label 33, the DER certificates from the signer's own to the last intermediate, C2PA 2.2, 14.5),
    encoded deterministically."""
    if alg not in ALGORITHMS:
        raise ValueError(f"{alg} is not a C2PA signature algorithm (C2PA 2.2, 13.2.1)")
    if not chain:
        raise ValueError("x5chain needs at least the signer's certificate")
    header: dict[Any, Any] = {HEADER_ALG: ALGORITHMS[alg]}
    # RFC 9360, 2: one certificate is a bstr, several an array of bstr.
    header[HEADER_X5CHAIN] = bytes(chain[0]) if len(chain) == 1 else [bytes(c) for c in chain]
    if extra:
        header.update(extra)
    return cbor.encode(header)


def encode_sign1(protected: bytes, unprotected: "dict[Any, Any]", signature: bytes) -> bytes:
    """COSE_Sign1_Tagged (tag 18) with a detached (nil) payload, as C2PA 2.2, 10.3.2.4 and 13.2.2
    require for claim signatures."""
    return cbor.encode(cbor2.CBORTag(COSE_SIGN1_TAG, [bytes(protected), dict(unprotected), None, bytes(signature)]))


def algorithm_for_key(key: object) -> str:
    """The default C2PA algorithm for a key: ES256/384/512 by the curve, PS256 for RSA, Ed25519.
    Raises ValueError for a key C2PA 2.2, 13.2.1 does not allow (another curve, RSA under 2048
    bits, Ed448, DSA...)."""
    if isinstance(key, (ec.EllipticCurvePrivateKey, ec.EllipticCurvePublicKey)):
        alg = _CURVE_ALG.get(key.curve.name)
        if alg is None:
            raise ValueError(f"the curve {key.curve.name} is not allowed by C2PA 2.2, 13.2.1")
        return alg
    if isinstance(key, (rsa.RSAPrivateKey, rsa.RSAPublicKey)):
        if key.key_size < 2048:
            raise ValueError(f"an RSA key of {key.key_size} bits is too short (C2PA 2.2, 13.2.1: 2048 at least)")
        return "PS256"
    if isinstance(key, (ed25519.Ed25519PrivateKey, ed25519.Ed25519PublicKey)):
        return "Ed25519"
    raise ValueError(f"a {type(key).__name__} cannot sign C2PA claims (C2PA 2.2, 13.2.1)")


def key_fits(key: object, alg: str) -> Optional[str]:
    """None when `key` (any object: a key of another kind is refused) is correct for `alg` (C2PA 2.2,
    13.2.1), else a one-line reason."""
    if alg not in ALGORITHMS:
        return f"{alg} is not a C2PA signature algorithm"
    if alg.startswith("ES"):
        if not isinstance(key, (ec.EllipticCurvePrivateKey, ec.EllipticCurvePublicKey)):
            return f"{alg} needs an elliptic-curve key"
        if key.curve.name not in _CURVES:
            return f"the curve {key.curve.name} is not allowed for {alg}"
        return None
    if alg.startswith("PS"):
        if not isinstance(key, (rsa.RSAPrivateKey, rsa.RSAPublicKey)):
            return f"{alg} needs an RSA key"
        if key.key_size < 2048:
            return f"an RSA key of {key.key_size} bits is too short for {alg}"
        if key.key_size > 16384:
            return f"an RSA key of {key.key_size} bits is longer than 16384 bits"
        return None
    if not isinstance(key, (ed25519.Ed25519PrivateKey, ed25519.Ed25519PublicKey)):
        return "Ed25519 needs an Ed25519 key"
    return None


def _hash(alg: str) -> hashes.HashAlgorithm:
    return _HASHES[alg]()


def _pss(alg: str) -> padding.PSS:
    h = _hash(alg)
    return padding.PSS(mgf=padding.MGF1(h), salt_length=h.digest_size)


def sign(key: PrivateKey, alg: str, data: bytes) -> bytes:
    """Sign `data` (the Sig_structure) with `key` as COSE signs for `alg`: raw r||s for ECDSA."""
    problem = key_fits(key, alg)
    if problem:
        raise ValueError(problem)
    if isinstance(key, ec.EllipticCurvePrivateKey):
        der = key.sign(data, ec.ECDSA(_hash(alg)))
        return ecdsa_der_to_raw(der, _CURVES[key.curve.name])
    if isinstance(key, rsa.RSAPrivateKey):
        return key.sign(data, _pss(alg), _hash(alg))
    return key.sign(data)


def verify(key: object, alg: str, data: bytes, signature: bytes) -> bool:
    """True when `signature` is `alg`'s signature of `data` by the public `key`. False for a bad
    signature or a key that is not correct for the algorithm (C2PA 2.2, 13.2.1: such keys are
    refused)."""
    if key_fits(key, alg) is not None:
        return False
    try:
        if isinstance(key, ec.EllipticCurvePublicKey):
            if len(signature) != 2 * _CURVES[key.curve.name]:
                return False
            key.verify(ecdsa_raw_to_der(signature), data, ec.ECDSA(_hash(alg)))
        elif isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, _pss(alg), _hash(alg))
        elif isinstance(key, ed25519.Ed25519PublicKey):
            key.verify(signature, data)
        else:
            return False
    except (InvalidSignature, ValueError):
        return False
    return True


def ecdsa_der_to_raw(der: bytes, size: int) -> bytes:
    """DER Ecdsa-Sig-Value to COSE's r||s, each `size` bytes."""
    r, s = decode_dss_signature(der)
    return r.to_bytes(size, "big") + s.to_bytes(size, "big")


def ecdsa_raw_to_der(raw: bytes) -> bytes:
    """COSE's r||s to a DER Ecdsa-Sig-Value."""
    if not raw or len(raw) % 2:
        raise ValueError("an ECDSA signature of odd length")
    half = len(raw) // 2
    return encode_dss_signature(int.from_bytes(raw[:half], "big"), int.from_bytes(raw[half:], "big"))


# ---------------------------------------------------------------------------------------------
# Reading

# Bounds on what a claim signature may hold before it is decoded into Python objects: a real one is
# a few kilobytes of certificates and a time-stamp, with padding as one byte string. Anything deeper
# or with more items than this is refused as malformed rather than built item by item.
MAX_ITEMS = 10_000
MAX_DEPTH = 16


@dataclass
class Sign1:
    """A decoded COSE_Sign1."""

    protected: bytes  # the serialized protected bucket, as signed
    protected_map: "dict[Any, Any]"
    unprotected: "dict[Any, Any]"
    payload: Optional[bytes]
    signature: bytes
    signature_cbor: bytes = b""  # the signature bstr as serialized, head and all (C2PA 2.2, 10.3.2.5.2)
    tagged: bool = True

    @property
    def alg_id(self) -> Any:
        return self.protected_map.get(HEADER_ALG)

    @property
    def alg(self) -> Optional[str]:
        value = self.alg_id
        return NAMES.get(value) if isinstance(value, int) and not isinstance(value, bool) else None

    def header(self, label: Any) -> Any:
        """A header from either bucket (C2PA 2.2, 15.7: headers are the union of both)."""
        if label in self.protected_map:
            return self.protected_map[label]
        return self.unprotected.get(label)


def _scan(data: bytes, start: int = 0, what: Optional[str] = None) -> int:
    """Where the CBOR item at `start` ends, walked by its heads alone (cbor.scan) within MAX_ITEMS
    and MAX_DEPTH and with definite lengths only; CoseError (naming `what`, when given) otherwise."""
    try:
        return cbor.scan(data, start, max_items=MAX_ITEMS, max_depth=MAX_DEPTH, definite_only=True)
    except cbor.CborError as exc:
        raise CoseError(f"{what}: {exc}" if what else str(exc)) from None


def _serialized_last_bstr(data: bytes) -> bytes:
    """The serialized form of the array's last element (the signature bstr), found by walking the
    heads of the four elements."""
    # tag 18 head, then the array head
    pos = 0
    if data[0] == 0xD2:
        pos = 1
    pos += 1  # array(4) head: 0x84
    for _ in range(3):
        pos = _scan(data, pos)
    return bytes(data[pos : _scan(data, pos)])


def decode_sign1(data: bytes) -> Sign1:
    """Decode a COSE_Sign1 (tagged or not; `Sign1.tagged` says which). Raises CoseError with a
    one-line reason for anything else: trailing bytes, the wrong shape, header buckets of the wrong
    type, an attached payload is allowed here but reported by `Sign1.payload`."""
    data = bytes(data)
    if not data:
        raise CoseError("the claim signature is empty")
    length = _scan(data)
    if length != len(data):
        raise CoseError(f"{len(data) - length} bytes follow the COSE structure")
    # The tag is read by hand: cbor2 gives the contents of an unknown tag as immutable tuples and
    # frozendicts, the untagged body as plain lists and dicts.
    tagged = data[0] == 0xD2  # major type 6, tag 18
    if not tagged and data[0] >> 5 == 6:
        raise CoseError("a CBOR tag other than COSE_Sign1_Tagged (18)")
    try:
        value = cbor2.loads(data[1:] if tagged else data)
    except Exception as exc:  # cbor2 raises several types for malformed input
        raise CoseError(f"not CBOR: {exc}") from None
    if not isinstance(value, list) or len(value) != 4:
        raise CoseError("not a COSE_Sign1 (an array of four)")
    protected, unprotected, payload, signature = value
    if not isinstance(protected, bytes):
        raise CoseError("the protected header is not a byte string")
    if not isinstance(unprotected, dict):
        raise CoseError("the unprotected header is not a map")
    if payload is not None and not isinstance(payload, bytes):
        raise CoseError("the payload is neither nil nor a byte string")
    if not isinstance(signature, bytes):
        raise CoseError("the signature is not a byte string")
    if protected:
        # The protected bucket is CBOR inside a byte string: bounded the same way before decoding.
        if _scan(protected, what="the protected header") != len(protected):
            raise CoseError("bytes follow the protected header's map")
        try:
            protected_map = cbor2.loads(protected)
        except Exception as exc:
            raise CoseError(f"the protected header is not CBOR: {exc}") from None
        if not isinstance(protected_map, dict):
            raise CoseError("the protected header is not a map")
    else:
        protected_map = {}
    return Sign1(
        protected=protected,
        protected_map=protected_map,
        unprotected=unprotected,
        payload=payload,
        signature=signature,
        signature_cbor=_serialized_last_bstr(data),
        tagged=tagged,
    )


def is_placeholder(sign1: Sign1) -> bool:
    """The temporary signature of C2PA 2.2, 10.4.2: an empty protected bucket and an empty (or all
    zero) signature, left by a writer that never signed."""
    return not sign1.protected and not any(sign1.signature)


def x5chain(sign1: Sign1, *, allow_unprotected: bool = True) -> "list[bytes]":
    """The DER certificates of the x5chain header (C2PA 2.2, 14.5): label 33 over the string label
    "x5chain" when both are present; from the protected bucket, or the unprotected one when
    `allow_unprotected`. Raises CoseError when it is absent, of the wrong type, or present in both
    buckets with the same label (several credentials, C2PA 2.2, 14.5)."""
    value = None
    for label in (HEADER_X5CHAIN, HEADER_X5CHAIN_STRING):
        in_p = label in sign1.protected_map
        in_u = label in sign1.unprotected
        if in_p and in_u:
            raise CoseError(f"x5chain ({label!r}) is in both header buckets: several credentials")
        if in_p:
            value = sign1.protected_map[label]
        elif in_u:
            if not allow_unprotected:
                raise CoseError("x5chain is in the unprotected header, where this claim version does not allow it")
            value = sign1.unprotected[label]
        if value is not None:
            break
    if value is None:
        raise CoseError("no x5chain header: the signer's certificate is missing")
    if isinstance(value, bytes):
        return [value]
    if isinstance(value, list) and value and all(isinstance(c, bytes) for c in value):
        return list(value)
    raise CoseError("x5chain is not a certificate or a non-empty array of certificates")
