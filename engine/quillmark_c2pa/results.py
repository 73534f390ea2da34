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


@dataclass
class IngredientDelta:
    """How an ingredient manifest's validation today differs from what its ingredient assertion
    recorded (C2PA 2.2, 15.2.1, `ingredient-delta-validation-result-map`)."""

    ingredient_assertion_uri: str
    validation_deltas: StatusCodes

    def as_json(self) -> dict[str, Any]:
        return {
            "ingredientAssertionURI": self.ingredient_assertion_uri,
            "validationDeltas": self.validation_deltas.as_json(),
        }


@dataclass
class ValidationResults:
    """The consolidated results of validating an asset (C2PA 2.2, 15.2.1, `validation-results-map`):
    the active manifest's status codes, and the ingredient deltas."""

    active_manifest: StatusCodes = field(default_factory=StatusCodes)
    ingredient_deltas: list[IngredientDelta] = field(default_factory=list)

    def as_json(self) -> dict[str, Any]:
        return {
            "activeManifest": self.active_manifest.as_json(),
            "ingredientDeltas": [d.as_json() for d in self.ingredient_deltas],
        }


def recorded_codes(value: Any) -> Optional[StatusCodes]:
    """Status maps as a claim generator recorded them in an ingredient assertion: a
    `status-codes-map` (v3's validationResults.activeManifest) or a list of status maps (v1 and
    v2's validationStatus). Codes this module does not know are sorted by the deprecated `success`
    flag when there is one, else as failures. None when the value has neither form."""
    items: list[Any] = []
    if isinstance(value, dict):
        for part in (status.SUCCESS, status.INFORMATIONAL, status.FAILURE):
            listed = value.get(part)
            if not isinstance(listed, list):
                return None
            items += listed
    elif isinstance(value, list):
        items = value
    else:
        return None
    codes = StatusCodes()
    for item in items:
        if not isinstance(item, dict) or not isinstance(item.get("code"), str):
            continue
        url = item.get("url") if isinstance(item.get("url"), str) else None
        explanation = item.get("explanation") if isinstance(item.get("explanation"), str) else None
        entry = StatusEntry(item["code"], url, explanation)
        kind = status.KIND.get(entry.code) or (status.SUCCESS if item.get("success") is True else status.FAILURE)
        getattr(codes, kind).append(entry)
    return codes
