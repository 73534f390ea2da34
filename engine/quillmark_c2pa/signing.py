"""Signing a font: a C2PA 2.2 Manifest Store built, signed and embedded in one call.

    from quillmark_c2pa import sign, PemSigner
    signer = PemSigner.from_files("key.pem", "chain.pem")
    signed = sign(font_bytes, signer)                           # c2pa.hash.boxes, embedded
    signed = sign(font_bytes, signer, binding="data", tsa_url="http://tsa.example/")
    subset = sign(subset_bytes, signer, parent=original_signed, actions=["font.subset"])

Each call makes one manifest with a fresh label (urn:c2pa: and a UUID v4) and a fresh instanceID
(C2PA 2.2, 8.1 and 10.2.2), holding:
- c2pa.actions.v2: c2pa.created with a digitalSourceType first, or, with a parent, c2pa.opened
  naming the parent's ingredient assertion; then the actions named (font.subset, ...; C2PA 2.2,
  18.14.2 and Table 9);
- font.info from the font's name, OS/2 and head tables (C2PA 2.2, 18.22; see fontinfo.py), left
  out with a note when the font lacks a field it requires;
- with a parent: c2pa.ingredient.v3 (relationship parentOf, the parent's active manifest and claim
  signature as hashed URIs, the parent's validation results; C2PA 2.2, 18.15), and the parent's
  manifests copied byte for byte into the new store ahead of the new one (18.15.11);
- the definition's assertions;
- the hard binding: c2pa.hash.boxes (C2PA 2.2, 18.7.3.6), or c2pa.hash.data (18.5) with
  `binding="data"`;
and a v2 claim listing them all as created assertions, signed as COSE_Sign1_Tagged with `alg` and
`x5chain` in the protected header and the claim as detached payload (C2PA 2.2, 10.3.2.4 and 13.2),
with an RFC 3161 time-stamp as `sigTst2` when a TSA is named (10.3.2.5).

Box hash is one phase: the tables' digests do not depend on the store, which goes in whole
(`embed_manifest_store`, or reserved to its exact size beside a URI and filled).

Data hash is one pass too, with a single reservation: every part of the store has a size known
before anything is hashed. The data-hash assertion is sized for exclusion numbers of five CBOR
bytes (a font's offsets are 32-bit) and padded with `pad` (and `pad2` where `pad` alone cannot
reach the size, C2PA 2.2, 10.4.4) once the real ranges are known; the claim's hashed URIs have
fixed lengths; the signature's length follows from the certificate's key (`signature_length`).
A time-stamp token's length is known only once it arrives: room is kept for a token of the TSA's
usual size (learnt once per process from a first token) plus a margin, and the unprotected
header's `pad` fills what the token leaves (10.4.4). So the store is exactly the reserved size:
no zero padding after the superbox, no second reservation.

Nothing is returned, and so nothing is written, unless every step succeeded: a refused signer or
certificate, a TSA that fails, a parent that cannot be read are SigningError (or SignerError)
with a one-line message.
"""

from __future__ import annotations

import hashlib
import os
import re
import threading
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Optional, Sequence

import quillmark
from cryptography.hazmat.primitives.serialization import Encoding

from . import __version__, builder, cbor, cose, jumbf, sfnt
from .assertions import FIRST_ACTIONS
from .definition import ManifestDefinition
from .fontinfo import FontInfoError, font_info
from .signers import Signer, SignerError, check_signer, signature_length, verify_own
from .store import SIGNATURE_LABEL, ManifestStore

if TYPE_CHECKING:
    from .trust import TrustSettings

BINDINGS = ("boxes", "data")

# Action names a caller may add (C2PA 2.2, 18.14.12, $action-choice): c2pa.created and c2pa.opened
# are quillmark's to write, once, first (18.14.2).
ACTION = re.compile(r"([\da-zA-Z_-]+\.)+[\da-zA-Z_-]+")

# Room kept beyond the TSA's usual token size, and the pad that always stays, so that the pad's
# length stays within one CBOR head size (24 to 255 bytes) for tokens a little larger or smaller.
TOKEN_MARGIN = 96
TOKEN_PAD = 64

INGREDIENT = "c2pa.ingredient.v3"
ACTIONS = "c2pa.actions.v2"
FONT_INFO = "font.info"


