"""The Manifest Store model (C2PA 2.2, 11): its manifests (standard, update, compressed), in each
the assertion store, the claim (both versions) and the claim signature; JUMBF URIs (8.4.1) and the
hashes of the boxes they name (8.4.2.3).

Reading is bounded: one read of a store makes at most `jumbf.MAX_BOXES` box objects, compressed
manifests inflate to at most `MAX_INFLATION` times the store (plus `INFLATION_ALLOWANCE`), and a
document's CBOR decodes within the limits of `cbor.decode`. Nothing is decoded before it is asked
for.
"""

from __future__ import annotations

import hashlib
import json
import re
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from . import cbor, jumbf, status
from .results import StatusEntry

URI_PREFIX = "self#jumbf="
STORE_LABEL = "c2pa"
ASSERTIONS_LABEL = "c2pa.assertions"
SIGNATURE_LABEL = "c2pa.signature"
CLAIM_V2, CLAIM_V1 = "c2pa.claim.v2", "c2pa.claim"
STANDARD, UPDATE = "standard", "update"
MANIFEST_KINDS = {jumbf.MANIFEST: STANDARD, jumbf.LEGACY_MANIFEST: STANDARD, jumbf.UPDATE_MANIFEST: UPDATE}
MANIFESTS = (*MANIFEST_KINDS, jumbf.COMPRESSED_MANIFEST)
# The hash algorithms of C2PA 2.2, 13.1; its deprecated list is empty.
HASH_ALGORITHMS = ("sha256", "sha384", "sha512")

# Compressed manifests (C2PA 2.2, 11.2.4) inflate, all together, to at most this many times the
# store's size plus the allowance; past it a manifest is reported manifest.compressed.invalid.
MAX_INFLATION = 8
INFLATION_ALLOWANCE = 1 << 20
# The most structural characters ({ [ , :) a JSON assertion may hold before it is decoded: each
# can become an object of some 50 to 230 bytes. Past it: assertion.json.invalid, naming the limit.
MAX_JSON_ITEMS = cbor.MAX_ITEMS
# Text from a store put into an explanation is cut to this many characters.
SHOWN_TEXT = 200

# JUMBF content types of assertion boxes (ISO 19566-5, Annex B): the jumd TYPE of the superbox.
JSON_TYPE = b"json" + jumbf._SUFFIX
EMBEDDED_FILE_TYPE = bytes.fromhex("40CB0C32BB8A489DA70B2AD6F47F4369")
# An assertion label's instance suffix (C2PA 2.2, 6.4): c2pa.ingredient.v3__2.
_INSTANCE = re.compile(r"__\d+\Z")


def cut(text: str, limit: int = SHOWN_TEXT) -> str:
    """Text from a store, cut before it is escaped, then with anything unprintable escaped."""
    short = text[:limit]
    shown = "".join(c if c.isprintable() else f"\\x{ord(c):02x}" if ord(c) < 256 else f"\\u{ord(c):04x}"
                    for c in short)  # fmt: skip
    return shown + ("..." if len(text) > limit else "")


def base_label(label: str) -> str:
    """An assertion's label without its instance suffix: its type (C2PA 2.2, 6.4)."""
    return _INSTANCE.sub("", label)


class StoreError(ValueError):
    """The store cannot be read as a Manifest Store; `code` is the status code that says so."""

    def __init__(self, message: str, code: str = status.GENERAL_ERROR) -> None:
        super().__init__(message)
        self.code = code


@dataclass
class Node:
    """A superbox, with the bytes its offsets count in (the store, or a decompressed manifest)."""

    data: bytes
    box: jumbf.Superbox

    @property
    def label(self) -> Optional[str]:
        return self.box.description.label

    def content(self) -> list[jumbf.Box]:
        """Its content boxes (everything but nested superboxes and the description)."""
        return [c for c in self.box.children if isinstance(c, jumbf.Box)]

    def payload(self, box: jumbf.Box) -> bytes:
        return self.data[box.payload : box.end]

    def hash(self, alg: str) -> bytes:
        """The hash of the superbox without its header (C2PA 2.2, 8.4.2.3)."""
        return hashlib.new(alg, memoryview(self.data)[self.box.box.payload : self.box.box.end]).digest()

    def only_zeros(self) -> bool:
        """Whether every content box holds nothing but zero bytes (a redacted assertion, C2PA 2.2,
        15.11.3.3.1)."""
        view = memoryview(self.data)
        return all(view[c.payload : c.end].tobytes().count(0) == c.end - c.payload for c in self.content())


