"""The certificate profile of C2PA 2.2, 14.5, chains to anchors, and the bundled trust lists."""

from __future__ import annotations

import pytest
from cryptography.hazmat.primitives.asymmetric import ec, rsa

import pki
from quillmark_c2pa import credentials, trust

# Each bad signer of the test PKI, the kind of problem it gives (which decides its status code, see
# credentials.py) and a word of its message.
BAD = {
    "expired": ("validity", "expired"),
    "not_yet_valid": ("validity", "not valid before"),
    "wrong_eku": ("profile", "serverAuth"),
    "no_eku": ("profile", "no extended key usage"),
    "any_eku": ("profile", "anyExtendedKeyUsage"),
    "ca": ("ca", "CA certificate"),
    "no_digital_signature": ("profile", "digitalSignature"),
}


@pytest.mark.parametrize("alg", pki.ALGORITHMS)
def test_good_signers_fit_the_profile_and_chain(alg):
    _, chain = pki.leaf(alg)
    assert credentials.profile_problems(chain[0], pki.NOW) == []
    path = credentials.build_chain(chain[0], chain[1:], [pki.root()])
    assert [c.subject for c in path.certificates] == [chain[0].subject, chain[1].subject, pki.root().subject]
    assert credentials.validity_problems(path, pki.NOW) == []
    assert credentials.validity_problems(path, pki.NOW + 2 * pki.YEAR)[0].startswith("the signer's certificate expired")


@pytest.mark.parametrize("kind", sorted(BAD))
def test_each_bad_signer_breaks_its_rule(kind):
    _, chain = pki.bad(kind)
    findings = credentials.profile_findings(chain[0], pki.NOW)
    assert [f.kind for f in findings] == [BAD[kind][0]], findings
    assert BAD[kind][1] in findings[0].message
    # and it is the one line the signer shows before refusing
    assert credentials.profile_problems(chain[0], pki.NOW) == [findings[0].message]


def test_time_stamping_and_ocsp_purposes():
    _, (tsa_cert, _) = pki.tsa()
    assert credentials.profile_problems(tsa_cert, pki.NOW, time_stamping=True) == []
    assert credentials.profile_problems(tsa_cert, pki.NOW)  # a TSA certificate cannot sign claims
    _, (signer, _) = pki.leaf("ES256")
    assert "timeStamping" in credentials.profile_problems(signer, pki.NOW, time_stamping=True)[0]
    _, responder = pki.ocsp_responder()
    assert credentials.profile_findings(responder, pki.NOW, purpose=credentials.OCSP_PURPOSE) == []
    # a TSA certificate whose EKU is not critical (RFC 3161, 2.3), or that may sign claims too
    ca_key, ca = pki.intermediate()
    key = pki._key("ec256-tsa-lax")
    for ekus, critical, word in (([pki.TIME_STAMPING], False, "critical"),
                                 ([pki.TIME_STAMPING, pki.C2PA_CLAIM_SIGNING], True, "other purposes")):
        cert = pki.make_certificate("lax TSA", key.public_key(), ca_key, ca, ekus=ekus, eku_critical=critical)
        assert word in " ".join(credentials.profile_problems(cert, pki.NOW, time_stamping=True))


def test_private_store_skips_the_structure_rules_not_the_algorithms():
    _, (no_eku, _) = pki.bad("no_eku")
    assert credentials.profile_findings(no_eku, pki.NOW, private=True) == []
    _, (expired, _) = pki.bad("expired")
    assert [f.kind for f in credentials.profile_findings(expired, pki.NOW, private=True)] == ["validity"]
    ca_key, ca = pki.intermediate()
    weak = pki.make_certificate("weak", rsa.generate_private_key(65537, 1024).public_key(), ca_key, ca,
                                ekus=[pki.C2PA_CLAIM_SIGNING])
    assert "fewer than 2048" in credentials.profile_findings(weak, pki.NOW, private=True)[0].message
    k1 = ec.generate_private_key(ec.SECP256K1())
    odd = pki.make_certificate("k1", k1.public_key(), ca_key, ca, ekus=[pki.C2PA_CLAIM_SIGNING])
    assert "secp256k1" in credentials.profile_problems(odd, pki.NOW)[0]


