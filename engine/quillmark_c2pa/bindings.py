"""The hard bindings of a font (C2PA 2.2, 15.12): does the font hold the bytes its manifest's
`c2pa.hash.data` (15.12.1) or `c2pa.hash.boxes` (15.12.3, with the font rules of 18.7.3.6)
assertion was made over?

`check_hard_binding` returns status entries, never raises on what a store holds: the binding's
`.match` code on success (after any informational entries), or one failure code with a one-line
explanation. Every byte of the font is hashed at most about once (hashlib over memoryview slices,
no copies, the GIL released while it hashes), and the work and the messages stay bounded whatever
the assertion lists: its lists are walked once or a few times, never once per item per item, and
a message names at most a few items, each cut short.
"""

from __future__ import annotations

import hashlib
import itertools
from typing import Any, Iterable, List, Optional, Sequence, Set, Tuple

from . import sfnt, status
from .results import StatusEntry
from .sfnt import Table
from .store import HASH_ALGORITHMS, SHOWN_TEXT, base_label
from .store import cut as store_cut

# The hard bindings to content of C2PA 2.2, 15.10.1.2, by assertion type (the label without its
# instance suffix, 6.4; a version suffix is part of the type, 6.2.2): the one list that validation
# counts, refuses in update manifests and checks. c2pa.hash.bmff, the first BMFF hash that 2.0
# removed, is read as one too, for older manifests. c2pa.hash.multi-asset is not one: "it is not
# considered a hard binding" (18.9.2).
DATA_HASH, BOXES_HASH, COLLECTION_HASH = "c2pa.hash.data", "c2pa.hash.boxes", "c2pa.hash.collection.data"
BMFF_HASHES = ("c2pa.hash.bmff", "c2pa.hash.bmff.v2", "c2pa.hash.bmff.v3")
HARD_BINDINGS = frozenset({DATA_HASH, BOXES_HASH, COLLECTION_HASH, *BMFF_HASHES})
# The most items (exclusions, names) an explanation lists one by one; its most characters of text
# taken from the store are store.SHOWN_TEXT.
SHOWN = 8


def hard_binding_type(label: str) -> Optional[str]:
    """The hard-binding type an assertion label names (`c2pa.hash.boxes__1` gives
    `c2pa.hash.boxes`), or None for any other assertion."""
    kind = base_label(label)
    return kind if kind in HARD_BINDINGS else None


def is_hard_binding(label: str) -> bool:
    """Whether an assertion label (or type) is a hard binding of C2PA 2.2, 15.10.1.2."""
    return base_label(label) in HARD_BINDINGS


class _Failed(Exception):
    """Ends a check with one failure code; turned into a status entry before it leaves the module."""

    def __init__(self, code: str, explanation: str) -> None:
        super().__init__(explanation)
        self.code, self.explanation = code, explanation


def check_hard_binding(
    font: bytes,
    tables: Sequence[Table],
    store_range: Tuple[int, int],
    label: str,
    assertion: Any,
    claim: Any,
    url: str,
) -> List[StatusEntry]:
    """The status entries of one hard-binding assertion of the active manifest.

    `tables` is `sfnt.read_directory(font)`; `store_range` the file range (start, length) of the
    Manifest Store in the C2PA table; `label` the assertion's label and `assertion` its decoded
    CBOR; `claim` the decoded claim (its `alg` serves a data hash that names none, C2PA 2.2,
    13.1); `url` the assertion's JUMBF URI, given in every entry."""
    kind = hard_binding_type(label)
    found: List[StatusEntry] = []
    try:
        if kind == DATA_HASH:
            alg, others = check_data_hash(font, store_range, assertion, claim)
            if others:
                found.append(StatusEntry(status.ASSERTION_DATA_HASH_ADDITIONAL_EXCLUSIONS_PRESENT, url, others))
            found.append(StatusEntry(status.ASSERTION_DATA_HASH_MATCH, url, f"{label} matches ({alg})"))
        elif kind == BOXES_HASH:
            algs, notes = check_box_hash(font, tables, assertion)
            found += [StatusEntry(code, url, note) for code, note in notes]
            found.append(StatusEntry(status.ASSERTION_BOXES_HASH_MATCH, url, f"{label} matches ({algs})"))
        elif kind in BMFF_HASHES:
            raise _Failed(status.ASSERTION_BMFF_HASH_MISMATCH,
                          f"the hard binding is {kind}, which binds BMFF files, not fonts")  # fmt: skip
        else:
            raise _Failed(status.GENERAL_ERROR, f"the hard binding {cut(label)} is not one that binds a font")
    except _Failed as failed:
        found.append(StatusEntry(failed.code, url, failed.explanation))
    return found


