"""quillmark's C2PA engine: builds, signs and validates C2PA Manifest Stores for fonts.

    from quillmark_c2pa import validate, sign

It knows nothing of the command line and never prints; `quillmark check`, `show` and `sign` are
thin layers over it. Names are imported when first used, so that importing the package costs
next to nothing.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

# The one place the version is written: the build reads it from here.
__version__ = "0.2.0"

# Public name -> the module that defines it.
_EXPORTS = {
    "validate": "validation",
    "FontValidation": "validation",
    "ManifestReport": "validation",
    "ValidationResults": "results",
    "StatusCodes": "results",
    "StatusEntry": "results",
    "TrustSettings": "trust",
    "sign": "signing",
    "ManifestDefinition": "definition",
    "Signer": "signers",
    "PemSigner": "signers",
    "CommandSigner": "signers",
    "SignResult": "signing",
    "sign_font": "signing",
    "SigningError": "signing",
    "SignerError": "signers",
    "DefinitionError": "definition",
    "validate_signature": "signature",
    "SignatureReport": "signature",
    "load_pem_certificates": "trust",
    "TrustError": "trust",
    "TRUST_LIST_ISSUED": "trust_lists",
}

if TYPE_CHECKING:  # type checkers see the names as they are; at run time they come from __getattr__
    from .definition import DefinitionError, ManifestDefinition
    from .results import StatusCodes, StatusEntry, ValidationResults
    from .signature import SignatureReport, validate_signature
    from .signers import CommandSigner, PemSigner, Signer, SignerError
    from .signing import SignResult, SigningError, sign, sign_font
    from .trust import TrustError, TrustSettings, load_pem_certificates
    from .trust_lists import TRUST_LIST_ISSUED
    from .validation import FontValidation, ManifestReport, validate

__all__ = ["__version__", *_EXPORTS]


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'quillmark_c2pa' has no attribute {name!r}")
    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(__all__)
