"""`quillmark check`: passes fonts whose store is framed and bound as C2PA frames and binds one,
and fails, each with its reason and status code, every way a signed font goes wrong."""

from __future__ import annotations

import hashlib
import io
import json
import struct
import subprocess
import sysconfig
from pathlib import Path

import pytest

import manifest_store as ms
import quillmark
from conftest import (box_store, c2pa_header, directory, fix_checksums, hash_outside, independent_box_hashes, make_font,
                      sign_boxes, sign_data)  # fmt: skip
from quillmark_cli.commands import check
from quillmark_cli.commands.check import check_font

TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
URI = "https://example.com/font.c2pa"


def change_byte(font: bytes, tag: bytes, at: int = 20) -> bytes:
    (offset,) = [o for t, _, o, _ in directory(font) if t == tag]
    out = bytearray(font)
    out[offset + at] ^= 0x01
    return bytes(out)


def failure(font: bytes, **kwargs) -> tuple[str, str | None]:
    report = check_font(font, **kwargs)
    assert report.failure is not None, report
    return report.failure.message, report.failure.code


@pytest.mark.parametrize("uri", [None, URI])
@pytest.mark.parametrize("sign", [sign_data, sign_boxes], ids=["data", "boxes"])
def test_signed_fonts_pass(any_font, sign, uri):
    report = check_font(sign(any_font, uri), embedded=True)
    assert (report.failure, report.warnings) == (None, [])
    assert report.binding == f"c2pa.hash.{'data' if sign is sign_data else 'boxes'}"
    assert (f"active manifest URI {URI} (not fetched)" in report.notes) == (uri is not None)
    # A font reserved by quillmark excludes the two checksum fields beside the store.
    assert any("additionalExclusionsPresent" in note for note in report.notes) == (sign is sign_data)


def test_a_note_lists_a_few_exclusions_and_counts_the_rest(truetype_font):
    many = [(position, 0) for position in range(20, 120)]  # between the directory's checksum and the store
    report = check_font(sign_data(truetype_font, edit=lambda ranges: sorted([*ranges, *many])))
    assert report.failure is None
    (note,) = report.notes
    assert note.startswith("exclusions besides the Manifest Store: (16, 4) (20, 0) (21, 0)")
    assert note.endswith(" (26, 0) and 94 more (assertion.dataHash.additionalExclusionsPresent)")


def box_signed(font: bytes, alg: str, hash_alg: str | None = None) -> bytes:
    """Signed by a box hash whose assertion names `alg` and whose digests are `hash_alg`'s."""
    boxes = independent_box_hashes(quillmark.embed_manifest_store(font, b"x"), hash_alg or alg)
    return quillmark.embed_manifest_store(font, ms.manifest_store([("c2pa.hash.boxes", ms.box_hash(boxes, alg))]))


def data_signed_without_alg(font: bytes) -> bytes:
    def store(ranges, digest=bytes(32)):
        assertion = ms.data_hash(digest, ranges)
        del assertion["alg"]
        return ms.manifest_store([("c2pa.hash.data", assertion)])

    reserved, ranges = ms.reserve_exactly(font, None, store)
    return quillmark.fill_manifest_store(reserved, store(ranges, hash_outside(reserved, ranges)))


def test_algorithms(truetype_font):
    for alg in ("sha384", "sha512"):
        assert check_font(box_signed(truetype_font, alg)).alg == alg
    assert failure(box_signed(truetype_font, "sha512", "sha256"))[1] == "assertion.boxesHash.mismatch"
    assert failure(box_signed(truetype_font, "md5", "sha256")) == (
        "hash algorithm 'md5' is not one of sha256, sha384, sha512", "algorithm.unsupported")
    # No alg in a data hash: the claim's (sha256) serves (C2PA 2.2, 18.5).
    assert check_font(data_signed_without_alg(truetype_font)).alg == "sha256"


