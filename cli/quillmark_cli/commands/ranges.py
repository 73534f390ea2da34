"""`quillmark ranges`: the data-hash exclusion ranges of each font."""

from __future__ import annotations

import argparse

import quillmark

from ..discovery import Font, find_fonts
from ..inputs import load
from ..options import add_fonts, add_json
from ..report import range_lines
from ..runner import Outcome, run_fonts


def add_arguments(sub: argparse.ArgumentParser) -> None:
    add_fonts(sub)
    add_json(sub)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)

    def work(font: Font, _: str) -> Outcome:
        found = quillmark.data_hash_ranges(load(font.path))
        return Outcome(lines=range_lines(font.path, found, args, len(fonts) > 1))

    return run_fonts(args, fonts, work, [""] * len(fonts))
