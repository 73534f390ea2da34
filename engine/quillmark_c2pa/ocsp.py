"""Revocation of the signer's certificate by OCSP (C2PA 2.2, 14.5.2 and 15.9), read with
cryptography's ocsp module.

Responses stapled in the claim signature's `rVals` header are checked as 15.9.1 says. Nothing is
fetched unless the caller asks (`fetch=True`, 15.9.2: a query can reveal to an observer what is
being validated); when the certificate names an OCSP responder and no stapled response settles its
status, `signingCredential.ocsp.skipped` says so.

15.9.1 lets a stapled response establish "not revoked" only for a signature with a trusted
time-stamp. For a signature without one, a stapled response is judged as 15.9.2 judges an online
answer for such a signature: by the current time inside (thisUpdate, nextUpdate). A stapled answer
that the certificate is revoked is never set aside for want of a time-stamp.

The CAs between the signer's certificate and the anchor are checked against stapled responses only
(`revoked_cas`): one revoked makes the signer `signingCredential.untrusted` (15.9).
"""

from __future__ import annotations

import datetime
import http.client
import time
import urllib.error
import urllib.request
from dataclasses import dataclass
from typing import Any, Optional

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.x509 import ocsp
from cryptography.x509.oid import AuthorityInformationAccessOID

from . import credentials, status
from .fetching import read_answer

# A real rVals holds one response per certificate of the chain; more than this is not looked at.
MAX_RESPONSES = 8
MAX_RESPONSE_BYTES = 1 << 16
GRACE = datetime.timedelta(hours=24)  # producedAt + 24 hours when nextUpdate is absent (15.9.1)


@dataclass
class Verdict:
    code: str
    explanation: str


def responder_urls(certificate: x509.Certificate) -> "list[str]":
    """The OCSP responders named in the certificate's Authority Information Access extension."""
    try:
        aia = certificate.extensions.get_extension_for_class(x509.AuthorityInformationAccess).value
    except (x509.ExtensionNotFound, ValueError):
        return []
    return [
        d.access_location.value
        for d in aia
        if d.access_method == AuthorityInformationAccessOID.OCSP and isinstance(d.access_location, x509.UniformResourceIdentifier)
    ]


def stapled_responses(rvals: Any) -> "tuple[list[bytes], Optional[str]]":
    """The DER responses of an `rVals` header ({"ocspVals": [bstr, ...]}, C2PA 2.2, 14.5.2), and a
    reason when the header is malformed."""
    if rvals is None:
        return [], None
    if not isinstance(rvals, dict) or not isinstance(rvals.get("ocspVals"), list):
        return [], "the rVals header is not a map with an ocspVals array"
    values = rvals["ocspVals"]
    out = [bytes(v) for v in values[:MAX_RESPONSES] if isinstance(v, bytes) and len(v) <= MAX_RESPONSE_BYTES]
    if len(out) != len(values):
        return out, "some rVals entries are not OCSP responses of a usable size"
    return out, None