def test_a_box_of_several_tables_covers_them_and_the_padding_between(truetype_font):
    """Several names: one hash from the first table's start to the last one's end, with head's
    checkSumAdjustment as zero (C2PA 2.2, 15.12.3 and 18.7.3.6)."""
    layout = quillmark.embed_manifest_store(truetype_font, b"any store")
    where = {t.decode().rstrip(): (o, n) for t, _, o, n in directory(layout)}

    def group(first: str, last: str) -> bytes:
        span = bytearray(layout[where[first][0] : sum(where[last])])
        if "head" in where and where[first][0] <= where["head"][0] < sum(where[last]):
            at = where["head"][0] - where[first][0] + 8
            span[at : at + 4] = bytes(4)
        return hashlib.sha256(span).digest()

    def grouped(boxes):
        names = [name for name, _ in boxes]
        out, i = [], 0
        while i < len(boxes):
            if names[i] in ("glyf", "hhea"):  # glyf+head, hhea+hmtx+loca
                width = 2 if names[i] == "glyf" else 3
                out.append({"names": names[i : i + width], "hash": group(names[i], names[i + width - 1]), "pad": b""})
                i += width
            else:
                out.append({"names": [names[i]], "hash": boxes[i][1], "pad": b""})
                i += 1
        return out

    boxes = independent_box_hashes(layout)
    store = ms.manifest_store([("c2pa.hash.boxes", {"alg": "sha256", "boxes": grouped(boxes)})])
    signed = quillmark.embed_manifest_store(truetype_font, store)
    assert check_font(signed).failure is None
    message, code = failure(fix_checksums(change_byte(signed, b"hmtx", 0)))
    assert (message, code) == ("box hhea, hmtx, loca does not match its hash", "assertion.boxesHash.mismatch")


def test_a_box_of_several_tables_fails_when_they_lie_out_of_order(truetype_font):
    """A directory that lists hmtx before hhea, which comes first in the file: the span from
    hmtx's start to loca's end leaves hhea out, so a box naming hmtx, hhea and loca must fail,
    or a change to hhea would pass unseen."""

    def store(font, group_hash=bytes(32)):
        entries = [{"names": [n], "hash": d, "pad": b""} for n, d in independent_box_hashes(font)]
        at = [e["names"] for e in entries].index(["hmtx"])
        entries[at : at + 3] = [{"names": ["hmtx", "hhea", "loca"], "hash": group_hash, "pad": b""}]
        return ms.manifest_store([("c2pa.hash.boxes", {"alg": "sha256", "boxes": entries})])

    size = len(store(quillmark.embed_manifest_store(truetype_font, b"any store")))
    font = bytearray(quillmark.reserve_manifest_placeholder(truetype_font, size))
    records = {t: 12 + 16 * i for i, (t, *_) in enumerate(directory(bytes(font)))}
    hhea, hmtx = records[b"hhea"], records[b"hmtx"]
    font[hhea : hhea + 16], font[hmtx : hmtx + 16] = font[hmtx : hmtx + 16], font[hhea : hhea + 16]
    where = {t: (o, n) for t, _, o, n in directory(bytes(font))}
    assert where[b"hhea"][0] < where[b"hmtx"][0] < where[b"loca"][0]
    span = hashlib.sha256(font[where[b"hmtx"][0] : sum(where[b"loca"])]).digest()
    (_, (start, length), _) = quillmark.data_hash_ranges(bytes(font))
    font[start : start + length] = store(bytes(font), span)
    signed = fix_checksums(bytes(font))
    assert failure(signed) == ("tables hmtx, hhea, loca do not follow one another in the file",
                               "assertion.boxesHash.mismatch")  # fmt: skip


def resave(font: bytes, edit: bool = True) -> bytes:
    """The font opened and saved again by fontTools, after a one-second change of head.modified."""
    from fontTools.ttLib import TTFont

    out, tt = io.BytesIO(), TTFont(io.BytesIO(font), recalcTimestamp=False)
    if edit:
        tt["head"].modified += 1
    tt.save(out)
    return out.getvalue()


@pytest.mark.parametrize("sign", [sign_data, sign_boxes], ids=["data", "boxes"])
def test_a_resave_that_keeps_every_table_keeps_a_box_hash_only(truetype_font, sign):
    """fontTools lays the tables out afresh: a data hash breaks, the box hash of unchanged
    tables holds (the directory is not hashed, C2PA 2.2, 18.7.3.6)."""
    report = check_font(resave(sign(truetype_font), edit=False))
    if sign is sign_boxes:
        assert report.failure is None
    else:  # fontTools puts the C2PA table after the others
        assert report.failure.message.startswith("no exclusion is exactly the Manifest Store's range")


