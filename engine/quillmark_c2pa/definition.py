"""A manifest definition: what the user adds to each manifest quillmark signs, in the JSON form
C2PA tools commonly take.

    {
      "title": "Acme Sans Regular",
      "claim_generator_info": [{"name": "Acme Font Pipeline", "version": "3.1"}],
      "digital_source_type": "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation",
      "assertions": [
        {"label": "com.acme.release", "data": {"channel": "retail", "build": 412}}
      ]
    }

- `title` becomes the claim's `dc:title` (C2PA 2.2, 10.2.2).
- `claim_generator_info` (a map, or a list of maps as tools write it for the first claim version)
  names the software that drove quillmark: it is recorded as the `softwareAgent` of the actions
  quillmark writes (C2PA 2.2, 18.14.4.4), while the claim's own `claim_generator_info` names
  quillmark, which generates the claim. Its fields other than name and version that are
  namespaced (`com.acme.build`) or `operating_system` are added to the claim's map too.
- `digital_source_type`: the `digitalSourceType` of `c2pa.created` (C2PA 2.2, 18.14.4.5); by
  default IPTC's digitalCreation (made by a person with digital tools), which is what a designed
  font is.
- `assertions`: each `{"label", "data"}` becomes a CBOR assertion of the created assertions. The
  labels quillmark writes itself (actions, font.info, ingredients, hard bindings) are refused:
  an actions assertion of the user's own would make a second one (C2PA 2.2, 18.14.2 counts the
  first).

Problems are DefinitionError with a one-line message naming the field.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from . import cbor
from .store import base_label

DIGITAL_CREATION = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"

# C2PA 2.2, 6.2.2: a namespace ("c2pa" or an entity of dotted components) and one or more
# components; "__N" marks a further instance of a label (6.4).
LABEL = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(\.[A-Za-z0-9][A-Za-z0-9_-]*)+(__[0-9]+)?")
NAMESPACED = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(\.[A-Za-z0-9][A-Za-z0-9_-]*)+")

# Labels quillmark writes itself; a definition may not add one of them (by their base, without
# a version or an instance number).
RESERVED = (
    "c2pa.actions",
    "c2pa.ingredient",
    "c2pa.hash.",
    "font.info",
    "c2pa.claim",
    "c2pa.signature",
    "c2pa.assertions",
)

MAX_TEXT = 1024  # a title or a name: longer text is most likely not what was meant
MAX_DEPTH = cbor.MAX_DEPTH  # lists and maps open at once in an assertion's data


class DefinitionError(ValueError):
    """A manifest definition that cannot be used; the message names the field."""


@dataclass
class Assertion:
    label: str
    data: Any


@dataclass
class ManifestDefinition:
    """What a user adds to every manifest; see the module's text for the JSON form."""

    title: Optional[str] = None
    claim_generator_info: "list[dict[str, Any]]" = field(default_factory=list)
    digital_source_type: str = DIGITAL_CREATION
    assertions: "list[Assertion]" = field(default_factory=list)

    def __post_init__(self) -> None:
        check(self)

    @classmethod
    def from_json(cls, value: "Union[str, bytes, dict[str, Any]]") -> "ManifestDefinition":
        """From JSON text or an already-parsed object."""
        if not isinstance(value, dict):
            try:
                value = json.loads(value)
            except (ValueError, UnicodeDecodeError) as e:
                raise DefinitionError(f"the manifest definition is not JSON: {e}") from None
            except RecursionError:
                raise DefinitionError(
                    f"the manifest definition nests too deep to read (an assertion's data may nest {MAX_DEPTH} deep)"
                ) from None
        if not isinstance(value, dict):
            raise DefinitionError("the manifest definition is not a JSON object")
        known = {"title", "claim_generator_info", "digital_source_type", "assertions"}
        unknown = sorted(set(value) - known)
        if unknown:
            raise DefinitionError(f"the manifest definition has an unknown field {unknown[0]!r}")
        info = value.get("claim_generator_info", [])
        if isinstance(info, dict):
            info = [info]
        raw = value.get("assertions", [])
        if not isinstance(raw, list):
            raise DefinitionError("'assertions' is not a list")
        assertions = []
        for i, item in enumerate(raw):
            if not isinstance(item, dict) or set(item) - {"label", "data"} or "label" not in item or "data" not in item:
                raise DefinitionError(f"assertion {i + 1} is not an object of 'label' and 'data'")
            assertions.append(Assertion(item["label"], item["data"]))
        return cls(
            title=value.get("title"),
            claim_generator_info=info,
            digital_source_type=value.get("digital_source_type", DIGITAL_CREATION),
            assertions=assertions,
        )

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"]) -> "ManifestDefinition":
        with open(path, "rb") as f:
            return cls.from_json(f.read())

    @property
    def software_agent(self) -> "Optional[dict[str, Any]]":
        """The generator-info map of the user's software (the first entry), or None."""
        if not self.claim_generator_info:
            return None
        first = self.claim_generator_info[0]
        return {k: v for k, v in first.items() if k in ("name", "version") or NAMESPACED.fullmatch(k)}

    def generator_extras(self) -> "dict[str, Any]":
        """Fields the user's first generator entry adds to the claim's claim_generator_info."""
        if not self.claim_generator_info:
            return {}
        first = self.claim_generator_info[0]
        return {k: v for k, v in first.items() if k == "operating_system" or NAMESPACED.fullmatch(k)}


