"""The engine's `sign`: fonts signed for real by each algorithm and binding, judged by computations
made here apart from quillmark's reader (JUMBF walked by hand, the COSE signature verified with
cryptography over a Sig_structure built here, font.info against fontTools), and by the validator."""

from __future__ import annotations

import hashlib
import io
import struct
import sys
from datetime import timedelta
from pathlib import Path

import cbor2
import pytest
from asn1crypto import cms, tsp
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from fontTools.ttLib import TTFont

import pki
import quillmark
import tsa
from conftest import REAL_FONT_PATHS, hash_outside, independent_box_hashes
from quillmark_c2pa import builder, fontinfo
from quillmark_c2pa.definition import DefinitionError, ManifestDefinition
from quillmark_c2pa.signers import CommandSigner, PemSigner, SignerError, check_signer
from quillmark_c2pa.signing import SigningError, sign, sign_font

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fonts" / "QuillSample-Regular.ttf"


@pytest.fixture(scope="module")
def sample() -> bytes:
    return SAMPLE.read_bytes()


def signer(alg: str = "ES256") -> PemSigner:
    key, chain = pki.leaf(alg)
    return PemSigner(pki.key_pem(key), pki.chain_pem(chain), alg=alg)


# --- an independent reading of the store ---------------------------------------------------------


def walk(data: bytes, start: int = 0, end: int | None = None) -> list[dict]:
    """The superboxes in data[start:end], each {label, box (bytes), content [(type, payload)],
    children}; only 32-bit lengths, as quillmark writes them."""
    found, end = [], len(data) if end is None else end
    while start < end:
        length, kind = struct.unpack_from(">I4s", data, start)
        assert kind == b"jumb" and 8 <= length <= end - start
        jumd_length = struct.unpack_from(">I", data, start + 8)[0]
        label = data[start + 33 : start + 8 + jumd_length].split(b"\0")[0].decode()
        node = {"label": label, "box": data[start : start + length], "type": data[start + 16 : start + 32],
                "content": [], "children": []}  # fmt: skip
        at = start + 8 + jumd_length
        while at < start + length:
            n, t = struct.unpack_from(">I4s", data, at)
            if t == b"jumb":
                node["children"] += walk(data, at, at + n)
            else:
                node["content"].append((t, data[at + 8 : at + n]))
            at += n
        found.append(node)
        start += length
    return found


class Store:
    """A signed font's store as read here: its manifests, and the active one's parts."""

    def __init__(self, font: bytes):
        self.raw = quillmark.read_manifest_store(font)
        (outer,) = walk(self.raw)
        assert outer["label"] == "c2pa" and outer["type"][:4] == b"c2pa"
        self.manifests = outer["children"]
        self.active = self.manifests[-1]
        parts = {c["label"]: c for c in self.active["children"]}
        self.assertions = {a["label"]: a for a in parts["c2pa.assertions"]["children"]}
        self.claim_bytes = parts["c2pa.claim.v2"]["content"][0][1]
        self.claim = cbor2.loads(self.claim_bytes)
        self.sign1 = cbor2.loads(parts["c2pa.signature"]["content"][0][1])
        self.signature_box = parts["c2pa.signature"]["box"]

    def data(self, label: str):
        ((kind, payload),) = self.assertions[label]["content"]
        assert kind == b"cbor"
        return cbor2.loads(payload)


def verify_cose(store: Store, alg: str) -> None:
    """The claim signature verified with cryptography over a Sig_structure built here (RFC 8152,
    4.4; C2PA 2.2, 13.2.3), with the key of the x5chain's first certificate."""
    from cryptography import x509

    assert store.sign1.tag == 18
    protected, unprotected, payload, signature = store.sign1.value
    assert payload is None  # detached (C2PA 2.2, 10.3.2.4)
    header = cbor2.loads(protected)
    assert header[1] == {"ES256": -7, "ES384": -35, "ES512": -36, "PS256": -37, "PS384": -38, "PS512": -39,
                         "Ed25519": -8}[alg]  # fmt: skip
    chain = header[33] if isinstance(header[33], list) else [header[33]]
    key = x509.load_der_x509_certificate(chain[0]).public_key()
    tbs = cbor2.dumps(["Signature1", protected, b"", store.claim_bytes])
    if isinstance(key, ec.EllipticCurvePublicKey):
        half = len(signature) // 2
        assert half == (key.curve.key_size + 7) // 8  # raw r||s, not DER
        h = {"ES256": hashes.SHA256, "ES384": hashes.SHA384, "ES512": hashes.SHA512}[alg]()
        key.verify(encode_dss_signature(int.from_bytes(signature[:half], "big"),
                                        int.from_bytes(signature[half:], "big")), tbs, ec.ECDSA(h))  # fmt: skip
    elif isinstance(key, rsa.RSAPublicKey):
        h = {"PS256": hashes.SHA256, "PS384": hashes.SHA384, "PS512": hashes.SHA512}[alg]()
        key.verify(signature, tbs, padding.PSS(padding.MGF1(h), h.digest_size), h)
    else:
        assert isinstance(key, ed25519.Ed25519PublicKey)
        key.verify(signature, tbs)


