"""Validation of one claim signature (C2PA 2.2, 15.7-15.9): signatures made here with the test
PKI and TSA, then damaged, each giving the codes the standard names; and the two real stores of
2023, whose signatures verify and whose stamps are read."""

from __future__ import annotations

import collections
import functools
import http.server
import json
import threading
from pathlib import Path

import cbor2
import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509 import ocsp as x509_ocsp

import pki
import tsa
from quillmark_c2pa import cose, jumbf, signature, status, timestamp, trust

CLAIM = cbor2.dumps({"instanceID": "xmp:iid:1", "alg": "sha256", "signature": "self#jumbf=c2pa.signature"})
URL = "self#jumbf=/c2pa/urn:c2pa:test/c2pa.signature"
TRUST = trust.TrustSettings(anchors=[pki.root()], tsa_anchors=[pki.tsa_root()], bundled=False)


def der(cert):
    return cert.public_bytes(serialization.Encoding.DER)


def sign(signer=None, alg="ES256", *, claim=CLAIM, stamp=None, unprotected=None, protected_extra=None,
         chain_in_unprotected=False, tag=True):
    """A claim signature made as a claim generator makes it. `stamp`: None, or a function of the
    v2 imprint input returning the sigTst2 token."""
    key, chain = signer or pki.leaf(alg)
    ders = [der(c) for c in chain]
    if chain_in_unprotected:
        protected = cbor2.dumps({1: cose.ALGORITHMS[alg]})
    else:
        protected = cose.protected_header(alg, ders, extra=protected_extra)
    sig = cose.sign(key, alg, cose.sig_structure(protected, claim))
    header = dict(unprotected or {})
    if chain_in_unprotected:
        header[33] = ders
    if stamp is not None:
        header["sigTst2"] = {"tstTokens": [{"val": stamp(timestamp.v2_imprint_input(protected, sig))}]}
    box = cose.encode_sign1(protected, header, sig)
    return box if tag else box[1:]


def validate(box, *, claim=CLAIM, label="c2pa.claim.v2", settings=TRUST, now=None):
    report = signature.validate_signature(box, claim, claim_label=label, url=URL, trust=settings, now=now or pki.NOW)
    assert all(e.url == URL and e.explanation and "\n" not in e.explanation for e in report.entries)
    return report


GOOD = [status.SIGNING_CREDENTIAL_TRUSTED, status.CLAIM_SIGNATURE_VALIDATED, status.CLAIM_SIGNATURE_INSIDE_VALIDITY]


@pytest.mark.parametrize("alg", pki.ALGORITHMS)
def test_each_algorithm_validates(alg):
    report = validate(sign(alg=alg))
    assert report.codes == GOOD and not report.failed
    assert report.alg == alg and report.certificate == pki.leaf(alg)[1][0]
    assert report.trusted_chain[-1] == pki.root()
    info = report.info()
    assert info["common_name"].startswith("quillmark test signer") and info["issuer"] == "quillmark tests"
    assert info["cert_serial_number"] == str(report.certificate.serial_number) and info["time"] is None


# Each bad signer of the test PKI and the failure codes C2PA 2.2 gives it.
BAD = {
    "expired": {status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY},  # 15.8.2
    "not_yet_valid": {status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY},
    # 15.7 (profile, 14.5.1.1) and 14.5.1.2: no anchor serves an EKU it does not have
    "wrong_eku": {status.SIGNING_CREDENTIAL_INVALID, status.SIGNING_CREDENTIAL_UNTRUSTED},
    "no_eku": {status.SIGNING_CREDENTIAL_INVALID, status.SIGNING_CREDENTIAL_UNTRUSTED},
    "any_eku": {status.SIGNING_CREDENTIAL_INVALID},
    "ca": {status.SIGNING_CREDENTIAL_UNTRUSTED},  # 14.5.1.2 names this code for a CA as signer
    "no_digital_signature": {status.SIGNING_CREDENTIAL_INVALID},
    "untrusted": {status.SIGNING_CREDENTIAL_UNTRUSTED},
}


