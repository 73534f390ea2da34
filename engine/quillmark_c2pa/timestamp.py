"""RFC 3161 time-stamps as C2PA 2.2 uses them (10.3.2.5, 15.8): what is stamped, a TSA client for
the signer, and the checks of a TimeStampToken for the validator. ASN.1 is read and written with
asn1crypto; signatures are checked with cryptography.

What is stamped: the message imprint is the hash of a COSE Sig_structure with the context
"CounterSignature" (C2PA 2.2, 10.3.2.5.3) over the claim signature's protected header and a payload
that is, for a v2 stamp (`sigTst2`), the COSE signature field as serialized (its CBOR head too,
10.3.2.5.2), and for a deprecated v1 stamp (`sigTst`), the claim, as the claim signature itself
signs it. `v2_imprint_input` and `v1_imprint_input` give those bytes.

    token = request_timestamp(tsa_url, v2_imprint_input(protected, signature))    # the signer
    result = check_token(token, imprint_input, tsa_anchors)                        # the validator
"""

from __future__ import annotations

import datetime
import hashlib
import http.client
import os
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence

import cbor2
# asn1crypto ships no type information (and typeshed has none): its objects are Any here (mypy
# reports the package once, at its first import).
from asn1crypto import algos as asn1_algos  # type: ignore[import-untyped]
from asn1crypto import cms as asn1_cms
from asn1crypto import core as asn1_core
from asn1crypto import tsp as asn1_tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa

from . import cose, credentials, status
from .fetching import read_answer

