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
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, Optional

from . import check, commands
from .names import shown
from .runner import stops_cleanly

# Each adds one subcommand to the parser, in the order `quillmark --help` lists them. A new
# subcommand is a module with a `register(subcommands)` function built on
# commands.add_command (which gives it -j, -v and -q), listed here.
COMMANDS: list[Callable[[Any], None]] = [
    commands.register_info,
    commands.register_reserve,
    commands.register_ranges,
    commands.register_fill,
    commands.register_embed,
    commands.register_remove,
    commands.register_extract,
    check.register,
]


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose error lines escape control characters from the command line (an
    unknown option that is a file name with an escape sequence) as every other line does."""

    def error(self, message: str) -> NoReturn:
        super().error(shown(message))


class Version(argparse.Action):
    """--version, looked up only when asked for (reading the metadata takes longer than the
    rest of the tool's start)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        from importlib import metadata

        try:
            version = metadata.version("quillmark")
        except metadata.PackageNotFoundError:
            version = "unknown"
        print(f"quillmark {version}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="quillmark",
        description="Put C2PA content provenance into TrueType/OpenType fonts, read it back and take it out.",
        epilog="Exit status: 0 all well, 1 some font refused (the others are still processed), 2 usage error, "
        "130 interrupted (128 plus the signal's number for SIGTERM and SIGHUP). Outputs are written to a temporary file in the same folder and renamed into place; "
        "an input is only replaced with --in-place.",
    )
    parser.add_argument("--version", action=Version, nargs=0, help="show the version and exit")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for register in COMMANDS:
        register(subcommands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    if sys.stderr is None:  # started with standard error closed: messages must not go to standard output
        sys.stderr = open(os.devnull, "w")
    for stream in (sys.stdout, sys.stderr):  # a name the locale cannot encode is escaped, not a traceback
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    with stops_cleanly():
        parser = build_parser()
        args = parser.parse_args(argv)
        status: int = args.run(args, args.parser)  # the subcommand's, for its usage line
        return status


if __name__ == "__main__":
    sys.exit(main())
