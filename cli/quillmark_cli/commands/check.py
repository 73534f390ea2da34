"""`quillmark check`: does each signed font match the hard binding its Manifest Store carries?

For release pipelines: run it on the fonts about to be published. It reads each font itself (the
table directory, the C2PA table, the JUMBF boxes and the CBOR of the assertions) and hashes the
font with hashlib, independently of the quillmark module's writers. It stops a font at its first
failure, in this order:

1. the font parses, has exactly one C2PA table, and its checksums are right;
2. the table holds a Manifest Store (a URI alone is reported, never fetched), not a placeholder;
3. the store is one Manifest Store superbox, framed as C2PA 2.2, 11.1.4 frames it;
4. the active manifest has exactly one hard binding (C2PA 2.2, 11.2.2 and 15.10.1.2);
5. a c2pa.hash.data binding (C2PA 2.2, 18.5 and 15.12.1) or
6. a c2pa.hash.boxes binding (C2PA 2.2, 18.7 and 15.12.3, with the font rules of 18.7.3.6)
   matches the font.

It never checks the claim signature, the certificate chain or the claim's other contents: that
is a C2PA validator's job (the C2PA library's).
"""

from __future__ import annotations

import argparse
import array
import hashlib
import io
import json
import re
import struct
import sys
from dataclasses import dataclass, field
from typing import Any, Optional

import cbor2

from quillmark_c2pa import jumbf
from ..discovery import Font, find_fonts
from ..inputs import load
from ..names import shown
from ..options import add_fonts, describe
from ..report import only_zeros
from ..runner import Outcome, message_of, run_fonts

NOT_CHECKED = (
    "the claim signature, the certificate chain and the claim's other contents are not checked:"
    " validate them with your C2PA library"
)
ALGORITHMS = ("sha256", "sha384", "sha512")  # C2PA 2.2, 13.1
# The most exclusions a note lists one by one: a store may hold any number of them.
SHOWN = 8
SFNT_VERSIONS = {b"\x00\x01\x00\x00", b"OTTO", b"true", b"typ1"}
MAGIC = 0xB1B0AFBA
MANIFESTS = (jumbf.MANIFEST, jumbf.LEGACY_MANIFEST, jumbf.UPDATE_MANIFEST, jumbf.COMPRESSED_MANIFEST)
# An assertion's type is its label without the version and instance suffixes (C2PA 2.2, 6.2.2 and 6.4).
HARD_BINDING = re.compile(r"(c2pa\.hash\.(?:data|boxes|bmff))(?:\.v\d+)?(?:__\d+)?")


class Failed(Exception):
    """A check failed: the reason, and the C2PA status code (C2PA 2.2, 15.2.2) where one applies."""

    def __init__(self, message: str, code: Optional[str] = None) -> None:
        super().__init__(message)
        self.message, self.code = message, code


@dataclass
class Report:
    """What checking one font found."""

    path: str
    binding: Optional[str] = None
    alg: Optional[str] = None
    failure: Optional[Failed] = None
    warnings: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def passed(self, strict: bool) -> bool:
        return self.failure is None and not (strict and self.warnings)

    def as_json(self, strict: bool) -> dict[str, Any]:
        failure = None if self.failure is None else {"code": self.failure.code, "message": self.failure.message}
        return {
            "path": self.path,
            "passed": self.passed(strict),
            "binding": self.binding,
            "alg": self.alg,
            "failure": failure,
            "warnings": self.warnings,
            "notes": self.notes,
            "not_checked": NOT_CHECKED,
        }


@dataclass(frozen=True)
class Table:
    tag: bytes
    checksum: int
    offset: int
    length: int

    @property
    def name(self) -> str:
        """The table's box name: its tag without trailing spaces (C2PA 2.2, 18.7.3.6)."""
        return self.tag.decode("latin-1").rstrip(" ")


# -- 1. the font ---------------------------------------------------------------------------------


