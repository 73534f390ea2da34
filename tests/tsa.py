"""A small RFC 3161 time-stamp authority for the tests, on 127.0.0.1, started once per process in a
daemon thread, signing with the test PKI's TSA certificate (ES256, critical id-kp-timeStamping).

    import tsa
    tsa.url()                  # the URL of a sound TSA ("good")
    tsa.url("garbage")         # a TSA that misbehaves; tsa.MODES lists them:
        good           a granted TimeStampResp with a token over the request's imprint
        down           nothing listens there: connection refused
        http500        HTTP 500
        garbage        HTTP 200 with bytes that are no DER
        rejection      a TimeStampResp with status "rejection" and no token
        wrong-imprint  a sound token over another imprint
        untrusted      a sound token from a TSA under pki.untrusted_root()
        forged         a token whose signature does not verify
    tsa.make_token(data, ...)  # a TimeStampToken DER made without HTTP, with knobs for tests:
                               #   gen_time, hash_name, signer (key, chain), imprint, nonce, forge

Requests are counted per mode in `tsa.REQUESTS`, so a test can tell a TSA was (not) asked.
"""

from __future__ import annotations

import atexit
import collections
import datetime
import functools
import hashlib
import http.server
import socket
import threading
from typing import Any, Optional

from asn1crypto import algos, cms, core, tsp
from asn1crypto import x509 as asn1_x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519

import pki

MODES = ("good", "down", "http500", "garbage", "rejection", "wrong-imprint", "untrusted", "forged")
REQUESTS: "collections.Counter[str]" = collections.Counter()
POLICY = "1.3.6.1.4.1.99999.1"  # an OID under no one's arc, for the tests' TSA policy

_HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


def _asn1_cert(cert) -> asn1_x509.Certificate:
    return asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER))


