"""`quillmark embed`: a whole manifest store, or a remote manifest URI, put into each font."""

from __future__ import annotations

import argparse
import sys
from typing import Optional

import quillmark

from ..discovery import find_fonts, plan_outputs
from ..inputs import STORE_LIMIT, read_bounded
from ..names import shown
from ..options import add_fonts, add_force, add_output, file_name, uri_text
from ..rewriting import check_manifest, rewrite
from ..runner import message_of
from ..sfnt import C2PA_HEADER_SIZE as C2PA_HEADER
from ..status import FAILURE


def add_arguments(sub: argparse.ArgumentParser) -> None:
    add_fonts(sub)
    what = sub.add_mutually_exclusive_group(required=True)
    what.add_argument("--store", metavar="FILE", type=file_name, help="file holding the manifest store to embed")
    what.add_argument("--uri", type=uri_text, help="remote manifest URI to embed")
    add_output(sub)
    add_force(sub)


def store_too_long(size: Optional[int]) -> str:
    """The module's words for a store that no C2PA table can hold (its length is 32 bits)."""
    size_text = f"more than {STORE_LIMIT}" if size is None else str(size)
    return f"the manifest store is {size_text} bytes; at most {STORE_LIMIT} fit the table"


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    others = [] if args.store is None else [("manifest store", args.store)]
    outputs = plan_outputs(parser, fonts, args.output, args.in_place, others)
    if args.uri is not None:
        c2pa_length = C2PA_HEADER + len(args.uri.encode())

        def change(font: bytes) -> bytes:
            return quillmark.embed_remote(font, args.uri)

    else:
        try:
            store = check_manifest(read_bounded(args.store, STORE_LIMIT, store_too_long), "manifest store")
        except (OSError, ValueError, MemoryError) as e:
            message = "not enough memory to read it" if isinstance(e, MemoryError) else message_of(e, args.store)
            print(f"quillmark: {shown(args.store)}: {message}", file=sys.stderr)
            return FAILURE
        c2pa_length = C2PA_HEADER + len(store)

        def change(font: bytes) -> bytes:
            return quillmark.embed_manifest_store(font, store)

    return rewrite(args, fonts, outputs, change, c2pa_length)