@pytest.mark.parametrize("kind", sorted(BAD))
def test_each_bad_certificate_gives_its_code(kind):
    report = validate(sign(pki.bad(kind)))
    assert {e.code for e in report.entries if e.kind == status.FAILURE} == BAD[kind]
    assert status.CLAIM_SIGNATURE_VALIDATED in report.codes  # the signature itself is sound


def test_private_credential_store_trusts_an_end_entity_directly():
    untrusted = pki.bad("untrusted")
    settings = trust.TrustSettings(end_entities=[untrusted[1][0]], bundled=False)
    assert validate(sign(untrusted), settings=settings).codes == GOOD
    # it never acts as a CA: a leaf signed by an entry is not trusted through it
    assert status.SIGNING_CREDENTIAL_UNTRUSTED in validate(sign(), settings=trust.TrustSettings(
        end_entities=[pki.intermediate()[1]], bundled=False)).codes


def _placeholder():
    return cbor2.dumps(cbor2.CBORTag(18, [b"", {"pad": bytes(64)}, None, b""]))


# Each broken signature and every failure it gives (15.7, 13.2), the first explaining itself.
@pytest.mark.parametrize("make, codes, words", [
    (lambda: _placeholder(), [status.CLAIM_SIGNATURE_MISMATCH], "never signed"),
    (lambda: sign(tag=False), [status.CLAIM_SIGNATURE_MISMATCH], "without its tag"),
    (lambda: b"\xd2\x84\x40", [status.CLAIM_SIGNATURE_MISMATCH], "not a COSE_Sign1_Tagged"),
    (lambda: sign(claim=CLAIM + b"\x00"), [status.CLAIM_SIGNATURE_MISMATCH], "does not verify"),
    (lambda: sign(protected_extra={1: -257}), [status.ALGORITHM_UNSUPPORTED], "-257"),
    # the leaf alone, without its intermediate: it chains to no anchor either (14.5.1.2)
    (lambda: cose.encode_sign1(cbor2.dumps({33: der(pki.leaf()[1][0])}), {1: -7}, bytes(64)),
     [status.ALGORITHM_UNSUPPORTED, status.SIGNING_CREDENTIAL_UNTRUSTED], "only in the unprotected"),
    (lambda: sign(chain_in_unprotected=True), [status.SIGNING_CREDENTIAL_INVALID], "does not allow"),
    (lambda: sign(unprotected={33: der(pki.leaf()[1][0])}), [status.SIGNING_CREDENTIAL_INVALID], "both header buckets"),
    (lambda: cose.encode_sign1(cbor2.dumps({1: -7, 33: b"not a certificate"}), {}, bytes(64)),
     [status.SIGNING_CREDENTIAL_INVALID], "not a readable"),
    # an ES256 header over an RSA certificate: 13.2.1 forbids verifying with a key of the wrong type
    (lambda: cose.encode_sign1(cose.protected_header("ES256", [der(c) for c in pki.leaf("PS256")[1]]), {}, bytes(64)),
     [status.CLAIM_SIGNATURE_MISMATCH], ""),
])
def test_broken_signatures(make, codes, words):
    report = validate(make())
    failures = [e for e in report.entries if e.kind == status.FAILURE]
    assert [e.code for e in failures] == codes and words in failures[0].explanation, report.entries


def test_first_claim_version_may_carry_x5chain_unprotected():
    box = sign(chain_in_unprotected=True)
    assert validate(box, label="c2pa.claim").codes == GOOD


LATER = pki.NOW + 2 * pki.YEAR  # the test leaves have expired by then


def test_a_valid_stamp_saves_an_expired_signer():
    stamped = sign(stamp=lambda data: tsa.make_token(data))
    report = validate(stamped, now=LATER)
    assert report.codes == [status.SIGNING_CREDENTIAL_TRUSTED, status.CLAIM_SIGNATURE_VALIDATED,
                            status.TIME_STAMP_VALIDATED, status.TIME_STAMP_TRUSTED,
                            status.CLAIM_SIGNATURE_INSIDE_VALIDITY]
    assert report.time is not None and report.info()["time"] == report.time.isoformat()
    assert status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY in validate(sign(), now=LATER).codes