def two_c2pa_tables(font: bytes) -> bytes:
    tables = [(t, font[o : o + n]) for t, _, o, n in directory(font)]
    return make_font(tables + [(b"C2PA", dict(tables)[b"C2PA"])])


def shifted(ranges):
    return [(s + 1, n) if n > 4 else (s, n) for s, n in ranges]


def overlapping(ranges):
    return [ranges[0], (ranges[0][0] + 2, 2), *ranges[1:]]


ACTIONS = ("c2pa.actions.v2", {"actions": [{"action": "c2pa.created"}]})
SECOND_DATA_HASH = ("c2pa.hash.data__1", ms.data_hash(bytes(32), [(0, 1)]))

def with_c2pa_table(font: bytes, table: bytes) -> bytes:
    """The font with a C2PA table of these bytes, checksums right."""
    return fix_checksums(make_font([(t, font[o : o + n]) for t, _, o, n in directory(font)] + [(b"C2PA", table)]))


def manifest(*children: bytes, kind: bytes = ms.MANIFEST) -> bytes:
    """A Manifest Store of one manifest with these children, framed by hand."""
    return ms.superbox(ms.MANIFEST_STORE, "c2pa", ms.superbox(kind, "urn:c2pa:x", *children))


def assertions(*pairs) -> bytes:
    return ms.superbox(ms.ASSERTION_STORE, "c2pa.assertions", *(ms.cbor_superbox(ms.CBOR, *pair) for pair in pairs))


CLAIM = ms.cbor_superbox(ms.CLAIM, "c2pa.claim.v2", {"alg": "sha256"})
SIGNATURE = ms.cbor_superbox(ms.SIGNATURE, "c2pa.signature", {})
BOXES = ("c2pa.hash.boxes", {"alg": "sha256", "boxes": [{"names": ["C2PA"], "hash": b"\0", "pad": b""}]})


def embedded(store: bytes):
    return lambda font: quillmark.embed_manifest_store(font, store)


def boxes_without_alg(font: bytes) -> bytes:
    """A box hash with no alg, in its entries or the assertion: the claim's does not serve."""
    boxes = ms.box_hash(independent_box_hashes(quillmark.embed_manifest_store(font, b"any store")))["boxes"]
    return quillmark.embed_manifest_store(font, ms.manifest_store([("c2pa.hash.boxes", {"boxes": boxes})]))


