"""The `quillmark` command: C2PA provenance for whole folders of fonts, from the shell.

Each subcommand reads fonts (named one by one, or found in folders), calls one or two functions
of the quillmark module on each and writes the result. A font that quillmark refuses gets its
message on standard error and the run goes on with the others. Exit status: 0 when every font
was handled, 1 when a font was refused or a file could not be read or written, 2 for a usage
error, 128 plus the signal's number when stopped (130 for Ctrl-C).
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn, Optional

from quillmark_c2pa import __version__

from .commands import COMMANDS, load
from .names import shown
from .options import add_common
from .runner import stops_cleanly


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose error lines escape control characters from the command line (an
    unknown option that is a file name with an escape sequence) as every other line does."""

    def error(self, message: str) -> NoReturn:
        super().error(shown(message))


class Version(argparse.Action):
    """--version: the version, and the issue date of the C2PA trust lists bundled with the
    engine (from `trust_lists`, which imports nothing heavy)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        try:
            from quillmark_c2pa.trust_lists import TRUST_LIST_ISSUED
        except ImportError:  # an engine without bundled trust lists
            print(f"quillmark {__version__}")
        else:
            print(f"quillmark {__version__} (bundled C2PA trust lists issued {TRUST_LIST_ISSUED.isoformat()})")
        parser.exit()


__all__ = ["__version__", "build_parser", "main"]


def chosen_command(argv: Sequence[str]) -> Optional[str]:
    """The subcommand named on the command line: the first word that is not one of the
    top-level options (which take no value); None when there is none or it is unknown."""
    for i, word in enumerate(argv):
        if word == "--":
            word = argv[i + 1] if i + 1 < len(argv) else ""
        elif word.startswith("-"):
            continue
        return word if word in COMMANDS else None
    return None


def build_parser(command: Optional[str] = None) -> argparse.ArgumentParser:
    """The parser, with every subcommand listed and the options of `command` alone (only its
    module is imported)."""
    parser = Parser(
        prog="quillmark",
        description="Content Credentials (C2PA) for TrueType/OpenType fonts: sign fonts, check them as a C2PA "
        "validator does and show what they carry; for pipelines signing with another C2PA library, reserve, fill, "
        "embed, extract or remove the C2PA table.",
        epilog="Exit status: 0 all well, 1 some font refused or failed (the others are still processed), "
        "2 usage error, "
        "130 interrupted (128 plus the signal's number for SIGTERM and SIGHUP). Outputs are written to a temporary file in the same folder and renamed into place; "
        "an input is only replaced with --in-place.",
    )
    parser.add_argument("--version", action=Version, nargs=0, help="show the version and exit")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, entry in COMMANDS.items():
        sub = subcommands.add_parser(name, help=entry.summary, description=entry.summary)
        if name == command:
            module = load(name)
            sub.set_defaults(run=module.run, parser=sub)
            add_common(sub)
            module.add_arguments(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    if sys.stderr is None:  # started with standard error closed: messages must not go to standard output
        sys.stderr = open(os.devnull, "w")
    for stream in (sys.stdout, sys.stderr):  # a name the locale cannot encode is escaped, not a traceback
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    if argv is None:
        argv = sys.argv[1:]
    with stops_cleanly():
        parser = build_parser(chosen_command(argv))
        args = parser.parse_args(argv)
        status: int = args.run(args, args.parser)  # the subcommand's, for its usage line
        return status


if __name__ == "__main__":
    sys.exit(main())