def validated(font: bytes):
    """The validator's results with the tests' roots as anchors."""
    validate = pytest.importorskip("quillmark_c2pa.validation")
    from quillmark_c2pa.trust import TrustSettings

    trust = TrustSettings(anchors=[pki.root()], tsa_anchors=[pki.tsa_root()], bundled=False)
    return validate.validate(font, trust=trust)


def codes(results, kind: str = "success") -> set[str]:
    return {entry.code for entry in getattr(results.active_manifest, kind)}


# --- signing for real ------------------------------------------------------------------------------


@pytest.mark.parametrize("binding", ["boxes", "data"])
@pytest.mark.parametrize("alg", pki.ALGORITHMS)
def test_each_algorithm_and_binding_signs_a_font_validators_accept(alg, binding, sample):
    signed = sign(sample, signer(alg), binding=binding)
    store = Store(signed)
    verify_cose(store, alg)
    claim = store.claim
    assert claim["signature"] == "self#jumbf=c2pa.signature" and claim["alg"] == "sha256"
    assert claim["claim_generator_info"]["name"] == "quillmark"
    # Every created assertion listed by a hashed URI over its superbox without the header (8.4.2.3).
    listed = {h["url"]: h["hash"] for h in claim["created_assertions"]}
    assert listed == {f"self#jumbf=c2pa.assertions/{label}": hashlib.sha256(a["box"][8:]).digest()
                      for label, a in store.assertions.items()}  # fmt: skip
    actions = store.data("c2pa.actions.v2")["actions"]
    assert actions[0]["action"] == "c2pa.created" and actions[0]["digitalSourceType"].startswith("http://cv.iptc.org/")
    # The binding, recomputed here.
    if binding == "boxes":
        entries = store.data("c2pa.hash.boxes")["boxes"]
        assert [(e["names"][0], e["hash"]) for e in entries] == independent_box_hashes(signed)
    else:
        data_hash = store.data("c2pa.hash.data")
        ranges = quillmark.data_hash_ranges(signed)
        assert [(e["start"], e["length"]) for e in data_hash["exclusions"]] == ranges
        assert data_hash["hash"] == hash_outside(signed, ranges)
        assert not any(data_hash["pad"]) and not any(data_hash.get("pad2", b""))
        # One reservation of exactly the store's size: no zero padding after the superbox.
        assert struct.unpack(">I", store.raw[:4])[0] == len(store.raw) == ranges[1][1]
    results = validated(signed)
    assert results.passed, results.results.active_manifest.failure
    assert {"claimSignature.validated", "signingCredential.trusted", "assertion.hashedURI.match",
            f"assertion.{'boxesHash' if binding == 'boxes' else 'dataHash'}.match"} <= codes(results.results)  # fmt: skip


