"""A test PKI made with `cryptography`, each item made once per process (functools caches), so tests
sign for real without slowing the suite.

    import pki
    pki.NOW                        # the process's reference time (UTC, whole seconds)
    pki.root()                     # the test root CA certificate: use it as a trust anchor
    pki.intermediate()             # (key, certificate) of the CA below it that issues the leaves
    pki.leaf("ES256")              # (key, [leaf, intermediate]): a signer for each of
                                   #   pki.ALGORITHMS (ES256/384/512 on P-256/384/521, PS256/384/512
                                   #   on one RSA-2048 key, Ed25519), with the C2PA 2.2, 14.5 profile
    pki.bad("expired")             # (key, chain) of a signer that breaks one rule; pki.BAD names them
    pki.untrusted_root()           # the root above pki.bad("untrusted")
    pki.tsa()                      # (key, [tsa certificate, tsa root]): a TSA certificate with the
                                   #   critical id-kp-timeStamping EKU alone (C2PA 2.2, 14.5.1.1)
    pki.tsa_root()                 # the TSA's root: use it as a TSA trust anchor
    pki.untrusted_tsa()            # (key, [certificate]) of a TSA under no anchor
    pki.ocsp_responder()           # (key, certificate) of an OCSP responder the intermediate authorised
    pki.write_chain(folder, chain, name="chain.pem") -> Path   # PEM certificates
    pki.write_key(folder, key, name="key.pem", password=None) -> Path

Validity periods are relative to NOW: CAs from NOW - 5 years to NOW + 20 years, leaves and the TSA
from NOW - 30 days to NOW + 1 year, "expired" from NOW - 2 years to NOW - 1 year, "not_yet_valid"
from NOW + 1 year to NOW + 2 years. So a signature time-stamped now is still valid when judged at
NOW + 2 years by its stamp's time, and not without it.
"""

from __future__ import annotations

import datetime
import functools
from pathlib import Path
from typing import Any, Optional

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID, ObjectIdentifier

NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
DAY = datetime.timedelta(days=1)
YEAR = datetime.timedelta(days=365)

ALGORITHMS = ("ES256", "ES384", "ES512", "PS256", "PS384", "PS512", "Ed25519")

C2PA_CLAIM_SIGNING = ObjectIdentifier("1.3.6.1.4.1.62558.2.1")  # C2PA 2.2, 14.4.1
EMAIL_PROTECTION = ExtendedKeyUsageOID.EMAIL_PROTECTION
TIME_STAMPING = ExtendedKeyUsageOID.TIME_STAMPING
OCSP_SIGNING = ExtendedKeyUsageOID.OCSP_SIGNING

# Each bad signer breaks one rule of C2PA 2.2, 14.5 (or 14.5.1.2 for the chain).
BAD = (
    "expired",  # notAfter before NOW
    "not_yet_valid",  # notBefore after NOW
    "wrong_eku",  # only id-kp-serverAuth: no EKU a C2PA signer may have
    "no_eku",  # no Extended Key Usage extension at all
    "any_eku",  # anyExtendedKeyUsage, which the profile forbids
    "ca",  # a CA certificate (cA asserted, keyCertSign) used as the signer
    "no_digital_signature",  # key usage without digitalSignature
    "untrusted",  # a sound leaf below a root no one trusts
)

_SHA256 = hashes.SHA256()


def _name(cn: str) -> x509.Name:
    return x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "XX"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "quillmark tests"),
        x509.NameAttribute(NameOID.COMMON_NAME, cn),
    ])


@functools.lru_cache(maxsize=None)
def _key(kind: str) -> Any:
    """A private key per name; the name says the type: ec256/ec384/ec521/rsa/ed25519, any suffix
    gives another key of the same type."""
    if kind.startswith("ec256"):
        return ec.generate_private_key(ec.SECP256R1())
    if kind.startswith("ec384"):
        return ec.generate_private_key(ec.SECP384R1())
    if kind.startswith("ec521"):
        return ec.generate_private_key(ec.SECP521R1())
    if kind.startswith("rsa"):
        return rsa.generate_private_key(public_exponent=65537, key_size=2048)
    if kind.startswith("ed25519"):
        return ed25519.Ed25519PrivateKey.generate()
    raise ValueError(kind)


def _hash_for(key: Any) -> Optional[hashes.HashAlgorithm]:
    return None if isinstance(key, ed25519.Ed25519PrivateKey) else _SHA256