class SigningError(ValueError):
    """A font that cannot be signed as asked; the message is one line."""


@dataclass
class SignResult:
    """What `sign_font` made: the signed font and what a report of it says."""

    font: bytes
    label: str  # the new active manifest's label, urn:c2pa:...
    instance_id: str
    binding: str  # "boxes" or "data"
    store_size: int  # bytes of the Manifest Store embedded
    notes: list[str] = field(default_factory=list)  # what was left out, and why


def sign(
    font: bytes,
    signer: Signer,
    *,
    definition: Optional[ManifestDefinition] = None,
    binding: str = "boxes",
    parent: Optional[bytes] = None,
    actions: Sequence[str] = (),
    tsa_url: Optional[str] = None,
    force: bool = False,
    uri: Optional[str] = None,
) -> bytes:
    """The font with a signed C2PA Manifest Store in its C2PA table (see the module's text).

    `definition`: the user's title, generator and assertions. `binding`: "boxes" (default) or
    "data". `parent`: the signed font this one derives from (or the font's own signed self, to
    sign it again). `actions`: the actions done to it (font.subset, ...). `tsa_url`: an RFC 3161
    time-stamp authority. `force`: replace a manifest the font holds without keeping it. `uri`:
    an active manifest URI to store beside the manifest."""
    return sign_font(
        font, signer, definition=definition, binding=binding, parent=parent, actions=actions,
        tsa_url=tsa_url, force=force, uri=uri,
    ).font  # fmt: skip


def sign_font(
    font: bytes,
    signer: Signer,
    *,
    definition: Optional[ManifestDefinition] = None,
    binding: str = "boxes",
    parent: Optional[bytes] = None,
    actions: Sequence[str] = (),
    tsa_url: Optional[str] = None,
    force: bool = False,
    uri: Optional[str] = None,
    trust: Optional[TrustSettings] = None,
    now: Optional[datetime] = None,
) -> SignResult:
    """`sign`, returning the label, binding and store size too. `trust` (a TrustSettings) is
    what the parent is validated against; `now` the time the certificate is judged at."""
    if binding not in BINDINGS:
        raise SigningError(f"unknown binding {binding!r}: 'boxes' or 'data'")
    for action in actions:
        if action in FIRST_ACTIONS or not ACTION.fullmatch(action):
            raise SigningError(f"{action!r} is not an action to add (C2PA 2.2, 18.14)")
    definition = definition or ManifestDefinition()
    now = now or datetime.now(timezone.utc)
    tables = sfnt.read_directory(font)
    existing = _existing_manifest(font, tables)
    if existing and parent is None and not force:
        if existing == "a C2PA Manifest Store":
            hint = "give it as the parent to keep its history, or force to replace it"
        elif existing == "a remote manifest URI":  # never fetched, so no parent can be made of it
            hint = "the remote manifest is not fetched, so it cannot be kept as the parent: force to replace it"
        else:
            hint = "force to replace it"
        raise SigningError(f"the font already holds {existing}: {hint}")
    if existing and parent is not None and not force:
        lost = _manifests_not_in(font, parent)
        if lost:
            raise SigningError(
                f"the font's own manifest {lost} is not in the parent's store and would be lost: give the font"
                " itself (or the font it came from) as the parent, or force to replace it"
            )
    check_signer(signer, now)

    notes: list[str] = []
    label, instance_id = builder.new_manifest_label(), builder.new_instance_id()
    created: list[tuple[str, bytes]] = []  # (label, assertion box), in the store's order
    copied: list[bytes] = []
    agent = definition.software_agent

    def make_action(name: str, **more: Any) -> dict[str, Any]:
        item: dict[str, Any] = {"action": name, **more}
        if agent:
            item["softwareAgent"] = agent
        return item

    if parent is not None:
        copied, ingredient = _ingredient(parent, trust, now)
        failed = sorted({entry["code"] for entry in ingredient["validationResults"]["activeManifest"]["failure"]})
        if failed:  # recorded in the ingredient, as C2PA 2.2, 15.11 asks, and said: check will not repeat it
            notes.append(f"the parent fails validation ({', '.join(failed[:5])}{', ...' if len(failed) > 5 else ''}):"
                         " its manifests are kept and its results recorded in the ingredient")  # fmt: skip
        box = builder.cbor_assertion(INGREDIENT, ingredient)
        created.append((INGREDIENT, box))
        first = make_action(
            "c2pa.opened", parameters={"ingredients": [builder.hashed_uri(builder.assertion_url(INGREDIENT), box)]}
        )
    else:
        first = make_action("c2pa.created", digitalSourceType=definition.digital_source_type)
    listed = {"actions": [first, *(make_action(name) for name in actions)]}
    created.append((ACTIONS, builder.cbor_assertion(ACTIONS, listed)))
    try:
        created.append((FONT_INFO, builder.cbor_assertion(FONT_INFO, font_info(font, tables))))
    except FontInfoError as e:
        notes.append(f"no font.info: {e}")
    _within_validators_limits(definition)
    for assertion in definition.assertions:
        created.append((assertion.label, builder.cbor_assertion(assertion.label, assertion.data)))

    generator = {"name": "quillmark", "version": __version__, **definition.generator_extras()}
    protected = cose.protected_header(signer.alg, [c.public_bytes(Encoding.DER) for c in signer.certificates])
    parts = _Parts(label, instance_id, generator, definition.title, created, copied, protected)

    if binding == "boxes":
        boxes = {
            "alg": builder.HASH,
            "boxes": [{"names": [name], "hash": digest, "pad": b""} for name, digest in quillmark.box_hashes(font)],
        }
        if not _fits_the_item_budget([cbor.encode(boxes)], cbor.STORE_ITEMS_ALLOWANCE // 4):
            raise SigningError(
                f"a box hash of the font's {len(boxes['boxes'])} tables holds more CBOR items than validators read"
                " in a store of its size (assertion.cbor.invalid): sign it with the data hash"
            )
        parts.created.append(("c2pa.hash.boxes", builder.cbor_assertion("c2pa.hash.boxes", boxes)))
        claim = parts.claim()
        store = parts.store(claim, _signature(signer, protected, claim, tsa_url))
        if uri is None:
            signed = quillmark.embed_manifest_store(font, store)
        else:
            signed = quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, len(store), uri), store)
    else:
        signed, store = _sign_by_data(font, signer, parts, tsa_url, uri)
    return SignResult(signed, label, instance_id, binding, len(store), notes)


