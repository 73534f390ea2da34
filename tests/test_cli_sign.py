"""`quillmark sign` as a foundry runs it: folders, --json, refusals that write nothing, keys that
live elsewhere, derived fonts."""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

import cbor2
import pytest

import pki
import quillmark
import quillmark_cli
import tsa
from conftest import real_fonts

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fonts" / "QuillSample-Regular.ttf"


@pytest.fixture(scope="module")
def creds(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("credentials")
    for alg in ("ES256", "PS256"):
        key, chain = pki.leaf(alg)
        pki.write_key(folder, key, f"{alg}.key")
        pki.write_chain(folder, chain, f"{alg}.pem")
    for kind in ("expired", "ca"):
        key, chain = pki.bad(kind)
        pki.write_key(folder, key, f"{kind}.key")
        pki.write_chain(folder, chain, f"{kind}.pem")
    key, _ = pki.leaf("ES256")
    pki.write_key(folder, key, "encrypted.key", password=b"open sesame")
    pki.write_chain(folder, pki.root(), "root.pem")
    return folder


@pytest.fixture
def quillmark_sign(monkeypatch, capsys, creds):
    """Runs `quillmark sign ARGS --cert ... ` in this process; returns (status, stdout, stderr)."""

    def run(*args, cwd: Path, alg: str = "ES256", key: bool = True):
        monkeypatch.chdir(cwd)
        argv = ["sign", *map(str, args), "--cert", str(creds / f"{alg}.pem")]
        if key:
            argv += ["--key", str(creds / f"{alg}.key")]
        try:
            status = quillmark_cli.main(argv)
        except SystemExit as e:
            status = e.code
        out, err = capsys.readouterr()
        assert "Traceback" not in err
        return status, out, err

    return run


def store_of(font: bytes):
    """(manifest labels, instanceID) of a signed font's store, read apart from quillmark's reader:
    the claim found by its label in the bytes."""
    store = quillmark.read_manifest_store(font)
    at = store.rindex(b"c2pa.claim.v2\0") + len(b"c2pa.claim.v2\0")
    length = int.from_bytes(store[at : at + 4], "big")
    claim = cbor2.loads(store[at + 8 : at + length])
    return claim["instanceID"]


def validated(font: bytes):
    validate = pytest.importorskip("quillmark_c2pa.validation")
    from quillmark_c2pa.trust import TrustSettings

    return validate.validate(font, trust=TrustSettings(anchors=[pki.root()], tsa_anchors=[pki.tsa_root()], bundled=False))


def test_a_folder_signs_in_one_command_each_font_its_own_manifest(quillmark_sign, tmp_path, cff_font):
    fonts = tmp_path / "fonts"
    (fonts / "sub").mkdir(parents=True)
    shutil.copy(SAMPLE, fonts / "a.ttf")
    shutil.copy(SAMPLE, fonts / "sub" / "b.ttf")
    (fonts / "c.otf").write_bytes(cff_font)
    for path in real_fonts():
        shutil.copy(path, fonts / path.name)
    status, out, err = quillmark_sign(fonts, "-o", "signed", "--json", "-j", "2", "--binding", "data", cwd=tmp_path)
    assert status == 0, err
    lines = [json.loads(line) for line in out.splitlines()]
    assert {Path(line["path"]).name for line in lines} >= {"a.ttf", "b.ttf", "c.otf"}
    assert all(line["binding"] == "c2pa.hash.data" for line in lines)
    labels = [line["manifest"] for line in lines]
    instances = []
    for line in lines:
        signed = (tmp_path / line["path"]).read_bytes()
        assert len(quillmark.read_manifest_store(signed)) == line["store_size"]
        assert line["manifest"].encode() in quillmark.read_manifest_store(signed)
        instances.append(store_of(signed))
        assert validated(signed).passed
    assert len(set(labels)) == len(set(instances)) == len(lines) == len(set(fonts.rglob("*.[ot]tf")))
    assert (tmp_path / "signed" / "sub" / "b.ttf").exists()
    # The cff font lacks the names font.info requires: signed, with a note saying so.
    assert "c.otf: no font.info: the font has no full name (name ID 4)" in err


def test_in_place_and_a_time_stamp(quillmark_sign, tmp_path):
    font = tmp_path / "f.ttf"
    shutil.copy(SAMPLE, font)
    status, _, err = quillmark_sign(font, "--in-place", "--tsa-url", tsa.url(), "--alg", "PS384", alg="PS256",
                                    cwd=tmp_path)  # fmt: skip
    assert status == 0, err
    results = validated(font.read_bytes())
    assert results.passed and "timeStamp.trusted" in {e.code for e in results.results.active_manifest.success}


def test_a_derived_font_needs_parent_or_force(quillmark_sign, tmp_path):
    assert quillmark_sign(SAMPLE, "-o", "parent.ttf", cwd=tmp_path)[0] == 0
    status, _, err = quillmark_sign("parent.ttf", "-o", "again.ttf", cwd=tmp_path)
    assert status == 1 and "already holds a C2PA Manifest Store" in err and err.count("\n") == 1
    assert not (tmp_path / "again.ttf").exists()
    status, _, err = quillmark_sign("parent.ttf", "-o", "subset.ttf", "--parent", "parent.ttf",
                                    "--action", "font.subset", cwd=tmp_path)  # fmt: skip
    assert status == 0, err
    assert quillmark.read_manifest_store((tmp_path / "subset.ttf").read_bytes()).count(b"urn:c2pa:") >= 2
    assert quillmark_sign("parent.ttf", "-o", "forced.ttf", "--force", cwd=tmp_path)[0] == 0


def test_a_font_holding_only_a_remote_uri_is_replaced_with_force_not_kept_as_parent(quillmark_sign, tmp_path):
    """A remote manifest is never fetched, so giving the font as its own parent cannot keep it:
    the refusal says force is the way (it said to give it as the parent, which then failed)."""
    (tmp_path / "remote.ttf").write_bytes(quillmark.embed_remote(SAMPLE.read_bytes(), "https://example.com/m.c2pa"))
    status, _, err = quillmark_sign("remote.ttf", "-o", "out.ttf", cwd=tmp_path)
    assert status == 1 and err.count("\n") == 1
    assert "cannot be kept as the parent: force to replace it" in err and "give it as the parent" not in err
    assert quillmark_sign("remote.ttf", "-o", "out.ttf", "--force", cwd=tmp_path)[0] == 0


@pytest.mark.parametrize("anchors, tampered, words", [
    (True, False, None),
    (False, False, "the parent fails validation (signingCredential.untrusted)"),
    (True, True, "the parent fails validation (assertion.boxesHash.mismatch)"),
])  # fmt: skip
def test_a_parent_that_fails_validation_is_said_so(quillmark_sign, creds, tmp_path, anchors, tampered, words):
    """A parent's failures are recorded in the ingredient (C2PA 2.2, 15.11), so check of the derived
    font, which finds the record matching, says nothing of them: sign says it, once, as it signs."""
    assert quillmark_sign(SAMPLE, "-o", "parent.ttf", cwd=tmp_path)[0] == 0
    if tampered:
        font = bytearray((tmp_path / "parent.ttf").read_bytes())
        glyf = font.find(b"glyf")
        offset = int.from_bytes(font[glyf + 8 : glyf + 12], "big")
        font[offset + 20] ^= 0xFF
        (tmp_path / "parent.ttf").write_bytes(bytes(font))
    trust = ["--trust-anchors", creds / "root.pem"] if anchors else []
    status, _, err = quillmark_sign(SAMPLE, "-o", "child.ttf", "--parent", "parent.ttf", *trust, cwd=tmp_path)
    assert status == 0, err
    if words is None:
        assert err == ""
    else:
        assert err.count("\n") == 1 and words in err and err.startswith("quillmark: ")


@pytest.mark.parametrize(
    "case, message",
    [
        ("mismatch", "the key does not match the certificate"),
        ("expired", "the signing certificate is refused: the certificate expired"),
        ("ca", "the signing certificate is refused: a CA certificate cannot sign claims"),
        ("tsa-down", "time-stamp authority http://127.0.0.1:"),
        ("tsa-garbage", "is not an RFC 3161 time-stamp response"),
        ("command-fails", "failed (exit status 4): no such key"),
        ("command-silent", "printed no signature"),
        ("encrypted", "the key is encrypted: give its passphrase with --passphrase-env"),
        ("wrong-passphrase", "the passphrase does not decrypt the key"),
        ("unset-passphrase", "the environment variable QM_NO_SUCH_VAR is not set"),
        ("bad-definition", "unknown field 'titel'"),
    ],
)
def test_refusals_are_one_line_status_1_and_no_output(case, message, quillmark_sign, creds, tmp_path, monkeypatch):
    args: list = [SAMPLE, "-o", "out.ttf"]
    alg, key = "ES256", True
    if case == "mismatch":
        args += ["--key", creds / "PS256.key"]
        key = False
    elif case in ("expired", "ca"):
        alg = case
    elif case.startswith("tsa-"):
        args += ["--tsa-url", tsa.url(case[4:])]
    elif case.startswith("command-"):
        script = "import sys; sys.stderr.write('no such key\\n'); sys.exit(4)" if case == "command-fails" else "pass"
        args += ["--signer-command", f"{sys.executable} -c \"{script}\""]
        key = False
    elif case in ("encrypted", "wrong-passphrase", "unset-passphrase"):
        args += ["--key", creds / "encrypted.key"]
        key = False
        monkeypatch.setenv("QM_PASSPHRASE", "wrong")
        if case == "wrong-passphrase":
            args += ["--passphrase-env", "QM_PASSPHRASE"]
        elif case == "unset-passphrase":
            args += ["--passphrase-env", "QM_NO_SUCH_VAR"]
    elif case == "bad-definition":
        (tmp_path / "def.json").write_text('{"titel": "x"}')
        args += ["--manifest", "def.json"]
    status, out, err = quillmark_sign(*args, alg=alg, key=key, cwd=tmp_path)
    assert status == 1 and out == ""
    assert message in err and err.count("\n") == 1, err
    assert not (tmp_path / "out.ttf").exists()


def test_an_encrypted_key_and_a_definition(quillmark_sign, creds, tmp_path, monkeypatch):
    monkeypatch.setenv("QM_PASSPHRASE", "open sesame")
    (tmp_path / "def.json").write_text(json.dumps({
        "title": "Quill", "assertions": [{"label": "com.example.release", "data": {"build": 7}}]}))
    status, _, err = quillmark_sign(SAMPLE, "-o", "out.ttf", "--key", creds / "encrypted.key", "--passphrase-env",
                                    "QM_PASSPHRASE", "--manifest", "def.json", key=False, cwd=tmp_path)  # fmt: skip
    assert status == 0, err
    store = quillmark.read_manifest_store((tmp_path / "out.ttf").read_bytes())
    assert b"com.example.release" in store and cbor2.dumps("Quill") in store
    assert validated((tmp_path / "out.ttf").read_bytes()).passed


def test_a_signer_command(quillmark_sign, creds, tmp_path):
    script = tmp_path / "kms.py"
    script.write_text(
        "import sys\nfrom cryptography.hazmat.primitives import hashes, serialization\n"
        "from cryptography.hazmat.primitives.asymmetric import padding\n"
        f"key = serialization.load_pem_private_key(open({str(creds / 'PS256.key')!r}, 'rb').read(), None)\n"
        "h = hashes.SHA512()\n"
        "sys.stdout.buffer.write(key.sign(sys.stdin.buffer.read(), padding.PSS(padding.MGF1(h), h.digest_size), h))\n"
    )
    status, _, err = quillmark_sign(SAMPLE, "-o", "out.ttf", "--signer-command", f"{sys.executable} {script}",
                                    "--alg", "PS512", alg="PS256", key=False, cwd=tmp_path)  # fmt: skip
    assert status == 0, err
    assert validated((tmp_path / "out.ttf").read_bytes()).passed
