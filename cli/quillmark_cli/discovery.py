"""Which fonts a run handles and where each one's result goes.

Fonts are named one by one or found in folders, recursively. A font named by itself keeps its
file name in an output folder; a font found in a folder keeps its path below that folder, so a
tree of fonts is written as the same tree.

A folder run reads regular `.ttf` and `.otf` files only. Every other file it meets is reported:
font files quillmark does not read (collections, WOFF, ...) and font names that are no regular
file (a FIFO, a socket) one line each, as they leave a font unhandled; other files in one line
with their count (`-v` names them). Hidden files and folders (names starting with '.') are not
searched, and links to folders are not followed (each is counted as a file skipped).
"""

from __future__ import annotations

import argparse
import os
import stat
from collections.abc import Sequence
from typing import NamedTuple, Optional

from . import messages
from .inputs import STDIN
from .names import shown
from .output import STDOUT, identity, is_stdout

# What a folder is searched for: the SFNT fonts that quillmark reads. A file named on the
# command line is read whatever its name.
FONT_EXTENSIONS = (".ttf", ".otf")
# Font files that a folder may hold and quillmark does not read: each is reported by name.
UNSUPPORTED = {
    ".ttc": messages.COLLECTION,
    ".otc": messages.COLLECTION,
    ".woff": messages.WOFF,
    ".woff2": messages.WOFF,
    ".eot": messages.NOT_SFNT,
    ".dfont": messages.NOT_SFNT,
    ".pfa": messages.NOT_SFNT,
    ".pfb": messages.NOT_SFNT,
}
NOT_REGULAR = "not a regular file"
OTHER = "not a .ttf or .otf file"


class Font(NamedTuple):
    path: str  # as given, or joined to the folder it was found in
    relative: str  # its name below an output folder
    problem: Optional[str] = None  # a folder that held no fonts, or could not be read
    in_folder: bool = False  # found in a folder given on the command line


class Skipped(NamedTuple):
    """A file in a folder that the run does not handle."""

    path: str
    reason: str
    font: bool  # a font left unhandled (reported by name), not merely another file
    folder: str  # the folder given on the command line it was found in


class Fonts(list[Font]):
    """The fonts of a run (a list of Font), with the files its folders held that it skips."""

    def __init__(self) -> None:
        super().__init__()
        self.skipped: list[Skipped] = []


def find_fonts(paths: Sequence[str]) -> Fonts:
    fonts = Fonts()
    for given in paths:
        if given == STDIN or not os.path.isdir(given):
            fonts.append(Font(given, os.path.basename(given)))
            continue
        before = len(fonts)
        _search(given, fonts)
        if len(fonts) == before:
            extensions = ", ".join(FONT_EXTENSIONS)
            fonts.append(Font(given, "", problem=f"no fonts ({extensions}) in this folder"))
    return fonts


def _search(given: str, fonts: Fonts) -> None:
    """Appends the fonts below `given` in the order of a sorted top-down walk: a folder's files,
    then each subfolder's. One directory listing a folder; a regular file costs no further
    system call (its type comes with the listing)."""
    stack = [(given, "")]
    while stack:
        folder, relative = stack.pop()
        try:
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            fonts.append(Font(folder, "", problem=f"cannot read this folder: {error.strerror}"))
            continue
        subfolders = []
        for entry in entries:
            name = entry.name
            if name.startswith("."):
                continue
            path = os.path.join(folder, name)
            try:
                if entry.is_dir(follow_symlinks=False):
                    subfolders.append((path, os.path.join(relative, name)))
                    continue
                regular = entry.is_file()  # through a link to a file
                linked_folder = not regular and entry.is_symlink() and entry.is_dir()
            except OSError:
                regular = linked_folder = False
            extension = os.path.splitext(name)[1].lower()
            if extension in FONT_EXTENSIONS and regular:
                fonts.append(Font(path, os.path.join(relative, name), in_folder=True))
            elif extension in UNSUPPORTED and regular:
                fonts.skipped.append(Skipped(path, UNSUPPORTED[extension], True, given))
            elif linked_folder:
                fonts.skipped.append(Skipped(path, "a link to a folder, not followed", False, given))
            elif extension in FONT_EXTENSIONS or extension in UNSUPPORTED:
                fonts.skipped.append(Skipped(path, NOT_REGULAR, True, given))
            else:
                fonts.skipped.append(Skipped(path, NOT_REGULAR if not regular else OTHER, False, given))
        stack.extend(reversed(subfolders))


def skipped_lines(fonts: Sequence[Font], verbose: bool, fails: str = "") -> tuple[list[str], list[str]]:
    """What to say of the files the run skips: (errors, notes). A font left unhandled is one
    line each, an error when `fails` (what to add to it) is given, else a note; the other files
    are one note a folder with their count, or one each with `verbose`."""
    errors: list[str] = []
    notes: list[str] = []
    others: dict[str, int] = {}
    for skip in getattr(fonts, "skipped", ()):
        if skip.font:
            line = f"quillmark: {shown(skip.path)}: skipped: {skip.reason}"
            (errors if fails else notes).append(line + (f"; {fails}" if fails else ""))
        elif verbose:
            notes.append(f"quillmark: {shown(skip.path)}: skipped: {skip.reason}")
        else:
            others[skip.folder] = others.get(skip.folder, 0) + 1
    for folder, count in others.items():
        files = "file" if count == 1 else "files"
        notes.append(f"quillmark: {shown(folder)}: {count} other {files} skipped (not .ttf or .otf fonts; -v names them)")
    return errors, notes


