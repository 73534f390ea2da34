"""RFC 3161 time-stamps: the client against the tests' TSA in each of its modes, and the checks of
C2PA 2.2, 15.8.2 on sound, forged, altered and untrusted tokens."""

from __future__ import annotations

import functools
import hashlib

import cbor2
import pytest

import pki
import tsa
from quillmark_c2pa import status, timestamp

DATA = b"the CounterSignature Sig_structure of a claim signature"


def test_good_tsa_gives_a_checked_token():
    before = tsa.REQUESTS["good"]
    token = timestamp.request_timestamp(tsa.url(), DATA, timeout=10)
    assert tsa.REQUESTS["good"] == before + 1
    parsed = timestamp.parse_token(token)
    assert parsed.imprint == hashlib.sha256(DATA).digest() and parsed.signature_algorithm == "ES256"
    check = timestamp.check_token(token, DATA, [pki.tsa_root()])
    assert [c for c, _ in check.entries] == [status.TIME_STAMP_VALIDATED, status.TIME_STAMP_TRUSTED]
    assert check.time == parsed.gen_time and abs((check.time - pki.NOW).total_seconds()) < 86400
    # a SHA-384 imprint when asked
    token = timestamp.request_timestamp(tsa.url(), DATA, timeout=10, hash_name="sha384")
    assert timestamp.parse_token(token).imprint == hashlib.sha384(DATA).digest()


@pytest.mark.parametrize("mode, message", [
    ("down", "refused"),
    ("http500", "HTTP 500"),
    ("garbage", "not an RFC 3161 time-stamp response"),
    ("rejection", "refused: rejection (refused for the test)"),
    ("wrong-imprint", "another message imprint"),
    ("forged", "signature does not verify"),
])
def test_failing_tsa_gives_one_line(mode, message):
    with pytest.raises(timestamp.TimeStampError) as info:
        timestamp.request_timestamp(tsa.url(mode), DATA, timeout=10)
    text = str(info.value)
    assert message in text and "\n" not in text and text.startswith(f"time-stamp authority {tsa.url(mode)}")


def _trickling_tsa(reason: bytes = b"OK", status: int = 200) -> "tuple[str, list[int]]":
    """A TSA on 127.0.0.1 that answers with a long body one byte every 20 ms (for at most 400
    bytes), counting the bytes it managed to send."""
    import socket
    import threading
    import time

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    sent = [0]

    def serve() -> None:
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(5)
            try:
                connection.recv(65536)
                connection.sendall(b"HTTP/1.1 %d %s\r\nContent-Length: 1000000\r\n\r\n" % (status, reason))
                for _ in range(400):
                    connection.sendall(b"0")
                    sent[0] += 1
                    time.sleep(0.02)
            except OSError:
                pass
        listener.close()

    threading.Thread(target=serve, daemon=True).start()
    return f"http://127.0.0.1:{listener.getsockname()[1]}/", sent


def test_a_tsa_answering_a_byte_at_a_time_is_given_up_at_the_timeout():
    url, sent = _trickling_tsa()
    with pytest.raises(timestamp.TimeStampError, match="no whole answer within 0.5 s"):
        timestamp.request_timestamp(url, DATA, timeout=0.5)
    assert sent[0] < 400


def test_a_tsa_reason_phrase_is_shown_printable_and_cut():
    url, _ = _trickling_tsa(reason=b"\x1b[2J" + b"x" * 5000, status=503)
    with pytest.raises(timestamp.TimeStampError) as caught:
        timestamp.request_timestamp(url, DATA, timeout=5)
    text = str(caught.value)
    assert "HTTP 503" in text and "\x1b" not in text and len(text) < 300


def test_client_refusals_before_asking():
    with pytest.raises(timestamp.TimeStampError, match="not an http"):
        timestamp.request_timestamp("ftp://127.0.0.1/x", DATA)
    with pytest.raises(ValueError):
        timestamp.request_timestamp(tsa.url(), DATA, hash_name="sha1")


def test_untrusted_tsa_is_accepted_by_the_client_but_not_counted():
    # The signer may use any TSA; whether it is trusted is the validator's business.
    token = timestamp.request_timestamp(tsa.url("untrusted"), DATA, timeout=10)
    check = timestamp.check_token(token, DATA, [pki.tsa_root()])
    assert [c for c, _ in check.entries] == [status.TIME_STAMP_UNTRUSTED] and not check.counted
    assert timestamp.check_token(token, DATA, [pki.untrusted_root()]).counted


def _altered(token: bytes, old: bytes, new: bytes) -> bytes:
    assert token.count(old) == 1
    return token.replace(old, new)