def make_certificate(
    subject: str,
    public_key: Any,
    issuer_key: Any,
    issuer: Optional[x509.Certificate] = None,
    *,
    ca: bool = False,
    path_length: Optional[int] = None,
    not_before: datetime.datetime = NOW - 30 * DAY,
    not_after: datetime.datetime = NOW + YEAR,
    ekus: Optional[list] = None,
    eku_critical: bool = False,
    digital_signature: bool = True,
    key_cert_sign: Optional[bool] = None,
    extra: Optional[list] = None,
) -> x509.Certificate:
    """One certificate; `issuer=None` makes it self-signed. Exposed for tests that need a
    certificate none of the ready-made ones is."""
    name = _name(subject)
    builder = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(issuer.subject if issuer is not None else name)
        .public_key(public_key)
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=ca, path_length=path_length if ca else None), critical=True)
    )
    sign_certs = ca if key_cert_sign is None else key_cert_sign
    builder = builder.add_extension(
        x509.KeyUsage(
            digital_signature=digital_signature,
            content_commitment=False,
            key_encipherment=False,
            data_encipherment=False,
            key_agreement=False,
            key_cert_sign=sign_certs,
            crl_sign=ca,
            encipher_only=False,
            decipher_only=False,
        ),
        critical=True,
    )
    builder = builder.add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False)
    if issuer is not None:
        builder = builder.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer.public_key()), critical=False
        )
    if ekus:
        builder = builder.add_extension(x509.ExtendedKeyUsage(ekus), critical=eku_critical)
    for ext, critical in extra or ():
        builder = builder.add_extension(ext, critical=critical)
    return builder.sign(issuer_key, _hash_for(issuer_key))


# ---- the trusted hierarchy ------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _root() -> "tuple[Any, x509.Certificate]":
    key = _key("ec256-root")
    cert = make_certificate(
        "quillmark test root CA", key.public_key(), key, ca=True, digital_signature=False,
        not_before=NOW - 5 * YEAR, not_after=NOW + 20 * YEAR,
    )
    return key, cert


def root() -> x509.Certificate:
    """The test root CA: the trust anchor of every good leaf."""
    return _root()[1]


@functools.lru_cache(maxsize=None)
def intermediate() -> "tuple[Any, x509.Certificate]":
    """(key, certificate) of the intermediate CA that issues every leaf of the trusted hierarchy."""
    root_key, root_cert = _root()
    key = _key("ec256-intermediate")
    cert = make_certificate(
        "quillmark test intermediate CA", key.public_key(), root_key, root_cert, ca=True, path_length=0,
        digital_signature=False, not_before=NOW - 5 * YEAR, not_after=NOW + 20 * YEAR,
    )
    return key, cert


_LEAF_KEYS = {
    "ES256": "ec256", "ES384": "ec384", "ES512": "ec521",
    "PS256": "rsa", "PS384": "rsa", "PS512": "rsa", "Ed25519": "ed25519",
}


@functools.lru_cache(maxsize=None)
def _leaf_for_key(key_kind: str) -> "tuple[Any, list]":
    ca_key, ca_cert = intermediate()
    key = _key(key_kind)
    cert = make_certificate(
        f"quillmark test signer ({key_kind})", key.public_key(), ca_key, ca_cert,
        ekus=[C2PA_CLAIM_SIGNING, EMAIL_PROTECTION],
    )
    return key, [cert, ca_cert]


def leaf(alg: str = "ES256") -> "tuple[Any, list[x509.Certificate]]":
    """(private key, [leaf, intermediate]) of a sound signer for `alg`. The three PS algorithms share
    one RSA-2048 key and certificate (RSA keys are slow to make and fit all three)."""
    if alg not in _LEAF_KEYS:
        raise ValueError(f"no test signer for {alg}; one of {', '.join(ALGORITHMS)}")
    key, chain = _leaf_for_key(_LEAF_KEYS[alg])
    return key, list(chain)


@functools.lru_cache(maxsize=None)
def _untrusted() -> "tuple[Any, x509.Certificate]":
    key = _key("ec256-untrusted-root")
    cert = make_certificate(
        "quillmark untrusted root CA", key.public_key(), key, ca=True, digital_signature=False,
        not_before=NOW - 5 * YEAR, not_after=NOW + 20 * YEAR,
    )
    return key, cert


def untrusted_root() -> x509.Certificate:
    """A root CA that is no anchor of any test: it issues pki.bad("untrusted")."""
    return _untrusted()[1]


