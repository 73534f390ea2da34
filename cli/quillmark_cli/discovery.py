"""Which fonts a run handles and where each one's result goes.

Fonts are named one by one or found in folders, recursively. A font named by itself keeps its
file name in an output folder; a font found in a folder keeps its path below that folder, so a
tree of fonts is written as the same tree.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional

from .names import shown
from .output import STDOUT, identity, is_stdout

# What a folder is searched for: the SFNT fonts that quillmark reads. Collections and WOFF
# files would only be refused; a file named on the command line is read whatever its name.
FONT_EXTENSIONS = (".ttf", ".otf")


@dataclass(frozen=True)
class Font:
    path: str  # as given, or joined to the folder it was found in
    relative: str  # its name below an output folder
    problem: Optional[str] = None  # a folder that held no fonts, or could not be read
    in_folder: bool = False  # found in a folder given on the command line


def find_fonts(paths: Sequence[str]) -> list[Font]:
    fonts: list[Font] = []
    for given in paths:
        if not os.path.isdir(given):
            fonts.append(Font(given, os.path.basename(given)))
            continue
        found: list[Font] = []

        def unreadable(error: OSError) -> None:
            folder = os.fsdecode(error.filename) if error.filename is not None else given
            found.append(Font(folder, "", problem=f"cannot read this folder: {error.strerror}"))

        for folder, subfolders, files in os.walk(given, onerror=unreadable):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
            for name in sorted(files):
                if name.lower().endswith(FONT_EXTENSIONS) and not name.startswith("."):
                    path = os.path.join(folder, name)
                    found.append(Font(path, os.path.relpath(path, given), in_folder=True))
        if not found:
            extensions = ", ".join(FONT_EXTENSIONS)
            found.append(Font(given, "", problem=f"no fonts ({extensions}) in this folder"))
        fonts.extend(found)
    return fonts


def wants_folder(output: str, fonts: Sequence[Font]) -> bool:
    """-o names a folder when it is one, ends with a separator, or takes several fonts, or fonts
    found in a folder (even one alone)."""
    return (
        os.path.isdir(output)
        or output.endswith(("/", os.sep))
        or (os.altsep is not None and output.endswith(os.altsep))
        or len(fonts) > 1
        or any(font.in_folder for font in fonts)
    )


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
    if in_place:
        outputs = [font.path for font in fonts if font.problem is None]
        if len({identity(out) or os.path.realpath(out) for out in outputs}) < len(outputs):
            parser.error("a font is given twice: it would be replaced twice at once")
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
            name = font.relative
            if suffix is not None:
                name = os.path.splitext(name)[0] + suffix
            outputs.append(os.path.join(output, name))
    else:
        outputs = [output]
    inputs: dict[tuple[int, int], str] = {}
    for role, path in [*(("input font", font.path) for font in fonts), *other_inputs]:
        if (key := identity(path)) is not None:
            inputs[key] = role
    for out in outputs:
        clash = inputs.get(identity(out) or (-1, -1)) if out else None
        if clash is not None:
            hint = "; use --in-place to replace fonts" if clash == "input font" else ""
            parser.error(f"{shown(out)} is the {clash}: no input is written over{hint}")
    written = [os.path.realpath(out) for out in outputs if out]
    if len(set(written)) < len(written):
        parser.error("two fonts would be written to the same output file")
    if outputs != [output]:
        try:
            os.makedirs(output, exist_ok=True)
        except OSError as e:
            parser.error(f"cannot create the folder {shown(output)}: {e.strerror}")
    return outputs
