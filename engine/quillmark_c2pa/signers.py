"""Who signs a claim: anything with an algorithm, a certificate chain and a `sign(data)` method.

    signer = PemSigner.from_files("key.pem", "chain.pem")               # a key on disk
    signer = PemSigner.from_files("key.pem", "chain.pem", passphrase=b"...")
    signer = CommandSigner("kms-sign --key foundry", chain_pem)         # a key in an HSM or a KMS

`Signer.sign(data)` takes the bytes to be signed (the Sig_structure of C2PA 2.2, 13.2.3) and returns
the signature as COSE stores it (RFC 8152, 8.1; RFC 8230): raw r||s for ECDSA, the RSASSA-PSS
signature for PS256/384/512, the 64 bytes of Ed25519.

Every signer is checked before it signs anything (`check_signer`): the algorithm fits the key
(C2PA 2.2, 13.2.1), and the certificate is one a validator accepts for a claim signer (C2PA 2.2,
14.5: valid now, the right EKU, not a CA, digitalSignature). That the key belongs to the
certificate is checked when a PemSigner is made, and for any signer on every signature before it
is used (`verify_own`). A problem is a SignerError whose message is one line.
"""

from __future__ import annotations

import os
import shlex
import subprocess
import threading
from datetime import datetime, timezone
from typing import Any, Optional, Protocol, Sequence, Union, runtime_checkable

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from cryptography.hazmat.primitives.asymmetric.types import CertificatePublicKeyTypes

from . import cose
from .trust import TrustError, parse_pem_certificates


class SignerError(ValueError):
    """A signer that cannot sign, or whose signature cannot be used; the message is one line."""


@runtime_checkable
class Signer(Protocol):
    """What `sign` needs of a signer.

    `alg`: one of cose.ALGORITHMS ("ES256", ..., "Ed25519").
    `certificates`: the chain for x5chain, the signer's own certificate first, then the
    intermediates (C2PA 2.2, 14.5); the trust anchor may be left out.
    `sign(data)`: the signature of `data` in COSE's form (raw r||s for ECDSA)."""

    alg: str
    certificates: "list[x509.Certificate]"

    def sign(self, data: bytes) -> bytes: ...


def load_certificates(pem: bytes, what: str = "the certificate chain") -> "list[x509.Certificate]":
    """The certificates of a PEM file, in order, each read whole (`trust.parse_pem_certificates`);
    SignerError when there are none or one is damaged."""
    try:
        return parse_pem_certificates(pem, what)
    except TrustError as e:
        raise SignerError(str(e)) from None


def choose_alg(public_key: CertificatePublicKeyTypes, alg: Optional[str]) -> str:
    """`alg` when the key allows it (C2PA 2.2, 13.2.1), else the key's own default."""
    if alg is None:
        try:
            return cose.algorithm_for_key(public_key)
        except ValueError as e:
            raise SignerError(str(e)) from None
    problem = cose.key_fits(public_key, alg)
    if problem:
        raise SignerError(f"--alg {alg} does not fit the certificate's key: {problem}")
    return alg


def signature_length(signer: Signer) -> int:
    """The length of every signature `signer` makes, known from its certificate's key: 2 x the
    curve's scalar for ECDSA (r||s, RFC 8152, 8.1), the modulus for RSASSA-PSS, 64 for Ed25519.
    Data-hash signing reserves the store's exact size from it before anything is signed."""
    key = signer.certificates[0].public_key()
    if isinstance(key, ec.EllipticCurvePublicKey):
        return 2 * ((key.curve.key_size + 7) // 8)
    if isinstance(key, rsa.RSAPublicKey):
        return (key.key_size + 7) // 8
    if isinstance(key, ed25519.Ed25519PublicKey):
        return 64
    raise SignerError(f"a {type(key).__name__} cannot sign C2PA claims (C2PA 2.2, 13.2.1)")


def _public_der(key: CertificatePublicKeyTypes) -> bytes:
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)


def check_signer(signer: Signer, now: Optional[datetime] = None) -> None:
    """Refuse a signer a validator would reject, before anything is signed or written: its
    algorithm against its key (C2PA 2.2, 13.2.1) and its certificate against the profile of
    C2PA 2.2, 14.5 at `now`. Raises SignerError naming the first problem."""
    from . import credentials

    if not signer.certificates:
        raise SignerError("the certificate chain is empty")
    certificate = signer.certificates[0]
    if signer.alg not in cose.ALGORITHMS:
        raise SignerError(f"{signer.alg} is not a C2PA signature algorithm (C2PA 2.2, 13.2.1)")
    problem = cose.key_fits(certificate.public_key(), signer.alg)
    if problem:
        raise SignerError(f"the certificate's key cannot sign {signer.alg}: {problem}")
    problems = credentials.profile_problems(certificate, now or datetime.now(timezone.utc))
    if problems:
        raise SignerError(f"the signing certificate is refused: {problems[0]}")