@pytest.mark.parametrize("binding", ["boxes", "data"])
@pytest.mark.parametrize("alg", ["ES384", "PS256", "Ed25519"])
def test_a_time_stamp_counter_signs_the_signature(alg, binding, sample):
    signed = sign(sample, signer(alg), binding=binding, tsa_url=tsa.url())
    store = Store(signed)
    verify_cose(store, alg)
    protected, unprotected, _, signature = store.sign1.value
    assert "sigTst" not in unprotected
    (token,) = unprotected["sigTst2"]["tstTokens"]
    # The v2 payload (C2PA 2.2, 10.3.2.5.2-3): the signature as its serialized bstr, in a
    # CounterSignature Sig_structure, hashed with the signature's own hash.
    to_stamp = cbor2.dumps(["CounterSignature", protected, b"", cbor2.dumps(signature)])
    info = cms.ContentInfo.load(token["val"])["content"]["encap_content_info"]["content"].parsed
    imprint = info["message_imprint"]
    name = imprint["hash_algorithm"]["algorithm"].native
    assert name == {"ES384": "sha384", "PS256": "sha256", "Ed25519": "sha256"}[alg]
    assert imprint["hashed_message"].native == hashlib.new(name, to_stamp).digest()
    if binding == "data":  # the token's room is filled by the unprotected pad, exactly
        assert struct.unpack(">I", store.raw[:4])[0] == len(store.raw)
        assert not any(unprotected.get("pad", b""))
    results = validated(signed)
    assert results.passed, results.results.active_manifest.failure
    assert {"timeStamp.validated", "timeStamp.trusted"} <= codes(results.results)


def test_every_manifest_gets_its_own_label_and_instance_id(sample):
    stores = [Store(sign(sample, signer(), binding=b)) for b in ("boxes", "data", "boxes")]
    labels = [s.active["label"] for s in stores]
    instances = [s.claim["instanceID"] for s in stores]
    assert len(set(labels)) == len(set(instances)) == 3
    for label in labels:  # urn:c2pa: and an upper-case UUID v4 (C2PA 2.2, 8.1)
        assert label.startswith("urn:c2pa:") and label[9:].upper() == label[9:] and label[9 + 14] == "4"


def test_the_uri_is_kept_beside_the_store(sample):
    uri = "https://example.com/manifests/quill.c2pa"
    for binding in ("boxes", "data"):
        signed = sign(sample, signer(), binding=binding, uri=uri)
        assert quillmark.read_manifest_uri_str(signed) == uri
        assert validated(signed).passed


# --- font.info -------------------------------------------------------------------------------------


@pytest.mark.parametrize("path", ["cff", SAMPLE, *REAL_FONT_PATHS], ids=lambda p: Path(p).stem)
def test_font_info_says_what_fonttools_reads(path, request):
    if path == "cff":  # the suite's CFF font, given the names font.info requires
        tt = TTFont(io.BytesIO(request.getfixturevalue("cff_font")))
        for name_id, text in [(0, "(c) Test"), (1, "Quill CFF"), (4, "Quill CFF Italic"), (6, "QuillCFF-Italic")]:
            tt["name"].setName(text, name_id, 3, 1, 0x409)
        tt["OS/2"].fsSelection |= 1
        out = io.BytesIO()
        tt.save(out)
        font = out.getvalue()
    elif not Path(path).exists():
        pytest.skip(f"{path} is not installed")
    else:
        font = Path(path).read_bytes()
    info = fontinfo.font_info(font)
    tt = TTFont(io.BytesIO(font))
    name = tt["name"]

    def english(name_id):
        record = name.getName(name_id, 3, 1, 0x409)
        return None if record is None else record.toUnicode().strip()

    assert info["fullName"] == english(4)
    assert info["familyName"] == (english(16) or english(1))
    assert info["postScriptName"] == english(6)
    assert info["copyrightNotice"] == english(0)
    assert info["weight"]["value"] == tt["OS/2"].usWeightClass
    assert info["format"] == ("OpenType" if tt.sfntVersion == "OTTO" else "TrueType")
    assert info["style"] == ("Italic" if tt["OS/2"].fsSelection & 1 else "Normal")
    assert info.get("identifier") == english(3)
    assert ("designers" in info) == bool(english(9))
    if "version" in info:
        assert fontinfo.SEMVER.fullmatch(info["version"]) and info["version"] in english(5)


@pytest.mark.parametrize(
    "text, version",
    [("Version 1.000", None), ("Version 2.3.1", "2.3.1"), ("Version 2.3.1;hotconv", "2.3.1"),
     ("1.0.0-beta.2+build.5", "1.0.0-beta.2+build.5"), ("Version 01.2.3", None), ("Version 2.37", None), ("", None)],
)  # fmt: skip
def test_the_version_is_semantic_versioning_or_left_out(text, version):
    assert fontinfo._semver(text) == version


