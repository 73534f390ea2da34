"""The `font.info` assertion (C2PA 2.2, 18.22) from the font's own `name`, `OS/2` and `head` tables.

Each field is filled only from what the font says, and only when it meets the CDDL's rule for it;
nothing is guessed:
- fullName: name ID 4; familyName: the typographic family (ID 16), else ID 1; postScriptName:
  ID 6, which must match the CDDL's pattern (ASCII 33-126 but `[](){}<>/%`, 1 to 63 characters);
  copyrightNotice: ID 0. These four, style, weight and format are required by the CDDL: a font that
  lacks one gets no font.info assertion (`FontInfoError` says which field), never a made-up one.
- style: "Italic" when OS/2 fsSelection bit 0 (or head macStyle bit 1) is set, "Oblique" for
  fsSelection bit 9, else "Normal" (the CDDL's `$font-style` words, as CSS's font-style uses them).
- weight: OS/2 usWeightClass (1 to 1000) with the class name of its range (`weight_class`); a
  font with no OS/2 table or a value outside 1..1000 has no weight to report.
- format: "OpenType" for CFF outlines (sfntVersion 'OTTO'), "TrueType" for glyf outlines.
- version (optional): name ID 5 without its "Version " prefix, up to the first ';' or space,
  kept only when it is semantic versioning as the CDDL's pattern has it ("1.000" is not: the
  pattern wants three parts without leading zeros), and left out otherwise.
- designers: ID 9 as one designer (the field's text is not split: "A, B and C Inc." cannot be
  split reliably), with ID 12 as the person's URL when it is an http(s) URL the CDDL accepts;
  designFoundry: ID 8 with ID 11 as its URL likewise; identifier: ID 3 (the unique font
  identifier, which is for the foundry's use).

Names are read from Windows Unicode records (platform 3, encoding 1 or 10) in English (United
States), then any Windows Unicode record, then Unicode-platform records, then Macintosh Roman
English: the order OpenType recommends readers prefer. A record that does not decode is skipped.
"""

from __future__ import annotations

import re
import struct
from typing import Any, Optional

from . import sfnt

# The CDDL's patterns (C2PA 2.2, 18.22.2 and 8.4.2.2), matched whole as CDDL .regexp matches.
SEMVER = re.compile(
    r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)"
    r"(?:-((?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*)(?:\.(?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?"
    r"(?:\+([0-9a-zA-Z-]+(?:\.[0-9a-zA-Z-]+)*))?"
)
POSTSCRIPT_NAME = re.compile(r"(?!.*[\[\]\(\)\{\}<>/%])[!-~]{1,63}")
EXT_URL = re.compile(r"https?://[-a-zA-Z0-9@:%._\+~#=]{2,256}\.[a-z]{2,6}\b[-a-zA-Z0-9@:%_\+.~#?&//=]*")

# name IDs (OpenType, name table).
COPYRIGHT, FAMILY, UNIQUE_ID, FULL_NAME, VERSION, POSTSCRIPT = 0, 1, 3, 4, 5, 6
MANUFACTURER, DESIGNER, VENDOR_URL, DESIGNER_URL, TYPOGRAPHIC_FAMILY = 8, 9, 11, 12, 16

# OS/2: usWeightClass u16 at byte 4, fsSelection u16 at byte 62; head: macStyle u16 at byte 44.
OS2_WEIGHT_CLASS, OS2_FS_SELECTION = 4, 62
FS_ITALIC, FS_OBLIQUE = 1 << 0, 1 << 9
HEAD_MAC_STYLE, MAC_ITALIC = 44, 1 << 1

# usWeightClass ranges and the CDDL's class names (C2PA 2.2, 18.22.2, $font-weight-class): the
# OpenType names of the hundreds (OS/2, usWeightClass), each taking the values nearest to it;
# 350 is SemiLight and 950 ExtraBlack, as Windows names them.
WEIGHT_CLASSES = (
    (149, "Thin"),
    (249, "ExtraLight"),
    (324, "Light"),
    (374, "SemiLight"),
    (449, "Regular"),
    (549, "Medium"),
    (649, "SemiBold"),
    (749, "Bold"),
    (849, "ExtraBold"),
    (924, "Black"),
    (1000, "ExtraBlack"),
)

# Windows, Unicode and Macintosh encodings a name record may be read in.
_ENCODINGS = {(3, 1): "utf-16-be", (3, 10): "utf-16-be", (0, None): "utf-16-be", (1, 0): "mac-roman"}


class FontInfoError(ValueError):
    """The font lacks a fact font.info requires; the message names it."""


def weight_class(value: int) -> str:
    for top, name in WEIGHT_CLASSES:
        if value <= top:
            return name
    raise ValueError(f"weight {value} is outside 1..1000")


