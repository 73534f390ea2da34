"""Sign a font with quillmark, bound the C2PA way: by box hash or by data hash.

    pip install '.[example]'
    python examples/sign_font.py [FONT] [-o OUT] [--binding boxes|data] [--uri URI]

--binding boxes (the default; C2PA recommends it for fonts, C2PA 2.2, 18.7.3.6), one phase:
  box_hashes gives a digest per table of the font as quillmark will write it; a manifest with a
  c2pa.hash.boxes assertion made of them goes in with embed_manifest_store.
--binding data, two phases: reserve_manifest_placeholder makes room of the manifest's exact size,
  everything outside data_hash_ranges is hashed into a c2pa.hash.data assertion, and
  fill_manifest_store puts the manifest into the room; no other byte moves.
With --uri the font carries the URI too: it is reserved with the store's exact size and the
URI, then filled.

The signed font is then checked as `quillmark check` checks it, before it is written.

The manifest is a DEMONSTRATION: framed as C2PA frames a Manifest Store (examples/
manifest_store.py), but signed with a throwaway Ed25519 key and no certificate, which is NOT a
C2PA signature. In real use your C2PA library builds and signs the manifest.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from pathlib import Path
from typing import Optional

import quillmark
from quillmark_cli.commands.check import NOT_CHECKED, check_font

from manifest_store import box_hash, data_hash, manifest_store, reserve_exactly

try:
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
except ImportError:
    sys.exit("error: this example needs the cryptography package: pip install '.[example]'")

SAMPLE_FONT = Path(__file__).resolve().parent / "fonts" / "QuillSample-Regular.ttf"


class Failure(Exception):
    """A step of the workflow went wrong; the message says which."""


def hash_outside(font: bytes, ranges: list[tuple[int, int]]) -> bytes:
    """SHA-256 of every byte of the font outside the (start, length) ranges, in file order."""
    digest, view, position = hashlib.sha256(), memoryview(font), 0
    for start, length in ranges:  # data_hash_ranges gives them ascending, apart
        digest.update(view[position:start])
        position = start + length
    digest.update(view[position:])
    return digest.digest()


def sign_by_boxes(font: bytes, uri: Optional[str], sign) -> bytes:
    boxes = quillmark.box_hashes(font)
    print(f"boxes      {len(boxes)}: {' '.join(name for name, _ in boxes)}")
    store = manifest_store([("c2pa.hash.boxes", box_hash(boxes))], sign)
    print(f"store      {len(store)} bytes")
    if uri is None:
        return quillmark.embed_manifest_store(font, store)
    # The store and a URI: reserve the store's exact size beside the URI, then fill. The tables
    # pass through unchanged either way, so the box hashes hold.
    return quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(font, len(store), uri), store)


def sign_by_data(font: bytes, uri: Optional[str], sign) -> bytes:
    def store(ranges: list[tuple[int, int]], digest: bytes = bytes(32)) -> bytes:
        return manifest_store([("c2pa.hash.data", data_hash(digest, ranges))], sign)

    # Phase 1: room of the manifest's exact size; hash every byte that filling it leaves alone.
    reserved, ranges = reserve_exactly(font, uri, store)
    digest = hash_outside(reserved, ranges)
    manifest = store(ranges, digest)
    print(f"reserved   {len(manifest)} bytes, the manifest's exact size")
    print(f"ranges     {' '.join(f'({s}, {n})' for s, n in ranges)} are left out of the hash")
    print(f"digest     sha256 {digest.hex()}")
    # Phase 2: the signed manifest into the room; no other byte moves.
    return quillmark.fill_manifest_store(reserved, manifest)


def sign(font_path: Path, out: Path, binding: str, uri: Optional[str]) -> None:
    if out.resolve() == font_path.resolve():
        raise Failure(f"refusing to overwrite the input font {font_path}")
    font = font_path.read_bytes()
    print("Signing with a DEMONSTRATION manifest: framed as C2PA frames one, but its Ed25519 signature")
    print("(a throwaway key, no certificate) is not a C2PA signature; your C2PA library makes that.")
    print(f"font       {font_path}, {len(font)} bytes")
    print(f"binding    c2pa.hash.{binding}")
    print(f"uri        {uri or 'none'}")
    key = Ed25519PrivateKey.generate()
    signed = (sign_by_boxes if binding == "boxes" else sign_by_data)(font, uri, key.sign)

    report = check_font(signed, str(out), embedded=True)
    if report.failure is not None or report.warnings:
        problem = report.failure.message if report.failure else report.warnings[0]
        raise Failure(f"the signed font does not pass quillmark check: {problem}")
    print(f"checked    {report.binding} matches the signed font; {NOT_CHECKED}")
    out.write_bytes(signed)
    print(f"wrote      {out.resolve()}, {len(signed)} bytes")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("font", nargs="?", type=Path, default=SAMPLE_FONT,
                        help="TrueType or OpenType font (default: the bundled sample)")
    parser.add_argument("-o", "--output", type=Path,
                        help="where to write the signed font (default: FONT's name + '-signed', here)")
    parser.add_argument("--binding", choices=("boxes", "data"), default="boxes",
                        help="c2pa.hash.boxes, one phase (default), or c2pa.hash.data, two phases")
    parser.add_argument("--uri", help="active manifest URI to store beside the manifest")
    args = parser.parse_args()
    out = args.output or Path(f"{args.font.stem}-signed{args.font.suffix or '.ttf'}")
    try:
        sign(args.font, out, args.binding, args.uri)
    except (Failure, ValueError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
