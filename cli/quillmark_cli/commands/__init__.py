"""The registry of subcommands: each one's module and its line in `quillmark --help`.

Only the chosen subcommand's module is imported: `quillmark --help` lists every subcommand from
this table alone, and `quillmark info` never pays for the imports of `check` (cbor2, the
validator) or `sign` (the cryptography library).

Adding a subcommand `NAME`:
1. write `quillmark_cli/commands/NAME.py` with two functions:
   - `add_arguments(sub: argparse.ArgumentParser) -> None` adds its own arguments and options
     (the shared ones are in `quillmark_cli.options`: `add_fonts`, `add_output`, `add_force`,
     `add_json`). It may add to the description (`options.describe`; it starts as the help line below) and set
     `sub.usage` and `sub.epilog`. -j, -v and -q are added for every subcommand already.
   - `run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int` does the run and
     returns an exit status from `quillmark_cli.status`. `parser` is the subcommand's own, for
     `parser.error(...)` (a usage error, status 2). A run over fonts finds them with
     `discovery.find_fonts`, plans outputs with `discovery.plan_outputs` and hands one job per
     font to `runner.run_fonts`, whose work function returns a `runner.Outcome` (or raises:
     `output.Refused` or ValueError/OSError become one line naming the font, status 1). The
     files a folder held and the run skips are reported by run_fonts; `unhandled="..."` makes
     a font file left unhandled (a .ttc, a .woff2) fail the run, as `check` does. Fonts are
     read with `inputs.load` (bounded, `-` for standard input) and written with
     `rewriting.deliver` (atomic, through a temporary file).
2. add one line to COMMANDS below: `"NAME": Command("quillmark_cli.commands.NAME", "help line")`.
   The order of COMMANDS is the order `quillmark --help` lists them.
The module imports what it needs at its top: only its own run pays for it.
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import NamedTuple


class Command(NamedTuple):
    module: str  # the module's import path
    summary: str  # its line in `quillmark --help`, and the start of its own description


COMMANDS: dict[str, Command] = {
    "info": Command("quillmark_cli.commands.info", "show each font's C2PA table and whether it is compliant"),
    "reserve": Command(
        "quillmark_cli.commands.reserve", "reserve a zero-filled manifest store; prints the exclusion ranges"
    ),
    "ranges": Command(
        "quillmark_cli.commands.ranges", "print the data-hash exclusion ranges, one 'START LENGTH' a line"
    ),
    "fill": Command("quillmark_cli.commands.fill", "write signed manifests into reserved fonts' stores"),
    "embed": Command(
        "quillmark_cli.commands.embed", "embed a manifest store or a remote manifest URI, replacing any C2PA table"
    ),
    "remove": Command("quillmark_cli.commands.remove", "remove the C2PA table"),
    "extract": Command(
        "quillmark_cli.commands.extract",
        "write each font's embedded manifest store to a file (FONTNAME.c2pa in a folder)",
    ),
    "check": Command(
        "quillmark_cli.commands.check", "validate each font's C2PA manifest: signature, trust, assertions, binding"
    ),
    "show": Command("quillmark_cli.commands.show", "print each font's C2PA Manifest Store and its validation as JSON"),
    "sign": Command("quillmark_cli.commands.sign", "sign each font with a C2PA manifest of its own (certificate and key)"),
}


def load(name: str) -> ModuleType:
    """The module of subcommand `name` (a key of COMMANDS), imported now."""
    return importlib.import_module(COMMANDS[name].module)