def test_a_stamp_covers_the_signature_field_as_serialized():
    # C2PA 2.2, 10.3.2.5.2: "the entire serialized bstr", here with a two-byte length where one
    # would do; a validator that serialized the signature again would find another imprint.
    key, chain = pki.leaf("ES256")
    protected = cose.protected_header("ES256", [der(c) for c in chain])
    sig = cose.sign(key, "ES256", cose.sig_structure(protected, CLAIM))
    field = b"\x59" + len(sig).to_bytes(2, "big") + sig
    token = tsa.make_token(cose.sig_structure(protected, field, context="CounterSignature"))
    unprotected = cbor2.dumps({"sigTst2": {"tstTokens": [{"val": token}]}})
    report = validate(b"\xd2\x84" + cbor2.dumps(protected) + unprotected + b"\xf6" + field)
    assert status.TIME_STAMP_VALIDATED in report.codes and status.CLAIM_SIGNATURE_VALIDATED in report.codes


def test_a_stamp_from_the_real_tsa_client():
    token = {}
    box = sign(stamp=lambda data: token.setdefault("t", timestamp.request_timestamp(tsa.url(), data, timeout=10)))
    assert [c for c in validate(box, now=LATER).codes if c.startswith("timeStamp")] == [
        status.TIME_STAMP_VALIDATED, status.TIME_STAMP_TRUSTED]


@pytest.mark.parametrize("stamp, code", [
    (lambda data: tsa.make_token(data, forge=True), status.TIME_STAMP_MISMATCH),
    (lambda data: tsa.make_token(data + b"x"), status.TIME_STAMP_MISMATCH),
    (lambda data: tsa.make_token(data, signer=pki.untrusted_tsa()), status.TIME_STAMP_UNTRUSTED),
    (lambda data: tsa.make_token(data, gen_time=pki.NOW - 3 * pki.YEAR), status.TIME_STAMP_OUTSIDE_VALIDITY),
    (lambda data: b"\x30\x00", status.TIME_STAMP_MALFORMED),
])
def test_a_stamp_that_does_not_count_saves_nothing(stamp, code):
    report = validate(sign(stamp=stamp), now=LATER)
    # informational (15.8.2): the signature stands alone, the signer judged now, when it has expired
    assert report.codes == [status.SIGNING_CREDENTIAL_TRUSTED, status.CLAIM_SIGNATURE_VALIDATED, code,
                            status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY]
    assert report.time is None


def test_v1_stamp_and_malformed_containers():
    key, chain = pki.leaf("ES256")
    protected = cose.protected_header("ES256", [der(c) for c in chain])
    sig = cose.sign(key, "ES256", cose.sig_structure(protected, CLAIM))
    # v1: a whole TimeStampResp over the claim (C2PA 2.2, 10.3.2.5.4)
    response = tsa._response(timestamp.build_request(timestamp.v1_imprint_input(protected, CLAIM)), "good")[1]
    v1 = cose.encode_sign1(protected, {"sigTst": {"tstTokens": [{"val": response}]}}, sig)
    assert status.TIME_STAMP_TRUSTED in validate(v1, now=LATER).codes
    # a v1 stamp put in sigTst2 stamps the wrong payload
    token = tsa.make_token(timestamp.v1_imprint_input(protected, CLAIM))
    wrong = cose.encode_sign1(protected, {"sigTst2": {"tstTokens": [{"val": token}]}}, sig)
    assert status.TIME_STAMP_MISMATCH in validate(wrong).codes
    two = cose.encode_sign1(protected, {"sigTst2": {"tstTokens": [{"val": token}, {"val": token}]}}, sig)
    for box in (two, cose.encode_sign1(protected, {"sigTst2": [token]}, sig)):
        report = validate(box)
        assert status.TIME_STAMP_MALFORMED in report.codes and not report.failed


def _ocsp_response(cert_status, *, responder=None, revoked_at=None, reason=None, this_update=None, about=None):
    key, responder_cert = responder or pki.ocsp_responder()
    leaf, issuer = about or pki.leaf("ES256")[1]
    this_update = this_update or pki.NOW - pki.DAY
    builder = x509_ocsp.OCSPResponseBuilder().add_response(
        cert=leaf, issuer=issuer, algorithm=hashes.SHA256(), cert_status=cert_status,
        this_update=this_update, next_update=this_update + 30 * pki.DAY,
        revocation_time=revoked_at, revocation_reason=reason,
    ).responder_id(x509_ocsp.OCSPResponderEncoding.HASH, responder_cert).certificates([responder_cert])
    return builder.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)


