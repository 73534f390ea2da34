"""`quillmark check`: validates each font's C2PA Manifest Store as a C2PA validator does (C2PA 2.2,
chapter 15: the claim, its signature, the credential and its trust, time-stamps, the assertions,
the ingredients and the hard binding of the font's bytes), with `quillmark_c2pa.validation`.

A font passes when its active manifest has no failure code. Each failure is one line with its
status code (C2PA 2.2, 15.2.2); informational codes are notes; `-v` prints the successes too.
Warnings are what no status code names and a release may still want to refuse (wrong SFNT
checksums, a zero-padded store, a box hash that leaves bytes unjudged, a table that holds only a
URI): `--strict` fails them.
"""

from __future__ import annotations

import argparse
import json
from typing import Any, Optional

from quillmark_c2pa import sfnt, status
from quillmark_c2pa.results import StatusEntry, ValidationResults
from quillmark_c2pa.validation import FontValidation, validate

from ..discovery import Font, find_fonts
from ..inputs import load, read_bounded
from ..names import shown
from ..options import add_fonts, add_json, describe
from ..runner import Outcome, message_of, run_fonts
from ..status import FAILURE, SUCCESS

MORE = (
    ". Each font is judged as a C2PA validator judges it (C2PA 2.2, chapter 15): the claim and its"
    " signature, the signer's certificate and its trust, time-stamps, assertions, ingredients, and"
    " the hard binding of the font's bytes. A font passes when its active manifest has no failure"
    " code; each failure is one line with its status code, and -v prints the successes too."
    " Exit status: 0 every font passes, 1 some font fails, 2 usage error."
)
EPILOG = (
    "Trust: the C2PA Trust List and the C2PA TSA Trust List shipped with quillmark are used unless"
    " --no-bundled-trust; nothing is fetched, not even revocation information unless --fetch-ocsp."
    " The status codes and what gives each are listed in docs/validation.md."
)
# Codes of quillmark's own: findings that are not failures in C2PA terms, and that --strict fails.
WARNING_CODES = (status.QUILLMARK_BOX_EXCLUDED, status.QUILLMARK_BYTES_OUTSIDE_TABLES)
SKIP_HINT = "--skip-unhandled lets the run pass without it"


def add_trust(sub: argparse.ArgumentParser) -> None:
    """The trust options validation takes (C2PA 2.2, 14.4), shared with `show`."""
    sub.add_argument("--trust-anchors", action="append", default=[], metavar="FILE",
                     help="trust the CA certificates in this PEM file as anchors for claim signers, besides"
                     " the C2PA Trust List (may be given more than once)")  # fmt: skip
    sub.add_argument("--tsa-trust-anchors", action="append", default=[], metavar="FILE",
                     help="trust the certificates in this PEM file as anchors for time-stamp authorities,"
                     " besides the C2PA TSA Trust List")  # fmt: skip
    sub.add_argument("--trusted-certs", action="append", default=[], metavar="FILE",
                     help="trust the signers' own certificates in this PEM file directly (a private"
                     " credential store, C2PA 2.2, 14.4.3)")  # fmt: skip
    sub.add_argument("--no-bundled-trust", action="store_true",
                     help="do not trust the C2PA Trust List and TSA Trust List shipped with quillmark")  # fmt: skip
    sub.add_argument("--fetch-ocsp", action="store_true",
                     help="ask the signer's OCSP responder for revocation status when none is stapled"
                     " (off by default: nothing is fetched)")  # fmt: skip
    # A font whose C2PA table holds only a URI fails: the remote manifest is never fetched, and C2PA
    # 2.2, 15.5.3.1 has a validator that cannot reach it report manifest.inaccessible (a failure);
    # passing it let a signed font whose store was swapped for a URI pass a release check.
    sub.add_argument("--allow-remote", action="store_true",
                     help="let a font whose C2PA table holds only a manifest URI pass with a warning (the"
                     " remote manifest is never fetched: by default such a font fails, manifest.inaccessible)")
    sub.add_argument("--embedded", action="store_true", help=argparse.SUPPRESS)  # the default now; kept for scripts


def trust_settings(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Any:
    """The TrustSettings of the options; a PEM file that cannot be read is a usage error."""
    from quillmark_c2pa.trust import MAX_PEM_BYTES, TrustError, TrustSettings, parse_pem_certificates

    def too_long(size: Optional[int]) -> str:
        return f"more than a list of certificates ({MAX_PEM_BYTES} bytes at most)"

    loaded: dict[str, list[Any]] = {}
    for option, paths in (("--trust-anchors", args.trust_anchors), ("--tsa-trust-anchors", args.tsa_trust_anchors),
                          ("--trusted-certs", args.trusted_certs)):  # fmt: skip
        certificates: list[Any] = []
        for path in paths:
            try:
                # read as fonts are read: no further than the limit (/dev/zero), nor waiting on a FIFO
                certificates += parse_pem_certificates(read_bounded(path, MAX_PEM_BYTES, too_long), shown(path))
            except (OSError, TrustError, ValueError) as e:
                parser.error(f"{option} {shown(path)}: {message_of(e, path)}")
        loaded[option] = certificates
    return TrustSettings(anchors=loaded["--trust-anchors"], tsa_anchors=loaded["--tsa-trust-anchors"],
                         end_entities=loaded["--trusted-certs"], bundled=not args.no_bundled_trust)  # fmt: skip


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, MORE)
    sub.epilog = EPILOG
    add_fonts(sub)
    add_trust(sub)
    sub.add_argument("--strict", action="store_true",
                     help="fail on warnings too (wrong SFNT checksums, a zero-padded store, bytes no box hash"
                     " covers, a table that holds only a URI)")  # fmt: skip
    sub.add_argument("--skip-unhandled", action="store_true",
                     help="pass a folder run that skips font files quillmark does not read"
                     " (collections, WOFF)")  # fmt: skip
    add_json(sub, "one JSON object a line, one per font, with its validation results (C2PA 2.2, 15.2.1)")