def sfnt_sum(data: bytes) -> int:
    """The SFNT checksum: big-endian 32-bit words summed modulo 2**32, the data zero-padded."""
    words = array.array("I" if array.array("I").itemsize == 4 else "L")
    words.frombytes(bytes(data) + bytes(-len(data) % 4))
    if sys.byteorder == "little":
        words.byteswap()
    return sum(words) & 0xFFFFFFFF


def head_zeroed(font: bytes, table: Table) -> bytes:
    """A table's bytes, with a head table's checkSumAdjustment (bytes 8 to 11) taken as zero."""
    data = font[table.offset : table.offset + table.length]
    if table.tag == b"head" and table.length >= 12:
        data = data[:8] + bytes(4) + data[12:]
    return data


def read_directory(font: bytes) -> list[Table]:
    if len(font) < 12:
        raise Failed("not a font: shorter than the 12-byte offset table")
    version = font[:4]
    if version not in SFNT_VERSIONS:
        known = {b"ttcf": "a font collection", b"wOFF": "a WOFF font", b"wOF2": "a WOFF2 font"}
        raise Failed(f"not a plain SFNT font: {known.get(version, 'unknown sfnt version')}")
    (count,) = struct.unpack_from(">H", font, 4)
    if 12 + 16 * count > len(font):
        raise Failed(f"table directory of {count} tables runs past the end of the file")
    tables = [Table(*struct.unpack_from(">4sIII", font, 12 + 16 * i)) for i in range(count)]
    for table in tables:
        if table.offset + table.length > len(font):
            raise Failed(f"table {shown(table.name)} runs past the end of the file")
    # Tables that share bytes are each summed and hashed in full: bound the work a directory of
    # entries pointing at the same bytes could ask for.
    total = sum(t.length for t in tables)
    if total > work_limit(font):
        raise Failed(f"the tables overlap: {total} bytes of tables in a {len(font)}-byte file")
    return tables


def work_limit(font: bytes) -> int:
    """The most bytes that summing or hashing the tables of a font may take: twice the file."""
    return 2 * len(font) + 65536


def check_font_file(font: bytes, tables: list[Table]) -> Table:
    """Exactly one C2PA table, and every checksum right. Returns the C2PA table."""
    c2pa = [t for t in tables if t.tag == b"C2PA"]
    if not c2pa:
        raise Failed("no C2PA table")
    if len(c2pa) > 1:
        # More than one Manifest Store makes them all invalid (C2PA 2.2, 15.5.2.1).
        raise Failed(f"{len(c2pa)} C2PA tables; a font carries one")
    wrong = [t.name for t in tables if sfnt_sum(head_zeroed(font, t)) != t.checksum]
    if wrong:
        raise Failed("wrong table checksum: " + ", ".join(shown(name) for name in wrong))
    heads = [t for t in tables if t.tag == b"head" and t.length >= 12]
    if heads:
        (adjustment,) = struct.unpack_from(">I", font, heads[0].offset + 8)
        whole = font[: heads[0].offset + 8] + bytes(4) + font[heads[0].offset + 12 :]
        if adjustment != (MAGIC - sfnt_sum(whole)) & 0xFFFFFFFF:
            raise Failed("wrong checkSumAdjustment in the head table")
    return c2pa[0]


# -- 2. the C2PA table ---------------------------------------------------------------------------


def read_store(font: bytes, table: Table, report: Report, embedded: bool) -> Optional[tuple[int, bytes]]:
    """The Manifest Store's file offset and bytes (C2PA 2.2, A.3.9), or None for a URI alone."""
    if table.length < 20:
        raise Failed("C2PA table is shorter than its 20-byte header")
    _, _, uri_offset, uri_length, _, store_offset, store_length = struct.unpack_from(">HHIHHII", font, table.offset)
    if uri_length:
        if uri_offset + uri_length > table.length:
            raise Failed("C2PA table's active manifest URI runs past the end of the table")
        uri = font[table.offset + uri_offset : table.offset + uri_offset + uri_length]
        report.notes.append(f"active manifest URI {shown(uri.decode('utf-8', 'replace'))} (not fetched)")
    if not store_length:
        if not uri_length:
            raise Failed("C2PA table holds neither a Manifest Store nor a URI")
        if embedded:
            raise Failed("no embedded Manifest Store, only a URI")
        return None
    if store_offset + store_length > table.length:
        raise Failed("C2PA table's Manifest Store runs past the end of the table")
    start = table.offset + store_offset
    store = font[start : start + store_length]
    if only_zeros(store):
        raise Failed("not signed yet: the Manifest Store is a placeholder of zero bytes")
    return start, store