# (signing, tampering, expected message (a part of it), status code)
BROKEN = {
    "data-changed-byte": (sign_data, lambda f: fix_checksums(change_byte(f, b"glyf")),
                          "the hash of the font outside the exclusions does not match", "assertion.dataHash.mismatch"),
    "boxes-changed-byte": (sign_boxes, lambda f: fix_checksums(change_byte(f, b"glyf")),
                           "box glyf does not match its hash", "assertion.boxesHash.mismatch"),
    "changed-byte-checksum": (sign_boxes, lambda f: change_byte(f, b"glyf"), "wrong table checksum: glyf", None),
    "changed-adjustment": (sign_boxes, lambda f: change_byte(f, b"head", 8),
                           "wrong checkSumAdjustment in the head table", None),
    "data-resaved": (sign_data, resave, "no exclusion is exactly the Manifest Store's range",
                     "assertion.dataHash.mismatch"),
    "boxes-resaved": (sign_boxes, resave, "box head does not match its hash", "assertion.boxesHash.mismatch"),
    "wrong-exclusion": (lambda f: sign_data(f, edit=shifted), None,
                        "no exclusion is exactly the Manifest Store's range", "assertion.dataHash.mismatch"),
    "overlapping-exclusions": (lambda f: sign_data(f, edit=overlapping), None,
                               "exclusions are out of order or overlap", "assertion.dataHash.malformed"),
    "exclusion-past-end": (lambda f: sign_data(f, edit=lambda r: [*r, (10**9, 1)]), None,
                           "exclusion (1000000000, 1) runs past the end of the file", "assertion.dataHash.mismatch"),
    "exclusion-bignum": (lambda f: sign_data(f, edit=lambda r: [*r, (10**5000, 1)]), None,
                         "exclusion (past 2**64) runs past the end of the file", "assertion.dataHash.mismatch"),
    "trailing-garbage": (lambda f: quillmark.embed_manifest_store(f, box_store(f) + b"junk"), None,
                         "4 bytes after the Manifest Store superbox, not all zero", None),
    "placeholder": (lambda f: quillmark.reserve_manifest_placeholder(f, 1000), None, "not signed yet", None),
    "two-c2pa-tables": (sign_boxes, two_c2pa_tables, "2 C2PA tables", None),
    "no-hard-binding": (lambda f: quillmark.embed_manifest_store(f, ms.manifest_store([ACTIONS])), None,
                        "no hard binding", "claim.hardBindings.missing"),
    "two-hard-bindings": (lambda f: sign_boxes(f, extra=[SECOND_DATA_HASH]), None,
                          "2 hard bindings (c2pa.hash.boxes, c2pa.hash.data__1)", "assertion.multipleHardBindings"),
    "box-missing": (lambda f: sign_boxes(f, edit=lambda b: b[:-1]), None,
                    "tables not covered by any box: post", "assertion.boxesHash.unknownBox"),
    "box-missing-between": (lambda f: sign_boxes(f, edit=lambda b: [x for x in b if x[0] != "glyf"]), None,
                            "tables not covered by any box: glyf", "assertion.boxesHash.unknownBox"),
    # The boxes of the font before embedding, as fontTools lists them: no C2PA box.
    "boxes-of-the-unsigned-font": (lambda f: sign_boxes(f, edit=lambda _: independent_box_hashes(f)), None,
                                   "tables not covered by any box: C2PA", "assertion.boxesHash.unknownBox"),
    # A later entry is not read before the order fails, whatever it holds.
    "boxes-reordered": (lambda f: sign_boxes(f, edit=lambda b: [b[1], b[0], *b[2:], ([{}], b"")]), None,
                        "box OS/2 is not the next table in the font's directory order; the next table is C2PA",
                        "assertion.boxesHash.mismatch"),
    "box-after-the-last": (lambda f: sign_boxes(f, edit=lambda b: [*b, b[-1]]), None,
                           "box post is not the next table in the font's directory order; every table is covered"
                           " before it", "assertion.boxesHash.mismatch"),
    "box-name-with-its-space": (lambda f: sign_boxes(f, edit=lambda b: [(n + " " * (n == "glyf"), d) for n, d in b]),
                                None, "box glyf : the font has no table named 'glyf '", "assertion.boxesHash.mismatch"),
    "c2pa-box-not-00": (lambda f: sign_boxes(f, edit=lambda b: [(n, b"\1" if n == "C2PA" else d) for n, d in b]),
                        None, "the C2PA box must be listed alone with the hash 00", "assertion.boxesHash.mismatch"),
    "uri-only-embedded": (lambda f: quillmark.embed_remote(f, URI), None, "only a URI", None),
    # The C2PA table's header (C2PA 2.2, A.3.9).
    "table-under-its-header": (lambda f: with_c2pa_table(f, bytes(12)), None,
                               "C2PA table is shorter than its 20-byte header", None),
    "uri-past-the-table": (lambda f: with_c2pa_table(f, c2pa_header(20, 30) + b"https://"), None,
                           "C2PA table's active manifest URI runs past the end of the table", None),
    "store-past-the-table": (lambda f: with_c2pa_table(f, c2pa_header(0, 0, 20, 900) + b"\1" * 800), None,
                             "C2PA table's Manifest Store runs past the end of the table", None),
    "table-of-nothing": (lambda f: with_c2pa_table(f, c2pa_header()), None,
                         "C2PA table holds neither a Manifest Store nor a URI", None),
    # The active manifest's parts (C2PA 2.2, 11.2.1) and its hard binding.
    "no-claim": (embedded(manifest(assertions(BOXES), SIGNATURE)), None,
                 "the active manifest has no claim", "claim.missing"),
    "two-claims": (embedded(manifest(assertions(BOXES), CLAIM, CLAIM, SIGNATURE)), None,
                   "the active manifest has 2 claims", "claim.multiple"),
    "no-assertion-store": (embedded(manifest(CLAIM, SIGNATURE)), None,
                           "the active manifest has no assertion store", "assertion.missing"),
    "no-claim-signature": (embedded(manifest(assertions(BOXES), CLAIM)), None,
                           "the active manifest has no claim signature", None),
    "update-manifest": (embedded(manifest(assertions(BOXES), CLAIM, SIGNATURE, kind=b"c2um" + ms.SUFFIX)), None,
                        "the active manifest is an update manifest", None),
    "bmff-binding": (embedded(manifest(assertions(("c2pa.hash.bmff.v3", {})), CLAIM, SIGNATURE)), None,
                     "the hard binding is c2pa.hash.bmff", None),
    "data-hash-without-hash": (embedded(manifest(assertions(("c2pa.hash.data", {"alg": "sha256"})), CLAIM, SIGNATURE)),
                               None, "the c2pa.hash.data assertion has no hash", "assertion.dataHash.mismatch"),
    "box-hash-without-boxes": (embedded(manifest(assertions(("c2pa.hash.boxes", {"alg": "sha256"})), CLAIM, SIGNATURE)),
                               None, "the c2pa.hash.boxes assertion has no boxes", "assertion.boxesHash.malformed"),
    "box-without-names": (embedded(manifest(assertions(("c2pa.hash.boxes", {"boxes": [{"hash": b""}]})), CLAIM,
                                            SIGNATURE)),
                          None, "a box entry has no names", "assertion.boxesHash.malformed"),
    "box-hash-without-alg": (boxes_without_alg, None, "no hash algorithm (alg) given", "algorithm.unsupported"),
}  # fmt: skip


