"""What `info` says of a font: its C2PA table, the state of its manifest store and the
compliance verdict, with the reason when the verdict is no."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional

import quillmark

from . import messages
from .names import shown

if TYPE_CHECKING:
    from quillmark_c2pa import jumbf

NEITHER = "the C2PA table carries neither a manifest URI nor a manifest store"


def font_report(font: bytes) -> dict[str, Any]:
    """The report's fields (all but `path`). Raises ValueError only for a file that is no
    usable font; a malformed or duplicated C2PA table is reported, with the module's message
    as the reason the font is not compliant."""
    report: dict[str, Any] = {
        "c2pa_table": True,
        "uri": None,
        "store_size": None,
        "store_state": None,  # "placeholder" (all zeros, not signed yet) or "manifest"
        "padding": None,  # zero bytes at the end of a store holding a manifest
        "exclusions": None,
        "compliant": False,
        "reason": None,  # why the font is not compliant
    }
    try:
        report["compliant"] = quillmark.is_compliant(font)
        report["uri"] = quillmark.read_manifest_uri_str(font)
    except ValueError as e:
        if messages.unusable_font(str(e)):
            raise
        report["reason"] = str(e)
        if str(e) == messages.NO_TABLE:
            report["c2pa_table"] = False
            report["reason"] = "no C2PA table"
        return report
    try:
        store = quillmark.read_manifest_store(font)
        if store:
            report["exclusions"] = [list(r) for r in quillmark.data_hash_ranges(font)]
    except ValueError as e:
        if str(e) != messages.NO_STORE:
            report["compliant"] = False
            report["reason"] = str(e)
            return report
    else:
        report["store_size"] = len(store)
        if store:
            unpadded = manifest_length(store)
            report["store_state"] = "manifest" if unpadded else "placeholder"
            report["padding"] = len(store) - unpadded if unpadded else None
    if not report["compliant"]:
        if report["uri"] is None and not report["store_size"]:
            report["reason"] = NEITHER
        elif not _has_head(font):
            report["reason"] = "no head table, so no checkSumAdjustment"
        else:
            report["reason"] = "checkSumAdjustment is wrong: the font changed after it was written"
    return report


def _has_head(font: bytes) -> bool:
    from .sfnt import has_table  # here: only a font that is not compliant needs it

    return has_table(font, b"head")


def only_zeros(data: bytes) -> bool:
    """Whether `data` is nothing but zero bytes: a placeholder that no manifest was written into."""
    return data.count(0) == len(data)


def manifest_length(store: bytes) -> int:
    """How many of the store's bytes the manifest takes, the rest being zero padding. A JUMBF
    superbox, as C2PA frames a Manifest Store, gives its own length, so a manifest whose last
    bytes happen to be zeros is not taken for padding; anything else ends at its last non-zero
    byte."""
    from quillmark_c2pa import jumbf  # here: `ranges` and the writers print without it

    try:
        box: Optional[jumbf.Box] = jumbf.read_box(store, 0, len(store))
    except jumbf.JumbfError:
        box = None
    if box is not None and box.type == b"jumb" and only_zeros(store[box.end :]):
        return box.end
    return len(store.rstrip(b"\0"))


def report_lines(report: dict[str, Any]) -> list[str]:
    yes_no = {True: "yes", False: "no"}
    lines = [shown(report["path"]), f"  C2PA table      {yes_no[report['c2pa_table']]}"]
    table_read = report["uri"] is not None or report["store_size"] is not None or report["reason"] == NEITHER
    if report["c2pa_table"] and table_read:
        uri, size = report["uri"], report["store_size"]
        lines.append(f"  manifest URI    {'none' if uri is None else shown(uri)}")
        if size is None:
            lines.append("  manifest store  none")
        elif report["store_state"] == "placeholder":
            lines.append(f"  manifest store  {size} bytes, a placeholder: all zeros, not signed yet")
        elif report["store_state"] == "manifest":
            padding = report["padding"]
            holds = f"a {size - padding}-byte manifest and {padding} bytes of zero padding" if padding else "a manifest"
            lines.append(f"  manifest store  {size} bytes: {holds}")
        else:
            lines.append("  manifest store  empty")
        if report["exclusions"] is not None:
            lines.append("  exclusions      " + " ".join(f"({start}, {length})" for start, length in report["exclusions"]))
    verdict = yes_no[report["compliant"]]
    if report["reason"] is not None:
        verdict += f": {shown(report['reason'])}"
    elif report["store_state"] == "placeholder":
        verdict += " (in form; the placeholder is not signed yet)"
    lines.append(f"  compliant       {verdict}")
    return lines


def range_lines(path: str, ranges: Sequence[tuple[int, int]], args: argparse.Namespace, several: bool) -> list[str]:
    """One 'START LENGTH' line a range; under the font's name when the run has several fonts;
    one JSON object with --json."""
    if args.json:
        return [json.dumps({"path": path, "exclusions": [list(r) for r in ranges]})]
    lines = [f"{'  ' if several else ''}{start} {length}" for start, length in ranges]
    return [shown(path), *lines] if several else lines