@functools.lru_cache(maxsize=None)
def _tokens():
    good = tsa.make_token(DATA)
    parsed = timestamp.parse_token(good)
    # the genTime inside TSTInfo moved by a second: the signed message digest no longer matches
    when = parsed.gen_time.strftime("%Y%m%d%H%M%S").encode()
    later = (parsed.gen_time + pki.DAY).strftime("%Y%m%d%H%M%S").encode()
    return {
        "forged": (tsa.make_token(DATA, forge=True), status.TIME_STAMP_MISMATCH, "does not verify"),
        "altered time": (good.replace(when + b"Z", later + b"Z", 1), status.TIME_STAMP_MISMATCH, "message digest"),
        "altered signature": (_altered(good, parsed.signature, parsed.signature[:-1] + bytes([parsed.signature[-1] ^ 1])),
                              status.TIME_STAMP_MISMATCH, "does not verify"),
        "other imprint": (tsa.make_token(DATA + b"!"), status.TIME_STAMP_MISMATCH, "imprint"),
        "sha1 imprint": (tsa.make_token(DATA, hash_name="sha1"), status.TIME_STAMP_UNTRUSTED, "13.1"),
        "untrusted TSA": (tsa.make_token(DATA, signer=pki.untrusted_tsa()), status.TIME_STAMP_UNTRUSTED, "no trust anchor"),
        "signer as TSA": (tsa.make_token(DATA, signer=pki.leaf("ES256")), status.TIME_STAMP_UNTRUSTED, "timeStamping"),
        "before the TSA": (tsa.make_token(DATA, gen_time=pki.NOW - 3 * pki.YEAR), status.TIME_STAMP_OUTSIDE_VALIDITY,
                           "not valid before"),
        "not DER": (b"\x30\x03\x02\x01", status.TIME_STAMP_MALFORMED, "runs past"),
        "not signed data": (cbor2.dumps(1), status.TIME_STAMP_MALFORMED, ""),
    }


@pytest.mark.parametrize("case", sorted(_tokens()))
def test_bad_tokens_are_not_counted(case):
    token, code, words = _tokens()[case]
    check = timestamp.check_token(token, DATA, [pki.tsa_root()])
    assert [c for c, _ in check.entries] == [code] and not check.counted
    assert words in check.entries[0][1]


def test_imprint_inputs_follow_the_payload_choice():
    protected, signature = cbor2.dumps({1: -7}), b"\x01" * 64
    v2 = timestamp.v2_imprint_input(protected, signature)
    # ["CounterSignature", protected, h'', h'<serialized signature bstr>'] (C2PA 2.2, 10.3.2.5)
    assert cbor2.loads(v2) == ["CounterSignature", protected, b"", b"\x58\x40" + signature]
    assert cbor2.loads(timestamp.v1_imprint_input(protected, b"claim")) == ["CounterSignature", protected, b"", b"claim"]


def test_sigtst_response_unwrapping():
    token = tsa.make_token(DATA)
    response = tsa._response(timestamp.build_request(DATA), "good")[1]
    got, why = timestamp.response_token(response)
    assert why is None and timestamp.parse_token(got).imprint == timestamp.parse_token(token).imprint
    refused = tsa._refusal({"status": "rejection"})
    assert timestamp.response_token(refused) == (None, "the time-stamp response's status is rejection")
    assert timestamp.response_token(b"junk")[0] is None


def test_hostile_tokens_are_measured_before_they_are_parsed():
    # 100,000 empty SEQUENCEs inside a certificates set: refused by counting, with no object built
    # per element (asn1crypto would make one each)
    body = b"\x30\x00" * 100_000
    inner = b"\xa0\x83" + len(body).to_bytes(3, "big") + body
    token = b"\x30\x83" + len(inner).to_bytes(3, "big") + inner
    check = timestamp.check_token(token, DATA, [pki.tsa_root()])
    assert check.entries[0][0] == status.TIME_STAMP_MALFORMED and "more than" in check.entries[0][1]
    elements = b"\x30\x00" * 4095
    assert timestamp.der_elements(b"\x30\x82" + len(elements).to_bytes(2, "big") + elements) == 4096
    with pytest.raises(timestamp.TokenError, match="more than 4096 ASN.1 elements"):
        timestamp.der_elements(b"\x30\x82" + (len(elements) + 2).to_bytes(2, "big") + elements + b"\x05\x00")
    assert timestamp.der_elements(tsa.make_token(DATA)) < 1000
    for bad in (b"\x30\x05\x00", b"\x30\x80\x00\x00", b"\x30\x00\x00", b"\x04\x85\x01\x00\x00\x00\x00"):
        with pytest.raises(timestamp.TokenError):
            timestamp.der_elements(bad)