@pytest.mark.parametrize("case", BROKEN)
def test_broken_fonts_fail_with_their_reason(truetype_font, case):
    sign, tamper, message, code = BROKEN[case]
    font = sign(truetype_font)
    if tamper is not None:
        font = tamper(font)
    got_message, got_code = failure(font, embedded=True)
    assert message in got_message and got_code == code


def zero_padded(font: bytes) -> bytes:
    store = box_store(font)
    return quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, len(store) + 100), store)


def glyf_excluded(font: bytes) -> bytes:
    """A box hash whose glyf entry is marked excluded, with a hash that is not glyf's."""
    assertion = ms.box_hash(independent_box_hashes(quillmark.embed_manifest_store(font, b"any store")))
    for entry in assertion["boxes"]:
        if entry["names"] == ["glyf"]:
            entry.update(excluded=True, hash=bytes(32))
    return quillmark.embed_manifest_store(font, ms.manifest_store([("c2pa.hash.boxes", assertion)]))


WARNINGS = {
    "zero-padding": (zero_padded, "100 zero bytes pad the Manifest Store after its superbox; strict validators may"
                     " refuse them: make the signed manifest exactly as long as the reservation"),
    "excluded-box": (glyf_excluded, "box glyf is excluded from the hash"),
    "bytes-after-the-tables": (lambda f: fix_checksums(sign_boxes(f) + b"tail"),
                               "4 bytes of the file lie outside every table, where no box hash covers them"),
}  # fmt: skip


@pytest.mark.parametrize("case", WARNINGS)
def test_warnings_pass_unless_strict(truetype_font, case):
    make, warning = WARNINGS[case]
    report = check_font(make(truetype_font))
    assert report.failure is None and report.passed(strict=False) and not report.passed(strict=True)
    assert report.warnings == [warning]


def test_uri_alone_passes_unless_embedded(truetype_font):
    report = check_font(quillmark.embed_remote(truetype_font, URI + "\x1b[2J"))
    assert report.failure is None and report.binding is None
    assert report.notes == [f"active manifest URI {URI}\\x1b[2J (not fetched)"]


