"""Validating a font's C2PA Manifest Store, in the order of C2PA 2.2, chapter 15:

1. the font and its C2PA table: the store located (a URI alone is reported, never fetched; more
   than one C2PA table makes every store invalid, 15.5.2.1);
2. the active manifest (15.5: the last manifest of the store; compressed ones decompressed, 15.5.4);
3. for it and every manifest of its lineage (the manifests its ingredients name, and theirs):
   the claim (15.6), the claim signature with its credential, time-stamp and revocation
   information (15.7 to 15.9, in `signature.py`), the assertions (15.10), the ingredients (15.11);
4. the font's content against the hard binding (15.12, in `bindings.py`): the active manifest's,
   or for an update manifest the one of the first standard manifest down its parentOf chain;
5. the ingredient deltas (15.2.1): what each ingredient recorded of its manifest's validation,
   compared with what validation finds today.

`validate` returns a FontValidation: the results in the standard's form, and per manifest what
`quillmark show` prints. It never raises on what a font or a store holds.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Optional

from . import assertions as checks
from . import cbor, ingredients, jumbf, sfnt, status
from . import store as stores
from .results import StatusCodes, ValidationResults
from .store import (EMBEDDED_FILE_TYPE, JSON_TYPE, SIGNATURE_LABEL, UPDATE, Manifest, ManifestStore, Node, StoreError,
                    cut)  # fmt: skip

if TYPE_CHECKING:  # imported when a signature is validated: they import cryptography
    from .signature import SignatureReport
    from .trust import TrustSettings


# The limits validation keeps to on hostile stores, for the docs: (name, value, what it bounds,
# the status code reported past it; the explanation names the limit).
LIMITS: list[tuple[str, Any, str, str]] = [
    ("jumbf.MAX_BOXES", jumbf.MAX_BOXES, "JUMBF boxes read in one Manifest Store", status.GENERAL_ERROR),
    ("jumbf.MAX_DEPTH", jumbf.MAX_DEPTH, "JUMBF superboxes nested in one another", status.GENERAL_ERROR),
    ("jumbf.MAX_LABEL", jumbf.MAX_LABEL, "bytes of one JUMBF label", status.GENERAL_ERROR),
    ("cbor.MAX_ITEMS", cbor.MAX_ITEMS, "data items in one CBOR claim or assertion",
     f"{status.CLAIM_CBOR_INVALID}, {status.ASSERTION_CBOR_INVALID}"),
    ("cbor.MAX_STORE_ITEMS", f"one per {cbor.STORE_BYTES_PER_ITEM} bytes of the store plus"
     f" {cbor.STORE_ITEMS_ALLOWANCE}, at most {cbor.MAX_STORE_ITEMS}",
     "data items in all the CBOR and JSON documents of a store together",
     f"{status.CLAIM_CBOR_INVALID}, {status.ASSERTION_CBOR_INVALID}, {status.ASSERTION_JSON_INVALID}"),
    ("cbor.MAX_DEPTH", cbor.MAX_DEPTH, "CBOR arrays, maps and tags nested in one another",
     f"{status.CLAIM_CBOR_INVALID}, {status.ASSERTION_CBOR_INVALID}"),
    ("cbor.MAX_OTHER_KEYS", cbor.MAX_OTHER_KEYS, "map keys that are not strings in one CBOR document",
     f"{status.CLAIM_CBOR_INVALID}, {status.ASSERTION_CBOR_INVALID}"),
    ("cbor.SHARING_TAGS", sorted(cbor.SHARING_TAGS), "CBOR tags for shared values and string references (refused)",
     f"{status.CLAIM_CBOR_INVALID}, {status.ASSERTION_CBOR_INVALID}"),
    ("store.MAX_JSON_ITEMS", stores.MAX_JSON_ITEMS, "structural characters in one JSON assertion",
     status.ASSERTION_JSON_INVALID),
    ("store.MAX_INFLATION", f"{stores.MAX_INFLATION} x the store + {stores.INFLATION_ALLOWANCE} bytes",
     "bytes all compressed manifests of a store decompress to", status.MANIFEST_COMPRESSED_INVALID),
    ("ingredients.MAX_DELTA_ENTRIES", ingredients.MAX_DELTA_ENTRIES, "entries of the ingredient deltas",
     status.GENERAL_ERROR),
]


@dataclass
class AssertionInfo:
    """One assertion as `show` prints it: label, URI, content type and decoded data (None when it
    does not decode; for an embedded file, {"format", "size", "data"})."""

    label: str
    url: str
    kind: str  # "cbor", "json", "embedded" or "other"
    data: Any


@dataclass
class ManifestReport:
    """One manifest of the store, as validation found it."""

    label: Optional[str]
    url: str
    kind: str  # "standard" or "update"
    compressed: bool
    active: bool
    validated: bool  # in the active manifest's lineage, and so validated
    claim: Optional[dict[str, Any]] = None
    claim_version: Optional[int] = None
    assertions: list[AssertionInfo] = field(default_factory=list)
    ingredients: list[AssertionInfo] = field(default_factory=list)
    signature: Optional[SignatureReport] = None  # for a validated manifest with a signature
    results: StatusCodes = field(default_factory=StatusCodes)

    def _claim_text(self, name: str) -> Optional[str]:
        value = (self.claim or {}).get(name)
        return value if isinstance(value, str) else None

    @property
    def claim_generator(self) -> Optional[str]:
        """The first claim version's User-Agent string (C2PA 2.2, 10.2.1, claim-map)."""
        return self._claim_text("claim_generator")

    @property
    def claim_generator_info(self) -> list[dict[str, Any]]:
        """The claim generators, as a list (one map in a second-version claim)."""
        info = (self.claim or {}).get("claim_generator_info")
        info = [info] if isinstance(info, dict) else info if isinstance(info, list) else []
        return [i for i in info if isinstance(i, dict)]

    @property
    def title(self) -> Optional[str]:
        return self._claim_text("dc:title")

    @property
    def format(self) -> Optional[str]:
        return self._claim_text("dc:format")

    @property
    def instance_id(self) -> Optional[str]:
        return self._claim_text("instanceID")


