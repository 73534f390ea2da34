"""X.509 credentials as C2PA 2.2, 14.5 wants them: the certificate profile (14.5.1.1) and the chain
from a signer's certificate to a trust anchor (14.5.1.2, after RFC 5280, 6).

`profile_problems(certificate, at)` gives one line per rule a signer's (or, with
`time_stamping=True`, a TSA's) certificate breaks; the signer uses it before signing, the validator
through `profile_findings`, whose `kind` tells which status code a problem leads to:
    "validity"  outside its validity period at the time it is judged -> claimSignature.outsideValidity
    "ca"        a CA certificate used as a signer (14.5.1.2 names the code) -> signingCredential.untrusted
    "profile"   anything else the profile forbids (15.7)               -> signingCredential.invalid
"""

from __future__ import annotations

import datetime
import warnings
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Sequence

# asn1crypto ships no type information (and typeshed has none): its objects are Any here (mypy
# reports the package once, at its first import).
from asn1crypto import core as asn1_core  # type: ignore[import-untyped]
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, ExtensionOID

from .trust import SIGNER_EKUS, der

# certificate signatureAlgorithm values C2PA 2.2, 14.5.1.1 allows
_SIGNATURE_ALGORITHMS = {
    "1.2.840.10045.4.3.2": "ecdsa-with-SHA256",
    "1.2.840.10045.4.3.3": "ecdsa-with-SHA384",
    "1.2.840.10045.4.3.4": "ecdsa-with-SHA512",
    "1.2.840.113549.1.1.11": "sha256WithRSAEncryption",
    "1.2.840.113549.1.1.12": "sha384WithRSAEncryption",
    "1.2.840.113549.1.1.13": "sha512WithRSAEncryption",
    "1.2.840.113549.1.1.10": "id-RSASSA-PSS",
    "1.3.101.112": "id-Ed25519",
}
_PSS_HASHES = {"sha256", "sha384", "sha512"}
_CURVES = {"secp256r1", "secp384r1", "secp521r1"}

TIME_STAMPING = ExtendedKeyUsageOID.TIME_STAMPING
OCSP_SIGNING = ExtendedKeyUsageOID.OCSP_SIGNING
ANY_EKU = ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE

# Chains longer than this are refused rather than searched: real C2PA chains have one or two CAs.
MAX_CHAIN = 8
MAX_CANDIDATES = 32
# Signature checks one chain search may make. Certificates that share a name and key all verify one
# another, so a hostile x5chain of such CAs would make a plain depth-first search try every ordering
# of them; real chains need a handful of checks.
MAX_ISSUER_CHECKS = 128

SIGNING, TIME_STAMPING_PURPOSE, OCSP_PURPOSE = "signing", "time-stamping", "OCSP signing"


@dataclass(frozen=True)
class Problem:
    kind: str  # "validity", "ca" or "profile"
    message: str


def load_certificate(der: bytes) -> x509.Certificate:
    """A DER certificate with every part this package reads parsed now: cryptography parses the
    names, extensions and key only when first asked, so a damaged certificate would otherwise raise
    in the middle of a check. Raises ValueError for one that cannot be read."""
    with warnings.catch_warnings():
        # cryptography warns (on stderr, each time it is read) of a serial number that is not
        # positive; such a certificate is refused here instead, as RFC 5280, 4.1.2.2 forbids it
        warnings.simplefilter("ignore")
        try:
            cert = x509.load_der_x509_certificate(bytes(der))
            cert.subject, cert.issuer, cert.version  # noqa: B018
            cert.not_valid_before_utc, cert.not_valid_after_utc, cert.signature_algorithm_oid  # noqa: B018
            cert.extensions  # noqa: B018
            cert.public_key()
            serial = cert.serial_number
        except (x509.InvalidVersion, x509.DuplicateExtension, UnsupportedAlgorithm) as exc:
            raise ValueError(str(exc)) from None
    if serial <= 0:
        raise ValueError("its serial number is not positive (RFC 5280, 4.1.2.2)")
    return cert


def utc(moment: datetime.datetime) -> datetime.datetime:
    """An aware UTC datetime (a naive one is taken as UTC)."""
    if moment.tzinfo is None:
        return moment.replace(tzinfo=datetime.timezone.utc)
    return moment.astimezone(datetime.timezone.utc)


def _extension(cert: x509.Certificate, oid: x509.ObjectIdentifier) -> "Optional[x509.Extension[Any]]":
    # Extensions that cannot be parsed (duplicates, bad DER) read as absent here; the profile
    # reports them once, in _structure_problems, as a certificate C2PA does not accept.
    try:
        return cert.extensions.get_extension_for_oid(oid)
    except (x509.ExtensionNotFound, ValueError):
        return None


