"""One manifest's claim (C2PA 2.2, 15.6) and assertions (15.10): the claim located and read, each
assertion it lists resolved and its hashed URI checked, undeclared and redacted assertions, the
assertions a standard or update manifest requires or forbids, actions (15.10.3.2.2) and the hashed
URIs inside standard assertions (15.10.3.3).

Manifests are judged by C2PA 2.2's rules whatever their claim version, as `signature.py` judges
their signatures: a claim of the first version (`c2pa.claim`, C2PA 1.x, which 2.2 still asks
validators to accept, 10.1) must hold an actions assertion with c2pa.created or c2pa.opened
(15.10.1.2) though 1.x did not ask for one. 15.10.1.2 names no code for a manifest without one;
it is reported as `claim.malformed` (the claim lacks what 10.2.2 requires it to list), its
explanation saying which rule and, for a first-version claim, that the rule came after it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterator, Optional

from . import cbor, jumbf, status
from .bindings import is_hard_binding
from .results import StatusCodes
from .store import (
    CLAIM_V1,
    CLAIM_V2,
    HASH_ALGORITHMS,
    JSON_TYPE,
    STANDARD,
    UPDATE,
    Assertion,
    Manifest,
    ManifestStore,
    Node,
    base_label,
    cut,
)

if TYPE_CHECKING:  # imported when a signature is validated: it imports cryptography
    from .signature import SignatureReport

ACTIONS = ("c2pa.actions", "c2pa.actions.v2")
INGREDIENTS = ("c2pa.ingredient", "c2pa.ingredient.v2", "c2pa.ingredient.v3")
THUMBNAIL = re.compile(r"c2pa\.thumbnail\.(?:claim|ingredient)(?:\..*)?")
FIRST_ACTIONS = ("c2pa.created", "c2pa.opened")
# Actions an update manifest may hold (C2PA 2.2, 11.2.3).
UPDATE_ACTIONS = ("c2pa.edited.metadata", "c2pa.opened", "c2pa.published", "c2pa.redacted")
RELATIONSHIPS = ("parentOf", "componentOf", "inputTo")
# Fields of an ingredient assertion validated by 15.11, not as references (15.10.3.2), and the
# recorded results, whose status maps carry URIs but no hashes.
INGREDIENT_REFERENCES = ("activeManifest", "c2pa_manifest", "claimSignature", "validationResults", "validationStatus")


@dataclass
class Claim:
    """A manifest's claim: its box, its serialized CBOR (what the signature covers) and its map."""

    node: Node
    data: bytes
    value: dict[str, Any]
    url: str

    @property
    def version(self) -> int:
        return 2 if self.node.label == CLAIM_V2 else 1

    @property
    def label(self) -> str:
        return self.node.label or ""

    def listed(self) -> list[tuple[Any, str]]:
        """The hashed URIs of the assertions it claims, with the field each is listed in."""
        fields = ("created_assertions", "gathered_assertions") if self.version == 2 else ("assertions",)
        return [(item, name) for name in fields for item in (self.value.get(name) or [])]


@dataclass
class Checked:
    """One listed assertion as validation found it."""

    assertion: Assertion
    listed_in: str
    value: Any = None
    decoded: bool = False  # the content decoded (CBOR, JSON) or needs no decoding
    matched: bool = False  # its hashed URI matched
    redacted: bool = False


@dataclass
class ManifestCheck:
    """What validating one manifest found: its status codes and what later steps need."""

    manifest: Manifest
    codes: StatusCodes = field(default_factory=StatusCodes)
    claim: Optional[Claim] = None
    signature: Optional[SignatureReport] = None
    checked: list[Checked] = field(default_factory=list)
    hard_bindings: list[Checked] = field(default_factory=list)

    def of_type(self, *kinds: str) -> list[Checked]:
        return [c for c in self.checked if c.assertion.type in kinds]


def is_hashed_uri(value: Any) -> bool:
    return isinstance(value, dict) and isinstance(value.get("url"), str) and isinstance(value.get("hash"), bytes)