# -- 3. framing ----------------------------------------------------------------------------------


def read_manifest_store(store: bytes, report: Report) -> jumbf.Superbox:
    """The store as one Manifest Store superbox (C2PA 2.2, 11.1.4.2)."""
    try:
        outer = jumbf.read_box(store, 0, len(store))
        superbox = jumbf.read_superbox(store, outer)
    except jumbf.JumbfError as e:
        raise Failed(f"malformed JUMBF in the Manifest Store: {e}") from None
    description = superbox.description
    if description.type != jumbf.MANIFEST_STORE or description.label != "c2pa":
        raise Failed("the store's superbox is not a Manifest Store (type c2pa, label 'c2pa')")
    rest = store[outer.end :]
    if not only_zeros(rest):
        raise Failed(f"{len(rest)} bytes after the Manifest Store superbox, not all zero")
    if rest:
        # Whether bytes may follow the superbox is not stated for fonts (C2PA 2.2, A.3.9).
        report.warnings.append(
            f"{len(rest)} zero bytes pad the Manifest Store after its superbox; strict validators may refuse"
            " them: make the signed manifest exactly as long as the reservation"
        )
    return superbox


# -- 4. the hard binding -------------------------------------------------------------------------


def decode_cbor(store: bytes, superbox: jumbf.Superbox, what: str, code: Optional[str]) -> Any:
    """The value of the single cbor content box of a superbox, a CBOR map."""
    boxes = [c for c in superbox.children if isinstance(c, jumbf.Box) and c.type == b"cbor"]
    if len(boxes) != 1:
        raise Failed(f"{what} has {len(boxes)} cbor content boxes, not one", code)
    data = store[boxes[0].payload : boxes[0].end]
    stream = io.BytesIO(data)
    try:
        value = cbor2.CBORDecoder(stream).decode()
    except (cbor2.CBORError, ValueError, TypeError, OverflowError, LookupError, RecursionError) as e:
        raise Failed(f"{what} is not valid CBOR: {shown(str(e)[:200])}", code) from None
    if stream.tell() != len(data):
        raise Failed(f"{what} has {len(data) - stream.tell()} bytes after its CBOR", code)
    if not isinstance(value, dict):
        raise Failed(f"{what} is not a CBOR map", code)
    return value


def one(found: list[jumbf.Superbox], what: str, missing: Optional[str], several: Optional[str]) -> jumbf.Superbox:
    if not found:
        raise Failed(f"the active manifest has no {what}", missing)
    if len(found) > 1:
        raise Failed(f"the active manifest has {len(found)} {what}s", several)
    return found[0]


