"""The trust a validator extends (C2PA 2.2, 14.4): anchors for claim signers, anchors for
time-stamp authorities, and a private credential store of end-entity certificates trusted directly.

The C2PA Trust List and the C2PA TSA Trust List ship in `data/` (see data/TRUST-LISTS.txt for their
source and licence); nothing is fetched at run time. Users add their own PEM anchors.

Anchors and EKUs (C2PA 2.2, 14.4.1 and 14.5.1.2: a validator keeps, per accepted EKU, a list of
anchors and uses only the anchors of the EKUs a signer's certificate has): the bundled C2PA Trust
List is the list of c2pa-kp-claimSigning; anchors the user adds serve every accepted signer EKU
(c2pa-kp-claimSigning, and the id-kp-emailProtection and id-kp-documentSigning that earlier versions
of the standard required and 14.4.1 names as examples), since a user who names an anchor means
"trust what it issued for C2PA".
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Union

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import ExtendedKeyUsageOID, ObjectIdentifier

# The lists' issue dates live where importing them costs nothing (`quillmark --version`).
from .trust_lists import TRUST_LIST_ISSUED as TRUST_LIST_ISSUED
from .trust_lists import TRUST_LIST_NEXT_UPDATE as TRUST_LIST_NEXT_UPDATE

DATA = Path(__file__).resolve().parent / "data"
TRUST_LIST = DATA / "C2PA-TRUST-LIST.pem"
TSA_TRUST_LIST = DATA / "C2PA-TSA-TRUST-LIST.pem"

C2PA_CLAIM_SIGNING = ObjectIdentifier("1.3.6.1.4.1.62558.2.1")
EMAIL_PROTECTION = ExtendedKeyUsageOID.EMAIL_PROTECTION
DOCUMENT_SIGNING = ObjectIdentifier("1.3.6.1.5.5.7.3.36")
# The EKUs a claim signer's certificate may be trusted for (C2PA 2.2, 14.4.1).
SIGNER_EKUS: "frozenset[ObjectIdentifier]" = frozenset({C2PA_CLAIM_SIGNING, EMAIL_PROTECTION, DOCUMENT_SIGNING})

# A PEM file of anchors is read whole; one larger than this is not a list of certificates.
MAX_PEM_BYTES = 16 * 1024 * 1024


class TrustError(ValueError):
    """A trust file that cannot be used, with a one-line reason."""


def load_pem_certificates(path: Union[str, Path]) -> "list[x509.Certificate]":
    """Every certificate in a PEM file (text between the certificates, as the C2PA lists carry, is
    ignored). Raises TrustError when the file cannot be read or holds no certificate."""
    p = Path(path)
    try:
        size = p.stat().st_size
        if size > MAX_PEM_BYTES:
            raise TrustError(f"{p}: {size} bytes is more than a list of certificates ({MAX_PEM_BYTES} at most)")
        data = p.read_bytes()
    except OSError as exc:
        raise TrustError(f"{p}: {exc.strerror or exc}") from None
    return parse_pem_certificates(data, str(p))


def parse_pem_certificates(data: bytes, name: str = "PEM") -> "list[x509.Certificate]":
    """Every certificate in PEM text; TrustError when there is none or one is damaged."""
    from .credentials import load_certificate

    try:
        certificates = x509.load_pem_x509_certificates(data)
    except ValueError as exc:
        raise TrustError(f"{name}: no readable PEM certificate ({exc})") from None
    if not certificates:
        raise TrustError(f"{name}: no PEM certificate")
    out = []
    for index, certificate in enumerate(certificates, 1):
        try:
            out.append(load_certificate(der(certificate)))
        except ValueError as exc:
            raise TrustError(f"{name}: certificate {index} cannot be read ({exc})") from None
    return out


@functools.lru_cache(maxsize=None)
def bundled_anchors() -> "tuple[x509.Certificate, ...]":
    """The C2PA Trust List shipped in data/."""
    return tuple(load_pem_certificates(TRUST_LIST))


@functools.lru_cache(maxsize=None)
def bundled_tsa_anchors() -> "tuple[x509.Certificate, ...]":
    """The C2PA TSA Trust List shipped in data/."""
    return tuple(load_pem_certificates(TSA_TRUST_LIST))


def der(certificate: x509.Certificate) -> bytes:
    return certificate.public_bytes(serialization.Encoding.DER)


# What TrustSettings takes for a list of certificates: the certificates, or the path of a PEM file.
Certificates = Union[None, str, Path, Iterable[x509.Certificate]]


def _certificates(value: Certificates) -> "tuple[x509.Certificate, ...]":
    if value is None:
        return ()
    if isinstance(value, (str, Path)):
        return tuple(load_pem_certificates(value))
    out = tuple(value)
    for item in out:
        if not isinstance(item, x509.Certificate):
            raise TypeError(f"expected certificates, got {type(item).__name__}")
    return out


@dataclass(frozen=True, init=False)
class TrustSettings:
    """What a validation trusts.

    anchors: extra trust anchors for claim signers (certificates, or a PEM path);
    tsa_anchors: extra trust anchors for time-stamp authorities;
    end_entities: the private credential store (C2PA 2.2, 14.4.3): signers' own certificates trusted
        directly; they never act as CAs and never vouch for a time-stamp;
    bundled: whether the C2PA Trust List and TSA Trust List shipped with quillmark count.
    """

    anchors: "tuple[x509.Certificate, ...]"
    tsa_anchors: "tuple[x509.Certificate, ...]"
    end_entities: "tuple[x509.Certificate, ...]"
    bundled: bool
    _end_entity_ders: "frozenset[bytes]" = field(repr=False, compare=False)

    # Written out rather than generated, so that type checkers take a path where a list of
    # certificates goes, as the class does.
    def __init__(self, anchors: Certificates = (), tsa_anchors: Certificates = (), end_entities: Certificates = (),
                 bundled: bool = True) -> None:  # fmt: skip
        object.__setattr__(self, "anchors", _certificates(anchors))
        object.__setattr__(self, "tsa_anchors", _certificates(tsa_anchors))
        object.__setattr__(self, "end_entities", _certificates(end_entities))
        object.__setattr__(self, "bundled", bundled)
        object.__setattr__(self, "_end_entity_ders", frozenset(der(c) for c in self.end_entities))

    def signer_anchors(self, ekus: Iterable[ObjectIdentifier]) -> "list[x509.Certificate]":
        """The anchors that may vouch for a signer whose certificate has these EKUs (C2PA 2.2,
        14.5.1.2: only the anchors associated with the certificate's EKUs)."""
        ekus = set(ekus)
        out: list[x509.Certificate] = []
        if ekus & SIGNER_EKUS:
            out.extend(self.anchors)
        if self.bundled and C2PA_CLAIM_SIGNING in ekus:
            out.extend(bundled_anchors())
        return out

    def time_stamp_anchors(self) -> "list[x509.Certificate]":
        """The anchors for time-stamp authorities (C2PA 2.2, 14.4.2); never the private store."""
        return [*self.tsa_anchors, *(bundled_tsa_anchors() if self.bundled else ())]

    def trusts_directly(self, certificate: x509.Certificate) -> bool:
        """Whether the signer's certificate is in the private credential store (C2PA 2.2, 14.4.3),
        compared byte for byte."""
        return bool(self._end_entity_ders) and der(certificate) in self._end_entity_ders