# -- the claim (15.6) ----------------------------------------------------------------------------


def read_claim(store: ManifestStore, manifest: Manifest, codes: StatusCodes) -> Optional[Claim]:
    """The manifest's one claim, or None with the failure that says why (C2PA 2.2, 15.6)."""
    url = manifest.url
    claims = manifest.claims()
    if not claims:
        codes.add(status.CLAIM_MISSING, url, "the manifest has no claim box (c2pa.claim.v2 or c2pa.claim)")
        return None
    if len(claims) > 1:
        codes.add(status.CLAIM_MULTIPLE, url, f"the manifest has {len(claims)} claim boxes")
        return None
    node = claims[0]
    url = f"{manifest.url}/{node.label}"
    # A claim box is a single CBOR content box (C2PA 2.2, 11.1.4.4).
    boxes = node.content()
    if len(boxes) != 1 or boxes[0].type != b"cbor":
        codes.add(status.CLAIM_MALFORMED, url, "the claim box does not hold exactly one cbor content box")
        return None
    data = node.payload(boxes[0])
    try:
        value = cbor.decode(data, budget=store.items)
    except cbor.CborError as e:
        codes.add(status.CLAIM_CBOR_INVALID, url, f"the claim is not valid CBOR: {e}")
        return None
    if not isinstance(value, dict):
        codes.add(status.CLAIM_MALFORMED, url, "the claim is not a CBOR map")
        return None
    claim = Claim(node, data, value, url)
    problem = claim_problem(claim)
    if problem:
        codes.add(status.CLAIM_MALFORMED, url, problem)
        return None
    return claim


def claim_problem(claim: Claim) -> Optional[str]:
    """What makes a claim's fields wrong (C2PA 2.2, 10.2 and 15.6.2), or None."""
    value = claim.value

    def text(name: str, required: bool = True) -> Optional[str]:
        if name not in value:
            return f"the claim has no {name}" if required else None
        if not isinstance(value[name], str) or not value[name]:
            return f"the claim's {name} is not a non-empty text string"
        return None

    def uris(name: str, required: bool) -> Optional[str]:
        if name not in value:
            return f"the claim has no {name}" if required else None
        items = value[name]
        if not isinstance(items, list) or not items:
            return f"the claim's {name} is not a non-empty array"
        if not all(isinstance(i, dict) and isinstance(i.get("url"), str) for i in items):
            return f"an entry of the claim's {name} is not a hashed URI"
        return None

    problems = [text("instanceID"), text("signature"), text("alg", required=False), text("dc:title", required=False)]
    if claim.version == 2:
        info = value.get("claim_generator_info")
        if not isinstance(info, dict) or not isinstance(info.get("name"), str) or not info["name"]:
            problems.append("the claim's claim_generator_info is not a map with a name")
        problems += [uris("created_assertions", True), uris("gathered_assertions", False)]
    else:
        problems.append(text("claim_generator"))
        # claim_generator_info came with C2PA 1.3: optional in a first-version claim, checked when there.
        info = value.get("claim_generator_info", [{"name": "-"}])
        if not isinstance(info, list) or not all(isinstance(i, dict) and isinstance(i.get("name"), str) for i in info):
            problems.append("the claim's claim_generator_info is not an array of maps with names")
        problems.append(uris("assertions", True))
    redacted = value.get("redacted_assertions", [""])
    if not isinstance(redacted, list) or not all(isinstance(u, str) for u in redacted):
        problems.append("the claim's redacted_assertions is not an array of JUMBF URIs")
    return next((p for p in problems if p), None)


def hash_algorithm(*maps: Any) -> Optional[str]:
    """The alg of the nearest map that has one (C2PA 2.2, 15.4.1); None when none has one."""
    for value in maps:
        if isinstance(value, dict) and "alg" in value:
            return value["alg"] if isinstance(value["alg"], str) else ""
    return None


