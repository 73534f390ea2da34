"""COSE_Sign1 as C2PA 2.2, 13.2 uses it: signatures checked by `cryptography` over a Sig_structure
built here by hand, and the reader's refusals."""

from __future__ import annotations

import cbor2
import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed448, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

import pki
from quillmark_c2pa import cose

CLAIM = b"\xa1\x63alg\x66sha256"  # any bytes: the payload is detached


def der(cert):
    return cert.public_bytes(serialization.Encoding.DER)


def bstr(data: bytes) -> bytes:
    """A CBOR byte string head and body, written out by hand (RFC 8949, 3.1)."""
    n = len(data)
    if n < 24:
        head = bytes([0x40 | n])
    elif n < 256:
        head = bytes([0x58, n])
    elif n < 65536:
        head = bytes([0x59]) + n.to_bytes(2, "big")
    else:
        head = bytes([0x5A]) + n.to_bytes(4, "big")
    return head + data


def hand_sig_structure(protected: bytes, payload: bytes) -> bytes:
    # ["Signature1", protected, h'', payload] (RFC 8152, 4.4)
    return b"\x84" + b"\x6aSignature1" + bstr(protected) + b"\x40" + bstr(payload)


HASH = {"256": hashes.SHA256, "384": hashes.SHA384, "512": hashes.SHA512}


@pytest.mark.parametrize("alg", pki.ALGORITHMS)
def test_signature_verifies_independently(alg):
    key, chain = pki.leaf(alg)
    protected = cose.protected_header(alg, [der(c) for c in chain])
    assert cose.sig_structure(protected, CLAIM) == hand_sig_structure(protected, CLAIM)
    box = cose.encode_sign1(protected, {}, cose.sign(key, alg, cose.sig_structure(protected, CLAIM)))

    tag = cbor2.loads(box)
    assert box[:2] == b"\xd2\x84" and tag.tag == 18
    got_protected, unprotected, payload, signature = tag.value
    assert payload is None  # detached (C2PA 2.2, 13.2.2)
    header = cbor2.loads(got_protected)
    assert header[1] == cose.ALGORITHMS[alg]
    assert [bytes(c) for c in header[33]] == [der(c) for c in chain]

    public = chain[0].public_key()
    tbs = hand_sig_structure(got_protected, CLAIM)
    if alg.startswith("ES"):
        size = (public.curve.key_size + 7) // 8
        assert len(signature) == 2 * size  # raw r||s, not DER
        r, s = int.from_bytes(signature[:size], "big"), int.from_bytes(signature[size:], "big")
        public.verify(encode_dss_signature(r, s), tbs, ec.ECDSA(HASH[alg[2:]]()))
    elif alg.startswith("PS"):
        h = HASH[alg[2:]]
        public.verify(signature, tbs, padding.PSS(padding.MGF1(h()), h.digest_size), h())
    else:
        public.verify(signature, tbs)

    decoded = cose.decode_sign1(box)
    assert decoded.tagged and decoded.alg == alg
    assert cose.verify(public, alg, cose.sig_structure(decoded.protected, CLAIM), decoded.signature)
    assert not cose.verify(public, alg, cose.sig_structure(decoded.protected, CLAIM + b"x"), decoded.signature)
    # the v2 time-stamp payload is the signature bstr with its head (C2PA 2.2, 10.3.2.5.2)
    assert decoded.signature_cbor == bstr(signature)


def test_algorithm_for_key_and_refusals():
    assert [cose.algorithm_for_key(pki.leaf(a)[0]) for a in ("ES256", "ES384", "ES512", "PS256", "Ed25519")] == [
        "ES256", "ES384", "ES512", "PS256", "Ed25519"]
    for key in (ec.generate_private_key(ec.SECP256K1()), ed448.Ed448PrivateKey.generate(),
                rsa.generate_private_key(65537, 1024)):
        with pytest.raises(ValueError):
            cose.algorithm_for_key(key)
    # a key that is wrong for the algorithm is refused both ways (C2PA 2.2, 13.2.1)
    rsa_key, rsa_chain = pki.leaf("PS256")
    with pytest.raises(ValueError):
        cose.sign(rsa_key, "ES256", b"x")
    ec_key, _ = pki.leaf("ES256")
    assert not cose.verify(rsa_chain[0].public_key(), "ES256", b"x", cose.sign(ec_key, "ES256", b"x"))
    # any allowed curve serves any ECDSA algorithm
    sig = cose.sign(ec_key, "ES512", b"x")
    assert cose.verify(ec_key.public_key(), "ES512", b"x", sig)
    assert not cose.verify(ec_key.public_key(), "ES256", b"x", sig)
    assert not cose.verify(ed25519.Ed25519PrivateKey.generate().public_key(), "Ed25519", b"x", bytes(64))