def verify_own(signer: Signer, data: bytes, signature: bytes) -> None:
    """SignerError unless `signature` is the certificate's key's signature of `data`: a key that
    does not belong to the certificate (or a signing command that used another key) would make a
    manifest no validator accepts."""
    key = signer.certificates[0].public_key()
    if not cose.verify(key, signer.alg, data, signature):
        raise SignerError("the signature does not verify with the certificate's public key: the key does not match it")


class PemSigner:
    """A private key in PEM (PKCS#8 or the traditional forms, encrypted or not) and its chain."""

    def __init__(
        self,
        key_pem: bytes,
        chain_pem: bytes,
        *,
        passphrase: Optional[bytes] = None,
        alg: Optional[str] = None,
    ) -> None:
        self.key = load_key(key_pem, passphrase)
        self.certificates = load_certificates(chain_pem)
        if _public_der(self.key.public_key()) != _public_der(self.certificates[0].public_key()):
            raise SignerError("the key does not match the certificate (the first one in the chain)")
        self.alg = choose_alg(self.certificates[0].public_key(), alg)

    @classmethod
    def from_files(
        cls,
        key_path: Union[str, "os.PathLike[str]"],
        chain_path: Union[str, "os.PathLike[str]"],
        *,
        passphrase: Optional[bytes] = None,
        alg: Optional[str] = None,
    ) -> "PemSigner":
        with open(key_path, "rb") as f:
            key_pem = f.read()
        with open(chain_path, "rb") as f:
            chain_pem = f.read()
        return cls(key_pem, chain_pem, passphrase=passphrase, alg=alg)

    def sign(self, data: bytes) -> bytes:
        return cose.sign(self.key, self.alg, data)


def key_is_encrypted(key_pem: bytes) -> bool:
    """Whether a PEM private key needs a passphrase (so a command line knows to ask for one)."""
    try:
        serialization.load_pem_private_key(key_pem, password=None)
    except TypeError:  # cryptography: "Password was not given but private key is encrypted"
        return True
    except ValueError:
        return False
    return False


def load_key(key_pem: bytes, passphrase: Optional[bytes] = None) -> cose.PrivateKey:
    """A private key from PEM; SignerError with one line for a missing or wrong passphrase,
    something that is not a key, or a key of a kind C2PA does not sign with (C2PA 2.2, 13.2.1)."""
    try:
        key = serialization.load_pem_private_key(key_pem, password=passphrase or None)
    except TypeError:
        if passphrase:
            raise SignerError("the key is not encrypted, yet a passphrase was given") from None
        raise SignerError("the key is encrypted: give its passphrase") from None
    except ValueError:
        if passphrase and b"ENCRYPTED" in key_pem:
            raise SignerError("the passphrase does not decrypt the key") from None
        raise SignerError("the key is not a PEM private key") from None
    except Exception as e:  # cryptography raises UnsupportedAlgorithm for keys it cannot use
        raise SignerError(f"the key cannot be read: {e}") from None
    if not isinstance(key, (ec.EllipticCurvePrivateKey, rsa.RSAPrivateKey, ed25519.Ed25519PrivateKey)):
        raise SignerError(f"a {type(key).__name__} cannot sign C2PA claims (C2PA 2.2, 13.2.1)")
    return key