GOOD_STATUS = x509_ocsp.OCSPCertStatus.GOOD
REVOKED = x509_ocsp.OCSPCertStatus.REVOKED


@pytest.mark.parametrize("response, stamped, code", [
    (lambda: _ocsp_response(GOOD_STATUS), True, status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED),
    (lambda: _ocsp_response(GOOD_STATUS), False, status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED),
    (lambda: _ocsp_response(REVOKED, revoked_at=pki.NOW - 2 * pki.DAY), True, status.SIGNING_CREDENTIAL_OCSP_REVOKED),
    (lambda: _ocsp_response(REVOKED, revoked_at=pki.NOW - 2 * pki.DAY), False, status.SIGNING_CREDENTIAL_OCSP_REVOKED),
    (lambda: _ocsp_response(REVOKED, revoked_at=pki.NOW - 2 * pki.DAY, reason=x509.ReasonFlags.remove_from_crl), True,
     status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED),
    (lambda: _ocsp_response(x509_ocsp.OCSPCertStatus.UNKNOWN), True, status.SIGNING_CREDENTIAL_OCSP_UNKNOWN),
    # revoked only after the time-stamp: not revoked at the time of signing (15.9.2)
    (lambda: _ocsp_response(REVOKED, revoked_at=pki.NOW + pki.DAY, this_update=pki.NOW - pki.DAY), True,
     status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED),
    # signed by a responder the issuer never authorised: ignored
    (lambda: _ocsp_response(REVOKED, revoked_at=pki.NOW - pki.DAY, responder=pki.untrusted_tsa()[:1] + (pki.untrusted_tsa()[1][0],)),
     True, None),
])
def test_stapled_ocsp(response, stamped, code):
    rvals = {"rVals": {"ocspVals": [response()]}}
    box = sign(unprotected=rvals, stamp=(lambda data: tsa.make_token(data)) if stamped else None)
    report = validate(box, now=pki.NOW + pki.DAY)
    ocsp_codes = [c for c in report.codes if c.startswith("signingCredential.ocsp")]
    assert ocsp_codes == ([code] if code else [])
    failed = [code] if code in (status.SIGNING_CREDENTIAL_OCSP_REVOKED, status.SIGNING_CREDENTIAL_OCSP_UNKNOWN) else []
    assert [e.code for e in report.entries if e.kind == status.FAILURE] == failed  # 15.9.1


# ---- the real stores of 2023 ---------------------------------------------------------------------

SAMPLES = Path(__file__).resolve().parent / "c2pa-samples"  # their source and licence: ATTRIBUTION.md there


def _claim_and_signature(path: Path):
    data = path.read_bytes()
    store = jumbf.read_superbox(data, jumbf.read_box(data, 0, len(data)))
    [manifest] = store.superboxes(jumbf.MANIFEST)
    parts = {}
    for box in jumbf.read_boxes(data, manifest.box.payload, manifest.box.end)[1:]:
        if box.type == b"jumb":
            inner = jumbf.read_superbox(data, box)
            content = [c for c in inner.children if not isinstance(c, jumbf.Superbox)]
            if inner.description.type in (jumbf.CLAIM, jumbf.CLAIM_SIGNATURE):
                parts[inner.description.type] = (inner.description.label, data[content[0].payload:content[0].end])
    return manifest.description.label, parts[jumbf.CLAIM], parts[jumbf.CLAIM_SIGNATURE][1]


