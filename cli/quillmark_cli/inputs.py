"""Reading the files a run takes: fonts, and the stores and manifests written into them."""

from __future__ import annotations

from .sfnt import read_font


def load(path: str) -> bytes:
    with open(path, "rb") as f:
        return read_font(f)
