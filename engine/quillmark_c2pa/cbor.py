"""CBOR as C2PA uses it."""

from __future__ import annotations

from typing import Any

import cbor2


def encode(value: Any) -> bytes:
    """Deterministic CBOR (RFC 8949, 4.2.1), as C2PA 2.2 asks of claims (10.1) and assertions (18.1)."""
    return cbor2.dumps(value, canonical=True)