class CommandSigner:
    """A signer that hands each signature to a command, for keys that never leave an HSM or a
    cloud KMS.

    The command (split like a shell splits words, but run without a shell) gets the bytes to be
    signed on its standard input and writes the signature on its standard output, and nothing
    else. It signs with the algorithm `alg` (by default the one the certificate's key implies):
    the hash is the command's job (ES256 and PS256 hash with SHA-256, and so on; Ed25519 signs
    the bytes themselves).

    ECDSA signatures are accepted in either form: COSE's raw r||s (exactly twice the curve's
    scalar length) or the DER Ecdsa-Sig-Value that most HSM and KMS tools (and `openssl pkeyutl`)
    print, converted here. Every signature is verified with the certificate's key before it is
    used, so a command that signs with another key is caught before anything is written.

    A command that exits non-zero, runs past `timeout` seconds or prints nothing is a SignerError
    with one line (its first line of standard error, when it wrote one)."""

    def __init__(
        self,
        command: Union[str, Sequence[str]],
        chain_pem: bytes,
        *,
        alg: Optional[str] = None,
        timeout: float = 60.0,
    ) -> None:
        self.argv = shlex.split(command) if isinstance(command, str) else list(command)
        if not self.argv:
            raise SignerError("the signer command is empty")
        self.certificates = load_certificates(chain_pem)
        self.alg = choose_alg(self.certificates[0].public_key(), alg)
        self.timeout = timeout

    def sign(self, data: bytes) -> bytes:
        shown = self.argv[0]
        try:
            returncode, signature, stderr = _run_bounded(self.argv, data, self.timeout)
        except subprocess.TimeoutExpired:
            raise SignerError(f"the signer command {shown} did not answer within {self.timeout:g} s") from None
        except OSError as e:
            raise SignerError(f"the signer command {shown} cannot be run: {e.strerror or e}") from None
        if len(signature) > MAX_SIGNATURE:
            raise SignerError(f"the signer command {shown} printed more than {MAX_SIGNATURE} bytes: no signature is that long")
        if returncode != 0:
            said = _first_line(stderr)
            how = f"exit status {returncode}" if returncode > 0 else f"signal {-returncode}"
            raise SignerError(f"the signer command {shown} failed ({how})" + (f": {said}" if said else ""))
        if not signature:
            raise SignerError(f"the signer command {shown} printed no signature")
        if self.alg.startswith("ES"):
            signature = _raw_ecdsa(signature, signature_length(self))
        verify_own(self, data, signature)
        return signature


# The longest signature C2PA allows is RSASSA-PSS with a 16,384-bit key (2,048 bytes); a command
# printing more is stopped once it passes this, so one that prints without end (or megabytes)
# costs no more memory than this. Standard error is kept to its first STDERR_KEPT bytes, for the
# first line shown, and the rest read and dropped so that the command is never blocked on it.
MAX_SIGNATURE = 16384
STDERR_KEPT = 4096


def _run_bounded(argv: "list[str]", data: bytes, timeout: float) -> "tuple[int, bytes, bytes]":
    """Run `argv` with `data` on its standard input; its exit status, the first MAX_SIGNATURE + 1
    bytes of its standard output (it is killed once it prints more) and the first STDERR_KEPT of
    its standard error. subprocess.TimeoutExpired past `timeout` seconds (it is killed)."""
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = bytearray(), bytearray()

    def feed() -> None:
        assert process.stdin is not None
        try:
            process.stdin.write(data)
        except OSError:  # the command did not read it all: its exit status tells
            pass
        finally:
            try:
                process.stdin.close()
            except OSError:
                pass

    def keep(stream: Any, kept: bytearray, limit: int, stop: bool) -> None:
        try:
            while True:
                chunk = stream.read1(65536)
                if not chunk:
                    return
                kept += chunk[: max(0, limit - len(kept))]
                if stop and len(kept) >= limit:
                    process.kill()
                    return
        except (OSError, ValueError):  # closed under it after a timeout
            return

    threads = [
        threading.Thread(target=feed, daemon=True),
        threading.Thread(target=keep, args=(process.stdout, out, MAX_SIGNATURE + 1, True), daemon=True),
        threading.Thread(target=keep, args=(process.stderr, err, STDERR_KEPT, False), daemon=True),
    ]
    for thread in threads:
        thread.start()
    try:
        returncode = process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise
    finally:
        for thread in threads:
            thread.join(1.0)  # a child the command left behind may hold the pipes open
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()
    return returncode, bytes(out), bytes(err)


def _raw_ecdsa(signature: bytes, length: int) -> bytes:
    if len(signature) == length:
        return signature
    try:
        return cose.ecdsa_der_to_raw(signature, length // 2)
    except (ValueError, OverflowError):
        raise SignerError(
            f"the signer command's ECDSA signature is {len(signature)} bytes: neither raw r||s"
            f" ({length} bytes) nor DER"
        ) from None


def _first_line(data: bytes) -> str:
    text = data.decode("utf-8", "replace").strip()
    line = text.splitlines()[0] if text else ""
    line = "".join(c if c.isprintable() else "?" for c in line)
    return line[:200]
