"""The subcommands: their options, and the work each does on one font.

Each `register_*` function adds one subcommand to the parser; `quillmark_cli.COMMANDS` lists
them. A subcommand's `run(args, parser)` plans the run (fonts, outputs, refusals that concern
the whole run) and hands one job per font to the runner.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, Optional

import quillmark

from .discovery import Font, find_fonts, plan_outputs
from .names import shown
from .output import STDOUT, Refused, link_count, write_file
from .report import font_report, only_zeros, report_lines
from .runner import Job, Outcome, failed, message_of, run, workers
from .sfnt import C2PA_HEADER, read_font, rebuilt_size

Subcommands = "argparse._SubParsersAction[argparse.ArgumentParser]"
Run = Callable[[argparse.Namespace, argparse.ArgumentParser], int]


# --- options ---------------------------------------------------------------------------------


def add_command(
    commands: Any, name: str, run: Run, help: str, more: str = "", **kwargs: Any
) -> argparse.ArgumentParser:
    """Adds a subcommand with the options every subcommand has (-j, -v, -q). `help` is its line
    in `quillmark --help`; `more` is added to it in the subcommand's own help."""
    sub: argparse.ArgumentParser = commands.add_parser(name, help=help, description=help + more, **kwargs)
    sub.set_defaults(run=run, parser=sub)
    sub.add_argument("-j", "--jobs", type=jobs_count, default=1, metavar="N",
                     help="handle N fonts at a time (default 1; 0: one per processor core)")  # fmt: skip
    noise = sub.add_mutually_exclusive_group()
    noise.add_argument("-v", "--verbose", action="store_true", help="name each font on standard error once done")
    noise.add_argument("-q", "--quiet", action="store_true", help="print nothing on standard error but errors")
    return sub


def add_output(sub: argparse.ArgumentParser, what: str = "the new font", in_place: bool = True) -> None:
    where = sub.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="OUT", type=file_name,
                       help=f"write {what} here: a file, '-' for standard output, or a folder (a name ending"
                       " in '/', or any run of several fonts or of a folder), created if missing, that takes each font"
                       " under its own name")  # fmt: skip
    if in_place:
        where.add_argument("--in-place", action="store_true", help="replace each input font")
    else:
        sub.set_defaults(in_place=False)


def add_force(sub: argparse.ArgumentParser, also: str = "") -> None:
    sub.add_argument("--force", action="store_true",
                     help="write even when: the rebuilt font would be more than twice the input plus what"
                     " is added (tables sharing bytes); the replaced file's owner cannot be kept; with"
                     f" --in-place, the font has several hard links{also}")  # fmt: skip


def add_fonts(sub: argparse.ArgumentParser) -> None:
    sub.add_argument("fonts", nargs="+", metavar="FONT", help="a font, or a folder searched for .ttf and .otf files")


def jobs_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if count < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per core) or more: {text!r}")
    return count


def file_name(text: str) -> str:
    if not text:  # an unset shell variable, most likely; not the current folder
        raise argparse.ArgumentTypeError("an empty name")
    return text


def positive_size(text: str) -> int:
    try:
        size = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of bytes: {text!r}") from None
    if size <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte: {text!r}")
    if size > sys.maxsize:  # past any limit of the table; the module would refuse it as an overflow
        raise argparse.ArgumentTypeError(f"far too large: {text!r}")
    return size


