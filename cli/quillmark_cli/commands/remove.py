"""`quillmark remove`: the C2PA table taken out of each font."""

from __future__ import annotations

import argparse

import quillmark

from ..discovery import find_fonts, plan_outputs
from ..options import add_fonts, add_force, add_output
from ..rewriting import rewrite


def add_arguments(sub: argparse.ArgumentParser) -> None:
    add_fonts(sub)
    add_output(sub)
    add_force(sub)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    outputs = plan_outputs(parser, fonts, args.output, args.in_place)
    return rewrite(args, fonts, outputs, quillmark.remove_manifest_table, None)