def is_ca(cert: x509.Certificate) -> bool:
    ext = _extension(cert, ExtensionOID.BASIC_CONSTRAINTS)
    return bool(ext is not None and ext.value.ca)


def ekus(cert: x509.Certificate) -> "list[x509.ObjectIdentifier]":
    ext = _extension(cert, ExtensionOID.EXTENDED_KEY_USAGE)
    return list(ext.value) if ext is not None else []


def validity_problem(cert: x509.Certificate, at: datetime.datetime, what: str = "certificate") -> Optional[str]:
    """One line when `at` lies outside the certificate's validity period, else None."""
    at = utc(at)
    if at < cert.not_valid_before_utc:
        return f"the {what} is not valid before {cert.not_valid_before_utc:%Y-%m-%d %H:%M:%S} UTC"
    if at > cert.not_valid_after_utc:
        return f"the {what} expired on {cert.not_valid_after_utc:%Y-%m-%d %H:%M:%S} UTC"
    return None


def algorithm_problems(cert: x509.Certificate) -> "list[str]":
    """The general requirements of C2PA 2.2, 14.5.1.1 that hold for every certificate, even one in
    the private credential store: its signature algorithm and its key."""
    out = []
    oid = cert.signature_algorithm_oid.dotted_string
    name = _SIGNATURE_ALGORITHMS.get(oid)
    if name is None:
        out.append(f"the certificate is signed with {cert.signature_algorithm_oid._name} ({oid}), "
                   "which C2PA 2.2, 14.5.1.1 does not allow")
    elif name == "id-RSASSA-PSS":
        problem = _pss_problem(cert)
        if problem:
            out.append(problem)
    try:
        key = cert.public_key()
    except (ValueError, UnsupportedAlgorithm):
        return [*out, "the certificate's public key cannot be read"]
    if isinstance(key, ec.EllipticCurvePublicKey):
        if key.curve.name not in _CURVES:
            out.append(f"the certificate's key is on the curve {key.curve.name}, not P-256, P-384 or P-521")
    elif isinstance(key, rsa.RSAPublicKey):
        if key.key_size < 2048:
            out.append(f"the certificate's RSA key has {key.key_size} bits, fewer than 2048")
    elif not isinstance(key, ed25519.Ed25519PublicKey):
        out.append(f"the certificate's key is of a type C2PA does not allow ({type(key).__name__})")
    return out


def _asn1(cert: x509.Certificate) -> asn1_x509.Certificate:
    return asn1_x509.Certificate.load(der(cert))


def _pss_problem(cert: x509.Certificate) -> Optional[str]:
    try:
        params = _asn1(cert)["signature_algorithm"]["parameters"]
        if isinstance(params, asn1_core.Void) or not params.contents:
            return "the certificate's RSASSA-PSS signature has no parameters"
        hash_alg = params["hash_algorithm"]["algorithm"].native
        mgf = params["mask_gen_algorithm"]
        mgf_hash = mgf["parameters"]["algorithm"].native
    except (ValueError, KeyError, TypeError):
        return "the certificate's RSASSA-PSS parameters cannot be read"
    if not params["hash_algorithm"].contents or hash_alg not in _PSS_HASHES:
        return f"the certificate's RSASSA-PSS hash is {hash_alg}, not SHA-256, SHA-384 or SHA-512"
    if not params["mask_gen_algorithm"].contents or mgf_hash != hash_alg:
        return "the certificate's RSASSA-PSS mask generation hash differs from its hash"
    return None


def _structure_problems(cert: x509.Certificate) -> "list[str]":
    """Version, unique IDs, basic constraints, AKI, SKI and key usage (C2PA 2.2, 14.5.1.1) for any
    certificate outside the private credential store."""
    out = []
    if cert.version != x509.Version.v3:
        out.append(f"the certificate is X.509 {cert.version.name}, not v3")
    try:
        tbs = _asn1(cert)["tbs_certificate"]
        if not isinstance(tbs["issuer_unique_id"], asn1_core.Void) or not isinstance(tbs["subject_unique_id"], asn1_core.Void):
            out.append("the certificate carries an issuerUniqueID or subjectUniqueID")
    except (ValueError, KeyError, TypeError):
        out.append("the certificate's DER cannot be read")
    try:
        cert.extensions
    except ValueError as exc:
        return [*out, f"the certificate's extensions cannot be read ({exc})"]
    ca = is_ca(cert)
    ku_ext = _extension(cert, ExtensionOID.KEY_USAGE)
    if ku_ext is None:
        out.append("the certificate has no key usage extension")
    elif ku_ext.value.key_cert_sign and not ca:
        out.append("the certificate may sign certificates (keyCertSign) but is not a CA")
    self_signed = cert.issuer == cert.subject
    if not self_signed and _extension(cert, ExtensionOID.AUTHORITY_KEY_IDENTIFIER) is None:
        out.append("the certificate has no authority key identifier")
    if ca and _extension(cert, ExtensionOID.SUBJECT_KEY_IDENTIFIER) is None:
        out.append("the CA certificate has no subject key identifier")
    return out