@dataclass
class Assertion:
    """One assertion box of a manifest's assertion store."""

    node: Node
    url: str  # its absolute JUMBF URI

    @property
    def label(self) -> str:
        return self.node.label or ""

    @property
    def type(self) -> str:
        return base_label(self.label)

    @property
    def content_type(self) -> bytes:
        return self.node.box.description.type

    def value(self, budget: Optional[cbor.Budget] = None) -> Any:
        """The decoded content: a CBOR or JSON value, or for an embedded file (C2PA 2.2, 18.12)
        {"format", "size", "data"}; raises ValueError (cbor.CborError for CBOR) with a reason.
        Decoding spends the `budget` of items when one is given."""
        kind = self.content_type
        boxes = self.node.content()
        if kind == jumbf.CBOR:
            found = [b for b in boxes if b.type == b"cbor"]
            if len(found) != 1:
                raise cbor.CborError(f"{len(found)} cbor content boxes, not one")
            return cbor.decode(self.node.payload(found[0]), budget=budget)
        if kind == JSON_TYPE:
            found = [b for b in boxes if b.type == b"json"]
            if len(found) != 1:
                raise ValueError(f"{len(found)} json content boxes, not one")
            return decode_json(self.node.payload(found[0]), budget)
        if kind == EMBEDDED_FILE_TYPE:
            described = [b for b in boxes if b.type == b"bfdb"]
            data = [b for b in boxes if b.type == b"bidb"]
            media = None
            if described:
                raw = self.node.payload(described[0])
                # bfdb: toggles, then the NUL-terminated media type (ISO 19566-5, B.3).
                media = raw[1:].split(b"\0", 1)[0].decode("utf-8", "replace") if raw else None
            size = sum(b.end - b.payload for b in data)
            return {"format": media, "size": size, "data": self.node.payload(data[0]) if len(data) == 1 else None}
        return None


