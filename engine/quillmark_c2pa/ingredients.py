"""Ingredients (C2PA 2.2, 15.11): each ingredient assertion (v1, v2, v3) checked, the manifest it
names found in the store and its hash (or, when an assertion of it was redacted, its claim
signature's hash) compared, and what the ingredient assertion recorded of that manifest's
validation compared with what validation finds today (the ingredient deltas of 15.2.1).

Hard-binding codes are left out of that comparison: an ingredient's content is not at hand, so
its binding cannot be validated again (15.11.3.3.1), and a recorded `assertion.boxesHash.match`
is no difference in what the store shows.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Optional, Tuple

from . import status
from .assertions import (
    INGREDIENTS,
    RELATIONSHIPS,
    Checked,
    ManifestCheck,
    check_algorithm,
    hash_algorithm,
    is_hashed_uri,
)
from .results import IngredientDelta, StatusCodes, StatusEntry, recorded_codes
from .store import Assertion, Manifest, ManifestStore, cut

# The most entries the ingredient deltas of one validation hold; past it the comparison stops and
# validation reports general.error, naming the limit.
MAX_DELTA_ENTRIES = 1 << 16
# Codes about an asset's content: never produced for an ingredient, so never compared. But for
# assertion.dataHash.redacted, which rejects the claim (C2PA 2.2, 15.10.3.1), not the content: left
# out, an ingredient whose hard binding a child redacted passed with no trace of it.
_CONTENT = re.compile(
    r"assertion\.(?:dataHash|boxesHash|bmffHash|collectionHash|multiAssetHash)\.(?!redacted$)|quillmark\."
)


# An entry of a status map as the deltas compare it: its code and its absolute URI.
_Key = Tuple[str, Optional[str]]


@dataclass
class Link:
    """An ingredient assertion that names a manifest of the store."""

    assertion: Assertion
    manifest: Manifest
    recorded: Optional[StatusCodes]  # what it recorded of the manifest's validation, if anything


def manifest_reference(entry: Checked) -> Any:
    """The hashed URI of the ingredient's active manifest: activeManifest (v3) or c2pa_manifest
    (v1, v2)."""
    value = entry.value if isinstance(entry.value, dict) else {}
    return value.get("activeManifest" if entry.assertion.type == "c2pa.ingredient.v3" else "c2pa_manifest")


def referenced_manifests(store: ManifestStore, check: ManifestCheck) -> list[Manifest]:
    """The manifests of the store that the manifest's ingredient assertions name, whatever their
    state: the lineage to validate."""
    found = []
    for entry in check.of_type(*INGREDIENTS):
        ref = manifest_reference(entry)
        if is_hashed_uri(ref):
            target = store.resolve(ref["url"], check.manifest)
            if isinstance(target, Manifest):
                found.append(target)
    return found


def check_ingredients(store: ManifestStore, check: ManifestCheck, redacted_in: set[Optional[str]]) -> list[Link]:
    """C2PA 2.2, 15.11.3.2 and 15.11.3.3 for each ingredient assertion of one manifest; returns the
    links to the manifests they name, for the comparison of recorded results. `redacted_in` holds
    the labels of the manifests an assertion of which is redacted anywhere in the lineage."""
    manifest, codes = check.manifest, check.codes
    links = []
    for entry in check.of_type(*INGREDIENTS):
        if entry.redacted or not entry.decoded:
            continue
        url, value = entry.assertion.url, entry.value
        relationship = value.get("relationship") if isinstance(value, dict) else None
        if relationship not in RELATIONSHIPS:
            codes.add(status.ASSERTION_INGREDIENT_MALFORMED, url,
                      "the ingredient has no relationship of parentOf, componentOf or inputTo")  # fmt: skip
            continue
        # An ingredient assertion that does not match its hashed URI, or was zeroed, is skipped.
        if not entry.matched or entry.assertion.node.only_zeros():
            continue
        v3 = entry.assertion.type == "c2pa.ingredient.v3"
        ref = manifest_reference(entry)
        if ref is None:
            if relationship != "inputTo":
                codes.add(status.INGREDIENT_UNKNOWN_PROVENANCE, url, "the ingredient has no C2PA manifest")
            continue
        recorded = recorded_codes((value.get("validationResults") or {}).get("activeManifest")) if v3 and isinstance(
            value.get("validationResults"), dict) else recorded_codes(value.get("validationStatus"))  # fmt: skip
        if v3 and "validationResults" not in value:
            codes.add(status.ASSERTION_INGREDIENT_MALFORMED, url,
                      "a c2pa.ingredient.v3 with an activeManifest has no validationResults"
                      " (C2PA 2.2, 15.11.3.3)")  # fmt: skip
        target = store.resolve(ref["url"], manifest) if is_hashed_uri(ref) else None
        if not isinstance(target, Manifest):
            named = cut(ref["url"]) if isinstance(ref, dict) and isinstance(ref.get("url"), str) else "no hashed URI"
            codes.add(status.INGREDIENT_MANIFEST_MISSING, url,
                      f"the ingredient's manifest ({named}) is not in the store")  # fmt: skip
            codes.add(status.CLAIM_MISSING, url, "the ingredient's claim cannot be located: its manifest is missing")
            continue
        if target.label in redacted_in:
            claim_signature_method(store, entry, target, codes)
        else:
            alg = hash_algorithm(ref, check.claim.value if check.claim else None)
            if check_algorithm(alg, codes, url):
                assert alg is not None
                if store.digest(target, alg) == ref["hash"]:
                    codes.add(status.INGREDIENT_MANIFEST_VALIDATED, url, f"the ingredient's manifest matches ({alg})")
                else:
                    codes.add(status.INGREDIENT_MANIFEST_MISMATCH, url,
                              "the ingredient's manifest does not match the hash the ingredient records")  # fmt: skip
        links.append(Link(entry.assertion, target, recorded))
    return links


def claim_signature_method(store: ManifestStore, entry: Checked, target: Manifest, codes: StatusCodes) -> None:
    """C2PA 2.2, 15.11.3.3.1: the manifest's claim signature box, by the hash the ingredient
    records (its manifest's hash changed with the redaction)."""
    url = entry.assertion.url
    ref: Any = entry.value.get("claimSignature") if isinstance(entry.value, dict) else None
    node = store.resolve(ref["url"], target) if is_hashed_uri(ref) else None
    if node is None or isinstance(node, Manifest):
        codes.add(status.INGREDIENT_CLAIM_SIGNATURE_MISSING, url, "the ingredient's claim signature cannot be found")
        return
    alg = hash_algorithm(ref)
    alg = alg if alg is not None else "sha256"
    if check_algorithm(alg, codes, url):
        if store.digest(node, alg) == ref["hash"]:
            codes.add(status.INGREDIENT_CLAIM_SIGNATURE_VALIDATED, url,
                      f"the ingredient's claim signature matches ({alg})")  # fmt: skip
        else:
            codes.add(status.INGREDIENT_CLAIM_SIGNATURE_MISMATCH, url,
                      "the ingredient's claim signature does not match the hash the ingredient records")  # fmt: skip


def _key(store: ManifestStore, entry: StatusEntry, base: Manifest) -> _Key:
    url = store.absolute(entry.url, base) if entry.url is not None else None
    return (entry.code, url if url is not None else entry.url)


class Deltas:
    """The ingredient deltas of one validation (C2PA 2.2, 15.2.1), at most MAX_DELTA_ENTRIES
    entries in all. Today's results of each ingredient manifest are keyed once, however many
    ingredient assertions name it, and compared as sets: the work is the size of each record plus
    the entries returned, not the product of the number of ingredients and of results."""

    def __init__(self, store: ManifestStore) -> None:
        self.store = store
        self.left = MAX_DELTA_ENTRIES
        self.cut = False
        self._today: dict[int, tuple[list[StatusEntry], list[_Key], frozenset[_Key]]] = {}

    def today(self, link: Link, found: StatusCodes) -> tuple[list[StatusEntry], list[_Key], frozenset[_Key]]:
        cached = self._today.get(id(link.manifest))
        if cached is None:
            entries = [e for e in found.entries if not _CONTENT.match(e.code)]
            keys = [_key(self.store, e, link.manifest) for e in entries]
            cached = self._today[id(link.manifest)] = (entries, keys, frozenset(keys))
        return cached

    def delta(self, link: Link, found: StatusCodes) -> Optional[IngredientDelta]:
        """What differs between the results the ingredient recorded and those found today:
        entries of either that the other lacks, compared by code and URI (C2PA 2.2, 15.11.3.3)."""
        if link.recorded is None or self.cut:
            return None
        base = link.manifest
        entries, keys, key_set = self.today(link, found)
        recorded = [e for e in link.recorded.entries if not _CONTENT.match(e.code)]
        recorded_keys = [_key(self.store, e, base) for e in recorded]
        recorded_set = frozenset(recorded_keys)
        new = key_set - recorded_set
        gone = recorded_set - key_set
        if len(new) + len(gone) > self.left:
            self.cut = True
            return None
        codes = StatusCodes()
        if new:
            codes.extend([e for e, k in zip(entries, keys) if k in new])
        for entry, key in zip(recorded, recorded_keys):
            if key in gone:
                getattr(codes, status.KIND.get(entry.code, status.FAILURE)).append(entry)
        if not codes.entries:
            return None
        self.left -= len(codes.entries)
        return IngredientDelta(link.assertion.url, codes)