# The allowed hash algorithms of C2PA 2.2, 13.1 (the deprecated list is empty).
HASHES: "dict[str, Callable[[], hashes.HashAlgorithm]]" = {
    "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}

# A TSA's answer is a few kilobytes of certificates; anything far larger is not a time-stamp.
MAX_RESPONSE = 1 << 20


class TimeStampResp(asn1_core.Sequence):  # type: ignore[misc]  # an untyped base (asn1crypto)
    """RFC 3161, 2.4.2's TimeStampResp with its token OPTIONAL, as the RFC has it (asn1crypto's
    own class requires the token, so a refusal could not be read)."""

    _fields = [
        ("status", asn1_tsp.PKIStatusInfo),
        ("time_stamp_token", asn1_cms.ContentInfo, {"optional": True}),
    ]


class TimeStampError(Exception):
    """A TSA that failed or answered nonsense, with a one-line message."""


def _counter_signature(protected: bytes, payload: bytes) -> bytes:
    return cose.sig_structure(protected, payload, context="CounterSignature")


def v2_imprint_input(protected: bytes, signature: bytes, *, serialized: Optional[bytes] = None) -> bytes:
    """What a v2 time-stamp (`sigTst2`) covers, before hashing (C2PA 2.2, 10.3.2.5.2-3): the
    CounterSignature Sig_structure of the claim signature's serialized protected header and its
    signature field, CBOR head and all. The signer sends this to `request_timestamp`, the
    signature serialized here as `cose.encode_sign1` writes it; the validator passes the field as
    the claim signature holds it (`serialized`, cose.Sign1.signature_cbor), whose head may be
    longer than the shortest."""
    return _counter_signature(protected, serialized if serialized is not None else cbor2.dumps(bytes(signature)))


def v1_imprint_input(protected: bytes, claim: bytes) -> bytes:
    """What a deprecated v1 time-stamp (`sigTst`) covers: the same form over the claim (the payload
    the claim signature signs). Validators still read these; nothing writes them."""
    return _counter_signature(protected, claim)


# ---------------------------------------------------------------------------------------------
# The client


def build_request(data: bytes, hash_name: str = "sha256", nonce: Optional[int] = None) -> bytes:
    """A DER TimeStampReq (RFC 3161, 2.4.1) for the hash of `data`, certReq asserted (C2PA 2.2,
    10.3.2.5.3)."""
    digest = hashlib.new(hash_name, data).digest()
    request = asn1_tsp.TimeStampReq({
        "version": "v1",
        "message_imprint": {"hash_algorithm": {"algorithm": hash_name}, "hashed_message": digest},
        "nonce": nonce,
        "cert_req": True,
    })
    return bytes(request.dump())


def request_timestamp(url: str, data: bytes, *, timeout: float = 30, hash_name: str = "sha256") -> bytes:
    """Ask the TSA at `url` for a time-stamp of `data` (hashed with `hash_name`) and return the
    TimeStampToken's DER, as `sigTst2` stores it. The answer is checked before it is returned: a
    granted status, the imprint and nonce that were asked for, the TSA's signature, and a TSA
    certificate fit for time-stamping (whether anyone trusts that TSA is the validator's business).
    Raises TimeStampError with a one-line message otherwise."""
    if hash_name not in HASHES:
        raise ValueError(f"{hash_name} is not a hash C2PA allows for time-stamps (C2PA 2.2, 13.1)")
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise TimeStampError(f"time-stamp authority {url!r}: not an http or https URL")
    nonce = int.from_bytes(os.urandom(8), "big")
    body = build_request(data, hash_name, nonce)
    req = urllib.request.Request(
        url, data=body, method="POST",
        headers={"Content-Type": "application/timestamp-query", "Accept": "application/timestamp-reply"},
    )
    deadline = time.monotonic() + timeout
    try:
        with urllib.request.urlopen(req, timeout=timeout) as response:  # noqa: S310 (scheme checked above)
            answer = _read_until(response, deadline, url, timeout)
    except urllib.error.HTTPError as exc:
        raise TimeStampError(f"time-stamp authority {url}: HTTP {exc.code} {_printable(str(exc.reason))}") from None
    except urllib.error.URLError as exc:
        reason = exc.reason.strerror if isinstance(exc.reason, OSError) and exc.reason.strerror else exc.reason
        raise TimeStampError(f"time-stamp authority {url}: {reason}") from None
    except (OSError, http.client.HTTPException) as exc:
        raise TimeStampError(f"time-stamp authority {url}: {exc or type(exc).__name__}") from None
    if len(answer) > MAX_RESPONSE:
        raise TimeStampError(f"time-stamp authority {url}: an answer of more than {MAX_RESPONSE} bytes")
    return token_from_response(answer, data, hash_name=hash_name, nonce=nonce, source=url)


GRANTED = ("granted", "granted_with_mods")


def _read_response(answer: bytes) -> "tuple[str, list[str], Optional[bytes]]":
    """A TimeStampResp's status, its status strings and its token's DER (None when it holds none);
    ValueError when `answer` is not a TimeStampResp. Its elements are counted before it is parsed."""
    try:
        der_elements(answer)
        response = TimeStampResp.load(answer, strict=True)
        status_value = str(response["status"]["status"].native)
        text = [str(t) for t in response["status"]["status_string"].native or ()]
        token = response["time_stamp_token"]
        token_der = None if isinstance(token, asn1_core.Void) or not token.contents else bytes(token.dump())
    except (ValueError, TypeError, KeyError):
        raise ValueError("not an RFC 3161 time-stamp response") from None
    return status_value, text, token_der


def _read_until(response: Any, deadline: float, url: str, timeout: float) -> bytes:
    """At most MAX_RESPONSE + 1 bytes of the answer, read before `deadline` (fetching.read_answer:
    a TSA sending a byte at a time would otherwise hold a signing run for as long as it liked)."""
    answer = read_answer(response, MAX_RESPONSE, deadline)
    if answer is None:
        raise TimeStampError(f"time-stamp authority {url}: no whole answer within {timeout:g} s")
    return answer


def _printable(text: str, limit: int = 200) -> str:
    """A TSA's own words, cut short and kept to one printable line."""
    return "".join(c if c.isprintable() else " " for c in text[:limit])


def token_from_response(answer: bytes, data: bytes, *, hash_name: str = "sha256", nonce: Optional[int] = None,
                        source: str = "time-stamp authority") -> bytes:
    """The TimeStampToken DER of a TimeStampResp that answers a request for `data`; TimeStampError
    when it does not."""
    prefix = f"time-stamp authority {source}" if "://" in source else source
    try:
        status_value, text, token_der = _read_response(answer)
    except ValueError:
        raise TimeStampError(f"{prefix}: the answer is not an RFC 3161 time-stamp response") from None
    if status_value not in GRANTED:
        detail = f" ({_printable('; '.join(text))})" if text else ""
        raise TimeStampError(f"{prefix}: the request was refused: {status_value}{detail}")
    if token_der is None:
        raise TimeStampError(f"{prefix}: the response holds no time-stamp token")
    try:
        parsed = parse_token(token_der)
    except TokenError as exc:
        raise TimeStampError(f"{prefix}: {exc}") from None
    expected = hashlib.new(hash_name, data).digest()
    if parsed.imprint_hash != hash_name or parsed.imprint != expected:
        raise TimeStampError(f"{prefix}: the token stamps another message imprint than the one asked for")
    if nonce is not None and parsed.nonce != nonce:
        raise TimeStampError(f"{prefix}: the token's nonce is not the request's")
    problem = signature_problem(parsed)
    if problem:
        raise TimeStampError(f"{prefix}: {problem}")
    assert parsed.tsa_certificate is not None  # signature_problem said so otherwise
    tsa_problems = credentials.profile_problems(parsed.tsa_certificate, parsed.gen_time, time_stamping=True)
    if tsa_problems:
        raise TimeStampError(f"{prefix}: its certificate is not fit for time-stamping: {tsa_problems[0]}")
    return token_der


# ---------------------------------------------------------------------------------------------
# Reading and checking a token


class TokenError(ValueError):
    """A TimeStampToken that cannot be read (timeStamp.malformed), with a one-line reason."""


@dataclass
class Token:
    """The parts of a TimeStampToken a validator needs."""

    gen_time: datetime.datetime
    imprint_hash: Optional[str]  # e.g. "sha256", None for an unknown algorithm
    imprint: bytes
    nonce: Optional[int]
    tsa_certificate: Optional[x509.Certificate]
    certificates: "list[x509.Certificate]"
    signature_algorithm: Optional[str]  # the C2PA 2.2, 13.2 name (ES256...), None when not on the list
    signature_description: str  # what it is, for messages ("RSA PKCS#1 v1.5 with SHA-256"...)
    signed_data: bytes = field(repr=False, default=b"")  # the signed attributes as signed
    signature: bytes = field(repr=False, default=b"")
    digest_hash: Optional[str] = None
    signature_kind: str = ""  # "ecdsa", "rsassa_pss", "rsassa_pkcs1v15", "ed25519", or another
    signature_hash: Optional[str] = None  # the hash the signature is made with, as hashlib names it
    content_digest_ok: bool = False


# A token holds a handful of certificates; a bound keeps a hostile one from costing a parse each.
MAX_TOKEN_CERTIFICATES = 16


# asn1crypto makes an object per element it parses, so a token is measured before it is parsed: a
# real one is some five kilobytes and a few hundred elements (three RSA-4096 certificates included).
MAX_TOKEN_BYTES = 1 << 16
MAX_DER_ELEMENTS = 4096


def der_elements(data: bytes, limit: int = MAX_DER_ELEMENTS) -> int:
    """Count the BER/DER elements of `data` (constructed ones opened, primitive ones skipped) without
    building any object; TokenError past `limit`, for a length that runs past its container, or for
    trailing bytes."""
    count = 0
    stack = [len(data)]
    pos = 0
    n = len(data)
    while stack:
        if pos == stack[-1]:
            stack.pop()
            continue
        if pos > stack[-1] or pos + 2 > n:
            raise TokenError("the time-stamp token's DER is truncated")
        count += 1
        if count > limit:
            raise TokenError(f"the time-stamp token holds more than {limit} ASN.1 elements")
        tag = data[pos]
        pos += 1
        if tag & 0x1F == 0x1F:  # a high tag number: base-128 digits
            while pos < n and data[pos] & 0x80:
                pos += 1
            pos += 1
        if pos >= n:
            raise TokenError("the time-stamp token's DER is truncated")
        first = data[pos]
        pos += 1
        if first < 0x80:
            length = first
        elif first == 0x80:
            raise TokenError("the time-stamp token uses indefinite lengths")
        else:
            width = first & 0x7F
            if width > 4 or pos + width > n:
                raise TokenError("the time-stamp token's DER has an impossible length")
            length = int.from_bytes(data[pos:pos + width], "big")
            pos += width
        if pos + length > stack[-1]:
            raise TokenError("an element of the time-stamp token runs past its container")
        if tag & 0x20:
            stack.append(pos + length)
        else:
            pos += length
    return count


def parse_token(der: bytes) -> Token:
    """Read a DER TimeStampToken (a CMS SignedData holding a TSTInfo, RFC 3161, 2.4.2). Raises
    TokenError for anything that is not one."""
    der = bytes(der)
    if len(der) > MAX_TOKEN_BYTES:
        raise TokenError(f"the time-stamp token is {len(der)} bytes, more than {MAX_TOKEN_BYTES}")
    der_elements(der)
    try:
        content_info = asn1_cms.ContentInfo.load(bytes(der), strict=True)
        if content_info["content_type"].native != "signed_data":
            raise TokenError("the time-stamp token is not CMS SignedData")
        signed = content_info["content"]
        encap = signed["encap_content_info"]
        if encap["content_type"].native != "tst_info":
            raise TokenError("the time-stamp token does not hold a TSTInfo")
        content = encap["content"]
        if isinstance(content, asn1_core.Void) or content is None:
            raise TokenError("the time-stamp token's TSTInfo is missing")
        tst_der = content.contents if isinstance(content, asn1_core.OctetString) else bytes(content.contents)
        der_elements(tst_der)
        tst = asn1_tsp.TSTInfo.load(tst_der, strict=True)
        imprint = tst["message_imprint"]
        imprint_alg = imprint["hash_algorithm"]["algorithm"].native
        hashed = imprint["hashed_message"].native
        gen_time = tst["gen_time"].native
        nonce = tst["nonce"].native
        raw_certs = signed["certificates"]
        certificates: list[x509.Certificate] = []
        if not isinstance(raw_certs, asn1_core.Void):
            for choice in list(raw_certs)[:MAX_TOKEN_CERTIFICATES]:
                if choice.name == "certificate":
                    certificates.append(credentials.load_certificate(choice.chosen.dump()))
        infos = signed["signer_infos"]
        if len(infos) != 1:
            raise TokenError(f"the time-stamp token has {len(infos)} signers, not one")
        info = infos[0]
        signed_attrs = info["signed_attrs"]
        if isinstance(signed_attrs, asn1_core.Void) or not len(signed_attrs):
            raise TokenError("the time-stamp token has no signed attributes")
        attrs = {a["type"].native: a["values"] for a in signed_attrs}
        if "content_type" not in attrs or attrs["content_type"][0].native != "tst_info":
            raise TokenError("the time-stamp token's signed content type is not TSTInfo")
        if "message_digest" not in attrs:
            raise TokenError("the time-stamp token has no message-digest attribute")
        message_digest = attrs["message_digest"][0].native
        digest_alg = info["digest_algorithm"]["algorithm"].native
        # The signature covers the DER of the attributes as a SET OF (RFC 5652, 5.4), the bytes as
        # they were sent with the [0] IMPLICIT tag replaced.
        attrs_der = signed_attrs.dump()
        signed_bytes = b"\x31" + attrs_der[1:]
        signature = info["signature"].native
        name, description, kind, signature_hash = _signature_name(info["signature_algorithm"], digest_alg)
        tsa = _find_signer(info["sid"], certificates)
    except TokenError:
        raise
    except (ValueError, TypeError, KeyError, IndexError, AttributeError, OverflowError) as exc:
        raise TokenError(f"the time-stamp token cannot be read ({type(exc).__name__})") from None
    if not isinstance(gen_time, datetime.datetime):
        raise TokenError("the time-stamp token has no genTime")
    content_ok = digest_alg in HASHES and hashlib.new(digest_alg, tst_der).digest() == message_digest
    return Token(
        gen_time=credentials.utc(gen_time),
        imprint_hash=imprint_alg if imprint_alg in HASHES else None,
        imprint=hashed,
        nonce=nonce,
        tsa_certificate=tsa,
        certificates=certificates,
        signature_algorithm=name,
        signature_description=description,
        signature_kind=kind,
        signature_hash=signature_hash,
        signed_data=signed_bytes,
        signature=signature,
        digest_hash=digest_alg if digest_alg in HASHES else None,
        content_digest_ok=content_ok,
    )


def _find_signer(sid: Any, certificates: "list[x509.Certificate]") -> Optional[x509.Certificate]:
    if sid.name == "issuer_and_serial_number":
        issuer = sid.chosen["issuer"].dump()
        serial = sid.chosen["serial_number"].native
        for cert in certificates:
            if cert.serial_number == serial and cert.issuer.public_bytes() == issuer:
                return cert
        return None
    key_id = sid.chosen.native
    for cert in certificates:
        try:
            ski = cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value.digest
        except (x509.ExtensionNotFound, ValueError):
            continue
        if ski == key_id:
            return cert
    return None


_HASH_WORDS = {"sha256": "SHA-256", "sha384": "SHA-384", "sha512": "SHA-512"}


def _signature_name(sig_alg: Any, digest_alg: str) -> "tuple[Optional[str], str, str, Optional[str]]":
    """For a CMS signature algorithm (asn1crypto's SignedDigestAlgorithm): its C2PA 2.2, 13.2 name,
    or None when it is not on that list; words for it; its kind (asn1crypto's name: "ecdsa",
    "rsassa_pss", ...); and the hash it signs with."""
    try:
        algo = str(sig_alg.signature_algo)
    except ValueError:  # one asn1crypto does not know
        return None, f"the signature algorithm {sig_alg['algorithm'].dotted}", "", None
    try:
        hash_name = str(sig_alg.hash_algo)
    except ValueError:
        hash_name = digest_alg
    if algo == "rsassa_pss":
        params = sig_alg["parameters"]
        hash_name = str(params["hash_algorithm"]["algorithm"].native)
        mgf_hash = params["mask_gen_algorithm"]["parameters"]["algorithm"].native
        pss = {"sha256": "PS256", "sha384": "PS384", "sha512": "PS512"}.get(hash_name) if mgf_hash == hash_name else None
        return pss, f"RSASSA-PSS with {_HASH_WORDS.get(hash_name, hash_name)}", algo, hash_name
    words = _HASH_WORDS.get(hash_name, hash_name)
    if algo == "ecdsa":
        name = {"sha256": "ES256", "sha384": "ES384", "sha512": "ES512"}.get(hash_name)
        return name, f"ECDSA with {words}", algo, hash_name
    if algo == "ed25519":
        return "Ed25519", "Ed25519", algo, None
    if algo == "rsassa_pkcs1v15":
        return None, f"RSA PKCS#1 v1.5 with {words}", algo, hash_name
    return None, f"{algo} with {words}", algo, hash_name


def signature_problem(token: Token) -> Optional[str]:
    """None when the token's signature verifies with its TSA certificate's key and its signed
    message digest is the TSTInfo's, else one line. RSA PKCS#1 v1.5 is verified too, so a reader of
    older stamps can tell a sound one from a forged one, though C2PA 2.2, 15.8.2 does not count it."""
    if token.tsa_certificate is None:
        return "the TSA's certificate is not among the token's certificates"
    if not token.content_digest_ok:
        return "the token's message digest does not match its TSTInfo"
    try:
        key = token.tsa_certificate.public_key()
    except (ValueError, UnsupportedAlgorithm):
        return "the TSA's public key cannot be read"
    desc, kind = token.signature_description, token.signature_kind
    hash_cls = HASHES.get(token.signature_hash or "")
    try:
        if isinstance(key, ec.EllipticCurvePublicKey):
            if hash_cls is None or kind != "ecdsa":
                return f"{desc} does not fit the TSA's elliptic-curve key"
            key.verify(token.signature, token.signed_data, ec.ECDSA(hash_cls()))
        elif isinstance(key, rsa.RSAPublicKey):
            if kind == "rsassa_pss":
                if hash_cls is None:
                    return f"{desc} uses a hash C2PA does not allow"
                key.verify(token.signature, token.signed_data,
                           padding.PSS(padding.MGF1(hash_cls()), padding.PSS.AUTO), hash_cls())
            elif kind == "rsassa_pkcs1v15":
                if hash_cls is None:
                    return f"{desc} uses a hash C2PA does not allow"
                key.verify(token.signature, token.signed_data, padding.PKCS1v15(), hash_cls())
            else:
                return f"{desc} does not fit the TSA's RSA key"
        elif isinstance(key, ed25519.Ed25519PublicKey):
            key.verify(token.signature, token.signed_data)
        else:
            return f"the TSA's key is of a type C2PA does not allow ({type(key).__name__})"
    except InvalidSignature:
        return "the TSA's signature does not verify"
    except (ValueError, TypeError, UnsupportedAlgorithm):
        return "the TSA's signature cannot be checked"
    return None


@dataclass
class StampCheck:
    """The outcome of C2PA 2.2, 15.8.2 for one token: the status codes to report (with
    explanations), and the attested time when the stamp counts."""

    entries: "list[tuple[str, str]]"  # (code, explanation)
    time: Optional[datetime.datetime] = None  # genTime, when timeStamp.trusted and .validated
    token: Optional[Token] = None
    chain: Optional[credentials.Chain] = None

    @property
    def counted(self) -> bool:
        return self.time is not None


def check_token(der: bytes, imprint_input: bytes, anchors: Sequence[x509.Certificate]) -> StampCheck:
    """Validate a TimeStampToken in the order of C2PA 2.2, 15.8.2 against `imprint_input` (from
    `v1_imprint_input` or `v2_imprint_input`) and the TSA anchors. The first failing step gives its
    informational code and the stamp is ignored; a stamp that passes every step gives
    timeStamp.trusted and timeStamp.validated and its genTime."""
    try:
        token = parse_token(der)
    except TokenError as exc:
        return StampCheck([(status.TIME_STAMP_MALFORMED, str(exc))])
    if token.signature_algorithm is None:
        return StampCheck([(status.TIME_STAMP_UNTRUSTED,
                            f"the time-stamp is signed with {token.signature_description}, which is not on "
                            "the list of C2PA 2.2, 13.2; it is not counted (C2PA 2.2, 15.8.2)")], token=token)
    problem = signature_problem(token)
    if problem:
        return StampCheck([(status.TIME_STAMP_MISMATCH, problem)], token=token)
    if not token.imprint:
        return StampCheck([(status.TIME_STAMP_MALFORMED, "the time-stamp has no message imprint")], token=token)
    if token.imprint_hash is None:
        return StampCheck([(status.TIME_STAMP_UNTRUSTED,
                            "the time-stamp's message imprint uses a hash C2PA 2.2, 13.1 does not allow")], token=token)
    if hashlib.new(token.imprint_hash, imprint_input).digest() != token.imprint:
        return StampCheck([(status.TIME_STAMP_MISMATCH,
                            "the time-stamp's message imprint is not that of this claim signature")], token=token)
    tsa = token.tsa_certificate
    assert tsa is not None  # signature_problem checked it
    problems = [p for p in credentials.profile_findings(tsa, token.gen_time, purpose=credentials.TIME_STAMPING_PURPOSE)
                if p.kind != "validity"]
    if problems:
        return StampCheck([(status.TIME_STAMP_UNTRUSTED, f"the TSA's certificate: {problems[0].message}")], token=token)
    try:
        chain = credentials.build_chain(tsa, [c for c in token.certificates if c is not tsa], anchors)
    except credentials.ChainError as exc:
        return StampCheck([(status.TIME_STAMP_UNTRUSTED, f"the TSA is not trusted: {exc}")], token=token)
    outside = credentials.validity_problems(chain, token.gen_time, "TSA's certificate")
    if outside:
        return StampCheck([(status.TIME_STAMP_OUTSIDE_VALIDITY,
                            f"the time-stamp's time {token.gen_time:%Y-%m-%d %H:%M:%S} UTC: {outside[0]}")],
                          token=token, chain=chain)
    when = f"{token.gen_time:%Y-%m-%d %H:%M:%S} UTC"
    return StampCheck(
        [(status.TIME_STAMP_VALIDATED, f"the time-stamp of {when} matches the claim signature"),
         (status.TIME_STAMP_TRUSTED, f"the TSA {credentials.common_name(tsa)} chains to a trusted TSA anchor")],
        time=token.gen_time, token=token, chain=chain,
    )


NOT_A_RESPONSE = "the value is not an RFC 3161 time-stamp response"


def response_token(val: bytes) -> "tuple[Optional[bytes], Optional[str]]":
    """The TimeStampToken inside a v1 `sigTst` value, which holds a whole TimeStampResp (C2PA 2.2,
    15.8.1.1): (token DER, None), or (None, the reason it is malformed)."""
    if len(val) > MAX_TOKEN_BYTES + 1024:
        return None, f"the time-stamp response is {len(val)} bytes, more than a time-stamp"
    try:
        status_value, _, token_der = _read_response(bytes(val))
    except ValueError:
        return None, NOT_A_RESPONSE
    if status_value not in GRANTED:
        return None, f"the time-stamp response's status is {status_value}"
    if token_der is None:
        return None, "the time-stamp response holds no token"
    return token_der, None