def _text(value: Any, what: str) -> str:
    if not isinstance(value, str) or not value.strip():
        raise DefinitionError(f"{what} is not a non-empty string")
    if len(value) > MAX_TEXT:
        raise DefinitionError(f"{what} is longer than {MAX_TEXT} characters")
    return value


def check(definition: ManifestDefinition) -> None:
    if definition.title is not None:
        _text(definition.title, "'title'")
    _text(definition.digital_source_type, "'digital_source_type'")
    for i, entry in enumerate(definition.claim_generator_info):
        what = f"claim_generator_info entry {i + 1}"
        if not isinstance(entry, dict):
            raise DefinitionError(f"{what} is not an object")
        _text(entry.get("name"), f"{what}'s 'name'")
        if "version" in entry:
            _text(entry["version"], f"{what}'s 'version'")
        if "icon" in entry:  # an icon must be a hashed URI to an assertion (C2PA 2.2, 10.2.3.2)
            raise DefinitionError(f"{what}'s 'icon' is not supported: an icon must be a hashed URI")
    seen = set()
    for i, assertion in enumerate(definition.assertions):
        label = assertion.label
        if not isinstance(label, str) or not LABEL.fullmatch(label):
            raise DefinitionError(
                f"assertion {i + 1}'s label {_shown(label)} is not a C2PA assertion label (C2PA 2.2, 6.2)"
            )
        base = base_label(label)
        if any(base == r or base.startswith(r + ".") or (r.endswith(".") and base.startswith(r)) for r in RESERVED):
            raise DefinitionError(f"assertion label {_shown(label)} is one quillmark writes itself")
        if label in seen:
            raise DefinitionError(f"assertion label {_shown(label)} appears twice")
        seen.add(label)
        if not isinstance(assertion.data, (dict, list)):
            raise DefinitionError(f"assertion {_shown(label)}'s data is not a JSON object or array")
        if _nests_past(assertion.data, MAX_DEPTH):
            raise DefinitionError(
                f"assertion {_shown(label)}'s data nests more than {MAX_DEPTH} deep, past what validators read"
                " (assertion.cbor.invalid)"
            )


def _shown(value: Any) -> str:
    """`value` as a message shows it: a label of megabytes is cut, not repeated whole."""
    if isinstance(value, str) and len(value) > 80:
        return repr(value[:80]) + "..."
    text = repr(value)
    return text if len(text) <= 200 else text[:200] + "..."


def _nests_past(value: Any, limit: int) -> bool:
    """Whether `value` opens more than `limit` lists and maps at once, as the CBOR it becomes would
    (quillmark's validator rejects deeper CBOR, and the CBOR encoder recurses per level; a value
    that contains itself is found too deep). Walked without recursion."""
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, dict):
            children: Any = item.values()
        elif isinstance(item, (list, tuple)):
            children = item
        else:
            continue
        if depth > limit:
            return True
        stack.extend((child, depth + 1) for child in children)
    return False
