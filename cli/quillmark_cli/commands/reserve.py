"""`quillmark reserve`: a zero-filled manifest store of a given size, to be signed and filled."""

from __future__ import annotations

import argparse
from typing import Optional

import quillmark

from ..discovery import Font, find_fonts, plan_outputs
from ..inputs import load
from ..names import shown
from ..options import add_fonts, add_force, add_json, add_output, describe, positive_size, uri_text
from ..output import STDOUT, Refused
from ..report import only_zeros, range_lines
from ..rewriting import check_growth, check_links, deliver
from ..runner import Outcome, run_fonts
from ..sfnt import C2PA_HEADER_SIZE as C2PA_HEADER

MORE = (
    " of each new font (under its name when there are several; not with -q, nor when the font goes to"
    " standard output)"
)


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, MORE)
    add_fonts(sub)
    sub.add_argument("size", metavar="SIZE", type=positive_size, help="bytes to reserve for the signed manifest")
    sub.add_argument("--uri", type=uri_text, help="also record this active manifest URI")
    add_json(sub, "the ranges as one JSON object a line, one per font")
    add_output(sub)
    add_force(sub, "; the font already holds a manifest store or another URI, which would be lost")


def what_reserving_discards(font: bytes, uri: Optional[str]) -> Optional[str]:
    """The manifest store or URI that a reservation would throw away, described; None when
    there is nothing to lose (no table, a placeholder of zeros, the same URI)."""
    try:
        old_uri = quillmark.read_manifest_uri_str(font)
    except ValueError:
        return None  # no table; or a malformed one, which the module refuses with its message
    lost = []
    try:
        store = quillmark.read_manifest_store(font)
    except ValueError:
        store = b""
    if not only_zeros(store):
        lost.append(f"a {len(store)}-byte manifest store")
    if old_uri is not None and old_uri != uri:
        lost.append(f"the manifest URI {shown(old_uri)}")
    return " and ".join(lost) or None


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    outputs = plan_outputs(parser, fonts, args.output, args.in_place)
    c2pa_length = C2PA_HEADER + len((args.uri or "").encode()) + args.size

    def work(font: Font, out: str) -> Outcome:
        check_links(font.path, args)
        data = load(font.path)
        if not args.force and (lost := what_reserving_discards(data, args.uri)):
            raise Refused(f"it already holds {lost}; reserving would discard it: --force reserves anyway")
        check_growth(data, c2pa_length, args.force)
        reserved = quillmark.reserve_manifest_placeholder(data, args.size, args.uri)
        outcome = deliver(font, out, reserved, args.force)
        if out != STDOUT and not args.quiet:  # standard output holds the font itself
            outcome.lines = range_lines(out, quillmark.data_hash_ranges(reserved), args, len(fonts) > 1)
        return outcome

    return run_fonts(args, fonts, work, outputs)
