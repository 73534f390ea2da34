"""`quillmark sign`: each font signed with a C2PA Manifest Store of its own (the engine's `sign`)."""

from __future__ import annotations

import argparse
import getpass
import json
import os
import sys
from typing import Any, Optional

from ..discovery import Font, find_fonts, plan_outputs
from ..inputs import load, read_bounded
from ..names import shown
from ..options import add_fonts, add_force, add_json, add_output, describe, file_name, uri_text
from ..output import STDOUT
from ..rewriting import check_growth, check_links, deliver
from ..runner import Outcome, message_of, run_fonts
from ..status import FAILURE

MORE = (
    ": a fresh manifest per font with its actions, its font.info, the definition's assertions and the hard"
    " binding, signed with the certificate's key (or by a signer command) and time-stamped with --tsa-url."
    " The certificate is checked before anything is written."
)
ALGORITHMS = ("ES256", "ES384", "ES512", "PS256", "PS384", "PS512", "Ed25519")


def add_arguments(sub: argparse.ArgumentParser) -> None:
    describe(sub, MORE)
    add_fonts(sub)
    key = sub.add_mutually_exclusive_group(required=True)
    key.add_argument("--key", metavar="KEY.pem", type=file_name, help="the signer's private key (PEM)")
    key.add_argument("--signer-command", metavar="CMD",
                     help="a command that reads the bytes to sign on standard input and prints the signature"
                     " (ECDSA as raw r||s or DER) on standard output: for keys in an HSM or a KMS")  # fmt: skip
    sub.add_argument("--cert", metavar="CHAIN.pem", type=file_name, required=True,
                     help="the signer's certificate, then its intermediates (PEM)")  # fmt: skip
    sub.add_argument("--alg", choices=ALGORITHMS,
                     help="the signature algorithm, where the key allows several (RSA: PS256/384/512);"
                     " by default the key's own (ES256/384/512 by curve, PS256, Ed25519)")  # fmt: skip
    sub.add_argument("--passphrase-env", metavar="VAR",
                     help="the environment variable holding an encrypted key's passphrase (otherwise it is"
                     " asked for on the terminal)")  # fmt: skip
    sub.add_argument("--manifest", metavar="DEF.json", type=file_name,
                     help="a manifest definition: title, claim_generator_info, assertions [{label, data}]")  # fmt: skip
    sub.add_argument("--binding", choices=("boxes", "data"), default="boxes",
                     help="the hard binding: c2pa.hash.boxes (default) or c2pa.hash.data")  # fmt: skip
    sub.add_argument("--tsa-url", metavar="URL", type=uri_text, help="an RFC 3161 time-stamp authority")
    sub.add_argument("--parent", metavar="PARENT", type=file_name,
                     help="the signed font these fonts derive from (or their own signed selves): its manifests"
                     " are kept and it becomes their parentOf ingredient")  # fmt: skip
    sub.add_argument("--action", action="append", default=[], metavar="ACTION",
                     help="an action done to the fonts, e.g. font.subset or font.createdFromVariableFont"
                     " (repeat for several)")  # fmt: skip
    sub.add_argument("--trust-anchors", metavar="FILE", type=file_name,
                     help="PEM trust anchors the parent is validated against, beside the C2PA Trust List")  # fmt: skip
    sub.add_argument("--uri", type=uri_text, help="also record this active manifest URI")
    add_json(sub, "one JSON object a line per font: path, manifest, binding, store_size")
    add_output(sub)
    add_force(sub, "; the font already holds a manifest, which --force replaces without keeping (--parent keeps it)")


class Failed(Exception):
    """A problem with the run's shared inputs: one line, status 1, nothing written."""


# The most read of a key, a certificate chain or a manifest definition: each is kilobytes, and a
# definition's assertions go into every font's store. A device or a FIFO given for one (/dev/zero)
# is read no further than this, and a FIFO without a writer reads as empty, as fonts are read.
MAX_INPUT = 16 * 1024 * 1024


def read(path: str, what: str, limit: int = MAX_INPUT) -> bytes:
    try:
        if what == "--parent":
            return load(path)
        return read_bounded(path, limit, lambda size: f"more than the {limit} bytes it may hold")
    except (OSError, ValueError) as e:  # Refused, or the module's word on a parent that is no font
        raise Failed(f"{what} {shown(path)}: {message_of(e, path)}") from None


def passphrase(args: argparse.Namespace, key_pem: bytes) -> Optional[bytes]:
    from quillmark_c2pa.signers import key_is_encrypted

    if args.passphrase_env is not None:
        value = os.environ.get(args.passphrase_env)
        if value is None:
            raise Failed(f"--passphrase-env: the environment variable {shown(args.passphrase_env)} is not set")
        return value.encode("utf-8")
    if not key_is_encrypted(key_pem):
        return None
    if not sys.stdin.isatty():
        raise Failed("the key is encrypted: give its passphrase with --passphrase-env VAR, or run on a terminal")
    try:
        return getpass.getpass(f"Passphrase for {args.key}: ").encode("utf-8")
    except EOFError:
        raise Failed("the key is encrypted and no passphrase was given") from None


def make_signer(args: argparse.Namespace) -> Any:
    from quillmark_c2pa.signers import CommandSigner, PemSigner

    chain = read(args.cert, "--cert")
    if args.signer_command is not None:
        return CommandSigner(args.signer_command, chain, alg=args.alg)
    key_pem = read(args.key, "--key")
    return PemSigner(key_pem, chain, passphrase=passphrase(args, key_pem), alg=args.alg)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fonts = find_fonts(args.fonts)
    others = [(role, path) for role, path in (("key", args.key), ("certificate chain", args.cert),
                                              ("manifest definition", args.manifest), ("parent font", args.parent))
              if path is not None]  # fmt: skip
    outputs = plan_outputs(parser, fonts, args.output, args.in_place, others)

    from quillmark_c2pa.definition import ManifestDefinition
    from quillmark_c2pa.signers import check_signer
    from quillmark_c2pa.signing import sign_font

    try:
        signer = make_signer(args)
        check_signer(signer)
        definition = ManifestDefinition.from_json(read(args.manifest, "--manifest")) if args.manifest else None
        parent = read(args.parent, "--parent") if args.parent else None
        trust = None
        if args.trust_anchors:
            from quillmark_c2pa.trust import TrustSettings, parse_pem_certificates

            trust = TrustSettings(anchors=parse_pem_certificates(read(args.trust_anchors, "--trust-anchors")))
    except (Failed, ValueError, OSError) as e:
        print(f"quillmark: {e if isinstance(e, Failed) else message_of(e)}", file=sys.stderr)
        return FAILURE

    def work(font: Font, out: str) -> Outcome:
        check_links(font.path, args)
        data = load(font.path)
        check_growth(data, None, args.force)
        result = sign_font(
            data, signer, definition=definition, binding=args.binding, parent=parent, actions=args.action,
            tsa_url=args.tsa_url, force=args.force, uri=args.uri, trust=trust,
        )  # fmt: skip
        outcome = deliver(font, out, result.font, args.force)
        outcome.notes = [f"quillmark: {shown(font.path)}: {note}" for note in result.notes]
        if args.json and out != STDOUT:
            outcome.lines = [json.dumps({
                "path": out, "manifest": result.label, "binding": f"c2pa.hash.{result.binding}",
                "store_size": result.store_size,
            })]  # fmt: skip
        return outcome

    return run_fonts(args, fonts, work, outputs)