@dataclass
class FontValidation:
    """What validating one font found."""

    results: ValidationResults = field(default_factory=ValidationResults)
    active_manifest: Optional[str] = None  # its label
    manifests: list[ManifestReport] = field(default_factory=list)  # in store order
    uri: Optional[str] = None  # the C2PA table's active manifest URI: reported, never fetched
    binding: Optional[str] = None  # the label of the hard binding checked
    notes: list[str] = field(default_factory=list)  # findings that have no status code

    @property
    def passed(self) -> bool:
        """No failure code in the active manifest's results. A font whose C2PA table holds only a
        URI fails (manifest.inaccessible) unless `allow_remote` was given."""
        return not self.results.active_manifest.failure

    def as_json(self) -> dict[str, Any]:
        return {"validationResults": self.results.as_json()}


def validate(font: bytes, *, trust: Optional[TrustSettings] = None, allow_remote: bool = False,
             now: Optional[datetime] = None, fetch_ocsp: bool = False) -> FontValidation:  # fmt: skip
    """Validates the C2PA Manifest Store of a font (C2PA 2.2, chapter 15). `trust` is a
    trust.TrustSettings (the bundled C2PA Trust Lists when None); a font whose C2PA table holds
    only a URI fails with manifest.inaccessible, as the URI is never fetched (C2PA 2.2, 15.5.3.1),
    unless `allow_remote`, which leaves a note instead; `now` is the time to judge certificates at when no trusted
    time-stamp gives one; `fetch_ocsp` allows asking an OCSP responder (15.9.2)."""
    result = FontValidation()
    codes = result.results.active_manifest
    font = bytes(font)
    try:
        tables = sfnt.read_directory(font)
    except sfnt.SfntError as e:
        codes.add(status.GENERAL_ERROR, None, f"not a font: {e}")
        return result
    c2pa = sfnt.c2pa_tables(tables)
    if len(c2pa) != 1:
        why = "the font has no C2PA table" if not c2pa else (
            f"the font has {len(c2pa)} C2PA tables, which makes every store in it invalid"
            " (C2PA 2.2, 15.5.2.1)")  # fmt: skip
        codes.add(status.CLAIM_MISSING, None, why)
        return result
    try:
        table = sfnt.read_c2pa_table(font, c2pa[0])
    except sfnt.SfntError as e:
        codes.add(status.GENERAL_ERROR, None, str(e))
        return result
    uri = table.uri(font)
    if uri is not None:
        result.uri = uri.decode("utf-8", "replace")
    if table.store_range is None:
        if uri is None:
            codes.add(status.CLAIM_MISSING, None, "the C2PA table holds neither a Manifest Store nor a URI")
        elif not allow_remote:
            codes.add(status.MANIFEST_INACCESSIBLE, None,
                      f"the C2PA table holds only the URI {cut(result.uri or '')}, which is not fetched")  # fmt: skip
        else:
            result.notes.append(f"the C2PA table holds only the URI {cut(result.uri or '')} (not fetched)")
        return result
    start, length = table.store_range
    data = font[start : start + length]
    if not data.strip(b"\0"):
        codes.add(status.CLAIM_MISSING, None, "not signed yet: the Manifest Store is a placeholder of zero bytes")
        return result
    try:
        store = ManifestStore(data)
    except StoreError as e:
        codes.add(e.code, "self#jumbf=/c2pa", str(e))
        return result
    rest = data[store.end :]
    if rest.strip(b"\0"):
        codes.add(status.GENERAL_ERROR, "self#jumbf=/c2pa",
                  f"{len(rest)} bytes after the Manifest Store superbox, not all zero")  # fmt: skip
    elif rest:
        result.notes.append(f"{len(rest)} zero bytes pad the Manifest Store after its superbox")
    active = store.active
    if active is None:
        codes.add(status.CLAIM_MISSING, "self#jumbf=/c2pa", "the Manifest Store holds no manifest")
        return result
    result.active_manifest = active.label
    Session(store, trust, now, fetch_ocsp).run(font, tables, table.store_range, result)
    return result