def hard_binding(store: bytes, manifests: jumbf.Superbox, report: Report) -> tuple[str, Any, Any]:
    """The active manifest's hard-binding assertion: its type, its CBOR map and the claim's."""
    # The last manifest in the store is the active one (C2PA 2.2, 15.5.1).
    found = [c for c in manifests.children if isinstance(c, jumbf.Superbox) and c.description.type in MANIFESTS]
    if not found:
        raise Failed("the Manifest Store holds no manifest", "claim.missing")
    manifest = found[-1]
    if manifest.description.type == jumbf.UPDATE_MANIFEST:
        raise Failed("the active manifest is an update manifest; check does not follow it to its parent")
    if manifest.description.type == jumbf.COMPRESSED_MANIFEST:
        raise Failed("the active manifest is compressed; check does not read compressed manifests")
    # Every manifest has an assertion store, a claim and a claim signature (C2PA 2.2, 11.2.1).
    assertions = one(manifest.superboxes(jumbf.ASSERTION_STORE), "assertion store", "assertion.missing", None)
    claim_box = one(manifest.superboxes(jumbf.CLAIM), "claim", "claim.missing", "claim.multiple")
    claim = decode_cbor(store, claim_box, "the claim", None)
    one(manifest.superboxes(jumbf.CLAIM_SIGNATURE), "claim signature", None, None)
    bindings = []
    for assertion in assertions.children:
        if isinstance(assertion, jumbf.Superbox) and assertion.description.label is not None:
            match = HARD_BINDING.fullmatch(assertion.description.label)
            if match:
                bindings.append((match[1], assertion))
    if not bindings:
        raise Failed("no hard binding (c2pa.hash.data or c2pa.hash.boxes)", "claim.hardBindings.missing")
    if len(bindings) > 1:
        labels = shown(", ".join(b.description.label or "" for _, b in bindings))[:200]
        raise Failed(f"{len(bindings)} hard bindings ({labels}); a manifest has one", "assertion.multipleHardBindings")
    kind, assertion = bindings[0]
    report.binding = kind
    if kind == "c2pa.hash.bmff":
        raise Failed("the hard binding is c2pa.hash.bmff, which binds BMFF files, not fonts")
    return kind, decode_cbor(store, assertion, f"the {kind} assertion", "assertion.cbor.invalid"), claim


def algorithm(*maps: Any, code: str = "algorithm.unsupported") -> str:
    """The first `alg` of the maps given, which must be one C2PA 2.2, 13.1 allows."""
    for value in maps:
        if isinstance(value, dict) and "alg" in value:
            alg = value["alg"]
            if alg not in ALGORITHMS:
                named = repr(alg[:40]) if isinstance(alg, str) else f"of type {type(alg).__name__}"
                raise Failed(f"hash algorithm {shown(named)} is not one of {', '.join(ALGORITHMS)}", code)
            return str(alg)
    raise Failed("no hash algorithm (alg) given", code)


# -- 5. c2pa.hash.data ---------------------------------------------------------------------------