def _sign1(protected=b"", unprotected=None, payload=None, signature=b"", tag=True):
    body = [protected, unprotected or {}, payload, signature]
    return cbor2.dumps(cbor2.CBORTag(18, body) if tag else body)


@pytest.mark.parametrize("data, reason", [
    (b"", "empty"),
    (cbor2.dumps(cbor2.CBORTag(98, [b"", {}, None, b""])), "tag other"),
    (_sign1() + b"\x00", "follow"),
    (cbor2.dumps(cbor2.CBORTag(18, [b"", {}, None])), "array of four"),
    (_sign1(protected=b"\xff"), "protected header: CBOR break code at offset 0"),
    (_sign1(protected=cbor2.dumps([1])), "not a map"),
    (cbor2.dumps(cbor2.CBORTag(18, [b"", [], None, b""])), "unprotected header is not a map"),
    (cbor2.dumps(cbor2.CBORTag(18, [b"", {}, 5, b""])), "payload"),
    (b"\xd2\x84\x40\xa0\xf6\x5a\xff\xff\xff\xff", "runs past"),
    (b"\xd2\x84\x40\xbf\xff\xf6\x40", "indefinite"),
    (b"\xd2\x84\x40\xa1\x00" + b"\x81" * 40 + b"\x00\xf6\x40", "nests more than 16 deep"),
    (b"\xd2\x84\x40\xa1\x00\x9a\x00\x01\x00\x00" + b"\x00" * 0x10000 + b"\xf6\x40", "more than"),
    (_sign1(protected=b"\x9a\x00\x01\x00\x00" + b"\x00" * 0x10000), "more than"),  # inside the bstr too
    (_sign1(protected=cbor2.dumps({1: -7}) + b"\x00"), "follow the protected"),
])
def test_decode_refuses(data, reason):
    with pytest.raises(cose.CoseError, match=reason):
        cose.decode_sign1(data)


def test_untagged_placeholder_and_payload_are_reported():
    assert not cose.decode_sign1(_sign1(tag=False)).tagged
    placeholder = cose.decode_sign1(_sign1(unprotected={"pad": bytes(100)}))
    assert cose.is_placeholder(placeholder)
    assert cose.is_placeholder(cose.decode_sign1(_sign1(signature=bytes(64))))
    assert not cose.is_placeholder(cose.decode_sign1(_sign1(signature=b"\x01")))
    assert cose.decode_sign1(_sign1(payload=b"attached")).payload == b"attached"


def test_x5chain_labels_and_buckets():
    a, b = b"A" * 4, b"B" * 4
    p = cbor2.dumps({1: -7, 33: a, "x5chain": [b]})
    assert cose.x5chain(cose.decode_sign1(_sign1(protected=p))) == [a]  # 33 wins (C2PA 2.2, 14.5)
    p = cbor2.dumps({1: -7, "x5chain": [a, b]})
    assert cose.x5chain(cose.decode_sign1(_sign1(protected=p))) == [a, b]
    s = cose.decode_sign1(_sign1(protected=cbor2.dumps({1: -7}), unprotected={33: [a]}))
    assert cose.x5chain(s) == [a]
    with pytest.raises(cose.CoseError, match="unprotected"):
        cose.x5chain(s, allow_unprotected=False)
    both = cose.decode_sign1(_sign1(protected=cbor2.dumps({1: -7, 33: a}), unprotected={33: b}))
    with pytest.raises(cose.CoseError, match="both"):
        cose.x5chain(both)
    for bad in ({1: -7}, {1: -7, 33: []}, {1: -7, 33: [1]}, {1: -7, 33: "text"}):
        with pytest.raises(cose.CoseError):
            cose.x5chain(cose.decode_sign1(_sign1(protected=cbor2.dumps(bad))))