@pytest.mark.parametrize("value, name", [(1, "Thin"), (100, "Thin"), (350, "SemiLight"), (400, "Regular"),
                                         (700, "Bold"), (900, "Black"), (1000, "ExtraBlack")])  # fmt: skip
def test_weight_classes(value, name):
    assert fontinfo.weight_class(value) == name


def test_a_font_without_a_required_name_is_signed_without_font_info(sample):
    tt = TTFont(io.BytesIO(sample))
    tt["name"].removeNames(nameID=0)
    out = io.BytesIO()
    tt.save(out)
    result = sign_font(out.getvalue(), signer())
    assert result.notes == ["no font.info: the font has no copyright notice (name ID 0) for font.info"]
    assert "font.info" not in Store(result.font).assertions


# --- definitions, derived fonts ------------------------------------------------------------------


def test_the_definition_adds_title_generator_and_assertions(sample):
    definition = ManifestDefinition.from_json(
        '{"title": "Quill Sample", "claim_generator_info": [{"name": "Acme Pipeline", "version": "3",'
        ' "operating_system": "Plan 9"}], "assertions": [{"label": "com.acme.release", "data": {"build": 412}}]}'
    )
    store = Store(sign(sample, signer(), definition=definition))
    assert store.claim["dc:title"] == "Quill Sample"
    assert store.claim["claim_generator_info"]["operating_system"] == "Plan 9"
    assert store.data("com.acme.release") == {"build": 412}
    assert store.data("c2pa.actions.v2")["actions"][0]["softwareAgent"] == {"name": "Acme Pipeline", "version": "3"}
    assert validated(sign(sample, signer(), definition=definition)).passed


@pytest.mark.parametrize(
    "text, message",
    [("[1]", "not a JSON object"), ("{", "not JSON"), ('{"titel": "x"}', "unknown field 'titel'"),
     ('{"assertions": [{"label": "c2pa.actions.v2", "data": {}}]}', "one quillmark writes itself"),
     ('{"assertions": [{"label": "c2pa.hash.data", "data": {}}]}', "one quillmark writes itself"),
     ('{"assertions": [{"label": "nodot", "data": {}}]}', "not a C2PA assertion label"),
     ('{"assertions": [{"label": "com.a.b", "data": {}}, {"label": "com.a.b", "data": {}}]}', "appears twice"),
     ('{"claim_generator_info": [{"version": "1"}]}', "'name' is not a non-empty string")],
)  # fmt: skip
def test_a_bad_definition_is_refused_with_one_line(text, message):
    with pytest.raises(DefinitionError, match=message) as caught:
        ManifestDefinition.from_json(text)
    assert "\n" not in str(caught.value)


def nested(depth: int) -> list:
    value: list = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize(
    "make, message",
    [(lambda: '{"assertions": [{"label": "com.a.b", "data": ' + "[" * 100_000 + "]" * 100_000 + "}]}",
      "nests too deep to read"),
     (lambda: {"assertions": [{"label": "com.a.b", "data": {"v": nested(64)}}]}, "nests more than 64 deep"),
     (lambda: {"assertions": [{"label": "com.a.b", "data": {"v": nested(200_000)}}]}, "nests more than 64 deep"),
     (lambda: {"assertions": [{"label": "x" * 10_000_000, "data": {}}]}, "not a C2PA assertion label"),
     (lambda: {"assertions": [{"label": "com.a." + "b" * 10_000_000, "data": 1}]}, "not a JSON object or array")],
    ids=["deep-json", "65-deep", "200000-deep", "huge-label", "huge-valid-label"],
)  # fmt: skip
def test_a_hostile_definition_is_refused_with_one_short_line(make, message):
    """Nesting past the validator's CBOR depth (cbor.MAX_DEPTH) is refused before it is encoded:
    the font would fail its own check, and the CBOR encoder recurses (200,000 levels crashed the
    interpreter); a label of megabytes is shown cut."""
    with pytest.raises(DefinitionError, match=message) as caught:
        ManifestDefinition.from_json(make())
    assert "\n" not in str(caught.value) and len(str(caught.value)) < 300