def wants_folder(output: str, fonts: Sequence[Font]) -> bool:
    """-o names a folder when it is one, ends with a separator, or takes several fonts, or fonts
    found in a folder (even one alone)."""
    return (
        output.endswith(("/", os.sep))
        or (os.altsep is not None and output.endswith(os.altsep))
        or len(fonts) > 1
        or any(font.in_folder for font in fonts)
        or os.path.isdir(output)
    )


def refuse_shared(
    parser: argparse.ArgumentParser, fonts: Sequence[Font], paths: Sequence[str], what: str, same: str = ""
) -> None:
    """A usage error when two fonts map to one path (`paths[i]` is font i's): one would get the
    other's manifest, or overwrite its result. Both fonts are named; `same` replaces the
    message's end."""
    taken: dict[str, Font] = {}
    for font, path in zip(fonts, paths):
        if not path or font.problem is not None:
            continue
        key = os.path.normcase(os.path.normpath(path))
        other = taken.setdefault(key, font)
        if other is not font:
            end = same or f"would both take the {what} {shown(path)}"
            parser.error(f"{shown(other.path)} and {shown(font.path)} {end}")


def _identity(path: str) -> Optional[tuple[int, int]]:
    if path == STDIN:
        try:
            st = os.fstat(0)
        except OSError:
            return None
        return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None
    return identity(path)


def plan_outputs(
    parser: argparse.ArgumentParser,
    fonts: Sequence[Font],
    output: Optional[str],
    in_place: bool,
    other_inputs: Sequence[tuple[str, str]] = (),
    suffix: Optional[str] = None,
) -> list[str]:
    """Where each font's result goes: over the font itself only with --in-place; to standard
    output for `-o -`; into a folder (created when missing) or to the one file -o names.
    `other_inputs` are (role, path) of the other files the run reads: no output may be one of
    them. `suffix` replaces a font's extension in an output folder (for extracted stores)."""
    read_from_stdin = [font for font in fonts if font.path == STDIN] + [p for _, p in other_inputs if p == STDIN]
    if len(read_from_stdin) > 1:
        parser.error("standard input ('-') can be read once only")
    if in_place:
        if any(font.path == STDIN for font in fonts):
            parser.error("a font read from standard input cannot be replaced in place: give -o")
        # The same file named twice (the same name, or one through a symbolic link) would be
        # replaced twice at once. Hard links are names of their own: each is refused by itself
        # unless --force (rewriting.check_links), the rest of the run goes on.
        refuse_shared(parser, fonts, [os.path.realpath(font.path) for font in fonts], "",
                      "are the same file: it would be replaced twice at once")  # fmt: skip
        return [font.path for font in fonts]
    assert output is not None  # argparse requires -o or --in-place
    if is_stdout(output):
        if len(fonts) > 1:
            parser.error(f"{len(fonts)} fonts but one standard output: give a folder with -o")
        return [STDOUT] * len(fonts)
    if wants_folder(output, fonts):
        if os.path.exists(output) and not os.path.isdir(output):
            parser.error(f"{shown(output)} is not a folder, and the results of a folder or of several fonts need one")
        outputs = []
        for font in fonts:
            if font.problem is not None:
                outputs.append("")
                continue
            if font.path == STDIN:
                parser.error("a font read from standard input has no name to take in a folder: give -o a file name")
            name = font.relative
            if suffix is not None:
                name = os.path.splitext(name)[0] + suffix
            outputs.append(os.path.join(output, name))
        refuse_shared(parser, fonts, outputs, "output")
    else:
        if not os.path.splitext(os.path.basename(output))[1] and not os.path.exists(output):
            # Most likely a folder meant for the results, which a single font would not make.
            parser.error(f"{shown(output)} has no extension: end a folder's name with '/' ({shown(output)}/),"
                         " or give the file its extension")  # fmt: skip
        outputs = [output]
    inputs: dict[tuple[int, int], str] = {}
    for role, path in [*(("input font", font.path) for font in fonts), *other_inputs]:
        if (key := _identity(path)) is not None:
            inputs[key] = role
    for out in outputs:
        clash = inputs.get(identity(out) or (-1, -1)) if out else None
        if clash is not None:
            hint = "; use --in-place to replace fonts" if clash == "input font" else ""
            parser.error(f"{shown(out)} is the {clash}: no input is written over{hint}")
    if outputs != [output]:
        try:
            os.makedirs(output, exist_ok=True)
        except OSError as e:
            parser.error(f"cannot create the folder {shown(output)}: {e.strerror}")
    return outputs