class Session:
    """One validation of one store."""

    def __init__(self, store: ManifestStore, trust: Optional[TrustSettings], now: Optional[datetime],
                 fetch_ocsp: bool) -> None:  # fmt: skip
        self.store = store
        self.trust = trust
        self.now = now if now is not None else datetime.now(timezone.utc)
        self.fetch_ocsp = fetch_ocsp
        self.checks: dict[int, checks.ManifestCheck] = {}

    def run(self, font: bytes, tables: list[sfnt.Table], store_range: tuple[int, int],
            result: FontValidation) -> None:  # fmt: skip
        store = self.store
        active = store.active
        assert active is not None
        # The lineage: the active manifest and every manifest an ingredient of it names, in turn.
        # Each is read once, whatever the references (a manifest may name itself).
        order: list[Manifest] = []
        queue = deque([active])
        while queue:
            manifest = queue.popleft()
            if id(manifest) in self.checks:
                continue
            check = self.checks[id(manifest)] = checks.ManifestCheck(manifest)
            order.append(manifest)
            check.codes.extend(manifest.problems)
            if manifest.node is None:
                continue
            check.claim = checks.read_claim(store, manifest, check.codes)
            if check.claim is not None:
                self.peek_ingredients(check)
                queue.extend(ingredients.referenced_manifests(store, check))
        # Assertions redacted anywhere in the lineage (C2PA 2.2, 15.10.2).
        redacted = set()
        for manifest in order:
            claim = self.checks[id(manifest)].claim
            for uri in (claim.value.get("redacted_assertions") or []) if claim else []:
                absolute = store.absolute(uri, manifest)
                if absolute is not None:
                    redacted.add(absolute)
        redacted_in = {store.manifest_of(uri, active) for uri in redacted}
        links: list[ingredients.Link] = []
        for manifest in order:
            check = self.checks[id(manifest)]
            if check.claim is None:
                continue
            self.check_signature(check)
            check.checked = []
            checks.check_assertions(store, check, redacted)
            checks.check_required(check)
            checks.check_actions(store, check)
            checks.check_time_stamps(check)
            checks.check_references(store, check)
            links += ingredients.check_ingredients(store, check, redacted_in)
            self.check_redactions(check, redacted)
        active_check = self.checks[id(active)]
        self.check_binding(font, tables, store_range, active_check, result)
        deltas = ingredients.Deltas(store)
        for link in links:
            target = self.checks.get(id(link.manifest))
            delta = deltas.delta(link, target.codes if target is not None else StatusCodes())
            if delta is not None:
                result.results.ingredient_deltas.append(delta)
        if deltas.cut:
            active_check.codes.add(status.GENERAL_ERROR, None, f"the ingredient deltas were cut at"
                                   f" {ingredients.MAX_DELTA_ENTRIES} entries; the rest were not compared")  # fmt: skip
        result.results.active_manifest.extend(active_check.codes.entries)
        result.manifests = [self.report(m, m is active) for m in store.manifests]

    def peek_ingredients(self, check: checks.ManifestCheck) -> None:
        """The claimed ingredient assertions decoded, to find the lineage before validating it."""
        claim = check.claim
        assert claim is not None
        by_url = {a.url: a for a in check.manifest.assertions()}
        for item, listed_in in claim.listed():
            absolute = self.store.absolute(item.get("url"), check.manifest)
            assertion = by_url.get(absolute) if absolute else None
            if assertion is not None and assertion.type in checks.INGREDIENTS:
                entry = checks.Checked(assertion, listed_in)
                checks.decode(self.store, entry, StatusCodes())
                check.checked.append(entry)

    def check_signature(self, check: checks.ManifestCheck) -> None:
        """C2PA 2.2, 15.7: the signature the claim names, in the claim's own manifest."""
        manifest, claim, codes = check.manifest, check.claim, check.codes
        assert claim is not None
        uri = claim.value.get("signature")
        target = self.store.resolve(uri, manifest)
        url = self.store.absolute(uri, manifest) or f"{manifest.url}/{SIGNATURE_LABEL}"
        if (not isinstance(target, Node) or self.store.manifest_of(uri, manifest) != manifest.label
                or target.box.description.type != jumbf.CLAIM_SIGNATURE):  # fmt: skip
            codes.add(status.CLAIM_SIGNATURE_MISSING, url,
                      f"the claim's signature {cut(str(uri))} is not in its manifest")  # fmt: skip
            return
        boxes = target.content()
        if len(boxes) != 1 or boxes[0].type != b"cbor":
            codes.add(status.CLAIM_SIGNATURE_MISSING, url, "the claim signature box does not hold one cbor box")
            return
        from . import signature

        trust = self.trust
        if trust is None:
            from .trust import TrustSettings

            trust = self.trust = TrustSettings()
        report = signature.validate_signature(target.payload(boxes[0]), claim.data, claim_label=claim.label, url=url,
                                              trust=trust, now=self.now, fetch_ocsp=self.fetch_ocsp)  # fmt: skip
        check.signature = report
        codes.extend(report.entries)

    def check_redactions(self, check: checks.ManifestCheck, redacted: set[str]) -> None:
        """An assertion this claim redacts holds nothing but zeros (C2PA 2.2, 15.11.3.3.1)."""
        claim = check.claim
        assert claim is not None
        for uri in dict.fromkeys(u for u in claim.value.get("redacted_assertions") or [] if isinstance(u, str)):
            target = self.store.resolve(uri, check.manifest)
            if isinstance(target, Node) and not target.only_zeros():
                check.codes.add(status.ASSERTION_NOT_REDACTED, self.store.absolute(uri, check.manifest),
                                "the claim redacts this assertion, but it still holds data")  # fmt: skip

    def check_binding(self, font: bytes, tables: list[sfnt.Table], store_range: tuple[int, int],
                      check: checks.ManifestCheck, result: FontValidation) -> None:  # fmt: skip
        """C2PA 2.2, 15.12: the font against the hard binding, found for an update manifest down its
        chain of parentOf ingredients."""
        if check.claim is None:
            return
        standard, seen = check, set()
        while standard.manifest.kind == UPDATE and id(standard) not in seen:
            seen.add(id(standard))
            parents = [e for e in standard.of_type(*checks.INGREDIENTS)
                       if isinstance(e.value, dict) and e.value.get("relationship") == "parentOf"]  # fmt: skip
            ref: Any = ingredients.manifest_reference(parents[0]) if len(parents) == 1 else None
            target = self.store.resolve(ref["url"], standard.manifest) if checks.is_hashed_uri(ref) else None
            nxt = self.checks.get(id(target)) if isinstance(target, Manifest) else None
            if nxt is None or nxt.claim is None:
                check.codes.add(status.CLAIM_HARD_BINDINGS_MISSING, check.claim.url,
                                "the update manifest's parentOf chain leads to no standard manifest")  # fmt: skip
                return
            standard = nxt
        if standard.manifest.kind == UPDATE:
            check.codes.add(status.CLAIM_HARD_BINDINGS_MISSING, check.claim.url, "the parentOf chain is a loop")
            return
        if len(standard.hard_bindings) != 1:
            if standard is not check and not standard.hard_bindings:
                check.codes.add(status.CLAIM_HARD_BINDINGS_MISSING, check.claim.url,
                                "the standard manifest under the update manifest has no hard binding")  # fmt: skip
            return
        binding = standard.hard_bindings[0]
        if not binding.decoded:
            return
        from . import bindings

        result.binding = binding.assertion.label
        assert standard.claim is not None
        check.codes.extend(bindings.check_hard_binding(font, tables, store_range, binding.assertion.type, binding.value,
                                                       standard.claim.value, binding.assertion.url))  # fmt: skip

    def report(self, manifest: Manifest, active: bool) -> ManifestReport:
        check = self.checks.get(id(manifest))
        report = ManifestReport(manifest.label, manifest.url, manifest.kind, manifest.compressed, active,
                                validated=check is not None)  # fmt: skip
        if check is None:  # outside the lineage: read for show, not validated (C2PA 2.2, 15.11.3.3)
            check = checks.ManifestCheck(manifest)
            check.claim = checks.read_claim(self.store, manifest, StatusCodes()) if manifest.node is not None else None
        else:
            report.results = check.codes
            report.signature = check.signature
        if check.claim is not None:
            report.claim, report.claim_version = check.claim.value, check.claim.version
        decoded = {id(c.assertion.node.box): c for c in check.checked}
        for assertion in manifest.assertions():
            entry = decoded.get(id(assertion.node.box))
            if entry is None:
                entry = checks.Checked(assertion, "")
                checks.decode(self.store, entry, StatusCodes())
            kind = {jumbf.CBOR: "cbor", JSON_TYPE: "json"}.get(assertion.content_type, "other")
            if assertion.content_type == EMBEDDED_FILE_TYPE:
                kind = "embedded"
            info = AssertionInfo(assertion.label, assertion.url, kind, entry.value if entry.decoded else None)
            report.assertions.append(info)
            if assertion.type in checks.INGREDIENTS:
                report.ingredients.append(info)
        return report