def unsigned(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def check_data_hash(font: bytes, store_range: tuple[int, int], assertion: Any, claim: Any, report: Report) -> None:
    # alg from the assertion, else from the claim (C2PA 2.2, 18.5 and 13.1).
    report.alg = alg = algorithm(assertion, claim)
    expected = assertion.get("hash")
    if not isinstance(expected, bytes):
        raise Failed("the c2pa.hash.data assertion has no hash", "assertion.dataHash.mismatch")
    items = assertion.get("exclusions", [])
    exclusions: list[tuple[int, int]] = []
    for item in items if isinstance(items, list) else [None]:
        start = unsigned(item.get("start")) if isinstance(item, dict) else None
        length = unsigned(item.get("length")) if isinstance(item, dict) else None
        if start is None or length is None:
            raise Failed(
                "an exclusion is not a {start, length} pair of unsigned integers", "assertion.dataHash.malformed"
            )
        exclusions.append((start, length))
    # Sorted by start and not overlapping (C2PA 2.2, 18.5); inside the file (15.12.1.1).
    for (start, length), (next_start, _) in zip(exclusions, exclusions[1:]):
        if next_start < start + length:
            raise Failed("exclusions are out of order or overlap", "assertion.dataHash.malformed")
    for start, length in exclusions:
        if start + length > len(font):
            # The numbers come from the store: a bignum would not even convert to text.
            shown_range = f"({start}, {length})" if start + length < 2**64 else "(past 2**64)"
            raise Failed(f"exclusion {shown_range} runs past the end of the file", "assertion.dataHash.mismatch")
    if store_range not in exclusions:
        raise Failed(
            f"no exclusion is exactly the Manifest Store's range {store_range}", "assertion.dataHash.mismatch"
        )
    others = [e for e in exclusions if e != store_range]
    if others:
        report.notes.append(
            "exclusions besides the Manifest Store: " + " ".join(f"({s}, {n})" for s, n in others[:SHOWN])
            + (f" and {len(others) - SHOWN} more" if len(others) > SHOWN else "")
            + " (assertion.dataHash.additionalExclusionsPresent)"
        )
    # One digest over every byte outside the exclusions, in file order (C2PA 2.2, 10.4.1).
    digest, view, position = hashlib.new(alg), memoryview(font), 0
    for start, length in exclusions:
        digest.update(view[position:start])
        position = start + length
    digest.update(view[position:])
    if digest.digest() != expected:
        raise Failed("the hash of the font outside the exclusions does not match", "assertion.dataHash.mismatch")


# -- 6. c2pa.hash.boxes --------------------------------------------------------------------------


def check_box_hash(font: bytes, tables: list[Table], assertion: Any, report: Report) -> None:
    boxes = assertion.get("boxes")
    if not isinstance(boxes, list) or not boxes:
        raise Failed("the c2pa.hash.boxes assertion has no boxes", "assertion.boxesHash.malformed")
    # The boxes of a font are its tables, in its directory order, the directory itself not
    # hashed (C2PA 2.2, 18.7.3.6).
    position, algs, hashed = 0, set(), 0
    for entry in boxes:
        names = entry.get("names") if isinstance(entry, dict) else None
        if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
            raise Failed("a box entry has no names", "assertion.boxesHash.malformed")
        shown_names = shown(", ".join(names))[:200]
        covered = tables[position : position + len(names)]
        if [t.name for t in covered] != names:
            raise misplaced(names, shown_names, tables[position:], tables, boxes)
        position += len(names)
        expected = entry.get("hash")
        if not isinstance(expected, bytes):
            raise Failed(f"box {shown_names} has no hash", "assertion.boxesHash.mismatch")
        if "C2PA" in names:
            # The box holding the manifest hashes as 00 (C2PA 2.2, 18.7).
            if names != ["C2PA"] or expected != b"\x00":
                raise Failed("the C2PA box must be listed alone with the hash 00", "assertion.boxesHash.mismatch")
            continue
        if entry.get("excluded") is True:
            report.warnings.append(f"box {shown_names} is excluded from the hash")
            continue
        # No claim fallback for a box hash's alg (C2PA 2.2, 15.12.3).
        alg = algorithm(entry, assertion)
        algs.add(alg)
        digest = hashlib.new(alg)
        if len(covered) == 1:
            digest.update(head_zeroed(font, covered[0]))
        else:
            # Several names: from the first table's start to the last one's end, gaps included
            # (C2PA 2.2, 15.12.3).
            first, last = covered[0], covered[-1]
            # Each table must start where the one before it ends, or later: a span from the
            # first table's start to the last one's end covers no table that lies elsewhere.
            if any(b.offset < a.offset + a.length for a, b in zip(covered, covered[1:])):
                raise Failed(
                    f"tables {shown_names} do not follow one another in the file", "assertion.boxesHash.mismatch"
                )
            span = font[first.offset : last.offset + last.length]
            hashed += len(span)
            if hashed > work_limit(font):
                raise Failed("the boxes' byte ranges overlap", "assertion.boxesHash.mismatch")
            for table in covered:
                if table.tag == b"head" and table.length >= 12:
                    at = table.offset - first.offset + 8
                    span = span[:at] + bytes(4) + span[at + 4 :]
            digest.update(span)
        if digest.digest() != expected:
            raise Failed(f"box {shown_names} does not match its hash", "assertion.boxesHash.mismatch")
    if position < len(tables):
        raise uncovered([t.name for t in tables[position:]])
    # Bytes outside the directory and the tables (past their 4-byte padding) are in no box.
    outside, position = 0, 0
    spans = [(0, 12 + 16 * len(tables))] + [(t.offset, (t.offset + t.length + 3) & ~3) for t in tables]
    for start, end in sorted(spans):
        outside += max(0, start - position)
        position = max(position, end)
    outside += max(0, len(font) - position)
    if outside:
        report.warnings.append(f"{outside} bytes of the file lie outside every table, where no box hash covers them")
    report.alg = ", ".join(sorted(algs)) or None


def uncovered(names: list[str]) -> Failed:
    """Tables that no box covers (C2PA 2.2, 15.12.3.2)."""
    listed = ", ".join(shown(n) for n in names)
    return Failed(f"tables not covered by any box: {listed}", "assertion.boxesHash.unknownBox")


def misplaced(names: list[str], shown_names: str, rest: list[Table], tables: list[Table], boxes: list[Any]) -> Failed:
    """Why a box entry does not name the next tables of the directory (`rest`): a name that no
    table has, tables that no entry names at all, or else the order."""
    present = {t.name for t in tables}
    unknown = [n for n in names if n not in present]
    if unknown:
        quoted = shown(", ".join(f"'{n}'" for n in unknown))[:200]
        return Failed(f"box {shown_names}: the font has no table named {quoted}", "assertion.boxesHash.mismatch")
    listed = {n for e in boxes if isinstance(e, dict) and isinstance(e.get("names"), list) for n in e["names"]
              if isinstance(n, str)}  # fmt: skip
    left_out = [t.name for t in tables if t.name not in listed]
    if left_out:
        return uncovered(left_out)
    after = f"the next table is {shown(rest[0].name)}" if rest else "every table is covered before it"
    return Failed(
        f"box {shown_names} is not the next table in the font's directory order; {after}",
        "assertion.boxesHash.mismatch",
    )


# -- the whole check -----------------------------------------------------------------------------


def check_font(font: bytes, path: str = "", embedded: bool = False) -> Report:
    """Checks one font's hard binding; the report holds the first failure, if any."""
    report = Report(path)
    try:
        tables = read_directory(font)
        c2pa = check_font_file(font, tables)
        found = read_store(font, c2pa, report, embedded)
        if found is None:
            return report
        start, store = found
        manifests = read_manifest_store(store, report)
        kind, assertion, claim = hard_binding(store, manifests, report)
        if kind == "c2pa.hash.data":
            check_data_hash(font, (start, len(store)), assertion, claim, report)
        else:
            check_box_hash(font, tables, assertion, report)
    except Failed as failure:
        report.failure = failure
    return report


def report_lines(report: Report, strict: bool) -> list[str]:
    name = shown(report.path)
    lines = [f"{name}: note: {note}" for note in report.notes]
    lines += [f"{name}: {'FAIL (--strict)' if strict else 'warning'}: {warning}" for warning in report.warnings]
    if report.failure is not None:
        code = f" [{report.failure.code}]" if report.failure.code else ""
        lines.append(f"{name}: FAIL: {report.failure.message}{code}")
    elif report.passed(strict):
        binding = f"{report.binding} matches ({report.alg})" if report.binding else "no embedded store to check"
        lines.append(f"{name}: ok: {binding}")
    return lines


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    def work(font: Font, _: str) -> Outcome:
        try:
            data = load(font.path)
        except Exception as e:  # a file that cannot be read, or is no font: a failed check like any other
            report = Report(font.path, failure=Failed(message_of(e, font.path)))
        else:
            report = check_font(data, font.path, args.embedded)
        lines = [json.dumps(report.as_json(args.strict))] if args.json else report_lines(report, args.strict)
        return Outcome(lines=lines, status=0 if report.passed(args.strict) else 1)

    fonts = find_fonts(args.fonts)
    status = run_fonts(args, fonts, work, [""] * len(fonts))
    if not args.json and not args.quiet:
        print(f"quillmark check: {NOT_CHECKED}", file=sys.stderr)
    return status


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, ". Exit status: 0 every font passes, 1 some font fails, 2 usage error.")
    sub.epilog = f"Only the hard binding is checked; {NOT_CHECKED}."
    add_fonts(sub)
    sub.add_argument("--json", action="store_true", help="print one JSON object per font, one a line")
    sub.add_argument("--embedded", action="store_true", help="fail a font whose C2PA table holds only a URI")
    sub.add_argument("--strict", action="store_true", help="fail on warnings too (a zero-padded store)")
