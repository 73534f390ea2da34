"""The steps shared by the subcommands that write a new font or file (reserve, fill, embed,
remove, extract): the refusals made before the module is asked, and delivering the result."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Sequence
from typing import Optional

from .discovery import Font
from .inputs import load
from .names import shown
from .output import STDOUT, Refused, link_count, write_file
from .report import only_zeros
from .runner import Outcome, run_fonts
from .sfnt import rebuilt_size


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


# The subfolders of output folders made so far: made once each, not once a font.
_MADE: set[str] = set()


def deliver(font: Font, out: str, data: bytes, force: bool) -> Outcome:
    if out == STDOUT:
        return Outcome(data=data, done="written to standard output")
    if os.path.dirname(font.relative):  # a font found below a folder: the same subfolder in the output
        folder = os.path.dirname(out)
        if folder not in _MADE:
            os.makedirs(folder, exist_ok=True)
            _MADE.add(folder)
        try:
            write_file(out, data, force=force)
        except FileNotFoundError:  # removed since an earlier run in this process made it
            os.makedirs(folder, exist_ok=True)
            write_file(out, data, force=force)
    else:
        write_file(out, data, force=force)
    return Outcome(done=f"written to {shown(out)}")


def rewrite(
    args: argparse.Namespace,
    fonts: Sequence[Font],
    outputs: Sequence[str],
    change: Callable[[bytes], bytes],
    c2pa_length: Optional[int],
) -> int:
    """Each font read, checked, changed by `change` (a function of the module) and delivered."""

    def work(font: Font, out: str) -> Outcome:
        check_links(font.path, args)
        data = load(font.path)
        check_growth(data, c2pa_length, args.force)
        return deliver(font, out, change(data), args.force)

    return run_fonts(args, fonts, work, outputs)
