"""`quillmark info`: each font's C2PA table, the state of its store, and whether it is compliant."""

from __future__ import annotations

import argparse
import json

from ..discovery import Font, find_fonts
from ..inputs import load
from ..names import shown
from ..options import add_fonts, add_json, describe
from ..report import font_report, report_lines
from ..runner import Outcome, message_of, run_fonts
from ..status import FAILURE

MORE = ": its URI, the state of its manifest store, its exclusion ranges, and why a font is not compliant"


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, MORE)
    add_fonts(sub)
    add_json(sub)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    def work(font: Font, _: str) -> Outcome:
        try:
            report = {"path": font.path, **font_report(load(font.path))}
        except Exception as e:
            message = message_of(e, font.path)
            error = f"quillmark: {shown(font.path)}: {message}"
            lines = [json.dumps({"path": font.path, "error": message})] if args.json else []
            return Outcome(lines=lines, errors=[error], status=FAILURE)
        return Outcome(lines=[json.dumps(report)] if args.json else report_lines(report))

    fonts = find_fonts(args.fonts)
    return run_fonts(args, fonts, work, [""] * len(fonts))