def uri_text(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("an empty URI points nowhere")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {shown(text)!r}") from None
    return text


# --- what every job shares -------------------------------------------------------------------


def load(path: str) -> bytes:
    with open(path, "rb") as f:
        return read_font(f)


def check_manifest(data: bytes, what: str) -> bytes:
    """A store or manifest to write: one that is empty or all zeros would leave a font that
    looks provenanced, or merely reserved, while carrying nothing."""
    if not data:
        raise Refused(f"the {what} is empty")
    if only_zeros(data):
        raise Refused(f"the {what} holds only zero bytes")
    return data


def check_growth(font: bytes, c2pa_length: Optional[int], force: bool) -> None:
    """Refuses a font whose rebuilt form would be far larger than the font itself: one whose
    table directory points many tables at the same bytes grows, each written out in full, up to
    the 4 GiB limit, and would take the memory of the whole run. Checked before the module
    builds it."""
    size = rebuilt_size(font, c2pa_length)
    added = c2pa_length or 0
    if size is not None and size > 2 * len(font) + added and not force:
        raise Refused(
            f"the rebuilt font would be {size} bytes, more than twice its {len(font)} bytes plus the {added} added"
            " (its tables share bytes, and each is written out in full); --force writes it anyway"
        )


def check_links(path: str, args: argparse.Namespace) -> None:
    if args.in_place and not args.force and (count := link_count(path)) > 1:
        raise Refused(
            f"it has {count} hard links, and replacing it would split them (the other names would keep"
            " the old font); --force replaces this name only"
        )


def deliver(font: Font, out: str, data: bytes, force: bool) -> Outcome:
    if out == STDOUT:
        return Outcome(data=data, done="written to standard output")
    if os.path.dirname(font.relative):  # a font found below a folder: the same subfolder in the output
        os.makedirs(os.path.dirname(out), exist_ok=True)
    write_file(out, data, force=force)
    return Outcome(done=f"written to {shown(out)}")


def range_lines(path: str, ranges: Sequence[tuple[int, int]], args: argparse.Namespace, several: bool) -> list[str]:
    """One 'START LENGTH' line a range; under the font's name when the run has several fonts;
    one JSON object with --json."""
    if args.json:
        return [json.dumps({"path": path, "exclusions": [list(r) for r in ranges]})]
    lines = [f"{'  ' if several else ''}{start} {length}" for start, length in ranges]
    return [shown(path), *lines] if several else lines


def run_fonts(
    args: argparse.Namespace, fonts: Sequence[Font], work: Callable[[Font, str], Outcome], outputs: Sequence[str]
) -> int:
    def job(font: Font, out: str) -> Job:
        if font.problem is not None:
            return failed(font.path, font.problem)
        return Job(font.path, lambda: work(font, out))

    jobs = [job(font, out) for font, out in zip(fonts, outputs)]
    return run(jobs, workers(args.jobs), args.verbose, args.quiet)


# --- the subcommands -------------------------------------------------------------------------


def info(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    def work(font: Font, _: str) -> Outcome:
        try:
            report = {"path": font.path, **font_report(load(font.path))}
        except Exception as e:
            message = message_of(e, font.path)
            error = f"quillmark: {shown(font.path)}: {message}"
            lines = [json.dumps({"path": font.path, "error": message})] if args.json else []
            return Outcome(lines=lines, errors=[error], status=1)
        return Outcome(lines=[json.dumps(report)] if args.json else report_lines(report))

    fonts = find_fonts(args.fonts)
    return run_fonts(args, fonts, work, [""] * len(fonts))


def register_info(commands: Any) -> None:
    sub = add_command(commands, "info", info, "show each font's C2PA table and whether it is compliant",
                      ": its URI, the state of its manifest store, its exclusion ranges, and why a font"
                      " is not compliant")  # fmt: skip
    add_fonts(sub)
    sub.add_argument("--json", action="store_true", help="print one JSON object a line, one per font")


def ranges(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)

    def work(font: Font, _: str) -> Outcome:
        found = quillmark.data_hash_ranges(load(font.path))
        return Outcome(lines=range_lines(font.path, found, args, len(fonts) > 1))

    return run_fonts(args, fonts, work, [""] * len(fonts))


def register_ranges(commands: Any) -> None:
    sub = add_command(commands, "ranges", ranges, "print the data-hash exclusion ranges, one 'START LENGTH' a line")
    add_fonts(sub)
    sub.add_argument("--json", action="store_true", help="print one JSON object a line, one per font")


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


def reserve(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
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


def register_reserve(commands: Any) -> None:
    sub = add_command(commands, "reserve", reserve,
                      "reserve a zero-filled manifest store; prints the exclusion ranges",
                      " of each new font (under its name when there are several; not with -q, nor when the"
                      " font goes to standard output)")  # fmt: skip
    add_fonts(sub)
    sub.add_argument("size", metavar="SIZE", type=positive_size, help="bytes to reserve for the signed manifest")
    sub.add_argument("--uri", type=uri_text, help="also record this active manifest URI")
    sub.add_argument("--json", action="store_true", help="print the ranges as one JSON object a line, one per font")
    add_output(sub)
    add_force(sub, "; the font already holds a manifest store or another URI, which would be lost")


def manifest_path(font: Font, folder: str) -> str:
    return os.path.join(folder, os.path.splitext(font.relative)[0] + ".c2pa")


def fill(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.manifests is None:
        if len(args.fonts) != 2:
            parser.error("give one FONT and its MANIFEST, or fonts and --manifests DIR")
        fonts = find_fonts(args.fonts[:1])
        if len(fonts) > 1:
            parser.error("one manifest cannot fill several fonts: take each font's from a folder with --manifests")
        manifests = [args.fonts[1]]
    else:
        fonts = find_fonts(args.fonts)
        manifests = [manifest_path(font, args.manifests) for font in fonts]
    outputs = plan_outputs(parser, fonts, args.output, args.in_place, [("manifest", m) for m in manifests])
    manifest_of = dict(zip(fonts, manifests))

    def work(font: Font, out: str) -> Outcome:
        manifest = manifest_of[font]
        if args.manifests is not None and not os.path.exists(manifest):
            raise Refused(f"no manifest for it: {shown(manifest)} is missing")
        with open(manifest, "rb") as f:
            signed = check_manifest(f.read(), "manifest")
        check_links(font.path, args)
        data = load(font.path)
        try:
            store = quillmark.read_manifest_store(data)
        except ValueError:
            store = b""  # the module says why when it fills
        if not args.force and not only_zeros(store):
            raise Refused(f"its {len(store)}-byte manifest store already holds a manifest, which filling"
                          " would replace: --force fills anyway")  # fmt: skip
        filled = quillmark.fill_manifest_store(data, signed)
        outcome = deliver(font, out, filled, args.force)
        # The filled store keeps the reserved length, which is the store's before filling.
        if padding := len(store) - len(signed):
            shown_out = "standard output" if out == STDOUT else shown(out)
            outcome.notes.append(
                f"quillmark: {shown_out}: note: the {len(signed)}-byte manifest was padded with {padding} zero"
                " bytes to fill the reservation; strict C2PA validators may refuse them: make the signed"
                " manifest exactly as long as the reservation"
            )
        return outcome

    return run_fonts(args, fonts, work, outputs)


def register_fill(commands: Any) -> None:
    sub = add_command(commands, "fill", fill, "write signed manifests into reserved fonts' stores",
                      usage="quillmark fill [options] FONT MANIFEST (-o OUT | --in-place)\n"
                      "       quillmark fill [options] FONT... --manifests DIR (-o OUT | --in-place)",
                      epilog="With --manifests, each font takes the manifest of its own name from DIR:"
                      " Font.ttf takes DIR/Font.c2pa (a font found below a folder, sub/Font.ttf, takes"
                      " DIR/sub/Font.c2pa); a font without one is reported and left alone.")  # fmt: skip
    sub.add_argument("fonts", nargs="+", metavar="FONT", help="fonts or folders (and, without --manifests, the manifest)")
    sub.add_argument("--manifests", metavar="DIR", type=file_name, help="folder of signed manifests, FONTNAME.c2pa for each font")
    add_output(sub)
    add_force(sub, "; the font's store already holds a manifest, which would be replaced")


def embed(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    others = [] if args.store is None else [("manifest store", args.store)]
    outputs = plan_outputs(parser, fonts, args.output, args.in_place, others)
    if args.uri is not None:
        c2pa_length = C2PA_HEADER + len(args.uri.encode())

        def change(font: bytes) -> bytes:
            return quillmark.embed_remote(font, args.uri)

    else:
        try:
            with open(args.store, "rb") as f:
                store = check_manifest(f.read(), "manifest store")
        except (OSError, ValueError) as e:
            print(f"quillmark: {shown(args.store)}: {message_of(e, args.store)}", file=sys.stderr)
            return 1
        c2pa_length = C2PA_HEADER + len(store)

        def change(font: bytes) -> bytes:
            return quillmark.embed_manifest_store(font, store)

    return rewrite(args, fonts, outputs, change, c2pa_length)


def rewrite(
    args: argparse.Namespace,
    fonts: Sequence[Font],
    outputs: Sequence[str],
    change: Callable[[bytes], bytes],
    c2pa_length: Optional[int],
) -> int:
    def work(font: Font, out: str) -> Outcome:
        check_links(font.path, args)
        data = load(font.path)
        check_growth(data, c2pa_length, args.force)
        return deliver(font, out, change(data), args.force)

    return run_fonts(args, fonts, work, outputs)


def register_embed(commands: Any) -> None:
    sub = add_command(commands, "embed", embed,
                      "embed a manifest store or a remote manifest URI, replacing any C2PA table")  # fmt: skip
    add_fonts(sub)
    what = sub.add_mutually_exclusive_group(required=True)
    what.add_argument("--store", metavar="FILE", type=file_name, help="file holding the manifest store to embed")
    what.add_argument("--uri", type=uri_text, help="remote manifest URI to embed")
    add_output(sub)
    add_force(sub)


def remove(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    outputs = plan_outputs(parser, fonts, args.output, args.in_place)
    return rewrite(args, fonts, outputs, quillmark.remove_manifest_table, None)


def register_remove(commands: Any) -> None:
    sub = add_command(commands, "remove", remove, "remove the C2PA table")
    add_fonts(sub)
    add_output(sub)
    add_force(sub)


def extract(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    alone = len(fonts) == 1 and not fonts[0].in_folder
    if alone and os.path.isdir(args.output) and not args.output.endswith(("/", os.sep)):
        parser.error(f"{shown(args.output)} is a folder: name the file for the manifest store, or end it with '/'")
    outputs = plan_outputs(parser, fonts, args.output, False, suffix=".c2pa")

    def work(font: Font, out: str) -> Outcome:
        return deliver(font, out, quillmark.read_manifest_store(load(font.path)), args.force)

    return run_fonts(args, fonts, work, outputs)


def register_extract(commands: Any) -> None:
    sub = add_command(commands, "extract", extract,
                      "write each font's embedded manifest store to a file (FONTNAME.c2pa in a folder)")  # fmt: skip
    add_fonts(sub)
    add_output(sub, "the manifest store", in_place=False)
    sub.add_argument("--force", action="store_true", help="write even when the replaced file's owner cannot be kept")
