# Types for the extension module quillmark, which carries no annotations of its own. Parameter
# names, defaults and doc strings match the module's; tests/test_types.py holds them to it.

from collections.abc import Sequence

__version__: str

__all__ = [
    "embed_manifest_store",
    "embed_remote",
    "read_manifest_store",
    "read_manifest_uri_str",
    "remove_manifest_table",
    "is_compliant",
    "reserve_manifest_placeholder",
    "data_hash_ranges",
    "fill_manifest_store",
    "box_hashes",
    "table_checksums",
]

def embed_manifest_store(font: bytes, manifest_store: bytes | bytearray | Sequence[int]) -> bytes:
    """Embed a signed Manifest Store into a font's `C2PA` table."""

def embed_remote(font: bytes, uri: str) -> bytes:
    """Embed a remote manifest URI into a font's `C2PA` table."""

def read_manifest_store(font: bytes) -> bytes:
    """Read the embedded Manifest Store from a font."""

def read_manifest_uri_str(font: bytes) -> str | None:
    """Read the active manifest URI from a font, if present."""

def remove_manifest_table(font: bytes) -> bytes:
    """Remove the `C2PA` table from a font."""

def is_compliant(font: bytes) -> bool:
    """Whether the font has a well-formed `C2PA` table with intact checksums."""

def reserve_manifest_placeholder(font: bytes, reserve_size: int, uri: str | None = None) -> bytes:
    """Reserve `reserve_size` bytes for a manifest, returning the font with a
    zero-filled placeholder."""

def data_hash_ranges(font: bytes) -> list[tuple[int, int]]:
    """The `c2pa.hash.data` exclusion ranges for a reserved font, as
    `[(start, length), ...]`."""

def fill_manifest_store(reserved_font: bytes, signed_manifest: bytes) -> bytes:
    """Fill a reserved font's Manifest Store with signed bytes (<= reserved size)."""

def box_hashes(font: bytes, alg: str = "sha256") -> list[tuple[str, bytes]]:
    """The `c2pa.hash.boxes` digests of a font as embedding a manifest lays it out, as
    `[(name, digest), ...]` in table directory order."""

def table_checksums(font: bytes) -> list[int]:
    """The SFNT checksum of each table of a font, in table directory order, with
    `head`'s `checkSumAdjustment` counted as zero."""