def check_algorithm(alg: Optional[str], codes: StatusCodes, url: str) -> bool:
    """Whether a hash algorithm is allowed (C2PA 2.2, 15.4.3); algorithm.unsupported if not."""
    if alg in HASH_ALGORITHMS:
        return True
    named = "no hash algorithm is given" if alg is None else f"hash algorithm {cut(repr(alg), 40)} is not allowed"
    codes.add(status.ALGORITHM_UNSUPPORTED, url, f"{named} (C2PA 2.2, 13.1)")
    return False


# -- the assertions (15.10) ----------------------------------------------------------------------


def check_assertions(store: ManifestStore, check: ManifestCheck, redacted: set[str]) -> None:
    """15.10.3.1 for every assertion the claim lists, and what the store holds unlisted. `redacted`
    holds the absolute URIs of every assertion redacted anywhere in the asset's lineage."""
    manifest, claim, codes = check.manifest, check.claim, check.codes
    assert claim is not None
    seen: set[int] = set()
    present = manifest.assertions()
    by_url = {a.url: a for a in present}
    # A claim never redacts its own assertions (C2PA 2.2, 15.10.3.1).
    for uri in claim.value.get("redacted_assertions") or []:
        if store.manifest_of(uri, manifest) == manifest.label:
            codes.add(status.ASSERTION_SELF_REDACTED, claim.url, f"the claim redacts its own assertion {cut(uri)}")
    for item, listed_in in claim.listed():
        uri = item.get("url")
        absolute = store.absolute(uri, manifest)
        label = uri.rsplit("/", 1)[-1] if isinstance(uri, str) else ""
        kind = base_label(label)
        if absolute is not None and absolute in redacted:
            # Redacted: nothing to hash; actions and hard bindings are never redacted.
            if kind in ACTIONS:
                codes.add(status.ASSERTION_ACTION_REDACTED, absolute, "an actions assertion is redacted")
            elif is_hard_binding(kind):
                codes.add(status.ASSERTION_DATA_HASH_REDACTED, absolute, "a hard-binding assertion is redacted")
            assertion = by_url.get(absolute)
            if assertion is not None:
                seen.add(assertion.node.box.box.start)
                check.checked.append(Checked(assertion, listed_in, redacted=True))
            continue
        if absolute is None or store.manifest_of(uri, manifest) != manifest.label:
            if absolute is None:
                codes.add(status.ASSERTION_MISSING, claim.url, f"{cut(str(uri))} is not a JUMBF URI of this store")
            else:
                codes.add(status.ASSERTION_OUTSIDE_MANIFEST, claim.url,
                          f"{cut(uri)} is not in the claim's own manifest")  # fmt: skip
            continue
        target = store.resolve(uri, manifest)
        assertion = by_url.get(absolute)
        if target is None or assertion is None:
            codes.add(status.ASSERTION_MISSING, claim.url, f"the claim lists {cut(uri)}, which the manifest lacks")
            continue
        seen.add(assertion.node.box.box.start)
        entry = Checked(assertion, listed_in)
        check.checked.append(entry)
        alg = hash_algorithm(item, claim.value)
        if check_algorithm(alg, codes, absolute):
            assert alg is not None
            if isinstance(item.get("hash"), bytes) and store.digest(target, alg) == item["hash"]:
                entry.matched = True
                codes.add(status.ASSERTION_HASHED_URI_MATCH, absolute, f"hashed URI matches ({alg})")
            else:
                codes.add(status.ASSERTION_HASHED_URI_MISMATCH, absolute,
                          "the assertion's hash does not match the claim's hashed URI")  # fmt: skip
        decode(store, entry, codes)
    for assertion in present:
        if assertion.node.box.box.start not in seen:
            codes.add(status.ASSERTION_UNDECLARED, assertion.url, "the claim does not list this assertion")
    check.hard_bindings = [c for c in check.checked if is_hard_binding(c.assertion.type) and not c.redacted]