@functools.lru_cache(maxsize=None)
def _bad(kind: str) -> "tuple[Any, list]":
    ca_key, ca_cert = intermediate()
    key = _key(f"ec256-bad-{kind}")
    pub = key.public_key()
    good_ekus = [C2PA_CLAIM_SIGNING, EMAIL_PROTECTION]
    subject = f"quillmark test signer ({kind})"
    if kind == "expired":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ekus=good_ekus,
                                not_before=NOW - 2 * YEAR, not_after=NOW - YEAR)
    elif kind == "not_yet_valid":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ekus=good_ekus,
                                not_before=NOW + YEAR, not_after=NOW + 2 * YEAR)
    elif kind == "wrong_eku":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ekus=[ExtendedKeyUsageOID.SERVER_AUTH])
    elif kind == "no_eku":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ekus=None)
    elif kind == "any_eku":
        cert = make_certificate(subject, pub, ca_key, ca_cert,
                                ekus=[C2PA_CLAIM_SIGNING, ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE])
    elif kind == "ca":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ca=True, path_length=0, ekus=good_ekus)
    elif kind == "no_digital_signature":
        cert = make_certificate(subject, pub, ca_key, ca_cert, ekus=good_ekus, digital_signature=False)
    elif kind == "untrusted":
        ukey, ucert = _untrusted()
        cert = make_certificate(subject, pub, ukey, ucert, ekus=good_ekus)
        return key, [cert]
    else:
        raise ValueError(f"no bad signer {kind!r}; one of {', '.join(BAD)}")
    return key, [cert, ca_cert]


def bad(kind: str) -> "tuple[Any, list[x509.Certificate]]":
    """(private key, chain) of an ES256 signer that breaks one rule: one of pki.BAD."""
    key, chain = _bad(kind)
    return key, list(chain)


# ---- time-stamping and OCSP -----------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _tsa_root() -> "tuple[Any, x509.Certificate]":
    key = _key("ec256-tsa-root")
    cert = make_certificate(
        "quillmark test TSA root", key.public_key(), key, ca=True, digital_signature=False,
        not_before=NOW - 5 * YEAR, not_after=NOW + 20 * YEAR,
    )
    return key, cert


def tsa_root() -> x509.Certificate:
    """The root of the test TSA: a TSA trust anchor, not a signer anchor."""
    return _tsa_root()[1]


@functools.lru_cache(maxsize=None)
def _tsa() -> "tuple[Any, list]":
    root_key, root_cert = _tsa_root()
    key = _key("ec256-tsa")
    cert = make_certificate(
        "quillmark test TSA", key.public_key(), root_key, root_cert,
        ekus=[TIME_STAMPING], eku_critical=True, not_before=NOW - YEAR, not_after=NOW + 5 * YEAR,
    )
    return key, [cert, root_cert]


def tsa() -> "tuple[Any, list[x509.Certificate]]":
    """(key, [TSA certificate, TSA root]) of the test TSA (ES256, critical id-kp-timeStamping)."""
    key, chain = _tsa()
    return key, list(chain)


@functools.lru_cache(maxsize=None)
def _untrusted_tsa() -> "tuple[Any, list]":
    key = _key("ec256-untrusted-tsa")
    ukey, ucert = _untrusted()
    cert = make_certificate(
        "quillmark untrusted TSA", key.public_key(), ukey, ucert,
        ekus=[TIME_STAMPING], eku_critical=True, not_before=NOW - YEAR, not_after=NOW + 5 * YEAR,
    )
    return key, [cert, ucert]


def untrusted_tsa() -> "tuple[Any, list[x509.Certificate]]":
    """(key, [certificate, its root]) of a TSA below pki.untrusted_root(), which no test trusts."""
    key, chain = _untrusted_tsa()
    return key, list(chain)


@functools.lru_cache(maxsize=None)
def ocsp_responder() -> "tuple[Any, x509.Certificate]":
    """(key, certificate) of an OCSP responder the intermediate authorised (id-kp-OCSPSigning,
    RFC 6960, 4.2.2.2): it may answer for every leaf of the trusted hierarchy."""
    ca_key, ca_cert = intermediate()
    key = _key("ec256-ocsp")
    cert = make_certificate(
        "quillmark test OCSP responder", key.public_key(), ca_key, ca_cert, ekus=[OCSP_SIGNING],
    )
    return key, cert


# ---- files ----------------------------------------------------------------------------------------

def chain_pem(chain: "list[x509.Certificate]") -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in chain)


def key_pem(key: Any, password: Optional[bytes] = None) -> bytes:
    encryption: serialization.KeySerializationEncryption = (
        serialization.BestAvailableEncryption(password) if password else serialization.NoEncryption()
    )
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)


def write_chain(folder: "Path | str", chain: "list[x509.Certificate] | x509.Certificate",
                name: str = "chain.pem") -> Path:
    """Write certificates as PEM into folder/name; returns the path."""
    if isinstance(chain, x509.Certificate):
        chain = [chain]
    path = Path(folder) / name
    path.write_bytes(chain_pem(chain))
    return path


def write_key(folder: "Path | str", key: Any, name: str = "key.pem", password: Optional[bytes] = None) -> Path:
    """Write a private key as PKCS#8 PEM (encrypted when `password` is given); returns the path."""
    path = Path(folder) / name
    path.write_bytes(key_pem(key, password))
    return path