def test_a_font_of_too_many_tables_for_a_box_hash_is_refused_and_signs_by_data_hash(sample):
    """A box hash holds about eight CBOR items per table in some 57 bytes, denser than the
    validator's store budget of one item per 16 bytes (plus an allowance): past some 15,000
    tables a box-hash-signed font failed its own check."""
    from conftest import directory, make_font

    tables = [(tag, sample[offset : offset + length]) for tag, _, offset, length in directory(sample)]
    extra = [(b"z" + bytes([97 + i // 676 % 26, 97 + i // 26 % 26, 97 + i % 26]), bytes(4)) for i in range(17_000)]
    font = make_font(sorted(tables + extra))
    with pytest.raises(SigningError, match="17015 tables holds more CBOR items than validators read") as caught:
        sign(font, signer())
    assert "\n" not in str(caught.value)
    assert validated(sign(font, signer(), binding="data")).passed


def test_a_definition_at_the_validators_limits_signs_a_font_that_passes(sample):
    deepest = ManifestDefinition.from_json({"assertions": [{"label": "com.a.deep", "data": {"v": nested(63)}}]})
    assert validated(sign(sample, signer(), definition=deepest)).passed
    crowded = ManifestDefinition.from_json({"assertions": [{"label": "com.a.many", "data": [0] * 200_000}]})
    with pytest.raises(SigningError, match="more CBOR items than validators read") as caught:
        sign(sample, signer(), definition=crowded)
    assert "\n" not in str(caught.value)


def test_a_derived_font_keeps_its_parents_manifests_and_names_it(sample):
    parent = sign(sample, signer("ES256"))
    subset = sign(sample, signer("PS256"), parent=parent, actions=["font.subset"], binding="data")
    parent_store, store = Store(parent), Store(subset)
    # The parent's manifest copied byte for byte, ahead of the new one (C2PA 2.2, 18.15.11).
    assert [m["box"] for m in store.manifests[:-1]] == [m["box"] for m in parent_store.manifests]
    ingredient = store.data("c2pa.ingredient.v3")
    label = parent_store.active["label"]
    assert ingredient["relationship"] == "parentOf" and ingredient["dc:format"] == "font/ttf"
    assert ingredient["activeManifest"] == {"url": f"self#jumbf=/c2pa/{label}",
                                            "hash": hashlib.sha256(parent_store.active["box"][8:]).digest()}  # fmt: skip
    assert ingredient["claimSignature"]["hash"] == hashlib.sha256(parent_store.signature_box[8:]).digest()
    assert set(ingredient["validationResults"]) >= {"activeManifest"}
    opened, subsetted = store.data("c2pa.actions.v2")["actions"]
    assert opened["action"] == "c2pa.opened" and subsetted == {"action": "font.subset"}
    (reference,) = opened["parameters"]["ingredients"]
    assert reference["hash"] == hashlib.sha256(store.assertions["c2pa.ingredient.v3"]["box"][8:]).digest()
    # A grandchild keeps both.
    again = sign(subset, signer(), parent=subset)
    assert len(Store(again).manifests) == 3


def test_a_derived_font_passes_validation(sample):
    parent = sign(sample, signer("ES256"))
    subset = sign(sample, signer("PS256"), parent=parent, actions=["font.subset"], binding="data")
    again = sign(subset, signer(), parent=subset)
    for font in (subset, again):
        results = validated(font)
        assert results.passed, results.results.active_manifest.failure


def test_a_parent_store_with_a_box_that_is_no_superbox_is_copied_whole(sample):
    # A padding box beside the manifests: kept byte for byte (it once raised AttributeError).
    store = quillmark.read_manifest_store(sign(sample, signer()))
    free = struct.pack(">I4s", 24, b"free") + bytes(16)
    padded = struct.pack(">I", len(store) + len(free)) + store[4:] + free
    parent = quillmark.embed_manifest_store(sample, padded)
    child = sign(sample, signer(), parent=parent)
    assert quillmark.read_manifest_store(child).count(free) == 1
    assert validated(child).passed


def test_a_signed_font_is_signed_again_only_with_its_parent_or_force(sample):
    signed = sign(sample, signer())
    with pytest.raises(SigningError, match="already holds a C2PA Manifest Store"):
        sign(signed, signer())
    with pytest.raises(SigningError, match="already holds a remote manifest URI"):
        sign(quillmark.embed_remote(sample, "https://example.com/m.c2pa"), signer())
    # A parent that is not where the font's own manifest came from would drop it.
    other = sign(sample, signer())
    with pytest.raises(SigningError, match="is not in the parent's store and would be lost"):
        sign(signed, signer(), parent=other)
    assert len(Store(sign(signed, signer(), parent=signed)).manifests) == 2
    forced = Store(sign(signed, signer(), force=True))
    assert len(forced.manifests) == 1 and "c2pa.ingredient.v3" not in forced.assertions
    # A reservation of zeros is no provenance: signing goes ahead.
    sign(quillmark.reserve_manifest_placeholder(sample, 100), signer())


@pytest.mark.parametrize("action", ["c2pa.created", "c2pa.opened", "subset", "font.sub set"])
def test_only_further_actions_may_be_named(action, sample):
    with pytest.raises(SigningError, match="not an action to add"):
        sign(sample, signer(), actions=[action])


# --- refusals --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, message",
    [("expired", "expired"), ("not_yet_valid", "not valid before|not yet valid"), ("ca", "CA certificate"),
     ("wrong_eku", "EKU"), ("no_eku", "no extended key usage"), ("no_digital_signature", "digitalSignature")],
)  # fmt: skip
def test_a_certificate_a_validator_rejects_is_refused_before_signing(kind, message, sample):
    key, chain = pki.bad(kind)
    bad = PemSigner(pki.key_pem(key), pki.chain_pem(chain))
    with pytest.raises(SignerError, match=message) as caught:
        sign(sample, bad)
    assert str(caught.value).startswith("the signing certificate is refused: ") and "\n" not in str(caught.value)


def test_a_key_that_does_not_match_the_certificate_is_refused():
    key, _ = pki.leaf("ES384")
    _, chain = pki.leaf("ES256")
    with pytest.raises(SignerError, match="the key does not match the certificate"):
        PemSigner(pki.key_pem(key), pki.chain_pem(chain))


@pytest.mark.parametrize(
    "alg, message", [("PS256", "needs an RSA key"), ("Ed25519", "needs an Ed25519 key"), ("RS256", "not a C2PA")]
)
def test_an_algorithm_the_key_cannot_make_is_refused(alg, message):
    key, chain = pki.leaf("ES256")
    with pytest.raises(SignerError, match=message):
        PemSigner(pki.key_pem(key), pki.chain_pem(chain), alg=alg)


def test_an_encrypted_key_needs_its_passphrase():
    key, chain = pki.leaf("ES256")
    pem = pki.key_pem(key, password=b"s3cret")
    assert PemSigner(pem, pki.chain_pem(chain), passphrase=b"s3cret").alg == "ES256"
    with pytest.raises(SignerError, match="the key is encrypted: give its passphrase"):
        PemSigner(pem, pki.chain_pem(chain))
    with pytest.raises(SignerError, match="does not decrypt"):
        PemSigner(pem, pki.chain_pem(chain), passphrase=b"wrong")


@pytest.mark.parametrize("mode", ["down", "garbage", "http500", "rejection", "wrong-imprint"])
@pytest.mark.parametrize("binding", ["boxes", "data"])
def test_a_failing_time_stamp_authority_stops_signing(mode, binding, sample):
    with pytest.raises(SigningError, match="time-stamp authority") as caught:
        sign(sample, signer(), binding=binding, tsa_url=tsa.url(mode))
    assert "\n" not in str(caught.value)


# --- command signers -------------------------------------------------------------------------------

SIGNER_SCRIPT = """
import sys
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
key = serialization.load_pem_private_key(open(sys.argv[1], "rb").read(), None)
data = sys.stdin.buffer.read()
sys.stdout.buffer.write(key.sign(data, ec.ECDSA(hashes.SHA256())))  # DER, as KMS tools print it
"""


@pytest.fixture(scope="module")
def command_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("command")
    key, chain = pki.leaf("ES256")
    pki.write_key(folder, key)
    other, _ = pki.leaf("ES384")
    pki.write_key(folder, ec.generate_private_key(ec.SECP256R1()), "other.pem")
    (folder / "sign.py").write_text(SIGNER_SCRIPT)
    return folder, pki.chain_pem(chain)


def test_a_signer_command_signs_with_a_der_ecdsa_signature(command_files, sample):
    folder, chain = command_files
    command = CommandSigner([sys.executable, str(folder / "sign.py"), str(folder / "key.pem")], chain)
    signed = sign(sample, command, binding="data")
    verify_cose(Store(signed), "ES256")
    assert validated(signed).passed


@pytest.mark.parametrize(
    "argv, message",
    [(["-c", "import sys; sys.stderr.write('HSM locked\\nmore'); sys.exit(3)"], "failed \\(exit status 3\\): HSM locked$"),
     (["-c", "pass"], "printed no signature"),
     (["-c", "print('x' * 10)"], "neither raw r\\|\\|s"),
     (["OTHER"], "does not verify with the certificate's public key")],
)  # fmt: skip
def test_a_signer_command_that_fails_is_one_line(argv, message, command_files, sample):
    folder, chain = command_files
    if argv == ["OTHER"]:
        argv = [str(folder / "sign.py"), str(folder / "other.pem")]
    with pytest.raises(SignerError, match=message) as caught:
        sign(sample, CommandSigner([sys.executable, *argv], chain))
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_a_signer_command_that_prints_megabytes_costs_no_megabytes(stream, command_files, sample):
    """A signature is at most a few kilobytes: a command that prints megabytes (or without end)
    is stopped, its output never held whole; its standard error is kept to the line shown."""
    import tracemalloc

    _, chain = command_files
    exit_status = "0" if stream == "stdout" else "1"
    flood = CommandSigner(
        [sys.executable, "-c", f"import sys; sys.{stream}.buffer.write(b'x' * (8 << 20)); sys.exit({exit_status})"],
        chain,
    )
    tracemalloc.start()
    try:
        with pytest.raises(SignerError) as caught:
            flood.sign(b"to be signed")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20, peak
    message = str(caught.value)
    assert len(message) < 400 and "\n" not in message
    if stream == "stdout":
        assert "printed more than 16384 bytes" in message


def test_a_signer_command_that_hangs_times_out(command_files, sample):
    _, chain = command_files
    slow = CommandSigner([sys.executable, "-c", "import time; time.sleep(30)"], chain, timeout=0.5)
    with pytest.raises(SignerError, match="did not answer within 0.5 s"):
        sign(sample, slow)


# --- sizing ------------------------------------------------------------------------------------------


def test_padding_reaches_every_size_with_two_pads_and_most_with_one():
    """C2PA 2.2, 10.4.4: a byte string's head grows by a byte at 24 and 256, so one pad misses a
    few sizes; with pad2 every size from the unpadded one up is reached exactly."""
    value = {"alg": "sha256", "hash": bytes(32)}
    base = len(cbor2.dumps({**value, "pad": b""}, canonical=True))
    missed = []
    for size in range(base, base + 300):
        assert len(cbor2.dumps(builder.fit_pad(value, size), canonical=True)) == size
        try:
            assert len(cbor2.dumps(builder.fit_pad(value, size, second=None), canonical=True)) == size
        except ValueError:
            missed.append(size - base)
    assert missed == [24, 257]
    with pytest.raises(ValueError):
        builder.fit_pad(value, base - 1)


def test_check_signer_passes_a_sound_signer():
    check_signer(signer("PS512"))
    check_signer(signer(), pki.NOW + timedelta(days=30))


@pytest.mark.parametrize("learnt", [-40, 0, 60, "tiny"])
def test_a_token_of_another_size_than_the_first_is_absorbed_by_the_pad(learnt, sample, monkeypatch):
    """The room kept for a data-hash store's time-stamp comes from the TSA's first token; a later
    token a little larger or smaller is absorbed exactly by the unprotected pad, and one far
    larger is refused before anything is written (a second reservation is never made)."""
    from quillmark_c2pa import signing

    sign(sample, signer(), binding="data", tsa_url=tsa.url())  # learn the TSA's size
    key = (tsa.url(), "256")
    monkeypatch.setitem(signing._TOKEN_SIZES, key, 1 if learnt == "tiny" else signing._TOKEN_SIZES[key] + learnt)
    if learnt == "tiny":
        with pytest.raises(SigningError, match="token is much larger than its first one"):
            sign(sample, signer(), binding="data", tsa_url=tsa.url())
        return
    signed = sign(sample, signer(), binding="data", tsa_url=tsa.url())
    store = Store(signed)
    assert struct.unpack(">I", store.raw[:4])[0] == len(store.raw)
    assert validated(signed).passed
