"""`quillmark extract`: each font's embedded manifest store written to a file of its own."""

from __future__ import annotations

import argparse
import os

import quillmark

from ..discovery import Font, find_fonts, plan_outputs
from ..inputs import load
from ..names import shown
from ..options import add_fonts, add_output
from ..rewriting import deliver
from ..runner import Outcome, run_fonts


def add_arguments(sub: argparse.ArgumentParser) -> None:
    add_fonts(sub)
    add_output(sub, "the manifest store", in_place=False)
    sub.add_argument("--force", action="store_true", help="write even when the replaced file's owner cannot be kept")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    alone = len(fonts) == 1 and not fonts[0].in_folder
    if alone and os.path.isdir(args.output) and not args.output.endswith(("/", os.sep)):
        parser.error(f"{shown(args.output)} is a folder: name the file for the manifest store, or end it with '/'")
    outputs = plan_outputs(parser, fonts, args.output, False, suffix=".c2pa")

    def work(font: Font, out: str) -> Outcome:
        return deliver(font, out, quillmark.read_manifest_store(load(font.path)), args.force)

    return run_fonts(args, fonts, work, outputs)