def test_hard_binding_among_other_assertions_and_unknown_boxes(truetype_font):
    """Other assertions and boxes a reader does not know are skipped (C2PA 2.2, 11.1.2)."""
    # Its content is not read: not even a box of a length no box may have.
    unknown = ms.superbox(b"zzzz" + ms.SUFFIX, "vendor.thing", ms.box(b"jumb", struct.pack(">I4s", 2, b"jumd")))
    store = box_store(truetype_font, extra=[ACTIONS])
    # Put an unknown superbox and an unknown plain box at the end of the Manifest Store.
    store = struct.pack(">I", len(store) + len(unknown) + 12) + store[4:] + unknown + ms.box(b"skip", b"1234")
    report = check_font(quillmark.embed_manifest_store(truetype_font, store))
    assert report.failure is None, report.failure


@pytest.mark.parametrize("label, binds", [("c2pa.hash.boxes.v2", True), ("c2pa.hash.boxes__1", True),
                                          ("c2pa.hash.boxes.v3__12", True), ("c2pa.hash.boxesx", False),
                                          ("c2pa.hash.boxes.v2.x", False)])  # fmt: skip
def test_a_hard_binding_label_may_carry_a_version_and_an_instance(truetype_font, label, binds):
    boxes = independent_box_hashes(quillmark.embed_manifest_store(truetype_font, b"any store"))
    report = check_font(quillmark.embed_manifest_store(truetype_font, ms.manifest_store([(label, ms.box_hash(boxes))])))
    assert (report.failure is None, report.binding) == ((True, "c2pa.hash.boxes") if binds else (False, None))


def jumb(*content: bytes, kind: bytes = ms.MANIFEST_STORE, label: bytes = b"c2pa\0") -> bytes:
    return ms.box(b"jumb", ms.box(b"jumd", kind + b"\3" + label) + b"".join(content))


def nested(depth: int) -> bytes:
    inner = ms.box(b"free", b"")
    for _ in range(depth):
        inner = jumb(inner, kind=ms.MANIFEST, label=b"x\0")
    return jumb(inner)


def huge_cbor_assertion(cbor: bytes) -> bytes:
    return ms.superbox(ms.MANIFEST_STORE, "c2pa", ms.superbox(ms.MANIFEST, "urn:c2pa:x",
        ms.superbox(ms.ASSERTION_STORE, "c2pa.assertions",
                    ms.superbox(ms.CBOR, "c2pa.hash.data", ms.box(b"cbor", cbor))),
        ms.cbor_superbox(ms.CLAIM, "c2pa.claim.v2", {"alg": "sha256"}),
        ms.cbor_superbox(ms.SIGNATURE, "c2pa.signature", {})))  # fmt: skip


