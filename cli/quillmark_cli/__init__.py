"""The `quillmark` command: C2PA provenance for whole folders of fonts, from the shell.

Each command reads fonts, calls one or two functions of the quillmark module and writes the
result. A font that quillmark refuses gets its message on standard error and the run goes on
with the others. Exit status: 0 when every font was handled, 1 when a font was refused or a
file could not be read or written, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from importlib import metadata
from typing import Any, Optional

import quillmark

# The exact messages that mean "nothing there" rather than "this font is broken".
NO_TABLE = "no C2PA table found in font"
NO_STORE = "invalid C2PA table: C2PA table has no embedded manifest store"

# Read once: a new output file gets the mode that open() would have given it.
_UMASK = os.umask(0)
os.umask(_UMASK)


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def write_atomically(path: str, data: bytes) -> None:
    """Writes through a temporary file in the same folder, renamed over `path` once complete,
    so that an interrupted run leaves the old file or the new one, never half of one."""
    path = os.path.realpath(path)  # through a symlink, not over it
    try:
        folder, name = os.path.split(path)
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            mode = 0o666 & ~_UMASK
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def output_paths(
    parser: argparse.ArgumentParser, fonts: Sequence[str], output: Optional[str], in_place: bool
) -> list[str]:
    """Where each font's result goes: over the font itself only with --in-place; into a folder
    when -o names one; else to -o, which then takes a single font."""
    if in_place:
        return list(fonts)
    assert output is not None  # argparse requires -o or --in-place
    if os.path.isdir(output):
        outputs = [os.path.join(output, os.path.basename(font)) for font in fonts]
    elif len(fonts) == 1:
        outputs = [output]
    else:
        parser.error(f"{len(fonts)} fonts but one output file: give a folder with -o, or --in-place")
    inputs = {identity for font in fonts if (identity := file_identity(font))}
    for out in outputs:
        if file_identity(out) in inputs:
            parser.error(f"{out} is one of the input fonts; use --in-place to replace fonts")
    if len({os.path.realpath(out) for out in outputs}) < len(outputs):
        parser.error("two fonts would be written to the same output file")
    return outputs


def file_identity(path: str) -> Optional[tuple[int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def font_report(font: bytes) -> dict[str, Any]:
    """What `info` says of one font. Raises ValueError for a font that quillmark refuses."""
    report: dict[str, Any] = {"c2pa_table": True, "uri": None, "store_size": None, "exclusions": None}
    report["compliant"] = quillmark.is_compliant(font)  # refuses malformed or duplicate tables
    try:
        report["uri"] = quillmark.read_manifest_uri_str(font)
    except ValueError as e:
        if str(e) != NO_TABLE:
            raise
        report["c2pa_table"] = False
        return report
    try:
        store = quillmark.read_manifest_store(font)
    except ValueError as e:
        if str(e) != NO_STORE:
            raise
    else:
        report["store_size"] = len(store)
        if store:  # an empty store has nothing to bind
            report["exclusions"] = [list(r) for r in quillmark.data_hash_ranges(font)]
    return report


def shown(text: str) -> str:
    """Text read from a font (a URI, a table tag in a message), safe for a terminal: control
    characters escaped, so that a hostile font cannot send escape sequences."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def print_report(report: dict[str, Any]) -> None:
    yes_no = {True: "yes", False: "no"}
    print(report["path"])
    print(f"  C2PA table      {yes_no[report['c2pa_table']]}")
    if report["c2pa_table"]:
        uri = report["uri"]
        store = report["store_size"]
        print(f"  manifest URI    {'none' if uri is None else shown(uri)}")
        print(f"  manifest store  {'none' if store is None else f'{store} bytes'}")
        if report["exclusions"] is not None:
            print("  exclusions      " + " ".join(f"({start}, {length})" for start, length in report["exclusions"]))
    print(f"  compliant       {yes_no[report['compliant']]}")


def print_ranges(ranges: Sequence[tuple[int, int]]) -> None:
    for start, length in ranges:
        print(start, length)


def complain(path: str, error: Exception) -> str:
    """Reports a font that could not be handled; returns the message."""
    message = str(error)
    if isinstance(error, OSError) and error.strerror:
        message = error.strerror
        if error.filename and error.filename != path:
            message = f"{error.filename}: {message}"
    print(f"quillmark: {path}: {shown(message)}", file=sys.stderr)
    return message


def guarded(path: str, work: Callable[[], object]) -> int:
    """Runs one font's work: 0 when it went well, 1 (with the message) when it did not."""
    try:
        work()
    except (ValueError, OSError) as e:  # ValueError: quillmark refused the font
        complain(path, e)
        return 1
    return 0