# -- the text of explanations --------------------------------------------------------------------


def cut(text: str, limit: int = SHOWN_TEXT) -> str:
    """At most `limit` characters of text read from a store, then what is unprintable escaped, as
    every explanation takes text from a store (`store.cut`): a name may hold a newline."""
    return store_cut(text, limit)


def listed(names: Iterable[str], quote: bool = False) -> str:
    """Names joined with commas, at most SHOWN_TEXT characters of them: only the names shown are
    read, and each is cut before it is joined, so a list of millions or a name of megabytes
    costs no more than a short one."""
    out: List[str] = []
    size = 0
    for name in names:
        if size > SHOWN_TEXT:
            break
        name = name[: SHOWN_TEXT + 1]
        out.append(f"'{name}'" if quote else name)
        size += len(out[-1]) + 2
    return cut(", ".join(out))


def algorithm(*maps: Any, code: str = status.ALGORITHM_UNSUPPORTED) -> str:
    """The first `alg` of the maps given, which must be one C2PA 2.2, 13.1 allows."""
    for value in maps:
        if isinstance(value, dict) and "alg" in value:
            alg = value["alg"]
            if alg not in HASH_ALGORITHMS:
                named = repr(cut(alg, 40)) if isinstance(alg, str) else f"of type {type(alg).__name__}"
                raise _Failed(code, f"hash algorithm {named} is not one of {', '.join(HASH_ALGORITHMS)}")
            return str(alg)
    raise _Failed(code, "no hash algorithm (alg) given")


# -- c2pa.hash.data (C2PA 2.2, 18.5 and 15.12.1) -------------------------------------------------------