HOSTILE = {
    "length-past-store": (struct.pack(">I4s", 10**6, b"jumb") + bytes(40), "past the end of its container"),
    "length-2": (struct.pack(">I4s", 2, b"jumb") + bytes(40), "has length 2; a box is at least 8 bytes"),
    "length-7-inner": (ms.box(b"jumb", struct.pack(">I4s", 7, b"jumd") + bytes(30)), "has length 7"),
    "xlbox-huge": (struct.pack(">I4sQ", 1, b"jumb", 2**63) + bytes(40), "past the end of its container"),
    "xlbox-small": (struct.pack(">I4sQ", 1, b"jumb", 8) + bytes(40), "under its 16-byte header"),
    "xlbox-cut": (struct.pack(">I4s", 1, b"jumb"), "64-bit length that runs past its container"),
    "zero-length-inner": (ms.box(b"jumb", struct.pack(">I4s", 0, b"jumd") + ms.MANIFEST_STORE + b"\3c2pa"),
                          "label of the description box at offset 8 has no terminating NUL"),
    "no-nul": (jumb(label=b"c2pa"), "has no terminating NUL"),
    "not-jumb": (ms.box(b"free", bytes(40)), "is 'free', not a JUMBF superbox"),
    "no-description": (ms.box(b"jumb", ms.box(b"free", b"")), "starts with 'free', not a description box"),
    "short-description": (ms.box(b"jumb", ms.box(b"jumd", bytes(10))), "shorter than its type and toggles"),
    "deep": (nested(10_000 // 60), "nest more than 16 deep"),
    "huge-cbor-string": (huge_cbor_assertion(bytes.fromhex("5b0000010000000000") + b"ab"), "not valid CBOR"),
    "deep-cbor": (huge_cbor_assertion(b"\x81" * 50_000), "not valid CBOR"),
    "cbor-trailing": (huge_cbor_assertion(ms.cbor({"alg": "sha256"}) + b"\0"), "1 bytes after its CBOR"),
    "bignum-alg": (huge_cbor_assertion(ms.cbor({"alg": 10**5000, "hash": b""})), "hash algorithm of type int is not"),
    "wrong-store-type": (jumb(kind=ms.MANIFEST), "not a Manifest Store"),
    "no-manifest": (jumb(), "holds no manifest"),
}  # fmt: skip


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_stores_are_refused_with_a_reason(truetype_font, case):
    store, message = HOSTILE[case]
    got, _ = failure(quillmark.embed_manifest_store(truetype_font, store))
    assert message in got


def test_a_directory_of_overlapping_tables_is_refused_before_any_table_is_summed(monkeypatch):
    records = b"".join(struct.pack(">4sIII", b"t%03d" % i, 0, 12 + 16 * 2000, 100_000) for i in range(2000))
    font = struct.pack(">IHHHH", 0x00010000, 2000, 0, 0, 0) + records + bytes(100_000)
    monkeypatch.setattr(check, "check_font_file", None)  # what sums the tables: not reached
    assert failure(font) == ("the tables overlap: 200000000 bytes of tables in a 132012-byte file", None)


def tool(*args, cwd: Path, code: int) -> subprocess.CompletedProcess[str]:
    done = subprocess.run([TOOL, "check", *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=60)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr
    return done


def test_command_line(truetype_font, cff_font, tmp_path):
    store = box_store(cff_font)
    fonts = {
        "good.ttf": sign_data(truetype_font, URI),
        "padded.otf": quillmark.fill_manifest_store(
            quillmark.reserve_manifest_placeholder(cff_font, len(store) + 4), store),
        "hostile.ttf": quillmark.embed_manifest_store(truetype_font, HOSTILE["deep"][0]),
        "reserved\n.ttf": quillmark.reserve_manifest_placeholder(truetype_font, 100),
    }  # fmt: skip
    for name, data in fonts.items():
        (tmp_path / name).write_bytes(data)

    done = tool("good.ttf", "padded.otf", cwd=tmp_path, code=0)
    lines = done.stdout.splitlines()
    assert lines[-3:] == [
        "good.ttf: ok: c2pa.hash.data matches (sha256)",
        "padded.otf: warning: 4 zero bytes pad the Manifest Store after its superbox; strict validators may refuse"
        " them: make the signed manifest exactly as long as the reservation",
        "padded.otf: ok: c2pa.hash.boxes matches (sha256)"]  # fmt: skip
    assert "signature, the certificate chain and the claim's other contents are not checked" in done.stderr
    assert tool("good.ttf", "--embedded", cwd=tmp_path, code=0)
    assert "FAIL (--strict)" in tool("padded.otf", "--strict", cwd=tmp_path, code=1).stdout

    done = tool("--json", *fonts, "missing.ttf", cwd=tmp_path, code=1)
    reports = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["path"], r["passed"]) for r in reports] == [
        ("good.ttf", True), ("padded.otf", True), ("hostile.ttf", False), ("reserved\n.ttf", False),
        ("missing.ttf", False)]  # fmt: skip
    assert all(list(r) == ["path", "passed", "binding", "alg", "failure", "warnings", "notes", "not_checked"]
               for r in reports)  # fmt: skip
    assert reports[0]["binding"] == "c2pa.hash.data" and reports[0]["failure"] is None
    assert reports[1]["warnings"] and reports[0]["notes"] and reports[0]["alg"] == "sha256"
    assert reports[2]["failure"]["message"].endswith("superboxes nest more than 16 deep at offset 563")
    assert reports[4]["failure"] == {"code": None, "message": "No such file or directory"}
    assert "not checked" in reports[0]["not_checked"]

    text = tool(*fonts, cwd=tmp_path, code=1).stdout
    assert "reserved\\n.ttf: FAIL: not signed yet: the Manifest Store is a placeholder of zero bytes\n" in text

    for usage in ([], ["good.ttf", "--strcit"]):
        assert tool(*usage, cwd=tmp_path, code=2).stderr.startswith("usage: ")