def info(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    status = 0
    reports: list[dict[str, Any]] = []
    for path in args.fonts:
        try:
            report = {"path": path, **font_report(read(path))}
        except (ValueError, OSError) as e:
            status = 1
            reports.append({"path": path, "error": complain(path, e)})
            continue
        reports.append(report)
        if not args.json:
            print_report(report)
    if args.json:
        print(json.dumps(reports, indent=2))
    return status


def ranges(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    return guarded(args.font, lambda: print_ranges(quillmark.data_hash_ranges(read(args.font))))


def reserve(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    (out,) = output_paths(parser, [args.font], args.output, args.in_place)

    def work() -> None:
        reserved = quillmark.reserve_manifest_placeholder(read(args.font), args.size, args.uri)
        write_atomically(out, reserved)
        print_ranges(quillmark.data_hash_ranges(reserved))

    return guarded(args.font, work)


def fill(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    (out,) = output_paths(parser, [args.font], args.output, args.in_place)

    def work() -> None:
        manifest = read(args.manifest)
        filled = quillmark.fill_manifest_store(read(args.font), manifest)
        write_atomically(out, filled)
        padding = len(quillmark.read_manifest_store(filled)) - len(manifest)
        if padding:
            print(
                f"quillmark: {out}: note: the {len(manifest)}-byte manifest was padded with {padding} zero bytes"
                " to fill the reservation; strict C2PA validators may refuse them: make the signed manifest"
                " exactly as long as the reservation",
                file=sys.stderr,
            )

    return guarded(args.font, work)


def rewrite(args: argparse.Namespace, parser: argparse.ArgumentParser, change: Callable[[bytes], bytes]) -> int:
    outputs = output_paths(parser, args.fonts, args.output, args.in_place)
    status = 0
    for path, out in zip(args.fonts, outputs):
        status |= guarded(path, lambda: write_atomically(out, change(read(path))))
    return status


def embed(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.uri is not None:
        return rewrite(args, parser, lambda font: quillmark.embed_remote(font, args.uri))
    try:
        store = read(args.store)
    except OSError as e:
        complain(args.store, e)
        return 1
    return rewrite(args, parser, lambda font: quillmark.embed_manifest_store(font, store))


def remove(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    return rewrite(args, parser, quillmark.remove_manifest_table)


def extract(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if os.path.isdir(args.output):
        parser.error(f"{args.output} is a folder: name the file for the manifest store")
    (out,) = output_paths(parser, [args.font], args.output, False)
    return guarded(args.font, lambda: write_atomically(out, quillmark.read_manifest_store(read(args.font))))


def positive_size(text: str) -> int:
    try:
        size = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of bytes: {text!r}") from None
    if size <= 0:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte: {text!r}")
    return size


def utf8_text(text: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not valid UTF-8: {text!r}") from None
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillmark",
        description="Put C2PA content provenance into TrueType/OpenType fonts, read it back and take it out.",
        epilog="Exit status: 0 all well, 1 some font refused (the others are still processed), 2 usage error. "
        "Outputs are written to a temporary file in the same folder and renamed into place; "
        "an input is only replaced with --in-place.",
    )
    try:
        version = metadata.version("quillmark")
    except metadata.PackageNotFoundError:
        version = "unknown"
    parser.add_argument("--version", action="version", version=f"quillmark {version}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[..., int], help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        return sub

    def output(sub: argparse.ArgumentParser, what: str = "the new font") -> None:
        where = sub.add_mutually_exclusive_group(required=True)
        where.add_argument("-o", "--output", metavar="OUT", help=f"write {what} here (a folder takes each font's name)")
        where.add_argument("--in-place", action="store_true", help="replace each input font")

    sub = command("info", info, "show each font's C2PA table, its exclusion ranges and compliance")
    sub.add_argument("fonts", nargs="+", metavar="FONT")
    sub.add_argument("--json", action="store_true", help="print one JSON array, one object per font")

    sub = command("reserve", reserve, "reserve a zero-filled manifest store; prints the exclusion ranges")
    sub.add_argument("font", metavar="FONT")
    sub.add_argument("size", metavar="SIZE", type=positive_size, help="bytes to reserve for the signed manifest")
    sub.add_argument("--uri", type=utf8_text, help="also record this active manifest URI")
    output(sub)

    sub = command("ranges", ranges, "print the data-hash exclusion ranges, one 'START LENGTH' a line")
    sub.add_argument("font", metavar="FONT")

    sub = command("fill", fill, "write a signed manifest into a reserved font's store")
    sub.add_argument("font", metavar="FONT")
    sub.add_argument("manifest", metavar="MANIFEST", help="file holding the signed manifest store")
    output(sub)

    sub = command("embed", embed, "embed a manifest store or a remote manifest URI, replacing any C2PA table")
    sub.add_argument("fonts", nargs="+", metavar="FONT")
    what = sub.add_mutually_exclusive_group(required=True)
    what.add_argument("--store", metavar="FILE", help="file holding the manifest store to embed")
    what.add_argument("--uri", type=utf8_text, help="remote manifest URI to embed")
    output(sub)

    sub = command("remove", remove, "remove the C2PA table")
    sub.add_argument("fonts", nargs="+", metavar="FONT")
    output(sub)

    sub = command("extract", extract, "write the embedded manifest store to a file")
    sub.add_argument("font", metavar="FONT")
    sub.add_argument("-o", "--output", metavar="STORE_FILE", required=True, help="where to write the store")

    from quillmark_cli.check import add_command as add_check  # here: check imports this module

    add_check(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    status: int = args.run(args, parser)
    return status


if __name__ == "__main__":
    sys.exit(main())