@pytest.mark.parametrize("name", ["truepic-20230212-camera", "truepic-20230212-landscape"])
def test_real_stores_of_2023(name):
    label, (claim_label, claim), sign1 = _claim_and_signature(SAMPLES / f"{name}.c2pa")
    reference = json.loads((SAMPLES / f"{name}.report.json").read_text())["manifests"][label]["signature_info"]
    report = signature.validate_signature(sign1, claim, claim_label=claim_label, url=URL,
                                          trust=trust.TrustSettings(), now=pki.NOW)
    assert claim_label == "c2pa.claim"  # x5chain is in the unprotected header, as version 1 allowed
    assert status.CLAIM_SIGNATURE_VALIDATED in report.codes
    assert report.info()["cert_serial_number"] == reference["cert_serial_number"]
    assert report.info()["issuer"] == reference["issuer"]
    # The stamp is read and its RSA PKCS#1 v1.5 signature verifies, at the reference's time; C2PA 2.2,
    # 15.8.2 does not count it, so the certificate (a day's validity in 2023) is judged today.
    assert report.stamp_time.isoformat() == reference["time"]
    untrusted = [e for e in report.entries if e.code == status.TIME_STAMP_UNTRUSTED]
    assert len(untrusted) == 1 and "RSA PKCS#1 v1.5" in untrusted[0].explanation
    token, _ = timestamp.response_token(cose.decode_sign1(sign1).unprotected["sigTst"]["tstTokens"][0]["val"])
    assert timestamp.signature_problem(timestamp.parse_token(token)) is None
    assert {e.code for e in report.entries if e.kind == status.FAILURE} == {
        status.SIGNING_CREDENTIAL_UNTRUSTED, status.CLAIM_SIGNATURE_OUTSIDE_VALIDITY}


# ---- revocation online, only when asked ----------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _aia_signer():
    """A signer whose certificate names an OCSP responder on 127.0.0.1 (RFC 5280, 4.2.2.1), and
    the responder's request count."""
    key = pki._key("ec256-aia")
    ca_key, ca = pki.intermediate()
    calls = collections.Counter()
    holder = {}

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802
            calls["ocsp"] += 1
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            body = holder["response"]
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    tsa.serve_until_exit(server, "test OCSP responder")
    aia = x509.AuthorityInformationAccess([x509.AccessDescription(
        x509.AuthorityInformationAccessOID.OCSP,
        x509.UniformResourceIdentifier(f"http://127.0.0.1:{server.server_address[1]}/ocsp"))])
    cert = pki.make_certificate("signer with a responder", key.public_key(), ca_key, ca,
                                ekus=[pki.C2PA_CLAIM_SIGNING], extra=[(aia, False)])
    responder_key, responder = pki.ocsp_responder()
    holder["response"] = x509_ocsp.OCSPResponseBuilder().add_response(
        cert=cert, issuer=ca, algorithm=hashes.SHA256(), cert_status=REVOKED,
        this_update=pki.NOW - pki.DAY, next_update=pki.NOW + 30 * pki.DAY,
        revocation_time=pki.NOW - 2 * pki.DAY, revocation_reason=x509.ReasonFlags.key_compromise,
    ).responder_id(x509_ocsp.OCSPResponderEncoding.HASH, responder).certificates([responder]).sign(
        responder_key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)
    return (key, [cert, ca]), calls


def test_online_ocsp_only_when_asked():
    signer, calls = _aia_signer()
    box = sign(signer)
    before = calls["ocsp"]
    assert [c for c in validate(box).codes if "ocsp" in c] == [status.SIGNING_CREDENTIAL_OCSP_SKIPPED]
    assert calls["ocsp"] == before  # nothing fetched unless asked (C2PA 2.2, 15.9.2)
    report = signature.validate_signature(box, CLAIM, claim_label="c2pa.claim.v2", url=URL, trust=TRUST,
                                          now=pki.NOW, fetch_ocsp=True)
    assert calls["ocsp"] == before + 1
    assert [c for c in report.codes if "ocsp" in c] == [status.SIGNING_CREDENTIAL_OCSP_REVOKED]