def profile_findings(
    cert: x509.Certificate,
    at: datetime.datetime,
    *,
    purpose: str = SIGNING,
    private: bool = False,
) -> "list[Problem]":
    """Every rule of C2PA 2.2, 14.5 the end-entity certificate breaks for `purpose` (SIGNING,
    TIME_STAMPING_PURPOSE or OCSP_PURPOSE), judged at `at`. `private`: it is in the private
    credential store, where only the general requirements and the validity period apply."""
    out = [Problem("profile", m) for m in algorithm_problems(cert)]
    validity = validity_problem(cert, at)
    if validity:
        out.append(Problem("validity", validity))
    if private:
        return out
    out.extend(Problem("profile", m) for m in _structure_problems(cert))
    if is_ca(cert):
        out.append(Problem("ca", f"a CA certificate cannot sign {'claims' if purpose == SIGNING else purpose}"))
    ku_ext = _extension(cert, ExtensionOID.KEY_USAGE)
    if ku_ext is not None and not ku_ext.value.digital_signature:
        out.append(Problem("profile", "the certificate's key usage lacks digitalSignature"))
    eku_ext = _extension(cert, ExtensionOID.EXTENDED_KEY_USAGE)
    usages = list(eku_ext.value) if eku_ext is not None else []
    if not usages:
        if not is_ca(cert):
            out.append(Problem("profile", "the certificate has no extended key usage (EKU)"))
        return out
    if ANY_EKU in usages:
        out.append(Problem("profile", "the certificate allows any extended key usage (anyExtendedKeyUsage)"))
    special = [u for u in usages if u in (TIME_STAMPING, OCSP_SIGNING)]
    if special and len(usages) > 1:
        out.append(Problem("profile", "a time-stamping or OCSP-signing certificate is valid for other purposes too"))
    if purpose == SIGNING:
        if not SIGNER_EKUS & set(usages):
            names = ", ".join(u._name if u._name != "Unknown OID" else u.dotted_string for u in usages)
            out.append(Problem("profile", f"the certificate's EKU ({names}) is not one C2PA accepts for a signer "
                                          "(c2pa-kp-claimSigning, emailProtection or documentSigning)"))
        elif special:
            out.append(Problem("profile", "a time-stamping or OCSP-signing certificate cannot sign claims"))
    elif purpose == TIME_STAMPING_PURPOSE:
        if TIME_STAMPING not in usages:
            out.append(Problem("profile", "the certificate lacks the id-kp-timeStamping EKU"))
        elif eku_ext is not None and not eku_ext.critical:
            out.append(Problem("profile", "the TSA certificate's EKU is not critical (RFC 3161, 2.3)"))
    elif purpose == OCSP_PURPOSE:
        if OCSP_SIGNING not in usages:
            out.append(Problem("profile", "the certificate lacks the id-kp-OCSPSigning EKU"))
    return out


def profile_problems(certificate: x509.Certificate, at: datetime.datetime, *, time_stamping: bool = False) -> "list[str]":
    """One line per rule of C2PA 2.2, 14.5 that the end-entity certificate breaks at `at`: expired,
    not yet valid, no EKU or the wrong EKU, a CA certificate, no digitalSignature, not v3, an
    algorithm or key C2PA does not allow... An empty list means it is fit to sign claims (or, with
    `time_stamping`, time-stamps)."""
    purpose = TIME_STAMPING_PURPOSE if time_stamping else SIGNING
    return [p.message for p in profile_findings(certificate, at, purpose=purpose)]


# ---------------------------------------------------------------------------------------------
# Chains


@dataclass
class Chain:
    """A path from an end-entity certificate to an anchor: `certificates[0]` the end entity,
    `certificates[-1]` the anchor (which may be an intermediate that a trust list names)."""

    certificates: "list[x509.Certificate]"

    @property
    def anchor(self) -> x509.Certificate:
        return self.certificates[-1]