def make_token(
    data: Optional[bytes] = None,
    *,
    imprint: Optional[bytes] = None,
    hash_name: str = "sha256",
    gen_time: Optional[datetime.datetime] = None,
    signer: Optional["tuple[Any, list]"] = None,
    nonce: Optional[int] = None,
    forge: bool = False,
    serial: int = 1,
) -> bytes:
    """A DER TimeStampToken over the hash of `data` (or the given `imprint`), signed by `signer`
    ((key, [certificate, ...]); the test TSA by default) at `gen_time` (now by default). `forge`
    spoils the signature."""
    key, chain = signer or pki.tsa()
    if imprint is None:
        imprint = hashlib.new(hash_name, data or b"").digest()
    when = (gen_time or datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
    tst_info = tsp.TSTInfo({
        "version": "v1",
        "policy": POLICY,
        "message_imprint": {"hash_algorithm": {"algorithm": hash_name}, "hashed_message": imprint},
        "serial_number": serial,
        "gen_time": when,
        "nonce": nonce,
    })
    tst_der = tst_info.dump()
    cert = _asn1_cert(chain[0])
    cert_der = chain[0].public_bytes(serialization.Encoding.DER)
    signed_attrs = cms.CMSAttributes([
        {"type": "content_type", "values": ["tst_info"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": when})]},
        {"type": "message_digest", "values": [hashlib.sha256(tst_der).digest()]},
        {"type": "signing_certificate_v2", "values": [{
            "certs": [{"hash_algorithm": {"algorithm": "sha256"}, "cert_hash": hashlib.sha256(cert_der).digest()}],
        }]},
    ])
    to_sign = signed_attrs.dump()
    if isinstance(key, ec.EllipticCurvePrivateKey):
        signature = key.sign(to_sign, ec.ECDSA(hashes.SHA256()))
        sig_alg = "sha256_ecdsa"
    elif isinstance(key, ed25519.Ed25519PrivateKey):
        signature = key.sign(to_sign)
        sig_alg = "ed25519"
    else:
        raise ValueError("the test TSA signs with EC or Ed25519 keys")
    if forge:
        signature = key.sign(to_sign + b"forged", ec.ECDSA(hashes.SHA256())) if sig_alg != "ed25519" else bytes(64)
    signer_info = cms.SignerInfo({
        "version": "v1",
        "sid": cms.SignerIdentifier({"issuer_and_serial_number": cms.IssuerAndSerialNumber({
            "issuer": cert.issuer, "serial_number": cert.serial_number})}),
        "digest_algorithm": algos.DigestAlgorithm({"algorithm": "sha256"}),
        "signed_attrs": signed_attrs,
        "signature_algorithm": algos.SignedDigestAlgorithm({"algorithm": sig_alg}),
        "signature": signature,
    })
    signed_data = cms.SignedData({
        "version": "v3",
        "digest_algorithms": [algos.DigestAlgorithm({"algorithm": "sha256"})],
        "encap_content_info": {"content_type": "tst_info", "content": core.ParsableOctetString(tst_der)},
        "certificates": [_asn1_cert(c) for c in chain],
        "signer_infos": [signer_info],
    })
    return cms.ContentInfo({"content_type": "signed_data", "content": signed_data}).dump()


def _refusal(status_info: dict) -> bytes:
    # TimeStampResp ::= SEQUENCE { status PKIStatusInfo, timeStampToken OPTIONAL }: asn1crypto's
    # class will not write one without a token, so the SEQUENCE is put together here.
    body = tsp.PKIStatusInfo(status_info).dump()
    return core.Sequence.load(b"\x30" + _der_length(len(body)) + body).dump()


def _der_length(n: int) -> bytes:
    if n < 128:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(raw)]) + raw


def _response(request: bytes, mode: str) -> "tuple[int, bytes]":
    if mode == "http500":
        return 500, b"internal error"
    if mode == "garbage":
        return 200, b"\x00this is not DER\xff" * 4
    try:
        req = tsp.TimeStampReq.load(request, strict=True)
        hash_name = req["message_imprint"]["hash_algorithm"]["algorithm"].native
        imprint = req["message_imprint"]["hashed_message"].native
        nonce = req["nonce"].native
    except (ValueError, TypeError, KeyError):
        return 200, _refusal({"status": "rejection", "fail_info": {"bad_request"}})
    if mode == "rejection" or hash_name not in _HASHES:
        return 200, _refusal({"status": "rejection", "status_string": ["refused for the test"]})
    signer = pki.untrusted_tsa() if mode == "untrusted" else None
    if mode == "wrong-imprint":
        imprint = hashlib.new(hash_name, b"another message").digest()
    token = make_token(imprint=imprint, hash_name=hash_name, nonce=nonce, signer=signer, forge=mode == "forged")
    response = tsp.TimeStampResp({"status": {"status": "granted"}, "time_stamp_token": cms.ContentInfo.load(token)})
    return 200, response.dump()


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self) -> None:  # noqa: N802 (http.server's name)
        mode = self.path.strip("/")
        REQUESTS[mode] += 1
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(min(length, 1 << 16))
        code, payload = _response(body, mode) if mode in MODES else (404, b"no such mode")
        self.send_response(code)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args: Any) -> None:
        pass


def serve_until_exit(server: http.server.ThreadingHTTPServer, name: str) -> None:
    """Serves on a thread until the process ends, then stops the server and joins the thread: a
    thread still running at exit leaves the interpreter's state for it behind, which the
    sanitizer pass of the suite reports as a leak."""
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, name=name, daemon=True)
    thread.start()

    def stop() -> None:
        server.shutdown()
        server.server_close()
        thread.join()

    atexit.register(stop)


@functools.lru_cache(maxsize=None)
def _server() -> int:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    serve_until_exit(server, "test TSA")
    return server.server_address[1]


@functools.lru_cache(maxsize=None)
def _closed_port() -> int:
    # A socket bound but never listening holds the port for the process, so nothing else takes it
    # and a connection to it is refused.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    _KEEP.append(sock)
    return sock.getsockname()[1]


_KEEP: list = []


def url(mode: str = "good") -> str:
    """The URL of the test TSA in one of MODES."""
    if mode not in MODES:
        raise ValueError(f"no TSA mode {mode!r}; one of {', '.join(MODES)}")
    if mode == "down":
        return f"http://127.0.0.1:{_closed_port()}/down"
    return f"http://127.0.0.1:{_server()}/{mode}"