def test_chain_refusals():
    _, (leaf, intermediate) = pki.leaf("ES256")
    with pytest.raises(credentials.ChainError, match="no trust anchor"):
        credentials.build_chain(leaf, [intermediate], [pki.untrusted_root()])
    with pytest.raises(credentials.ChainError):  # the intermediate missing from x5chain
        credentials.build_chain(leaf, [], [pki.root()])
    # an anchor that is a listed intermediate (the C2PA Trust List names issuing CAs too)
    assert credentials.build_chain(leaf, [intermediate], [intermediate]).anchor == intermediate
    # a CA that is not one, or whose path length is exceeded, cannot issue
    root_key, root = pki._root()
    not_ca_key = pki._key("ec256-not-ca")
    not_ca = pki.make_certificate("not a CA", not_ca_key.public_key(), root_key, root,
                                  ekus=[pki.C2PA_CLAIM_SIGNING])
    below = pki.make_certificate("below", pki._key("ec256-below").public_key(), not_ca_key, not_ca,
                                 ekus=[pki.C2PA_CLAIM_SIGNING])
    with pytest.raises(credentials.ChainError, match="not a CA"):
        credentials.build_chain(below, [not_ca], [root])
    ca_key, _ = pki.intermediate()
    sub_key = pki._key("ec256-sub-ca")
    sub = pki.make_certificate("sub CA", sub_key.public_key(), ca_key, intermediate, ca=True, digital_signature=False)
    deep = pki.make_certificate("deep", pki._key("ec256-deep").public_key(), sub_key, sub,
                                ekus=[pki.C2PA_CLAIM_SIGNING])
    with pytest.raises(credentials.ChainError, match="allows 0"):
        credentials.build_chain(deep, [sub, intermediate], [root])
    # a signature that does not verify is no issuer, whatever the names say
    forged = pki.make_certificate("forged", pki._key("ec256-forged").public_key(), sub_key, intermediate,
                                  ekus=[pki.C2PA_CLAIM_SIGNING])
    with pytest.raises(credentials.ChainError):
        credentials.build_chain(forged, [intermediate], [root])


def test_trust_settings(tmp_path):
    assert trust.TRUST_LIST_ISSUED.isoformat() == "2026-08-05"
    assert len(trust.bundled_anchors()) >= 20 and len(trust.bundled_tsa_anchors()) >= 10
    path = pki.write_chain(tmp_path, [pki.root()], "anchors.pem")
    settings = trust.TrustSettings(anchors=path, tsa_anchors=[pki.tsa_root()], end_entities=[pki.bad("no_eku")[1][0]])
    assert settings.signer_anchors([pki.EMAIL_PROTECTION]) == [pki.root()]  # user anchors: any signer EKU
    assert len(settings.signer_anchors([pki.C2PA_CLAIM_SIGNING])) == 1 + len(trust.bundled_anchors())
    assert settings.signer_anchors([pki.TIME_STAMPING]) == []
    assert settings.time_stamp_anchors()[0] == pki.tsa_root()
    assert trust.TrustSettings(bundled=False, anchors=[pki.root()]).signer_anchors([pki.C2PA_CLAIM_SIGNING]) == [pki.root()]
    assert settings.trusts_directly(pki.bad("no_eku")[1][0]) and not settings.trusts_directly(pki.root())
    (tmp_path / "empty.pem").write_text("no certificates here\n")
    for name in ("empty.pem", "missing.pem"):
        with pytest.raises(trust.TrustError, match=name):
            trust.load_pem_certificates(tmp_path / name)


def test_chain_search_is_bounded(monkeypatch):
    # Twelve CAs with one name and one key all verify one another: without a bound, a depth-first
    # search would try every ordering of them (12!/4! paths) before giving up.
    key = pki._key("ec256-hall-of-mirrors")
    name_key = pki._key("ec256-mirror-name")
    seed = pki.make_certificate("mirror CA", name_key.public_key(), key, ca=True, digital_signature=False)
    mirrors = [pki.make_certificate("mirror CA", key.public_key(), key, seed, ca=True, digital_signature=False)
               for _ in range(12)]
    leaf = pki.make_certificate("mirror leaf", pki._key("ec256-mirror-leaf").public_key(), key, seed,
                                ekus=[pki.C2PA_CLAIM_SIGNING])
    calls = []
    real = credentials.issued_by
    monkeypatch.setattr(credentials, "issued_by", lambda c, i: calls.append(1) or real(c, i))
    with pytest.raises(credentials.ChainError, match="more than 128 signature checks"):
        credentials.build_chain(leaf, mirrors, [pki.root()])
    assert len(calls) == credentials.MAX_ISSUER_CHECKS