def _verify_signed_by(response: ocsp.OCSPResponse, key: Any) -> bool:
    try:
        algorithm = response.signature_hash_algorithm
        if isinstance(key, rsa.RSAPublicKey):
            if algorithm is None:
                return False
            key.verify(response.signature, response.tbs_response_bytes, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            if algorithm is None:
                return False
            key.verify(response.signature, response.tbs_response_bytes, ec.ECDSA(algorithm))
        elif isinstance(key, ed25519.Ed25519PublicKey):
            key.verify(response.signature, response.tbs_response_bytes)
        else:
            return False
    except (InvalidSignature, ValueError, TypeError, UnsupportedAlgorithm):
        return False
    return True


def _authorized(response: ocsp.OCSPResponse, issuer: x509.Certificate, at: datetime.datetime) -> Optional[str]:
    """None when the response is signed by the issuing CA itself or by a responder it authorised
    (RFC 6960, 4.2.2.2: issued directly by the CA, id-kp-OCSPSigning), valid at `at`; else why not."""
    if _verify_signed_by(response, issuer.public_key()):
        return None
    for responder in response.certificates[:4]:
        if not credentials.issued_by(responder, issuer):
            continue
        problems = credentials.profile_findings(responder, at, purpose=credentials.OCSP_PURPOSE)
        if problems:
            return f"the OCSP responder's certificate: {problems[0].message}"
        if _verify_signed_by(response, responder.public_key()):
            return None
        return "the OCSP response's signature does not verify"
    return "the OCSP response is not signed by the issuing CA or a responder it authorised"


def _single(response: ocsp.OCSPResponse, certificate: x509.Certificate, issuer: x509.Certificate) -> Optional[Any]:
    """The SingleResponse about `certificate` (RFC 6960, 3.2, 1: the same certificate ID)."""
    for single in response.responses:
        if single.serial_number != certificate.serial_number:
            continue
        try:
            request = ocsp.OCSPRequestBuilder().add_certificate(certificate, issuer, single.hash_algorithm).build()
        except (ValueError, TypeError, UnsupportedAlgorithm):
            continue
        if request.issuer_name_hash == single.issuer_name_hash and request.issuer_key_hash == single.issuer_key_hash:
            return single
    return None


def judge(
    der: bytes,
    certificate: x509.Certificate,
    issuer: x509.Certificate,
    *,
    attested: Optional[datetime.datetime],
    now: datetime.datetime,
) -> "tuple[Optional[Verdict], str]":
    """One OCSP response about the signer's certificate: a verdict (notRevoked, revoked or unknown)
    when it is accepted and applies, else None with the reason it does not."""
    try:
        return _judge(der, certificate, issuer, attested=attested, now=credentials.utc(now))
    except (ValueError, TypeError, UnsupportedAlgorithm):
        # cryptography reads a response's parts when they are first asked for
        return None, "an OCSP response that cannot be read"


def _judge(
    der: bytes,
    certificate: x509.Certificate,
    issuer: x509.Certificate,
    *,
    attested: Optional[datetime.datetime],
    now: datetime.datetime,
) -> "tuple[Optional[Verdict], str]":
    response = ocsp.load_der_ocsp_response(der)
    if response.response_status != ocsp.OCSPResponseStatus.SUCCESSFUL:
        return None, f"an OCSP response with status {response.response_status.name}"
    single = _single(response, certificate, issuer)
    if single is None:
        return None, "an OCSP response about another certificate"
    reason = _authorized(response, issuer, attested or now)
    if reason:
        return None, reason
    this_update = single.this_update_utc
    next_update = single.next_update_utc
    if now < this_update:
        return None, "an OCSP response from the future (thisUpdate after now)"
    if attested is not None:
        attested = credentials.utc(attested)
        end = next_update or (response.produced_at_utc + GRACE)
        if not (attested < this_update or this_update <= attested <= end):
            return None, "an OCSP response whose period does not cover the time-stamp's time"
        when = f"at the time-stamp's time {attested:%Y-%m-%d %H:%M:%S} UTC"
    else:
        if next_update is None or not (this_update <= now <= next_update):
            return None, "an OCSP response that is not current, for a signature without a trusted time-stamp"
        when = "now"
    cert_status = single.certificate_status
    if cert_status == ocsp.OCSPCertStatus.GOOD:
        return Verdict(status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED, f"a stapled OCSP response says the certificate was not revoked {when}"), ""
    if cert_status == ocsp.OCSPCertStatus.REVOKED:
        if single.revocation_reason == x509.ReasonFlags.remove_from_crl:
            return Verdict(status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED,
                           "a stapled OCSP response says the certificate's hold was removed (removeFromCRL)"), ""
        revoked_at = single.revocation_time_utc
        if attested is not None and revoked_at is not None and revoked_at > attested:
            return Verdict(status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED,
                           f"the certificate was revoked on {revoked_at:%Y-%m-%d %H:%M:%S} UTC, after the time-stamp's time"), ""
        at = f" on {revoked_at:%Y-%m-%d %H:%M:%S} UTC" if revoked_at else ""
        reason_text = f" ({single.revocation_reason.value})" if single.revocation_reason else ""
        return Verdict(status.SIGNING_CREDENTIAL_OCSP_REVOKED, f"the certificate was revoked{at}{reason_text}"), ""
    return Verdict(status.SIGNING_CREDENTIAL_OCSP_UNKNOWN, "the OCSP responder does not know the certificate"), ""


def check(
    rvals: Any,
    certificate: x509.Certificate,
    issuer: Optional[x509.Certificate],
    *,
    attested: Optional[datetime.datetime],
    now: datetime.datetime,
    fetch: bool = False,
    timeout: float = 10,
) -> "list[Verdict]":
    """The revocation codes for the signer's certificate (C2PA 2.2, 15.9): from the stapled
    responses, then, when asked, from its responder; `signingCredential.ocsp.skipped` when it names a
    responder no stapled response settled and fetching was not asked for. Nothing when the
    certificate supports no revocation check and nothing was stapled."""
    responses, malformed = stapled_responses(rvals)
    urls = responder_urls(certificate)
    reasons: list[str] = [malformed] if malformed else []
    if issuer is not None:
        verdicts = []
        for der in responses:
            verdict, reason = judge(der, certificate, issuer, attested=attested, now=now)
            if verdict is not None:
                verdicts.append(verdict)
            else:
                reasons.append(reason)
        good = [v for v in verdicts if v.code == status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED]
        if good:
            return good[:1]
        if verdicts:
            return verdicts[:1]
    elif responses:
        reasons.append("the issuer of the signer's certificate is not known, so its OCSP responses cannot be checked")
    if not urls:
        return []
    ignored = f" ({'; '.join(sorted(set(reasons)))[:300]})" if reasons else ""
    if not fetch or issuer is None:
        return [Verdict(status.SIGNING_CREDENTIAL_OCSP_SKIPPED,
                        f"the certificate's revocation status was not checked online{ignored}")]
    for url in urls[:2]:
        answer = _fetch(url, certificate, issuer, timeout)
        if answer is None:
            continue
        verdict, reason = judge(answer, certificate, issuer, attested=attested, now=now)
        if verdict is not None:
            return [verdict]
        reasons.append(reason)
    return [Verdict(status.SIGNING_CREDENTIAL_OCSP_INACCESSIBLE,
                    f"no usable answer from the OCSP responder {urls[0][:200]}")]


def _fetch(url: str, certificate: x509.Certificate, issuer: x509.Certificate, timeout: float) -> Optional[bytes]:
    if not url.startswith(("http://", "https://")):
        return None
    try:
        request = ocsp.OCSPRequestBuilder().add_certificate(certificate, issuer, hashes.SHA256()).build()
        body = request.public_bytes(serialization.Encoding.DER)
        req = urllib.request.Request(url, data=body, method="POST", headers={"Content-Type": "application/ocsp-request"})
        deadline = time.monotonic() + timeout  # for the whole answer, not each wait (fetching.read_answer)
        with urllib.request.urlopen(req, timeout=timeout) as answer:  # noqa: S310 (scheme checked above)
            data = read_answer(answer, MAX_RESPONSE_BYTES, deadline)
    except (OSError, ValueError, urllib.error.URLError, http.client.HTTPException):  # the last: a bad status line,
        return None  # a damaged chunk (IncompleteRead), from a responder the certificate names
    return data if data is not None and len(data) <= MAX_RESPONSE_BYTES else None


def revoked_cas(
    rvals: Any,
    path: "list[x509.Certificate]",
    *,
    attested: Optional[datetime.datetime],
    now: datetime.datetime,
) -> "list[Verdict]":
    """`signingCredential.untrusted` for each CA of the path (between the signer's certificate and
    the anchor) that a stapled OCSP response, accepted and applying at the time-stamp's time (or now),
    says was revoked (C2PA 2.2, 15.9). Only stapled responses are read for CAs."""
    responses, _ = stapled_responses(rvals)
    out = []
    for index in range(1, len(path) - 1):
        ca, issuer = path[index], path[index + 1]
        for der in responses:
            verdict, _ = judge(der, ca, issuer, attested=attested, now=now)
            if verdict is not None and verdict.code == status.SIGNING_CREDENTIAL_OCSP_REVOKED:
                out.append(Verdict(status.SIGNING_CREDENTIAL_UNTRUSTED,
                                   f"the CA certificate {credentials.common_name(ca)}: {verdict.explanation}"))
                break
    return out