def unsigned(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def exclusion(item: Any) -> Tuple[int, int]:
    start = unsigned(item.get("start")) if isinstance(item, dict) else None
    length = unsigned(item.get("length")) if isinstance(item, dict) else None
    if start is None or length is None:
        raise _Failed(status.ASSERTION_DATA_HASH_MALFORMED,
                      "an exclusion is not a {start, length} pair of unsigned integers")  # fmt: skip
    return start, length


def check_data_hash(font: bytes, store_range: Tuple[int, int], assertion: Any, claim: Any) -> Tuple[str, str]:
    """The algorithm, and an explanation of the exclusions besides the Manifest Store's ("" when
    there are none); raises _Failed. The exclusions are walked a few times, never copied: an
    assertion may hold a million of them."""
    if not isinstance(assertion, dict):
        raise _Failed(status.ASSERTION_DATA_HASH_MALFORMED, "the c2pa.hash.data assertion is not a CBOR map")
    # alg from the assertion, else from the claim (C2PA 2.2, 18.5 and 13.1).
    alg = algorithm(assertion, claim)
    expected = assertion.get("hash")
    if not isinstance(expected, bytes):
        raise _Failed(status.ASSERTION_DATA_HASH_MISMATCH, "the c2pa.hash.data assertion has no hash")
    items = assertion.get("exclusions", [])
    if not isinstance(items, list):
        raise _Failed(status.ASSERTION_DATA_HASH_MALFORMED, "the exclusions are not an array")
    # Sorted by start and not overlapping (C2PA 2.2, 18.5 and 15.12.1.1).
    end = 0
    for item in items:
        start, length = exclusion(item)
        if start < end:
            raise _Failed(status.ASSERTION_DATA_HASH_MALFORMED, "exclusions are out of order or overlap")
        end = start + length
    # Inside the file (15.12.1.1): sorted, they end in order, so the last one ends furthest.
    if end > len(font):
        start, length = next(e for e in map(exclusion, items) if e[0] + e[1] > len(font))
        end = start + length
        # The numbers come from the store: a bignum would not even convert to text.
        shown = f"({start}, {length})" if end < 2**64 else "(past 2**64)"
        raise _Failed(status.ASSERTION_DATA_HASH_MISMATCH, f"exclusion {shown} runs past the end of the file")
    store_start, store_length = store_range
    store_range = (store_start, store_length)
    if not any(exclusion(item) == store_range for item in items):
        raise _Failed(status.ASSERTION_DATA_HASH_MISMATCH,
                      f"no exclusion is exactly the Manifest Store's range {store_range}")  # fmt: skip
    # Any other exclusion is informational (15.12.1.1).
    others = (e for e in map(exclusion, items) if e != store_range)
    first = list(itertools.islice(others, SHOWN))
    more = sum(1 for _ in others)
    note = ""
    if first:
        note = "exclusions besides the Manifest Store: " + " ".join(f"({s}, {n})" for s, n in first)
        note += f" and {more} more" if more else ""
    # One digest over every byte outside the exclusions, in file order (C2PA 2.2, 10.4.1).
    digest, view, position = hashlib.new(alg), memoryview(font), 0
    for item in items:
        start, length = exclusion(item)
        digest.update(view[position:start])
        position = start + length
    digest.update(view[position:])
    if digest.digest() != expected:
        raise _Failed(status.ASSERTION_DATA_HASH_MISMATCH, "the hash of the font outside the exclusions does not match")
    return alg, note


# -- c2pa.hash.boxes (C2PA 2.2, 18.7, 15.12.3 and 18.7.3.6) ---------------------------------------------


def entry_names(entry: Any) -> List[str]:
    names = entry.get("names") if isinstance(entry, dict) else None
    if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
        raise _Failed(status.ASSERTION_BOXES_HASH_MALFORMED, "a box entry has no names")
    return names


def check_box_hash(font: bytes, tables: Sequence[Table], assertion: Any) -> Tuple[str, List[Tuple[str, str]]]:
    """The algorithms used, and informational (code, explanation) pairs; raises _Failed."""
    boxes = assertion.get("boxes") if isinstance(assertion, dict) else None
    if not isinstance(boxes, list) or not boxes:
        raise _Failed(status.ASSERTION_BOXES_HASH_MALFORMED, "the c2pa.hash.boxes assertion has no boxes")
    # The boxes of a font are its tables, in its directory order, the directory itself not
    # hashed (C2PA 2.2, 18.7.3.6).
    position, algs, hashed, notes = 0, set(), 0, []
    limit = sfnt.work_limit(font)
    for entry in boxes:
        names = entry_names(entry)
        covered = tables[position : position + len(names)]
        if len(covered) != len(names) or any(t.name != n for t, n in zip(covered, names)):
            raise misplaced(names, tables[position:], tables, boxes)
        position += len(names)
        expected = entry.get("hash")
        if not isinstance(expected, bytes):
            raise _Failed(status.ASSERTION_BOXES_HASH_MISMATCH, f"box {listed(names)} has no hash")
        if "C2PA" in names:
            # The box holding the manifest hashes as 00 (C2PA 2.2, 18.7).
            if names != ["C2PA"] or expected != b"\x00":
                raise _Failed(status.ASSERTION_BOXES_HASH_MISMATCH,
                              "the C2PA box must be listed alone with the hash 00")  # fmt: skip
            continue
        if entry.get("excluded") is True:
            # A mismatch of an excluded box is no failure (15.12.3): it is not hashed at all.
            notes.append((status.QUILLMARK_BOX_EXCLUDED, f"box {listed(names)} is excluded from the hash"))
            continue
        # No claim fallback for a box hash's alg (C2PA 2.2, 15.12.3).
        alg = algorithm(entry, assertion)
        algs.add(alg)
        first, last = covered[0], covered[-1]
        if len(covered) > 1:
            # Several names: from the first table's start to the last one's end, gaps included
            # (C2PA 2.2, 15.12.3). Each table must start where the one before it ends, or later:
            # a span from the first table's start to the last one's end covers no table that
            # lies elsewhere.
            if any(b.offset < a.end for a, b in zip(covered, covered[1:])):
                raise _Failed(status.ASSERTION_BOXES_HASH_MISMATCH,
                              f"tables {listed(names)} do not follow one another in the file")  # fmt: skip
        hashed += last.end - first.offset
        if hashed > limit:
            raise _Failed(status.ASSERTION_BOXES_HASH_MISMATCH, "the boxes' byte ranges overlap")
        digest = hashlib.new(alg)
        # head's checkSumAdjustment as zero (18.7.3.6), in one pass over the entry's tables.
        for piece in sfnt.head_zeroed(font, first.offset, last.end, covered):
            digest.update(piece)
        if digest.digest() != expected:
            raise _Failed(status.ASSERTION_BOXES_HASH_MISMATCH, f"box {listed(names)} does not match its hash")
    if position < len(tables):
        raise uncovered(t.name for t in tables[position:])
    # Bytes outside the directory and the tables (past their 4-byte padding) are in no box.
    outside, position = 0, 0
    spans = [(0, sfnt.directory_end(len(tables)))] + [(t.offset, (t.end + 3) & ~3) for t in tables]
    for start, end in sorted(spans):
        outside += max(0, start - position)
        position = max(position, end)
    outside += max(0, len(font) - position)
    if outside:
        explanation = f"{outside} bytes of the file lie outside every table, where no box hash covers them"
        notes.append((status.QUILLMARK_BYTES_OUTSIDE_TABLES, explanation))
    return ", ".join(sorted(algs)) or "no box hashed", notes


def uncovered(names: Iterable[str]) -> _Failed:
    """Tables that no box covers (C2PA 2.2, 15.12.3.2)."""
    return _Failed(status.ASSERTION_BOXES_HASH_UNKNOWN_BOX, f"tables not covered by any box: {listed(names)}")


def misplaced(names: List[str], rest: Sequence[Table], tables: Sequence[Table], boxes: List[Any]) -> _Failed:
    """Why a box entry does not name the next tables of the directory (`rest`): a name that no
    table has, tables that no entry names at all, or else the order. Sets of the font's table
    names only (at most 65,535), whatever the entries hold."""
    present = {t.name for t in tables}
    unknown = (n for n in names if n not in present)
    first_unknown = list(itertools.islice(unknown, SHOWN))
    if first_unknown:
        unknown_names = listed(first_unknown, quote=True)
        return _Failed(status.ASSERTION_BOXES_HASH_MISMATCH, f"box {listed(names)}: the font has no table named {unknown_names}")
    named: Set[str] = set()
    for entry in boxes:
        found = entry.get("names") if isinstance(entry, dict) else None
        if isinstance(found, list):
            named.update(n for n in found if isinstance(n, str) and n in present)
    left_out = [t.name for t in tables if t.name not in named]
    if left_out:
        return uncovered(left_out)
    after = f"the next table is {rest[0].name}" if rest else "every table is covered before it"
    return _Failed(status.ASSERTION_BOXES_HASH_MISMATCH,
                   f"box {listed(names)} is not the next table in the font's directory order; {after}")  # fmt: skip
