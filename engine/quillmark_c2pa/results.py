"""Validation results in the form of C2PA 2.2, 15.2.1: status maps sorted into success,
informational and failure lists, per manifest."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

from . import status


@dataclass(frozen=True)
class StatusEntry:
    """One status map (C2PA 2.2, 15.2.1, `status-map`): the code, the JUMBF URI of what it is
    about, and a human-readable explanation."""

    code: str
    url: Optional[str] = None
    explanation: Optional[str] = None

    @property
    def kind(self) -> str:
        """success, informational or failure (C2PA 2.2, 15.2.2)."""
        return status.KIND[self.code]

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"code": self.code}
        if self.url is not None:
            out["url"] = self.url
        if self.explanation is not None:
            out["explanation"] = self.explanation
        return out


@dataclass
class StatusCodes:
    """The status maps of one manifest, by kind (C2PA 2.2, 15.2.1, `status-codes-map`)."""

    success: list[StatusEntry] = field(default_factory=list)
    informational: list[StatusEntry] = field(default_factory=list)
    failure: list[StatusEntry] = field(default_factory=list)

    def add(self, code: str, url: Optional[str] = None, explanation: Optional[str] = None) -> StatusEntry:
        entry = StatusEntry(code, url, explanation)
        self.extend([entry])
        return entry

    def extend(self, entries: "list[StatusEntry]") -> None:
        for entry in entries:
            getattr(self, entry.kind).append(entry)

    @property
    def entries(self) -> list[StatusEntry]:
        return [*self.success, *self.informational, *self.failure]

    def as_json(self) -> dict[str, Any]:
        return {
            "success": [e.as_json() for e in self.success],
            "informational": [e.as_json() for e in self.informational],
            "failure": [e.as_json() for e in self.failure],
        }