class ChainError(ValueError):
    """No acceptable path to an anchor, with a one-line reason."""


def issued_by(cert: x509.Certificate, issuer: x509.Certificate) -> bool:
    """The issuer's name matches and its key verifies the certificate's signature."""
    if cert.issuer != issuer.subject:
        return False
    try:
        cert.verify_directly_issued_by(issuer)
    except (InvalidSignature, ValueError, TypeError, UnsupportedAlgorithm):
        return False
    return True


def _ca_problem(ca: x509.Certificate, below: int) -> Optional[str]:
    """Why `ca` cannot issue (RFC 5280, 6.1.4 (k), (l), (n)), with `below` CAs under it in the path."""
    ext = _extension(ca, ExtensionOID.BASIC_CONSTRAINTS)
    cn = common_name(ca)
    if ext is None or not ext.value.ca:
        return f"{cn} issued a certificate but is not a CA"
    if ext.value.path_length is not None and below > ext.value.path_length:
        return f"{cn} allows {ext.value.path_length} CAs below it, the chain has {below}"
    ku = _extension(ca, ExtensionOID.KEY_USAGE)
    if ku is not None and not ku.value.key_cert_sign:
        return f"{cn} may not sign certificates (no keyCertSign)"
    problems = algorithm_problems(ca)
    if problems:
        return f"{cn}: {problems[0]}"
    return None


def common_name(cert: x509.Certificate) -> str:
    """The certificate's subject common name (else its whole subject) for a message: quoted, cut
    to 80 characters."""
    try:
        names = cert.subject.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    except ValueError:
        names = []
    value = names[0].value if names else cert.subject.rfc4514_string()
    text = value if isinstance(value, str) else value.decode("latin-1")
    return repr(text[:80])


def build_chain(
    end_entity: x509.Certificate,
    intermediates: Sequence[x509.Certificate],
    anchors: Iterable[x509.Certificate],
) -> Chain:
    """A path from `end_entity` through the untrusted `intermediates` (the rest of x5chain, or a
    time-stamp's certificates) to one of `anchors`, each CA checked as RFC 5280, 6 does (cA, path
    length, keyCertSign, signature) and by C2PA 2.2, 14.5.1.1's algorithms. Validity in time is left
    to `validity_problems`, since its failure has a code of its own. Raises ChainError."""
    anchors = list(anchors)
    anchor_ders = {der(a) for a in anchors}
    pool = list(intermediates)[:MAX_CANDIDATES]
    path = [end_entity]
    reason = "no trust anchor issued it"
    checks = 0

    def issued(cert: x509.Certificate, issuer: x509.Certificate) -> bool:
        nonlocal checks
        if cert.issuer != issuer.subject:
            return False
        checks += 1
        if checks > MAX_ISSUER_CHECKS:
            raise ChainError(f"building the chain takes more than {MAX_ISSUER_CHECKS} signature checks")
        return issued_by(cert, issuer)

    def extend() -> bool:
        nonlocal reason
        current = path[-1]
        below = len(path) - 2  # CAs between the end entity and the next issuer
        if len(path) > 1 and der(current) in anchor_ders:
            return True
        if len(path) > MAX_CHAIN:
            reason = f"the chain is longer than {MAX_CHAIN} certificates"
            return False
        for anchor in anchors:
            if issued(current, anchor):
                # An anchor is trusted by configuration, but must still be able to issue: a
                # self-made end-entity certificate named as an anchor does not become a CA (C2PA 2.2,
                # 14.4.3 keeps end entities to the private credential store).
                problem = _ca_problem(anchor, below + 1)
                if problem:
                    reason = problem
                    continue
                path.append(anchor)
                return True
        for candidate in pool:
            if any(candidate is c for c in path) or not issued(current, candidate):
                continue
            problem = _ca_problem(candidate, below + 1)
            if problem:
                reason = problem
                continue
            path.append(candidate)
            if extend():
                return True
            path.pop()
        return False

    if extend():
        return Chain(path)
    raise ChainError(reason)


def validity_problems(chain: Chain, at: datetime.datetime, end_entity: str = "signer's certificate") -> "list[str]":
    """The certificates of the chain outside their validity period at `at` (C2PA 2.2, 15.8.2: the
    signer's certificate and all CA certificates up to the trust anchor)."""
    out = []
    for index, cert in enumerate(chain.certificates):
        what = end_entity if index == 0 else f"CA certificate {common_name(cert)}"
        problem = validity_problem(cert, at, what)
        if problem:
            out.append(problem)
    return out
