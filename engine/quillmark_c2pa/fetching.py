"""Reading the answer of a server the engine asks (a time-stamp authority, an OCSP responder)
within one deadline for the whole answer."""

from __future__ import annotations

import time
from typing import Any, Optional


def read_answer(response: Any, limit: int, deadline: float) -> Optional[bytes]:
    """At most `limit` + 1 bytes of an HTTP `response` (urllib's), read before `deadline` (a
    time.monotonic() value); None when the deadline passes first. A socket's timeout bounds each
    wait alone, so a server sending a byte at a time would otherwise hold the caller for as long
    as its answer lasts."""
    answer = bytearray()
    while len(answer) <= limit:
        if time.monotonic() > deadline:
            return None
        chunk = response.read1(limit + 1 - len(answer))
        if not chunk:
            break
        answer += chunk
    return bytes(answer)