class Checked:
    """One font's validation and the warnings beside it."""

    def __init__(self, path: str, validation: FontValidation, warnings: list[str]) -> None:
        self.path, self.validation, self.warnings = path, validation, warnings

    def passed(self, strict: bool) -> bool:
        return self.validation.passed and not (strict and self.warnings)

    @property
    def signer(self) -> Optional[dict[str, Any]]:
        for manifest in self.validation.manifests:
            if manifest.active and manifest.signature is not None:
                return {k: v for k, v in manifest.signature.info().items() if v is not None}
        return None

    def as_json(self, strict: bool) -> dict[str, Any]:
        codes = self.validation.results.active_manifest
        # path, passed, binding, failure, warnings and notes as before check validated signatures,
        # for the pipelines that read them; the full verdict is validationResults.
        first = codes.failure[0] if codes.failure else None
        return {
            "path": self.path,
            "passed": self.passed(strict),
            "active_manifest": self.validation.active_manifest,
            "binding": self.validation.binding,
            "signer": self.signer,
            "failure": None if first is None else {"code": first.code, "message": first.explanation or first.code},
            "warnings": self.warnings,
            "notes": [e.explanation or e.code for e in codes.informational if e.code not in WARNING_CODES],
            "validationResults": self.validation.results.as_json(),
        }

    def lines(self, strict: bool, verbose: bool) -> list[str]:
        name = shown(self.path)
        codes = self.validation.results.active_manifest
        lines = [f"{name}: {'FAIL (--strict)' if strict else 'warning'}: {shown(w)}" for w in self.warnings]
        lines += [entry_line(name, "note", e) for e in codes.informational if e.code not in WARNING_CODES]
        if verbose:
            lines += [entry_line(name, "ok", e) for e in codes.success]
        for delta in self.validation.results.ingredient_deltas:
            for entry in delta.validation_deltas.failure:
                lines.append(entry_line(name, "note", entry, f"ingredient {delta.ingredient_assertion_uri}: "))
        lines += [entry_line(name, "FAIL", e) for e in codes.failure]
        if self.passed(strict):
            lines.append(f"{name}: ok: {shown(self.summary())}")
        return lines

    def summary(self) -> str:
        """What a passing font's one line says: what was bound and who signed it."""
        codes = self.validation.results.active_manifest
        if self.validation.active_manifest is None:
            return "no embedded Manifest Store to validate"
        bound = (status.ASSERTION_DATA_HASH_MATCH, status.ASSERTION_BOXES_HASH_MATCH)
        matches = [e.explanation for e in codes.success if e.code in bound and e.explanation]
        parts = [matches[0] if matches else "no failure"]
        signer = self.signer or {}
        who = signer.get("common_name") or signer.get("issuer")
        if who:
            issuer = signer.get("issuer")
            parts.append(f"signed by {who}" + (f" ({issuer})" if issuer not in (None, who) else ""))
        if any(e.code == status.SIGNING_CREDENTIAL_TRUSTED for e in codes.success):
            parts.append("trusted")
        return "; ".join(parts)


def entry_line(name: str, kind: str, entry: StatusEntry, prefix: str = "") -> str:
    return f"{name}: {kind}: {prefix}{shown(entry.explanation or entry.code)} [{entry.code}]"


def warnings_of(font: bytes, validation: FontValidation) -> list[str]:
    """What the validation found that no failure code names, and the SFNT checksums (a font whose
    bytes match what was signed may still carry wrong checksums, or change them in the fields a
    data hash excludes)."""
    warnings = list(validation.notes)
    warnings += [e.explanation or e.code for e in validation.results.active_manifest.informational
                 if e.code in WARNING_CODES]  # fmt: skip
    try:
        warnings += sfnt.checksum_problems(font, sfnt.read_directory(font))
    except sfnt.SfntError:
        pass  # the validation has said why the font cannot be read
    return warnings


def check_font(font: bytes, path: str, trust: Any, allow_remote: bool = False, fetch_ocsp: bool = False) -> Checked:
    validation = validate(font, trust=trust, allow_remote=allow_remote, fetch_ocsp=fetch_ocsp)
    return Checked(path, validation, warnings_of(font, validation))


def unreadable(path: str, message: str) -> Checked:
    """A file that cannot be read, or is no font: a failed validation like any other."""
    validation = FontValidation(ValidationResults())
    validation.results.active_manifest.add(status.GENERAL_ERROR, None, message)
    return Checked(path, validation, [])


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    trust = trust_settings(args, parser)

    def work(font: Font, _: str) -> Outcome:
        try:
            data = load(font.path)
        except Exception as e:
            checked = unreadable(font.path, message_of(e, font.path))
        else:
            checked = check_font(data, font.path, trust, args.allow_remote, args.fetch_ocsp)
        if args.json:
            lines = [json.dumps(checked.as_json(args.strict))]
        else:
            lines = checked.lines(args.strict, args.verbose)
        return Outcome(lines=lines, status=SUCCESS if checked.passed(args.strict) else FAILURE)

    fonts = find_fonts(args.fonts)
    return run_fonts(args, fonts, work, [""] * len(fonts), "" if args.skip_unhandled else SKIP_HINT)
