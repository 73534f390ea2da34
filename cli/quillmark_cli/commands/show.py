"""`quillmark show`: each font's Manifest Store as JSON (quillmark_c2pa.describe): the active
manifest, every manifest's claim generator, title, instance ID, assertions, ingredients and
signature, and the validation results that `check` judges by."""

from __future__ import annotations

import argparse
import json

from quillmark_c2pa.describe import describe as describe_store
from quillmark_c2pa.validation import validate

from ..discovery import Font, find_fonts
from ..inputs import load
from ..names import shown
from ..options import add_fonts, describe
from ..runner import Outcome, message_of, run_fonts
from ..status import FAILURE
from .check import add_trust, trust_settings

MORE = (
    " (the active manifest's label; for each manifest its claim generator, title, instance ID,"
    " assertions, ingredients and signature; the validation results, C2PA 2.2, 15.2.1)."
    " Exit status: 0 every font was read, 1 some font could not be, 2 usage error: a store"
    " that fails validation is shown, and its failures are in the JSON."
)


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, MORE)
    add_fonts(sub)
    add_trust(sub)
    sub.add_argument("--compact", action="store_true", help="print each font's JSON on one line (JSON Lines)")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    trust = trust_settings(args, parser)
    indent = None if args.compact else 2

    def work(font: Font, _: str) -> Outcome:
        try:
            data = load(font.path)
        except Exception as e:
            message = message_of(e, font.path)
            lines = [json.dumps({"path": font.path, "error": message}, indent=indent)]
            return Outcome(lines=lines, errors=[f"quillmark: {shown(font.path)}: {message}"], status=FAILURE)
        validation = validate(data, trust=trust, allow_remote=args.allow_remote, fetch_ocsp=args.fetch_ocsp)
        shown_json = {"path": font.path, **describe_store(validation)}
        return Outcome(lines=[json.dumps(shown_json, indent=indent, ensure_ascii=True)])

    fonts = find_fonts(args.fonts)
    return run_fonts(args, fonts, work, [""] * len(fonts))