def decode(store: ManifestStore, entry: Checked, codes: StatusCodes) -> None:
    """An assertion's content, decoded once; assertion.cbor.invalid or .json.invalid when it does
    not decode (C2PA 2.2, 15.10.3.1)."""
    assertion = entry.assertion
    try:
        entry.value = store.value(assertion)
        entry.decoded = True
    except cbor.CborError as e:
        codes.add(status.ASSERTION_CBOR_INVALID, assertion.url, str(e))
    except ValueError as e:
        code = status.ASSERTION_JSON_INVALID if assertion.content_type == JSON_TYPE else status.GENERAL_ERROR
        codes.add(code, assertion.url, str(e))


def check_required(check: ManifestCheck) -> None:
    """The assertions a standard or an update manifest must hold or must not (C2PA 2.2, 15.10.1)."""
    manifest, claim, codes = check.manifest, check.claim, check.codes
    assert claim is not None
    bindings = [c for c in check.checked if is_hard_binding(c.assertion.type)]
    parents = [c for c in check.of_type(*INGREDIENTS)
               if isinstance(c.value, dict) and c.value.get("relationship") == "parentOf"]  # fmt: skip
    actions = check.of_type(*ACTIONS)
    if manifest.kind == STANDARD:
        if not bindings:
            codes.add(status.CLAIM_HARD_BINDINGS_MISSING, claim.url, "the claim lists no hard-binding assertion")
        elif len(bindings) > 1:
            listed = ", ".join(cut(c.assertion.label, 60) for c in bindings[:4])
            store_url = bindings[1].assertion.url.rsplit("/", 1)[0]
            codes.add(status.ASSERTION_MULTIPLE_HARD_BINDINGS, store_url,
                      f"{len(bindings)} hard-binding assertions ({listed}); a manifest has one")  # fmt: skip
        if len(parents) > 1:
            codes.add(status.MANIFEST_MULTIPLE_PARENTS, claim.url, f"{len(parents)} ingredients are parentOf")
        if not actions:
            later = " (a rule that came after this first-version claim's C2PA 1.x)" if claim.version == 1 else ""
            codes.add(status.CLAIM_MALFORMED, claim.url,
                      f"the claim lists no actions assertion (C2PA 2.2, 10.2.2 and 15.10.1.2){later}")  # fmt: skip
        return
    # An update manifest (C2PA 2.2, 11.2.3 and 15.10.1.3).
    ingredients = check.of_type(*INGREDIENTS)
    if len(ingredients) != 1 or len(parents) != 1:
        codes.add(status.MANIFEST_UPDATE_WRONG_PARENTS, claim.url,
                  f"an update manifest has one parentOf ingredient; this has {len(ingredients)} ingredients,"
                  f" {len(parents)} parentOf")  # fmt: skip
    forbidden = [c for c in check.checked if is_hard_binding(c.assertion.type)
                 or THUMBNAIL.fullmatch(c.assertion.type) or c.assertion.type == "c2pa.hash.multi-asset"]  # fmt: skip
    for c in forbidden:
        codes.add(status.MANIFEST_UPDATE_INVALID, c.assertion.url,
                  f"an update manifest may not hold {cut(c.assertion.type)}")  # fmt: skip
    for c in actions:
        for action in (c.value.get("actions") if isinstance(c.value, dict) else None) or []:
            name = action.get("action") if isinstance(action, dict) else None
            if name not in UPDATE_ACTIONS:
                codes.add(status.MANIFEST_UPDATE_INVALID, c.assertion.url,
                          f"an update manifest may not record the action {cut(repr(name), 60)}")  # fmt: skip
                break


