"""Sign a font with quillmark's two-phase workflow.

    pip install '.[example]'
    python examples/sign_font.py [FONT] [-o OUT] [--uri URI] [--reserve N]

1. reserve_manifest_placeholder adds a C2PA table that holds N zero bytes, room for the manifest.
2. data_hash_ranges names the bytes that filling that room will change.
3. Every other byte is hashed with SHA-256, as a c2pa.hash.data assertion does, and a manifest
   that carries the hash is built and signed.
4. fill_manifest_store writes the signed manifest into the room; no other byte moves, so the
   hash still holds.
5. The signed font is read back, re-hashed and its signature verified before it is written.

The manifest made here is a DEMONSTRATION: a little JSON signed with a fresh Ed25519 key. It is
not a C2PA-conformant manifest. In real use your C2PA library builds and signs the manifest from
the hash and ranges; quillmark only makes room for it and puts it in.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import sys
from pathlib import Path

import quillmark

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
except ImportError:
    sys.exit("error: this example needs the cryptography package: pip install '.[example]'")

SAMPLE_FONT = Path(__file__).resolve().parent / "fonts" / "QuillSample-Regular.ttf"
# The demonstration manifest takes about 500 bytes plus the font's file name, under 1,400 for
# the longest file name, so 2048 always fits. A real C2PA manifest with its certificate chain runs to tens of kilobytes,
# and the room cannot grow once the hash is made: reserve for the largest you will sign.
DEFAULT_RESERVE = 2048
NOTE = "demonstration manifest, not a C2PA-conformant manifest"


class Failure(Exception):
    """A step of the workflow went wrong; the message says which."""


def hash_outside(font: bytes, ranges) -> bytes:
    """SHA-256 of every byte of the font outside the (start, length) ranges, in file order."""
    digest, view, position = hashlib.sha256(), memoryview(font), 0
    for start, length in sorted(ranges):
        if start < position or start + length > len(font):
            raise Failure(f"exclusion range ({start}, {length}) overlaps another or leaves the font")
        digest.update(view[position:start])
        position = start + length
    digest.update(view[position:])
    return digest.digest()


def canonical(value) -> bytes:
    return json.dumps(value, sort_keys=True, separators=(",", ":")).encode()


def make_manifest(title: str, digest: bytes, ranges) -> bytes:
    """A signed demonstration manifest carrying the hash, its algorithm and the excluded ranges."""
    exclusions = [{"start": start, "length": length} for start, length in ranges]
    claim = {"note": NOTE, "title": title, "assertions": [
        {"label": "c2pa.hash.data", "data": {"alg": "sha256", "hash": digest.hex(), "exclusions": exclusions}}]}
    key = Ed25519PrivateKey.generate()
    return canonical({
        "claim": claim,
        "alg": "Ed25519",
        "signature": base64.b64encode(key.sign(canonical(claim))).decode(),
        "public_key": base64.b64encode(key.public_key().public_bytes_raw()).decode(),
    })


def verify_manifest(store: bytes) -> dict:
    """Checks the signature of a demonstration manifest read back from a font; returns its hash
    assertion. A real validator trusts the signer's certificate, not a key the manifest brings."""
    # The store comes back whole: the manifest, then the reserved zero bytes it did not use.
    # JSON never ends in a zero byte, so they strip off cleanly.
    manifest = json.loads(store.rstrip(b"\0"))
    key = Ed25519PublicKey.from_public_bytes(base64.b64decode(manifest["public_key"]))
    try:
        key.verify(base64.b64decode(manifest["signature"]), canonical(manifest["claim"]))
    except InvalidSignature:
        raise Failure("the manifest's signature does not verify") from None
    return manifest["claim"]["assertions"][0]["data"]


def sign(font_path: Path, out: Path, uri: str | None, reserve: int) -> None:
    if out.resolve() == font_path.resolve():
        raise Failure(f"refusing to overwrite the input font {font_path}")
    font = font_path.read_bytes()
    print("Signing with a DEMONSTRATION manifest, not a C2PA-conformant one (your C2PA library builds that).")
    print(f"font       {font_path}, {len(font)} bytes")

    # Phase 1: make room, then hash every byte that filling the room will leave alone.
    reserved = quillmark.reserve_manifest_placeholder(font, reserve, uri)
    ranges = quillmark.data_hash_ranges(reserved)
    digest = hash_outside(reserved, ranges)
    manifest = make_manifest(font_path.name, digest, ranges)
    print(f"reserved   {reserve} bytes; the font is now {len(reserved)} bytes")
    print(f"uri        {uri or 'none'}")
    print(f"ranges     {' '.join(f'({s}, {n})' for s, n in ranges)} are left out of the hash")
    print(f"digest     sha256 {digest.hex()}")
    print(f"manifest   {len(manifest)} of {reserve} reserved bytes, signed with Ed25519")

    # Phase 2: put the signed manifest into the room.
    signed = quillmark.fill_manifest_store(reserved, manifest)

    # Trust nothing unchecked: read it back as a validator would.
    store = quillmark.read_manifest_store(signed)
    if not store.startswith(manifest):
        raise Failure("the manifest read back differs from the one filled in")
    if quillmark.read_manifest_uri_str(signed) != (uri or None):
        raise Failure("the URI read back differs from the one reserved")
    assertion = verify_manifest(store)
    signed_ranges = quillmark.data_hash_ranges(signed)
    if signed_ranges != [(e["start"], e["length"]) for e in assertion["exclusions"]]:
        raise Failure("the signed font's exclusion ranges differ from the signed ones")
    if hash_outside(signed, signed_ranges).hex() != assertion["hash"]:
        raise Failure("the signed font's digest differs from the signed digest")
    print("verified   yes: signature good, digest of the signed font matches")
    if not quillmark.is_compliant(signed):
        raise Failure("the signed font is not compliant")
    print("compliant  yes")

    out.write_bytes(signed)
    print(f"wrote      {out.resolve()}, {len(signed)} bytes")


def positive(text: str) -> int:
    if not text.isdigit() or int(text) == 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of bytes")
    return int(text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("font", nargs="?", type=Path, default=SAMPLE_FONT,
                        help="TrueType or OpenType font (default: the bundled sample)")
    parser.add_argument("-o", "--output", type=Path,
                        help="where to write the signed font (default: FONT's name + '-signed', here)")
    parser.add_argument("--uri", help="active manifest URI to store beside the manifest")
    parser.add_argument("--reserve", type=positive, default=DEFAULT_RESERVE,
                        help=f"bytes to reserve for the manifest (default: {DEFAULT_RESERVE})")
    args = parser.parse_args()
    out = args.output or Path(f"{args.font.stem}-signed{args.font.suffix or '.ttf'}")
    try:
        sign(args.font, out, args.uri, args.reserve)
    except (Failure, ValueError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