def _not_json(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON value (RFC 8259, 6)")


def decode_json(data: bytes, budget: Optional[cbor.Budget] = None) -> Any:
    """A JSON document (RFC 8259), bounded like CBOR: ValueError past MAX_JSON_ITEMS structural
    characters (or the items left in the `budget`, which it spends), or nesting too deep for the
    interpreter."""
    structural = data.count(b"{") + data.count(b"[") + data.count(b",") + data.count(b":")
    if structural > MAX_JSON_ITEMS:
        raise ValueError(f"JSON has more than {MAX_JSON_ITEMS} structural characters; not decoded")
    if budget is not None:
        if structural > budget.left:
            raise ValueError(f"the store's CBOR and JSON documents together hold more than {budget.total} items;"
                             " not decoded")  # fmt: skip
        budget.left -= structural
    try:
        return json.loads(data.decode("utf-8"), parse_constant=_not_json)
    except RecursionError:
        raise ValueError("JSON nests too deep to decode") from None
    except (UnicodeDecodeError, json.JSONDecodeError, ValueError) as e:
        raise ValueError(f"not JSON: {cut(str(e))}") from None


@dataclass
class Manifest:
    """One manifest of the store: a standard or update manifest, compressed or not."""

    label: Optional[str]
    kind: str  # STANDARD or UPDATE; for a compressed manifest that cannot be read, STANDARD
    outer: Node  # the manifest's box in the store (for a compressed manifest, the c2cm box)
    node: Optional[Node]  # the manifest superbox itself (decompressed); None when it cannot be read
    compressed: bool = False
    problems: list[StatusEntry] = field(default_factory=list)

    @property
    def url(self) -> str:
        return f"{URI_PREFIX}/{STORE_LABEL}/{self.label or ''}"

    def children(self, kind: bytes, labels: Optional[tuple[str, ...]] = None) -> list[Node]:
        if self.node is None:
            return []
        return [
            Node(self.node.data, c)
            for c in self.node.box.children
            if isinstance(c, jumbf.Superbox) and c.description.type == kind
            and (labels is None or c.description.label in labels)
        ]  # fmt: skip

    def claims(self) -> list[Node]:
        """The claim boxes (C2PA 2.2, 15.6.1): type c2cl, label c2pa.claim.v2 or c2pa.claim."""
        return self.children(jumbf.CLAIM, (CLAIM_V2, CLAIM_V1))

    def signatures(self) -> list[Node]:
        return self.children(jumbf.CLAIM_SIGNATURE)

    def assertion_stores(self) -> list[Node]:
        return self.children(jumbf.ASSERTION_STORE)

    def assertions(self) -> list[Assertion]:
        """Every assertion box of every assertion store, in order."""
        found = []
        for store in self.assertion_stores():
            for child in store.box.children:
                if isinstance(child, jumbf.Superbox):
                    label = child.description.label or ""
                    found.append(Assertion(Node(store.data, child), f"{self.url}/{store.label}/{label}"))
        return found


class ManifestStore:
    """A Manifest Store read from `data` (C2PA 2.2, 11.1.4.2)."""

    def __init__(self, data: bytes) -> None:
        self.data = data = bytes(data)
        budget = jumbf.Budget()
        try:
            outer = jumbf.read_box(data, 0, len(data))
            self.box = jumbf.read_superbox(data, outer, budget=budget)
        except jumbf.JumbfError as e:
            raise StoreError(f"malformed JUMBF in the Manifest Store: {e}") from None
        description = self.box.description
        if description.type != jumbf.MANIFEST_STORE or description.label != STORE_LABEL:
            raise StoreError("the store's superbox is not a Manifest Store (type c2pa, label 'c2pa')",
                             status.CLAIM_MISSING)  # fmt: skip
        self.end = outer.end  # what follows is for the caller to judge
        self.manifests: list[Manifest] = []
        inflation_left = MAX_INFLATION * len(data) + INFLATION_ALLOWANCE
        for child in self.box.children:
            if isinstance(child, jumbf.Superbox) and child.description.type in MANIFESTS:
                manifest, used = _read_manifest(data, child, budget, inflation_left)
                inflation_left -= used
                self.manifests.append(manifest)
        # Hashes and child indexes, each made once: many references may name one large box, and
        # many URIs walk one large assertion store; each costs its box's size once, not once per use.
        self._digests: dict[tuple[int, int, str], bytes] = {}
        self.items = cbor.Budget.for_store(len(data))  # decoded items, over all documents
        # (True, value) or (False, the error it raised)
        self._values: dict[tuple[int, int], tuple[bool, Any]] = {}
        self._indexes: dict[tuple[int, int], dict[Optional[str], list[jumbf.Superbox]]] = {}
        self._by_label: dict[Optional[str], list[Manifest]] = {}
        for manifest in self.manifests:
            self._by_label.setdefault(manifest.label, []).append(manifest)

    @property
    def active(self) -> Optional[Manifest]:
        """The last manifest superbox of the store (C2PA 2.2, 15.5.1)."""
        return self.manifests[-1] if self.manifests else None

    def manifest(self, label: Optional[str]) -> Optional[Manifest]:
        """The one manifest with this label; None when there is none or several (C2PA 2.2, 8.4.1:
        an ambiguous label leaves a reference unresolved)."""
        found = self._by_label.get(label, [])
        return found[0] if len(found) == 1 else None

    def absolute(self, uri: Any, base: Manifest) -> Optional[str]:
        """A JUMBF URI made absolute (/c2pa/...), relative ones taken from `base`'s manifest; None
        for what is not a self#jumbf URI or holds `..` (C2PA 2.2, 8.4.2.1)."""
        if not isinstance(uri, str) or not uri.startswith(URI_PREFIX) or ".." in uri:
            return None
        path = uri[len(URI_PREFIX) :]
        if path.startswith("/"):
            return uri
        return f"{base.url}/{path}"

    def _path(self, uri: Any, base: Manifest) -> Optional[list[str]]:
        """The labels on the path of a JUMBF URI made absolute (the store's own first)."""
        absolute = self.absolute(uri, base)
        return None if absolute is None else absolute[len(URI_PREFIX) + 1 :].split("/")

    def manifest_of(self, uri: Any, base: Manifest) -> Optional[str]:
        """The label of the manifest a JUMBF URI points into (None for the store itself)."""
        parts = self._path(uri, base)
        return parts[1] if parts is not None and len(parts) > 1 and parts[0] == STORE_LABEL else None

    def resolve(self, uri: Any, base: Manifest) -> Optional[Union[Node, Manifest]]:
        """The box a JUMBF URI names: a Manifest for a manifest's own box, else a Node. None when it
        names nothing, or a label on its path is ambiguous (C2PA 2.2, 8.4.1)."""
        parts = self._path(uri, base)
        if parts is None or parts[0] != STORE_LABEL or any(not p for p in parts):
            return None
        if len(parts) == 1:
            return Node(self.data, self.box)
        manifest = self.manifest(parts[1])
        if manifest is None:
            return None
        if len(parts) == 2:
            return manifest
        if manifest.node is None:
            return None
        node = manifest.node
        for label in parts[2:]:
            found = self._index(node).get(label, [])
            if len(found) != 1:
                return None
            node = Node(node.data, found[0])
        return node

    def _index(self, node: Node) -> dict[Optional[str], list[jumbf.Superbox]]:
        key = (id(node.data), node.box.box.start)
        index = self._indexes.get(key)
        if index is None:
            index = self._indexes[key] = {}
            for child in node.box.children:
                if isinstance(child, jumbf.Superbox):
                    index.setdefault(child.description.label, []).append(child)
        return index

    def digest(self, target: Union[Node, Manifest], alg: str) -> bytes:
        """The hash of what a hashed URI names: a manifest by its box in the store (compressed or
        not: C2PA 2.2, 11.1.3.2), anything else by its own box (8.4.2.3). Each box is hashed once
        per algorithm."""
        node = target.outer if isinstance(target, Manifest) else target
        key = (id(node.data), node.box.box.start, alg)
        found = self._digests.get(key)
        if found is None:
            found = self._digests[key] = node.hash(alg)
        return found

    def value(self, assertion: Assertion) -> Any:
        """An assertion's decoded content (Assertion.value), decoded once; raises as it does."""
        key = (id(assertion.node.data), assertion.node.box.box.start)
        found = self._values.get(key)
        if found is None:
            try:
                found = (True, assertion.value(self.items))
            except ValueError as e:
                found = (False, e)
            self._values[key] = found
        if not found[0]:
            raise found[1]
        return found[1]


def _read_manifest(data: bytes, box: jumbf.Superbox, budget: jumbf.Budget,
                   inflation_left: int) -> tuple[Manifest, int]:  # fmt: skip
    """A manifest of the store and the bytes its decompression used."""
    outer = Node(data, box)
    label = box.description.label
    if box.description.type != jumbf.COMPRESSED_MANIFEST:
        return Manifest(label, MANIFEST_KINDS[box.description.type], outer, outer), 0
    manifest = Manifest(label, STANDARD, outer, None, compressed=True)
    url = manifest.url

    def invalid(reason: str) -> tuple[Manifest, int]:
        manifest.problems.append(StatusEntry(status.MANIFEST_COMPRESSED_INVALID, url, reason))
        return manifest, 0

    # The brob box holds the Brotli-compressed bytes of a whole manifest superbox (C2PA 2.2, 11.2.4).
    brob = [c for c in box.children if isinstance(c, jumbf.Box) and c.type == b"brob"]
    if len(brob) != 1:
        return invalid(f"the compressed manifest has {len(brob)} brob boxes, not one")
    try:
        import brotli  # type: ignore[import-untyped]  # brotli ships no type information
    except ImportError:
        return invalid("the manifest is compressed and the brotli module, which would decompress it, is not installed")
    try:
        decompressor = brotli.Decompressor()
        inflated = decompressor.process(data[brob[0].payload : brob[0].end], output_buffer_limit=inflation_left + 1)
        finished = decompressor.is_finished()
    except TypeError:
        return invalid("the brotli module installed is too old to decompress within a limit (1.1 or later is needed)")
    except brotli.error as e:
        return invalid(f"the Brotli data does not decompress: {cut(str(e))}")
    if len(inflated) > inflation_left:
        return invalid(f"the manifest decompresses past the limit of {MAX_INFLATION} times the store's size"
                       f" plus {INFLATION_ALLOWANCE} bytes")  # fmt: skip
    if not finished:
        return invalid("the Brotli data ends before its stream does")
    try:
        inner = jumbf.read_box(inflated, 0, len(inflated))
        if inner.end != len(inflated):
            return invalid(f"{len(inflated) - inner.end} bytes follow the decompressed manifest superbox")
        superbox = jumbf.read_superbox(inflated, inner, depth=1, budget=budget)
    except jumbf.JumbfError as e:
        return invalid(f"the decompressed manifest is not well-formed JUMBF: {e}")
    kind = MANIFEST_KINDS.get(superbox.description.type)
    if kind is None:
        return invalid("the decompressed data is neither a standard nor an update manifest")
    if superbox.description.label != label:
        return invalid("the decompressed manifest's label is not the compressed manifest's")
    manifest.kind, manifest.node = kind, Node(inflated, superbox)
    return manifest, len(inflated)