def check_actions(store: ManifestStore, check: ManifestCheck) -> None:
    """C2PA 2.2, 15.10.3.2.2 (and 18.14.2: at most one c2pa.created or c2pa.opened)."""
    manifest, codes = check.manifest, check.codes
    actions = [c for c in check.of_type(*ACTIONS) if c.decoded and not c.redacted]
    first_seen = malformed = 0
    for index, entry in enumerate(actions):
        url = entry.assertion.url
        value = entry.value
        items = value.get("actions") if isinstance(value, dict) else None
        if not isinstance(items, list) or not items or not all(isinstance(a, dict) for a in items):
            codes.add(status.ASSERTION_ACTION_MALFORMED, url, "the assertion has no actions array of maps")
            malformed += 1
            continue
        v1 = entry.assertion.type == "c2pa.actions"
        for position, action in enumerate(items):
            name = action.get("action")
            if not isinstance(name, str):
                codes.add(status.ASSERTION_ACTION_MALFORMED, url, f"action {position} has no action name")
                continue
            problem = action_problem(store, manifest, name, action, v1, first=index == 0 and position == 0)
            if name in FIRST_ACTIONS:
                first_seen += 1
            if problem:
                codes.add(problem[0], url, problem[1])
    if first_seen > 1:
        codes.add(status.ASSERTION_ACTION_MALFORMED, actions[0].assertion.url,
                  f"{first_seen} c2pa.created or c2pa.opened actions; a manifest has at most one"
                  " (C2PA 2.2, 18.14.2)")  # fmt: skip
    elif manifest.kind == STANDARD and actions and not first_seen and not malformed:
        codes.add(status.ASSERTION_ACTION_MALFORMED, actions[0].assertion.url,
                  "no c2pa.created or c2pa.opened action (C2PA 2.2, 15.10.1.2)")  # fmt: skip


def action_problem(store: ManifestStore, manifest: Manifest, name: str, action: dict[str, Any], v1: bool,
                   first: bool) -> Optional[tuple[str, str]]:  # fmt: skip
    """The failure (code, explanation) of one action, or None."""
    if name in FIRST_ACTIONS and not first:
        return (status.ASSERTION_ACTION_MALFORMED,
                f"{name} is not the first action of the first actions assertion")  # fmt: skip
    parameters = action.get("parameters")
    key = "ingredient" if v1 else "ingredients"
    refs = parameters.get(key) if isinstance(parameters, dict) else None
    if v1 and isinstance(refs, dict):
        refs = [refs]  # a first-version action names one ingredient (C2PA 2.2, 18.14.12, parameters-map)
    # The relationship each action's ingredients have, and whether they are in this manifest.
    wanted = {"c2pa.opened": ("parentOf", True), "c2pa.placed": ("componentOf", True),
              "c2pa.removed": ("componentOf", False), "c2pa.transcoded": ("parentOf", True),
              "c2pa.repackaged": ("parentOf", True)}  # fmt: skip
    if name in ("c2pa.opened", "c2pa.placed", "c2pa.removed"):
        if not isinstance(refs, list) or not refs:
            return (status.ASSERTION_ACTION_INGREDIENT_MISMATCH, f"{name} names no ingredient in parameters.{key}")
        if name == "c2pa.opened" and len(refs) != 1:
            return (status.ASSERTION_ACTION_INGREDIENT_MISMATCH, f"c2pa.opened names {len(refs)} ingredients, not one")
    if name in wanted and refs is not None:
        relationship, here = wanted[name]
        if not isinstance(refs, list):
            return (status.ASSERTION_ACTION_INGREDIENT_MISMATCH, f"{name}'s parameters.{key} is not an array")
        for ref in refs:
            problem = ingredient_reference_problem(store, manifest, ref, relationship, here)
            if problem:
                return (status.ASSERTION_ACTION_INGREDIENT_MISMATCH, f"{name}: {problem}")
    if name == "c2pa.redacted":
        uri = parameters.get("redacted") if isinstance(parameters, dict) else None
        target = store.resolve(uri, manifest) if isinstance(uri, str) else None
        if target is None or isinstance(target, Manifest):
            return (status.ASSERTION_ACTION_REDACTION_MISMATCH,
                    "c2pa.redacted names no assertion that can be found in parameters.redacted")  # fmt: skip
    return None


