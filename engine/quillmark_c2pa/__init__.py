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

# Type checkers see each name with its type (the `as` form marks it exported, as --strict asks);
# at run time the names come from __getattr__.
if TYPE_CHECKING:
    from .definition import DefinitionError as DefinitionError, ManifestDefinition as ManifestDefinition
    from .results import (
        StatusCodes as StatusCodes,
        StatusEntry as StatusEntry,
        ValidationResults as ValidationResults,
    )
    from .signature import SignatureReport as SignatureReport, validate_signature as validate_signature
    from .signers import (
        CommandSigner as CommandSigner,
        PemSigner as PemSigner,
        Signer as Signer,
        SignerError as SignerError,
    )
    from .signing import SignResult as SignResult, SigningError as SigningError, sign as sign, sign_font as sign_font
    from .trust import (
        TrustError as TrustError,
        TrustSettings as TrustSettings,
        load_pem_certificates as load_pem_certificates,
    )
    from .trust_lists import TRUST_LIST_ISSUED as TRUST_LIST_ISSUED
    from .validation import FontValidation as FontValidation, ManifestReport as ManifestReport, validate as validate

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