def _within_validators_limits(definition: ManifestDefinition) -> None:
    """Refuse user assertions that quillmark's validator would reject, so that `sign` never writes
    a font its own check fails: the data items of all the store's CBOR documents count together
    (cbor.Budget: one per STORE_BYTES_PER_ITEM bytes of the store plus STORE_ITEMS_ALLOWANCE). The
    user's assertions are given their own bytes' share and half the allowance (_fits_the_item_budget)."""
    encoded = [cbor.encode(assertion.data) for assertion in definition.assertions]
    if not _fits_the_item_budget(encoded, cbor.STORE_ITEMS_ALLOWANCE // 2):
        raise SigningError(
            "the definition's assertions hold more CBOR items than validators read in a store of their size"
            f" (one per {cbor.STORE_BYTES_PER_ITEM} bytes plus {cbor.STORE_ITEMS_ALLOWANCE // 2})"
            " (assertion.cbor.invalid)"
        )


def _fits_the_item_budget(documents: "list[bytes]", allowance: int) -> bool:
    """Whether the CBOR `documents` decode within the validator's item budget for their own bytes
    plus `allowance` (a share of cbor.STORE_ITEMS_ALLOWANCE: the user's assertions take half, the
    box hash a quarter, and the rest is left for the claim, actions, font.info and an ingredient)."""
    size = sum(len(data) for data in documents)
    budget = cbor.Budget(min(cbor.MAX_STORE_ITEMS, size // cbor.STORE_BYTES_PER_ITEM + allowance))
    try:
        for data in documents:
            cbor.decode(data, budget=budget)
    except cbor.CborError:
        return False
    return True


@dataclass
class _Parts:
    label: str
    instance_id: str
    generator: dict[str, Any]
    title: Optional[str]
    created: list[tuple[str, bytes]]  # (label, assertion box)
    copied: list[bytes]  # the parent's boxes, byte for byte
    protected: bytes

    def claim(self) -> bytes:
        return builder.claim(
            instance_id=self.instance_id, generator=self.generator, created=self.created, title=self.title
        )

    def store(self, claim: bytes, sign1: bytes) -> bytes:
        manifest = builder.manifest(self.label, [box for _, box in self.created], claim, sign1)
        return builder.store([*self.copied, manifest])


def _existing_manifest(font: bytes, tables: list[sfnt.Table]) -> Optional[str]:
    """What provenance the font carries already: a Manifest Store that is more than reserved
    zeros, or a remote manifest URI; None when it carries none."""
    for table in sfnt.c2pa_tables(tables):
        try:
            c2pa = sfnt.read_c2pa_table(font, table)
        except sfnt.SfntError:
            return "a C2PA table"
        if c2pa.store_range is not None:
            start, length = c2pa.store_range
            if any(memoryview(font)[start : start + length]):
                return "a C2PA Manifest Store"
        if c2pa.uri_range is not None:
            return "a remote manifest URI"
    return None


def _manifest_labels(font: bytes) -> list[str]:
    """The labels of the manifests in a font's store; [] when it has none that reads."""
    try:
        return [m.label or "" for m in ManifestStore(quillmark.read_manifest_store(font)).manifests]
    except ValueError:
        return []


def _manifests_not_in(font: bytes, parent: bytes) -> Optional[str]:
    """The label of a manifest the font holds that the parent's store lacks (the font's own
    history, which replacing its store would drop), or None."""
    kept = set(_manifest_labels(parent))
    for label in _manifest_labels(font):
        if label not in kept:
            return label
    return None


def _signature(
    signer: Signer, protected: bytes, claim: bytes, tsa_url: Optional[str], unprotected_size: Optional[int] = None
) -> bytes:
    """The COSE_Sign1_Tagged of `claim` (C2PA 2.2, 10.3.2.4), time-stamped when `tsa_url` is set;
    with `unprotected_size`, the unprotected header padded to exactly that many bytes."""
    to_be_signed = cose.sig_structure(protected, claim)
    signature = signer.sign(to_be_signed)
    if len(signature) != signature_length(signer):
        raise SignerError(
            f"the signer returned {len(signature)} bytes, not the {signature_length(signer)} of a {signer.alg} signature"
        )
    verify_own(signer, to_be_signed, signature)
    unprotected: dict[str, Any] = {}
    if tsa_url is not None:
        token = _time_stamp(tsa_url, protected, signature, signer.alg)
        unprotected[cose.HEADER_SIG_TST2] = {"tstTokens": [{"val": token}]}
    if unprotected_size is not None:
        try:
            unprotected = builder.fit_pad(unprotected, unprotected_size, second=None)
        except ValueError:
            raise SigningError(
                "the time-stamp authority's token is much larger than its first one; sign this font again"
            ) from None
    return cose.encode_sign1(protected, unprotected, signature)


def _time_stamp(url: str, protected: bytes, signature: bytes, alg: str) -> bytes:
    """An RFC 3161 token over the v2 payload: the signature as its serialized bstr, in a
    CounterSignature Sig_structure (C2PA 2.2, 10.3.2.5.2 and 10.3.2.5.3), hashed with the
    signature's own hash where it has one (10.3.2.5.3: "should")."""
    from . import timestamp

    data = timestamp.v2_imprint_input(protected, signature)
    try:
        token = timestamp.request_timestamp(url, data, hash_name=_STAMP_HASHES.get(alg[-3:], "sha256"))
    except timestamp.TimeStampError as e:
        raise SigningError(str(e)) from None
    with _TOKEN_LOCK:
        _TOKEN_SIZES.setdefault((url, alg[-3:]), len(token))
    return token


_STAMP_HASHES = {"256": "sha256", "384": "sha384", "512": "sha512"}
_TOKEN_SIZES: dict[tuple[str, str], int] = {}
_TOKEN_LOCK = threading.Lock()


def _token_size(url: str, alg: str) -> int:
    """The size of the TSA's tokens, asked of it once per process with a throwaway request."""
    with _TOKEN_LOCK:
        size = _TOKEN_SIZES.get((url, alg[-3:]))
    if size is None:
        _time_stamp(url, b"", os.urandom(32), alg)
        size = _TOKEN_SIZES[(url, alg[-3:])]
    return size


# Exclusion numbers as large as a font's 32-bit offsets make them: five CBOR bytes each.
_WIDEST = 0xFFFFFFFF


def _sign_by_data(
    font: bytes, signer: Signer, parts: _Parts, tsa_url: Optional[str], uri: Optional[str]
) -> tuple[bytes, bytes]:
    widest = {
        "alg": builder.HASH,
        "hash": bytes(hashlib.new(builder.HASH).digest_size),
        "exclusions": [{"start": _WIDEST, "length": _WIDEST}] * 3,
        "pad": b"",
    }
    assertion_size = len(cbor.encode(widest))
    salt = os.urandom(builder.SALT_SIZE)
    index = len(parts.created)
    parts.created.append(("c2pa.hash.data", builder.cbor_assertion("c2pa.hash.data", widest, salt=salt)))

    unprotected: dict[str, Any] = {}
    if tsa_url is not None:
        room = bytes(_token_size(tsa_url, signer.alg) + TOKEN_MARGIN)
        unprotected = {cose.HEADER_SIG_TST2: {"tstTokens": [{"val": room}]}, cose.HEADER_PAD: bytes(TOKEN_PAD)}
    unprotected_size = len(cbor.encode(unprotected))
    placeholder = cose.encode_sign1(parts.protected, unprotected, bytes(signature_length(signer)))
    size = len(parts.store(parts.claim(), placeholder))

    reserved = quillmark.reserve_manifest_placeholder(font, size, uri)
    ranges = quillmark.data_hash_ranges(reserved)
    digest, view, position = hashlib.new(builder.HASH), memoryview(reserved), 0
    for start, length in ranges:  # ascending and apart: every byte outside them, in file order
        digest.update(view[position:start])
        position = start + length
    digest.update(view[position:])
    data_hash = builder.fit_pad(
        {
            "alg": builder.HASH,
            "hash": digest.digest(),
            "exclusions": [{"start": start, "length": length} for start, length in ranges],
        },
        assertion_size,
    )
    parts.created[index] = ("c2pa.hash.data", builder.cbor_assertion("c2pa.hash.data", data_hash, salt=salt))
    claim = parts.claim()
    sign1 = _signature(signer, parts.protected, claim, tsa_url, unprotected_size if tsa_url else None)
    store = parts.store(claim, sign1)
    if len(store) != size:  # every size above is fixed by construction; this would be a fault here
        raise SigningError(f"internal error: the signed store is {len(store)} bytes, {size} were reserved")
    return quillmark.fill_manifest_store(reserved, store), store


def _ingredient(parent: bytes, trust: Optional[TrustSettings], now: datetime) -> tuple[list[bytes], dict[str, Any]]:
    """The parent's store's boxes (its manifests and anything else it holds, copied byte for byte,
    C2PA 2.2, 18.15.11) and the c2pa.ingredient.v3 map that names its active manifest."""
    from .validation import validate

    try:
        data = quillmark.read_manifest_store(parent)
        store = ManifestStore(data)
    except ValueError as e:
        raise SigningError(f"the parent holds no readable Manifest Store: {e}") from None
    active = store.active
    label = active.label if active is not None else None
    if active is None or not label:
        raise SigningError("the parent's Manifest Store holds no manifest")
    # Every box of the store, superbox or not (a padding box, one this reader does not know).
    boxes = (c.box if isinstance(c, jumbf.Superbox) else c for c in store.box.children)
    copied = [data[b.start : b.end] for b in boxes]
    ingredient: dict[str, Any] = {"relationship": "parentOf"}
    try:
        ingredient["dc:title"] = font_info(parent)["fullName"]
    except (FontInfoError, ValueError):
        pass
    ingredient["dc:format"] = "font/otf" if parent[:4] == b"OTTO" else "font/ttf"
    # Hashed as the validator hashes what a hashed URI names (store.ManifestStore.digest).
    ingredient["activeManifest"] = {"url": builder.manifest_url(label), "hash": store.digest(active, builder.HASH)}
    signatures = [node for node in active.signatures() if node.label == SIGNATURE_LABEL]
    if len(signatures) == 1:
        ingredient["claimSignature"] = {"url": f"{builder.manifest_url(label)}/{SIGNATURE_LABEL}",
                                        "hash": store.digest(signatures[0], builder.HASH)}  # fmt: skip
    results = validate(parent, trust=trust, now=now).results
    ingredient["validationResults"] = results.as_json()
    return copied, ingredient