def test_a_responder_that_cannot_be_reached_is_inaccessible():
    """C2PA 2.2, 15.9.2: a validator that queries the responder and receives no response gives
    signingCredential.ocsp.inaccessible, informational: the signature stands as it would unchecked."""
    import socket

    closed = socket.socket()  # bound, never listening: a connection is refused, and the port stays ours
    closed.bind(("127.0.0.1", 0))
    try:
        aia = x509.AuthorityInformationAccess([x509.AccessDescription(
            x509.AuthorityInformationAccessOID.OCSP,
            x509.UniformResourceIdentifier(f"http://127.0.0.1:{closed.getsockname()[1]}/ocsp"))])  # fmt: skip
        key = pki._key("ec256-aia")
        ca_key, ca = pki.intermediate()
        cert = pki.make_certificate("signer with a closed responder", key.public_key(), ca_key, ca,
                                    ekus=[pki.C2PA_CLAIM_SIGNING], extra=[(aia, False)])  # fmt: skip
        report = signature.validate_signature(sign((key, [cert, ca])), CLAIM, claim_label="c2pa.claim.v2", url=URL,
                                              trust=TRUST, now=pki.NOW, fetch_ocsp=True)  # fmt: skip
    finally:
        closed.close()
    assert report.codes == [*GOOD, status.SIGNING_CREDENTIAL_OCSP_INACCESSIBLE] and not report.failed


def test_an_ocsp_responder_answering_a_byte_at_a_time_is_given_up_at_the_timeout():
    from test_timestamp import _trickling_tsa  # an HTTP server that sends a byte every 20 ms

    from quillmark_c2pa import ocsp

    url, sent = _trickling_tsa()
    _, (cert, issuer, *_) = pki.leaf("ES256")
    assert ocsp._fetch(url, cert, issuer, timeout=0.5) is None
    assert sent[0] < 400  # each wait was within the timeout: only the whole answer's deadline ends it


@pytest.mark.parametrize("answer", [
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc",  # a damaged chunk: IncompleteRead
    b"not HTTP at all\r\n\r\n",  # BadStatusLine
], ids=["damaged-chunk", "bad-status-line"])  # fmt: skip
def test_an_ocsp_responder_answering_broken_http_is_no_answer(answer):
    """The responder's URL comes from the certificate, so from whoever made the font: what http.client
    raises for a broken answer (HTTPException, not OSError) is no answer, not an error of check."""
    import socket
    import threading

    from quillmark_c2pa import ocsp

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def serve() -> None:
        connection, _ = listener.accept()
        with connection:
            connection.recv(65536)
            connection.sendall(answer)
        listener.close()

    threading.Thread(target=serve, daemon=True).start()
    _, (cert, issuer, *_) = pki.leaf("ES256")
    assert ocsp._fetch(f"http://127.0.0.1:{listener.getsockname()[1]}/", cert, issuer, timeout=5) is None


def test_mutated_signatures_never_raise():
    # every 67th byte of a stamped signature with stapled OCSP flipped in turn: each gives a report
    # (a failure, an informational code, or, for bytes of the padding, the same success)
    box = sign(unprotected={"rVals": {"ocspVals": [_ocsp_response(GOOD_STATUS)]}},
               stamp=lambda data: tsa.make_token(data))
    for at in range(0, len(box), 67):
        mutated = box[:at] + bytes([box[at] ^ 0x5A]) + box[at + 1:]
        report = validate(mutated)
        assert report.entries
        if not report.failed:
            assert status.CLAIM_SIGNATURE_VALIDATED in report.codes


def test_a_revoked_intermediate_stapled_makes_the_signer_untrusted():
    # the root answers for its intermediate itself (RFC 6960, 4.2.2.2: the CA that issued it)
    root_key, root = pki._root()
    intermediate = pki.intermediate()[1]
    about_ca = _ocsp_response(REVOKED, responder=(root_key, root), revoked_at=pki.NOW - 2 * pki.DAY,
                              about=(intermediate, root))
    good_leaf = _ocsp_response(GOOD_STATUS)
    report = validate(sign(unprotected={"rVals": {"ocspVals": [good_leaf, about_ca]}}), now=pki.NOW + pki.DAY)
    untrusted = [e for e in report.entries if e.code == status.SIGNING_CREDENTIAL_UNTRUSTED]
    assert len(untrusted) == 1 and "intermediate" in untrusted[0].explanation
    assert status.SIGNING_CREDENTIAL_OCSP_NOT_REVOKED in report.codes  # the leaf itself is not revoked
    assert status.SIGNING_CREDENTIAL_UNTRUSTED not in validate(
        sign(unprotected={"rVals": {"ocspVals": [good_leaf]}}), now=pki.NOW + pki.DAY).codes