def read_names(font: bytes, table: sfnt.Table) -> dict[int, str]:
    """The best-preferred decodable string of each name ID in the name table."""
    data = memoryview(font)[table.offset : table.end]
    if len(data) < 6:
        return {}
    _, count, storage = struct.unpack_from(">HHH", data, 0)
    count = min(count, (len(data) - 6) // 12)
    best: dict[int, tuple[int, str]] = {}
    for i in range(count):
        platform, encoding, language, name_id, length, offset = struct.unpack_from(">6H", data, 6 + 12 * i)
        rank = _rank(platform, encoding, language)
        if rank is None or (name_id in best and best[name_id][0] <= rank):
            continue
        start = storage + offset
        if start + length > len(data):
            continue
        codec = _ENCODINGS.get((platform, encoding if platform != 0 else None))
        if codec is None:  # _rank reads only records of these encodings
            continue
        try:
            text = bytes(data[start : start + length]).decode(codec)
        except UnicodeDecodeError:
            continue
        best[name_id] = (rank, text)
    return {name_id: text for name_id, (_, text) in best.items()}


def _rank(platform: int, encoding: int, language: int) -> Optional[int]:
    """Lower is preferred; None for a record in an encoding not read."""
    if platform == 3 and encoding in (1, 10):
        return 0 if language == 0x409 else 1
    if platform == 0:
        return 2
    if platform == 1 and encoding == 0 and language == 0:
        return 3
    return None


def _u16(font: bytes, table: Optional[sfnt.Table], at: int) -> Optional[int]:
    if table is None or table.length < at + 2:
        return None
    return int.from_bytes(font[table.offset + at : table.offset + at + 2], "big")


def font_info(font: bytes, tables: "Optional[list[sfnt.Table]]" = None) -> dict[str, Any]:
    """The font.info map of `font` (C2PA 2.2, 18.22). Raises FontInfoError naming a required
    field the font cannot fill truthfully."""
    tables = sfnt.read_directory(font) if tables is None else tables
    by_tag: dict[bytes, sfnt.Table] = {}
    for t in tables:
        by_tag.setdefault(t.tag, t)  # the first of two tables with a tag, as the module reads it
    names = read_names(font, by_tag[b"name"]) if b"name" in by_tag else {}

    def required(name_id: int, field: str) -> str:
        text = names.get(name_id, "").strip()
        if not text:
            raise FontInfoError(f"the font has no {field} (name ID {name_id}) for font.info")
        return text

    info: dict[str, Any] = {"fullName": required(FULL_NAME, "full name")}
    version = _semver(names.get(VERSION, ""))
    if version:
        info["version"] = version
    family = names.get(TYPOGRAPHIC_FAMILY, "").strip() or required(FAMILY, "family name")
    info["familyName"] = family
    info["style"] = _style(font, by_tag.get(b"OS/2"), by_tag.get(b"head"))
    weight = _u16(font, by_tag.get(b"OS/2"), OS2_WEIGHT_CLASS)
    if weight is None or not 1 <= weight <= 1000:
        shown = "no OS/2 table" if weight is None else f"usWeightClass {weight}, outside 1..1000"
        raise FontInfoError(f"the font has no weight for font.info: {shown}")
    info["weight"] = {"class": weight_class(weight), "value": weight}
    postscript = required(POSTSCRIPT, "PostScript name")
    if not POSTSCRIPT_NAME.fullmatch(postscript):
        raise FontInfoError("the font's PostScript name (name ID 6) is not one font.info allows")
    info["postScriptName"] = postscript
    info["format"] = "OpenType" if font[:4] == b"OTTO" else "TrueType"
    info["copyrightNotice"] = required(COPYRIGHT, "copyright notice")
    designer = names.get(DESIGNER, "").strip()
    if designer:
        info["designers"] = [{"person": _entity(designer, names.get(DESIGNER_URL))}]
    foundry = names.get(MANUFACTURER, "").strip()
    if foundry:
        info["designFoundry"] = _entity(foundry, names.get(VENDOR_URL))
    identifier = names.get(UNIQUE_ID, "").strip()
    if identifier:
        info["identifier"] = identifier
    return info


def _semver(text: str) -> Optional[str]:
    text = text.strip()
    if text[:8].lower() == "version ":
        text = text[8:].lstrip()
    candidate = re.split(r"[;\s]", text, maxsplit=1)[0]
    return candidate if SEMVER.fullmatch(candidate) else None


def _style(font: bytes, os2: Optional[sfnt.Table], head: Optional[sfnt.Table]) -> str:
    selection = _u16(font, os2, OS2_FS_SELECTION) or 0
    mac_style = _u16(font, head, HEAD_MAC_STYLE) or 0
    if selection & FS_OBLIQUE:
        return "Oblique"
    if selection & FS_ITALIC or mac_style & MAC_ITALIC:
        return "Italic"
    return "Normal"


def _entity(name: str, url: Optional[str]) -> dict[str, str]:
    entity = {"name": name}
    if url and EXT_URL.fullmatch(url.strip()):
        entity["url"] = url.strip()
    return entity
