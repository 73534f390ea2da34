"""Validation of one claim signature: C2PA 2.2, 15.7 (the signature and its credential), 15.8 (the
time-stamp) and 15.9 (revocation), each outcome a status code of 15.2.2.

    report = validate_signature(sign1_bytes, claim_bytes, claim_label="c2pa.claim.v2",
                                url="self#jumbf=/c2pa/urn:c2pa:.../c2pa.signature",
                                trust=TrustSettings(anchors=[...]), now=datetime.now(timezone.utc))
    report.entries   # StatusEntry list: claimSignature.*, signingCredential.*, timeStamp.*, algorithm.*
    report.info()    # alg, issuer, common_name, cert_serial_number, time: for `show`

Every check runs even after one has failed, so that a report says all that is wrong (a signature
that verifies under an untrusted certificate is reported as both); the failure codes decide.

Choices where the standard leaves one, with the reasons:
- The claim signature box must hold a COSE_Sign1_Tagged (13.2.2). Anything else that was found,
  an untagged COSE_Sign1, bytes that are not CBOR, or the temporary signature of 10.4.2 left by a
  writer that never signed (an empty protected header and an empty or zero signature), gives
  `claimSignature.mismatch`: the box was found, so it is not `claimSignature.missing` ("cannot be
  found in its manifest"); what it holds does not validate ("failed to validate").
- `alg` must be in the protected header (13.2.3); absent, or not on the list of 13.2.1:
  `algorithm.unsupported` ("unspecified or unsupported").
- x5chain: label 33 wins over "x5chain" (14.5). In the unprotected header it is accepted for a claim
  of the first version (`c2pa.claim`), as 14.5 asks "to maintain compatibility with previous
  versions", and refused for a v2 claim (`c2pa.claim.v2`), whose generators "shall place this header
  only in the protected header bucket": there the end-entity certificate would not be integrity
  protected (RFC 9360, 2). No x5chain, one that cannot be read, or one in both buckets:
  `signingCredential.invalid`.
- The credential: the profile of 14.5 (`signingCredential.invalid`; a CA certificate as signer
  `signingCredential.untrusted`, as 14.5.1.2 says), the chain to the anchors of the certificate's
  EKUs or the private credential store (`signingCredential.trusted`/`untrusted`). Time is judged
  apart: the signer's certificate and its CAs at a counted time-stamp's time, else now
  (`claimSignature.insideValidity`/`outsideValidity`, 15.8.2; 2.2 has no other code for an
  expired certificate).
- Time-stamps: `sigTst2` (v2: a TimeStampToken over the signature) is tried first, then `sigTst`
  (v1: a TimeStampResp over the claim). A container with more than one token is
  `timeStamp.malformed` and ignored (15.8.1.1). The codes are spelled `timeStamp.*` as in the code
  lists of 15.2.2; the prose of 15.8 writes `timestamp.*` for the same codes.

Manifests older than C2PA 2.2 are judged by 2.2's rules, not their own day's. A time-stamp counts
only when its signature algorithm is on the list of 13.2 (15.8.2), so a stamp signed with RSA
PKCS#1 v1.5, as 2023's were, is reported as `timeStamp.untrusted` with its signature still checked
and named in the explanation; the signer's certificate is then judged at today's date. Reasons:
15.8.2 makes no exception for older manifests, 13.2 says its lists govern the validation of
existing signatures, and a verdict that changed with the manifest's claimed age could be steered
by whoever wrote the manifest. Such manifests still show that their claim signatures verify
(`claimSignature.validated`) and their certificates are read and reported.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.x509.oid import NameOID

from . import cose, credentials, ocsp, status, timestamp
from .results import StatusEntry
from .store import CLAIM_V2
from .trust import TrustSettings

# Adds a status entry (code, explanation) to the report, with the signature box's URI.
_Add = Callable[[str, str], None]

# Certificates in one x5chain looked at: a real one holds two or three.
MAX_X5CHAIN = 16


@dataclass
class SignatureReport:
    """What validating one claim signature found."""

    entries: "list[StatusEntry]" = field(default_factory=list)
    alg: Optional[str] = None
    certificate: Optional[x509.Certificate] = None  # the signer's
    chain: "list[x509.Certificate]" = field(default_factory=list)  # x5chain as given, signer's first
    trusted_chain: "list[x509.Certificate]" = field(default_factory=list)  # the path to an anchor, if one
    time: Optional[datetime.datetime] = None  # the attested time of a counted time-stamp
    stamp_time: Optional[datetime.datetime] = None  # the genTime of a stamp that was read, counted or not

    @property
    def failed(self) -> bool:
        return any(e.kind == status.FAILURE for e in self.entries)

    @property
    def codes(self) -> "list[str]":
        return [e.code for e in self.entries]

    def info(self) -> "dict[str, Any]":
        """The signature's facts for `show`, with the field names people know from other tools'
        reports: alg, issuer (the signer's organisation), common_name, cert_serial_number (decimal),
        time (ISO 8601, only from a counted time-stamp)."""
        out: dict[str, Any] = {"alg": self.alg}
        cert = self.certificate
        if cert is not None:
            out["issuer"] = _attribute(cert.subject, NameOID.ORGANIZATION_NAME) or _attribute(cert.issuer, NameOID.ORGANIZATION_NAME)
            out["common_name"] = _attribute(cert.subject, NameOID.COMMON_NAME)
            out["cert_serial_number"] = str(cert.serial_number)
        out["time"] = self.time.isoformat() if self.time else None
        return out


def _attribute(name: x509.Name, oid: x509.ObjectIdentifier) -> Optional[str]:
    try:
        values = name.get_attributes_for_oid(oid)
    except ValueError:
        return None
    if not values:
        return None
    value = values[0].value
    return (value if isinstance(value, str) else value.decode("latin-1"))[:200]


def validate_signature(
    sign1: bytes,
    claim: bytes,
    *,
    claim_label: str,
    url: str,
    trust: TrustSettings,
    now: datetime.datetime,
    fetch_ocsp: bool = False,
) -> SignatureReport:
    """Validate the claim signature `sign1` (the content of the claim signature box) of `claim`
    (the content of the claim box, the detached payload) as C2PA 2.2, 15.7-15.9 say. `url` is the
    signature box's JUMBF URI, given to every status entry; `claim_label` is the claim box's label
    (c2pa.claim or c2pa.claim.v2), which decides where x5chain may be."""
    report = SignatureReport()
    now = credentials.utc(now)

    def add(code: str, explanation: str) -> None:
        report.entries.append(StatusEntry(code, url, explanation))

    # -- the structure (13.2.2) -----------------------------------------------------------------
    try:
        parsed = cose.decode_sign1(sign1)
    except cose.CoseError as exc:
        add(status.CLAIM_SIGNATURE_MISMATCH, f"the claim signature is not a COSE_Sign1_Tagged: {exc}")
        return report
    if cose.is_placeholder(parsed):
        add(status.CLAIM_SIGNATURE_MISMATCH,
            "the claim was never signed: the claim signature is the temporary one of C2PA 2.2, 10.4.2 "
            "(an empty protected header and no signature)")
        return report
    if not parsed.tagged:
        add(status.CLAIM_SIGNATURE_MISMATCH,
            "the claim signature is a COSE_Sign1 without its tag (18); C2PA 2.2, 13.2.2 requires COSE_Sign1_Tagged")
        return report
    if parsed.payload is not None:
        add(status.CLAIM_SIGNATURE_MISMATCH,
            "the claim signature carries a payload; the claim is its detached payload (C2PA 2.2, 10.3.2.4)")
        return report

    # -- the algorithm (13.2.1, 13.2.3) -----------------------------------------------------------
    alg = parsed.alg
    report.alg = alg
    if alg is None:
        raw = parsed.protected_map.get(cose.HEADER_ALG)
        if raw is None:
            where = " (it is only in the unprotected header)" if cose.HEADER_ALG in parsed.unprotected else ""
            add(status.ALGORITHM_UNSUPPORTED, f"the claim signature names no algorithm in its protected header{where}")
        else:
            add(status.ALGORITHM_UNSUPPORTED,
                f"the claim signature's algorithm {str(raw)[:40]} is not one C2PA 2.2, 13.2.1 allows")
    elif alg in cose.DEPRECATED:
        add(status.ALGORITHM_DEPRECATED, f"{alg} is on the deprecated list of C2PA 2.2, 13.2.1")

    # -- the credential (14.5) --------------------------------------------------------------------
    certificate = _read_credential(parsed, claim_label, report, add)
    if certificate is None:
        return report

    private = trust.trusts_directly(certificate)
    findings = credentials.profile_findings(certificate, now, private=private)
    profile = [f for f in findings if f.kind == "profile"]
    for finding in profile:
        add(status.SIGNING_CREDENTIAL_INVALID, f"the signer's certificate: {finding.message}")
    path: Optional[credentials.Chain] = None
    if private:
        add(status.SIGNING_CREDENTIAL_TRUSTED, "the signer's certificate is in the private credential store")
        path = credentials.Chain([certificate])
    elif any(f.kind == "ca" for f in findings):
        add(status.SIGNING_CREDENTIAL_UNTRUSTED,
            "the signer's certificate is a CA certificate, which cannot sign claims (C2PA 2.2, 14.5.1.2)")
    else:
        anchors = trust.signer_anchors(credentials.ekus(certificate))
        if not anchors:
            add(status.SIGNING_CREDENTIAL_UNTRUSTED,
                "no trust anchor serves the extended key usages of the signer's certificate (the C2PA Trust List "
                "serves c2pa-kp-claimSigning; anchors given by the user serve it, emailProtection and documentSigning)")
        else:
            try:
                path = credentials.build_chain(certificate, report.chain[1:MAX_X5CHAIN], anchors)
            except credentials.ChainError as exc:
                add(status.SIGNING_CREDENTIAL_UNTRUSTED, f"the signer's certificate does not chain to a trust anchor: {exc}")
            else:
                report.trusted_chain = path.certificates
                add(status.SIGNING_CREDENTIAL_TRUSTED,
                    f"the signer's certificate chains to the trust anchor {credentials.common_name(path.anchor)}")

    # -- the signature (13.2) ---------------------------------------------------------------------
    if alg is not None:
        try:
            key = certificate.public_key()
        except (ValueError, UnsupportedAlgorithm):
            key = None
        problem = "its public key cannot be read" if key is None else cose.key_fits(key, alg)
        if problem:
            add(status.CLAIM_SIGNATURE_MISMATCH, f"the signer's key cannot make {alg} signatures: {problem}")
        elif cose.verify(key, alg, cose.sig_structure(parsed.protected, claim), parsed.signature):
            add(status.CLAIM_SIGNATURE_VALIDATED, f"the {alg} signature of the claim verifies")
        else:
            add(status.CLAIM_SIGNATURE_MISMATCH, f"the {alg} signature does not verify over the claim")

    # -- the time-stamp (15.8) --------------------------------------------------------------------
    attested = _time_stamps(parsed, claim, trust, report, add)
    report.time = attested

    # -- validity in time (15.8.2) ----------------------------------------------------------------
    judged_at = attested or now
    moment = (f"at the time-stamp's time {attested:%Y-%m-%d %H:%M:%S} UTC" if attested
              else f"at the validation time {now:%Y-%m-%d %H:%M:%S} UTC (no counted time-stamp)")
    in_time = credentials.validity_problems(path if path is not None else credentials.Chain(report.chain[:MAX_X5CHAIN]),
                                            judged_at)
    if in_time:
        add(status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY, f"{moment}: {in_time[0]}")
    else:
        add(status.CLAIM_SIGNATURE_INSIDE_VALIDITY, f"the signer's certificate and its CAs are valid {moment}")

    # -- revocation (15.9) ------------------------------------------------------------------------
    issuer = path.certificates[1] if path is not None and len(path.certificates) > 1 else (
        report.chain[1] if len(report.chain) > 1 and credentials.issued_by(certificate, report.chain[1]) else None)
    rvals = parsed.header(cose.HEADER_RVALS)
    for verdict in ocsp.check(rvals, certificate, issuer, attested=attested, now=now, fetch=fetch_ocsp):
        add(verdict.code, verdict.explanation)
    if path is not None and rvals is not None:
        for verdict in ocsp.revoked_cas(rvals, path.certificates, attested=attested, now=now):
            add(verdict.code, verdict.explanation)
    return report


def _read_credential(parsed: cose.Sign1, claim_label: str, report: SignatureReport,
                     add: _Add) -> Optional[x509.Certificate]:  # fmt: skip
    try:
        ders = cose.x5chain(parsed, allow_unprotected=claim_label != CLAIM_V2)
    except cose.CoseError as exc:
        add(status.SIGNING_CREDENTIAL_INVALID, f"the claim signature's credential: {exc}")
        return None
    if len(ders) > MAX_X5CHAIN:
        add(status.SIGNING_CREDENTIAL_INVALID, f"x5chain holds {len(ders)} certificates, more than {MAX_X5CHAIN}")
        return None
    chain = []
    for index, der in enumerate(ders):
        try:
            chain.append(credentials.load_certificate(der))
        except ValueError:
            which = "the signer's certificate" if index == 0 else f"certificate {index + 1} of x5chain"
            add(status.SIGNING_CREDENTIAL_INVALID, f"{which} is not a readable X.509 certificate")
            if index == 0:
                return None
    report.chain = chain
    report.certificate = chain[0]
    return chain[0]


def _tokens(container: Any, name: str) -> "tuple[list[bytes], Optional[str]]":
    """The `val` byte strings of a tstContainer (C2PA 2.2, 10.3.2.5.4), or why it is malformed."""
    if not isinstance(container, dict) or not isinstance(container.get("tstTokens"), list):
        return [], f"the {name} header is not a tstContainer (a map with a tstTokens array)"
    tokens = container["tstTokens"]
    if len(tokens) != 1:
        return [], f"the {name} header holds {len(tokens)} time-stamps; one is expected, so they are ignored (C2PA 2.2, 15.8.1.1)"
    token = tokens[0]
    if not isinstance(token, dict) or not isinstance(token.get("val"), bytes):
        return [], f"the {name} header's tstToken has no val byte string"
    return [token["val"]], None


def _time_stamps(parsed: cose.Sign1, claim: bytes, trust: TrustSettings, report: SignatureReport,
                 add: _Add) -> Optional[datetime.datetime]:
    """Check sigTst2, then sigTst (C2PA 2.2, 15.8.1-15.8.2); the attested time of the first that
    counts."""
    anchors = None
    for label, version in ((cose.HEADER_SIG_TST2, 2), (cose.HEADER_SIG_TST, 1)):
        container = parsed.header(label)
        if container is None:
            continue
        values, problem = _tokens(container, label)
        if problem:
            add(status.TIME_STAMP_MALFORMED, problem)
            continue
        value = values[0]
        # v1 holds a whole TimeStampResp, v2 the TimeStampToken. Each is read as the other too, as
        # some writers mixed them up; what is read is checked alike.
        token, why = timestamp.response_token(value)
        if token is None:
            if why != timestamp.NOT_A_RESPONSE:
                add(status.TIME_STAMP_MALFORMED, f"{label}: {why}")
                continue
            token = value
        if version == 2:  # the signature field as the box holds it (C2PA 2.2, 10.3.2.5.2)
            imprint_input = timestamp.v2_imprint_input(parsed.protected, parsed.signature,
                                                       serialized=parsed.signature_cbor)  # fmt: skip
        else:
            imprint_input = timestamp.v1_imprint_input(parsed.protected, claim)
        if anchors is None:
            anchors = trust.time_stamp_anchors()
        result = timestamp.check_token(token, imprint_input, anchors)
        if result.token is not None and report.stamp_time is None:
            report.stamp_time = result.token.gen_time
        for code, explanation in result.entries:
            add(code, f"{label}: {explanation}")
        if result.counted:
            return result.time
    return None
