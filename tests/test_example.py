"""examples/sign_font.py run as a newcomer runs it (the README's Quick start): a subprocess in an
empty folder, judged by its output and files, and its signed font judged by the validator with
the example's own CA as the trust anchor, as `quillmark check --trust-anchors` judges it."""

from __future__ import annotations

import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from cryptography import x509

import quillmark
from conftest import real_fonts
from messages import NOT_SFNT

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "sign_font.py"
SAMPLE = SCRIPT.parent / "fonts" / "QuillSample-Regular.ttf"
TOOL = str(Path(sysconfig.get_path("scripts")) / "quillmark")
URI = "https://example.com/manifests/quill-sample.c2pa"


def run(*args, cwd: Path) -> subprocess.CompletedProcess:
    command = [sys.executable, str(SCRIPT), *map(str, args)]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)


def passes_with_the_example_ca(font: bytes, folder: Path) -> None:
    validate = pytest.importorskip("quillmark_c2pa.validation")
    from quillmark_c2pa.trust import TrustSettings

    anchors = x509.load_pem_x509_certificates((folder / "example-credentials" / "ca.pem").read_bytes())
    result = validate.validate(font, trust=TrustSettings(anchors=anchors))
    assert result.passed, result.results.active_manifest.failure
    codes = {entry.code for entry in result.results.active_manifest.success}
    assert {"claimSignature.validated", "signingCredential.trusted"} <= codes


@pytest.fixture(scope="module")
def quick_start(tmp_path_factory) -> tuple[Path, subprocess.CompletedProcess]:
    folder = tmp_path_factory.mktemp("quick-start")
    return folder, run(cwd=folder)


def test_the_quick_start_signs_the_sample_for_real(quick_start):
    folder, result = quick_start
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = folder / "QuillSample-Regular-signed.ttf"
    signed = out.read_bytes()
    assert "FOR TRYING QUILLMARK ONLY" in result.stdout
    assert f"wrote        {out.name}, {len(signed)} bytes" in result.stdout
    assert "quillmark check --trust-anchors example-credentials/ca.pem QuillSample-Regular-signed.ttf" in result.stdout
    credentials = sorted(p.name for p in (folder / "example-credentials").iterdir())
    assert credentials == ["README.txt", "ca.pem", "signer-chain.pem", "signer-key.pem"]
    assert "FOR TRYING QUILLMARK ONLY" in (folder / "example-credentials" / "README.txt").read_text()
    ca = x509.load_pem_x509_certificate((folder / "example-credentials" / "ca.pem").read_bytes())
    assert "FOR TRYING QUILLMARK ONLY" in ca.subject.rfc4514_string()
    passes_with_the_example_ca(signed, folder)


def test_the_quick_starts_check_reports_no_failure(quick_start):
    folder, _ = quick_start
    done = subprocess.run([TOOL, "check", "--help"], capture_output=True, text=True)
    if "--trust-anchors" not in done.stdout:
        pytest.skip("quillmark check takes no --trust-anchors yet")
    done = subprocess.run([TOOL, "check", "--trust-anchors", "example-credentials/ca.pem",
                           "QuillSample-Regular-signed.ttf"], cwd=folder, capture_output=True, text=True)  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("binding", ["data", "boxes"])
@pytest.mark.parametrize("case", ["uri", "real", "cff"])
def test_signs_end_to_end(case, binding, tmp_path, cff_font):
    args, uri = ["--binding", binding], None
    if case == "real":
        if not real_fonts():
            pytest.skip("no real font installed")
        source, out = real_fonts()[0], tmp_path / "signed.ttf"
        args += [source, "-o", out]
    elif case == "cff":  # the default output keeps the suffix, and a name with a space survives
        source = tmp_path / "Quill Test.otf"
        source.write_bytes(cff_font)
        out = tmp_path / "Quill Test-signed.otf"
        args += [source]
    else:
        source, out, uri = SAMPLE, tmp_path / "QuillSample-Regular-signed.ttf", URI
        args += ["--uri", URI]
    original = source.read_bytes()
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert f"signed       ES256, c2pa.hash.{binding}" in result.stdout
    assert source.read_bytes() == original
    signed = out.read_bytes()
    assert quillmark.read_manifest_uri_str(signed) == uri
    passes_with_the_example_ca(signed, tmp_path)


def test_credentials_are_made_once_and_kept(tmp_path):
    assert run("-o", "one.ttf", cwd=tmp_path).returncode == 0
    ca = (tmp_path / "example-credentials" / "ca.pem").read_bytes()
    second = run("-o", "two.ttf", cwd=tmp_path)
    assert second.returncode == 0 and "made by an earlier run" in second.stdout
    assert (tmp_path / "example-credentials" / "ca.pem").read_bytes() == ca
    passes_with_the_example_ca((tmp_path / "one.ttf").read_bytes(), tmp_path)


@pytest.mark.parametrize(
    "case, message",
    [("not-a-font", "error: "), ("missing", "No such file"), ("output-is-input", "error: refusing to overwrite")],
)
def test_failure_exits_nonzero_and_writes_no_font(case, message, tmp_path):
    font = tmp_path / "input.ttf"
    font.write_bytes(b"not a font\n" * 20 if case == "not-a-font" else SAMPLE.read_bytes())
    args = [font]
    if case == "missing":
        font.unlink()
    elif case == "output-is-input":
        args += ["-o", "./input.ttf"]  # the same file under another spelling
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert message in result.stderr and result.stderr.count("\n") == 1
    assert sorted(p.name for p in tmp_path.glob("*.ttf")) == ([] if case == "missing" else ["input.ttf"])
    if case == "not-a-font":
        assert NOT_SFNT in result.stderr or "not a" in result.stderr
