"""Text shown on a terminal: file names and text read from fonts, with control characters
escaped so that neither a hostile font nor a hostile file name can send escape sequences."""

from __future__ import annotations


def shown(text: str) -> str:
    """`text` with every character that a terminal would act on escaped: control and other
    unprintable characters as Python writes them (\\x1b, \\n, \\u200e), and the bytes of a file
    name that are not valid in the locale's encoding (kept by Python as lone surrogates) as
    the byte they stand for (\\xff)."""
    if text.isprintable():  # the common case, in one pass in C (lone surrogates are not printable)
        return text
    out = []
    for c in text:
        code = ord(c)
        if 0xDC80 <= code <= 0xDCFF:  # os.fsdecode's surrogateescape of one undecodable byte
            out.append(f"\\x{code - 0xDC00:02x}")
        elif c.isprintable():
            out.append(c)
        else:
            out.append(repr(c)[1:-1])
    return "".join(out)
