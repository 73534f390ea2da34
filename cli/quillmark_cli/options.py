"""The options the subcommands share, and the argparse types that check their values."""

from __future__ import annotations

import argparse
import sys

from .names import shown


def add_common(sub: argparse.ArgumentParser) -> None:
    """The options every subcommand has: -j, -v, -q."""
    sub.add_argument("-j", "--jobs", type=jobs_count, default=1, metavar="N",
                     help="handle N fonts at a time (default 1; 0: one per processor core)")  # fmt: skip
    noise = sub.add_mutually_exclusive_group()
    noise.add_argument("-v", "--verbose", action="store_true", help="name each font on standard error once done")
    noise.add_argument("-q", "--quiet", action="store_true", help="print nothing on standard error but errors")


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


def add_json(sub: argparse.ArgumentParser, what: str = "one JSON object a line, one per font") -> None:
    sub.add_argument("--json", action="store_true", help=f"print {what}")


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


def describe(sub: argparse.ArgumentParser, more: str) -> None:
    """Adds `more` to the subcommand's description, which starts as its line in `quillmark --help`."""
    sub.description = (sub.description or "") + more
