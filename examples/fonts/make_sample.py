"""Regenerate QuillSample-Regular.ttf and OFL.txt, the sample font that sign_font.py signs.

Quill Sample is the printable ASCII subset (U+0020..U+007E) of Noto Sans Regular as Debian's
fonts-noto-core package ships it (version 20201225-1 holds Noto Sans 2.004), without hinting,
and renamed: Noto Sans declares no Reserved Font Name, but "Noto" is a trademark of its owner
and a cut-down copy should not pass itself off as the original family.

    pip install fonttools
    python examples/fonts/make_sample.py [SOURCE.ttf]
"""

import sys
from pathlib import Path

from fontTools import subset
from fontTools.ttLib import TTFont

SOURCE = "/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf"
COPYRIGHT_FILE = "/usr/share/doc/fonts-noto-core/copyright"
HERE = Path(__file__).resolve().parent

NAMES = {
    1: "Quill Sample",
    2: "Regular",
    3: "2.004;NONE;QuillSample-Regular",
    4: "Quill Sample Regular",
    5: "Version 2.004",
    6: "QuillSample-Regular",
    10: "The printable ASCII subset of Noto Sans Regular 2.004, unhinted and renamed, "
    "made as a sample for the quillmark project's examples.",
}


def ofl_text(copyright_file: str) -> str:
    """The OFL as Debian's machine-readable copyright file carries it, unfolded to plain text."""
    lines = Path(copyright_file).read_text(encoding="utf-8").splitlines()
    start = [i for i, line in enumerate(lines) if line == "License: OFL-1.1"][-1] + 1
    body = []
    for line in lines[start:]:
        if not line.startswith(" "):
            break
        body.append("" if line == " ." else line[1:])
    return "\n".join(body) + "\n"


def main() -> None:
    source = sys.argv[1] if len(sys.argv) > 1 else SOURCE
    # Keeping the source's timestamp makes a rerun reproduce the committed bytes.
    font = TTFont(source, recalcTimestamp=False)
    options = subset.Options()
    options.hinting = False
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=range(0x20, 0x7F))
    subsetter.subset(font)

    name = font["name"]
    copyright_notice = name.getDebugName(0)
    for name_id in (16, 17, 21, 22):
        name.removeNames(nameID=name_id)
    for name_id, text in NAMES.items():
        name.setName(text, name_id, 3, 1, 0x409)
    font["OS/2"].achVendID = "NONE"
    font.save(HERE / "QuillSample-Regular.ttf")

    (HERE / "OFL.txt").write_text(
        f"Quill Sample: {NAMES[10]}\n\n"
        f"{copyright_notice}\n"
        "This Font Software is licensed under the SIL Open Font License, Version 1.1.\n\n"
        "SIL OPEN FONT LICENSE Version 1.1 - 26 February 2007\n\n" + ofl_text(COPYRIGHT_FILE),
        encoding="utf-8",
    )


if __name__ == "__main__":
    main()
