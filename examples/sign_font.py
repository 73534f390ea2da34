"""Sign a font with real Content Credentials, using quillmark's C2PA engine.

    pip install .
    python examples/sign_font.py [FONT] [-o OUT] [--binding boxes|data] [--uri URI]
    quillmark check --trust-anchors example-credentials/ca.pem QuillSample-Regular-signed.ttf

The first run makes a throwaway certificate authority and a signing certificate in
example-credentials/ (ca.pem, signer-chain.pem, signer-key.pem). They are FOR TRYING QUILLMARK
ONLY: nobody else trusts that CA, which is why `check` is told to with --trust-anchors. To sign
fonts you ship, use a certificate from a CA on the C2PA Trust List, with
`quillmark sign FONT... --key KEY.pem --cert CHAIN.pem`.

The font is signed by `quillmark_c2pa.sign`, as `quillmark sign` signs it: a fresh manifest with
the c2pa.created action, the font's font.info (names, weight, style, format, copyright) and the
hard binding, c2pa.hash.boxes (by default; C2PA 2.2, 18.7.3.6) or c2pa.hash.data, in a
COSE_Sign1 signature with the certificate chain.
"""

from __future__ import annotations

import argparse
import datetime
import sys
from pathlib import Path

try:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID, ObjectIdentifier
except ImportError:
    sys.exit("error: this example needs the cryptography package: pip install .")

from quillmark_c2pa import PemSigner, sign

SAMPLE_FONT = Path(__file__).resolve().parent / "fonts" / "QuillSample-Regular.ttf"
CREDENTIALS = Path("example-credentials")
C2PA_CLAIM_SIGNING = ObjectIdentifier("1.3.6.1.4.1.62558.2.1")  # C2PA 2.2, 14.4.1
NOTICE = "FOR TRYING QUILLMARK ONLY - NOT TRUSTED BY ANYONE"


class Failure(Exception):
    """A step went wrong; the message says which."""


def _name(common_name: str) -> x509.Name:
    return x509.Name([
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, NOTICE),
        x509.NameAttribute(NameOID.COMMON_NAME, common_name),
    ])


def make_credentials(folder: Path) -> None:
    """A throwaway CA (ten years) and a signing certificate it issues (one year), with the
    certificate profile a C2PA validator asks of a claim signer (C2PA 2.2, 14.5)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = _name("quillmark example CA")
    ca = (
        x509.CertificateBuilder()
        .subject_name(ca_name).issuer_name(ca_name).public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )  # fmt: skip
    key = ec.generate_private_key(ec.SECP256R1())
    signer = (
        x509.CertificateBuilder()
        .subject_name(_name("quillmark example signer")).issuer_name(ca_name).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=365))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(True, False, False, False, False, False, False, False, False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([C2PA_CLAIM_SIGNING, ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )  # fmt: skip
    folder.mkdir(exist_ok=True)
    pem = serialization.Encoding.PEM
    (folder / "ca.pem").write_bytes(ca.public_bytes(pem))
    (folder / "signer-chain.pem").write_bytes(signer.public_bytes(pem))
    (folder / "signer-key.pem").write_bytes(
        key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    )
    (folder / "README.txt").write_text(
        f"{NOTICE}.\n\nA throwaway certificate authority (ca.pem) and a signing certificate and key made by\n"
        "examples/sign_font.py, for trying quillmark. No validator trusts them unless told to\n"
        "(quillmark check --trust-anchors example-credentials/ca.pem). Delete them when done.\n"
    )


def credentials_usable(folder: Path) -> bool:
    """Whether the credentials of an earlier run are there and the signing certificate is still valid."""
    try:
        signer = x509.load_pem_x509_certificate((folder / "signer-chain.pem").read_bytes())
        (folder / "ca.pem").read_bytes()
        (folder / "signer-key.pem").read_bytes()
    except (OSError, ValueError):
        return False
    return signer.not_valid_after_utc > datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("font", nargs="?", type=Path, default=SAMPLE_FONT,
                        help="TrueType or OpenType font (default: the bundled sample)")
    parser.add_argument("-o", "--output", type=Path,
                        help="where to write the signed font (default: FONT's name + '-signed', here)")
    parser.add_argument("--binding", choices=("boxes", "data"), default="boxes",
                        help="c2pa.hash.boxes (default) or c2pa.hash.data")
    parser.add_argument("--uri", help="active manifest URI to store beside the manifest")
    args = parser.parse_args()
    out = args.output or Path(f"{args.font.stem}-signed{args.font.suffix or '.ttf'}")
    try:
        if out.resolve() == args.font.resolve():
            raise Failure(f"refusing to overwrite the input font {args.font}")
        if credentials_usable(CREDENTIALS):
            print(f"credentials  {CREDENTIALS}/ (made by an earlier run; {NOTICE})")
        else:
            make_credentials(CREDENTIALS)
            print(f"credentials  {CREDENTIALS}/ made: a throwaway CA and signer, {NOTICE}")
        signer = PemSigner.from_files(CREDENTIALS / "signer-key.pem", CREDENTIALS / "signer-chain.pem")
        font = args.font.read_bytes()
        print(f"font         {args.font}, {len(font)} bytes")
        signed = sign(font, signer, binding=args.binding, uri=args.uri)
        out.write_bytes(signed)
        print(f"signed       {signer.alg}, c2pa.hash.{args.binding}")
        print(f"wrote        {out}, {len(signed)} bytes")
        print(f"check it:    quillmark check --trust-anchors {CREDENTIALS / 'ca.pem'} {out}")
    except (Failure, ValueError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