def ingredient_reference_problem(store: ManifestStore, manifest: Manifest, ref: Any, relationship: str,
                                 here: bool) -> Optional[str]:  # fmt: skip
    """Why a hashed URI is not a valid reference to an ingredient assertion of the wanted
    relationship, in this manifest (`here`) or another; None when it is."""
    if not is_hashed_uri(ref):
        return "an ingredient reference is not a hashed URI"
    uri = ref["url"]
    if (store.manifest_of(uri, manifest) == manifest.label) != here:
        return f"{cut(uri)} is not an ingredient of {'this' if here else 'another'} manifest"
    target = store.resolve(uri, manifest)
    if not isinstance(target, Node):
        return f"{cut(uri)} cannot be found"
    kind = base_label(target.label or "")
    if kind not in INGREDIENTS:
        return f"{cut(uri)} is not an ingredient assertion"
    alg = hash_algorithm(ref)
    alg = alg if alg is not None else "sha256"
    if alg not in HASH_ALGORITHMS or store.digest(target, alg) != ref["hash"]:
        return f"{cut(uri)} does not match its hash"
    try:
        value = store.value(Assertion(target, store.absolute(uri, manifest) or ""))
    except ValueError:
        return f"{cut(uri)} does not decode"
    if not isinstance(value, dict) or value.get("relationship") != relationship:
        return f"{cut(uri)} is not a {relationship} ingredient"
    return None


def check_time_stamps(check: ManifestCheck) -> None:
    """A c2pa.time-stamp assertion is a map with at least one entry (C2PA 2.2, 15.10.3.2.4)."""
    for entry in check.of_type("c2pa.time-stamp"):
        if entry.decoded and not entry.redacted and not (isinstance(entry.value, dict) and entry.value):
            check.codes.add(status.ASSERTION_TIMESTAMP_MALFORMED, entry.assertion.url,
                            "a c2pa.time-stamp assertion is a map with at least one entry")  # fmt: skip


def check_references(store: ManifestStore, check: ManifestCheck) -> None:
    """Every hashed URI inside a standard assertion resolves and matches (C2PA 2.2, 15.10.3.3),
    but an ingredient's manifest references, which 15.11 validates; and the claim generator's icon
    (15.6.2)."""
    claim = check.claim
    sources: list[tuple[Any, str, tuple[str, ...]]] = []
    if claim is not None:
        sources.append((claim.value.get("claim_generator_info"), claim.url, ()))
    for entry in check.checked:
        if not entry.decoded or entry.redacted or not entry.assertion.label.startswith("c2pa."):
            continue
        skipped = INGREDIENT_REFERENCES if entry.assertion.type in INGREDIENTS else ()
        sources.append((entry.value, entry.assertion.url, skipped))
    for value, url, skip in sources:
        for ref, parent in hashed_uris(value, skip):
            target = store.resolve(ref["url"], check.manifest)
            if target is None:
                check.codes.add(status.HASHED_URI_MISSING, url, f"{cut(ref['url'])} cannot be found")
                continue
            alg = hash_algorithm(ref, parent, value, claim.value if claim else None)
            if not check_algorithm(alg, check.codes, url):
                continue
            assert alg is not None
            if not isinstance(ref.get("hash"), bytes) or store.digest(target, alg) != ref["hash"]:
                check.codes.add(status.HASHED_URI_MISMATCH, url, f"{cut(ref['url'])} does not match its hash")


def hashed_uris(value: Any, skip: tuple[str, ...] = ()) -> Iterator[tuple[dict[str, Any], Any]]:
    """The hashed URIs (maps with a self#jumbf url and a hash field) inside a decoded value, with the
    map or array holding each; walked without recursion, as deep as the decoder allowed."""
    stack: list[tuple[Any, Any, bool]] = [(value, None, True)]
    while stack:
        item, parent, top = stack.pop()
        if isinstance(item, dict):
            url = item.get("url")
            if isinstance(url, str) and url.startswith("self#jumbf=") and "hash" in item:
                yield item, parent
                continue
            stack.extend((v, item, False) for k, v in item.items() if not (top and k in skip))
        elif isinstance(item, list):
            stack.extend((v, parent, False) for v in item)
