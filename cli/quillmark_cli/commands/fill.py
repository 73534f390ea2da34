"""`quillmark fill`: signed manifests written into the stores that `reserve` made."""

from __future__ import annotations

import argparse
import os
from typing import Optional

import quillmark

from ..discovery import Font, find_fonts, plan_outputs, refuse_shared
from ..inputs import STORE_LIMIT, load, read_bounded
from ..names import shown
from ..options import add_force, add_output, file_name
from ..output import STDOUT, Refused
from ..report import only_zeros
from ..rewriting import check_links, check_manifest, deliver
from ..runner import Outcome, run_fonts

USAGE = (
    "quillmark fill [options] FONT MANIFEST (-o OUT | --in-place)\n"
    "       quillmark fill [options] FONT... --manifests DIR (-o OUT | --in-place)"
)
EPILOG = (
    "With --manifests, each font takes the manifest of its own name from DIR: Font.ttf takes DIR/Font.c2pa"
    " (a font found below a folder, sub/Font.ttf, takes DIR/sub/Font.c2pa); a font without one is reported"
    " and left alone."
)


def add_arguments(sub: argparse.ArgumentParser) -> None:
    sub.usage, sub.epilog = USAGE, EPILOG
    sub.add_argument("fonts", nargs="+", metavar="FONT", help="fonts or folders (and, without --manifests, the manifest)")
    sub.add_argument("--manifests", metavar="DIR", type=file_name, help="folder of signed manifests, FONTNAME.c2pa for each font")
    add_output(sub)
    add_force(sub, "; the font's store already holds a manifest, which would be replaced")


def manifest_path(font: Font, folder: str) -> str:
    return os.path.join(folder, os.path.splitext(font.relative)[0] + ".c2pa")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
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
        refuse_shared(parser, fonts, manifests, "manifest")  # Font.ttf and Font.otf: one Font.c2pa
    outputs = plan_outputs(parser, fonts, args.output, args.in_place, [("manifest", m) for m in manifests])
    manifest_of = dict(zip(fonts, manifests))

    def work(font: Font, out: str) -> Outcome:
        manifest = manifest_of[font]
        if args.manifests is not None and not os.path.exists(manifest):
            raise Refused(f"no manifest for it: {shown(manifest)} is missing")
        check_links(font.path, args)
        data = load(font.path)
        try:
            store = quillmark.read_manifest_store(data)
            limit = len(store)
        except ValueError:
            # No table, or no store in it: the module refuses the font, whatever the manifest.
            quillmark.fill_manifest_store(data, b"\x01")
            store, limit = b"", STORE_LIMIT
        if not args.force and not only_zeros(store):
            raise Refused(f"its {len(store)}-byte manifest store already holds a manifest, which filling"
                          " would replace: --force fills anyway")  # fmt: skip

        # No more of the manifest is read than the reservation takes: a manifest linked to
        # /dev/zero, or far too large, is refused after reading one byte more.
        def too_long(size: Optional[int]) -> str:
            size_text = f"more than {limit}" if size is None else str(size)
            return f"the manifest {shown(manifest)} is {size_text} bytes but only {limit} were reserved"

        signed = check_manifest(read_bounded(manifest, limit, too_long), "manifest")
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
