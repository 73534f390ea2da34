"""examples/sign_font.py run as a newcomer runs it: a subprocess, judged by its output and files."""

import hashlib
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillmark
from conftest import real_fonts

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "sign_font.py"
SAMPLE = SCRIPT.parent / "fonts" / "QuillSample-Regular.ttf"
URI = "https://example.com/manifests/quill-sample.c2pa"


def run(*args, cwd: Path) -> subprocess.CompletedProcess:
    command = [sys.executable, str(SCRIPT), *map(str, args)]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)


def digest_outside(font: bytes, ranges) -> str:
    kept, position = bytearray(), 0
    for start, length in ranges:
        kept += font[position:start]
        position = start + length
    return hashlib.sha256(bytes(kept + font[position:])).hexdigest()


@pytest.mark.parametrize("case", ["sample", "sample-uri", "real", "cff"])
def test_signs_end_to_end(case, tmp_path, request):
    uri, args = None, []
    if case == "real":
        if not real_fonts():
            pytest.skip("no real font installed")
        source, out = real_fonts()[0], tmp_path / "signed.ttf"
        args = [source, "-o", out]
    elif case == "cff":
        # The default output keeps the input's suffix, and a name with a space survives.
        source = tmp_path / "Quill Test.otf"
        source.write_bytes(request.getfixturevalue("cff_font"))
        out, args = tmp_path / "Quill Test-signed.otf", [source]
    else:
        source, out = SAMPLE, tmp_path / "QuillSample-Regular-signed.ttf"
        if case == "sample-uri":
            uri, args = URI, ["--uri", URI]
    original = source.read_bytes()

    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = result.stdout
    assert "DEMONSTRATION" in report
    assert f"font       {source}, {len(original)} bytes" in report
    assert "verified   yes" in report and "compliant  yes" in report
    assert f"uri        {uri or 'none'}" in report
    signed = out.read_bytes()
    assert f"wrote      {out.resolve()}, {len(signed)} bytes" in report
    assert source.read_bytes() == original

    # The written font, judged by the module and an independent hash, not by the script's word.
    ranges = quillmark.data_hash_ranges(signed)
    digest = digest_outside(signed, ranges)
    assert " ".join(f"({s}, {n})" for s, n in ranges) in report
    assert f"sha256 {digest}" in report
    store = quillmark.read_manifest_store(signed)
    size = int(re.search(r"manifest +(\d+) of 2048 reserved bytes", report)[1])
    assert len(store) == 2048 and store[size:] == bytes(2048 - size)
    claim = json.loads(store[:size])["claim"]
    assert claim["assertions"][0]["data"]["hash"] == digest
    assert quillmark.read_manifest_uri_str(signed) == uri
    assert quillmark.is_compliant(signed)


@pytest.mark.parametrize(
    "case, message",
    [
        ("not-a-font", "error: not a supported SFNT (TrueType/OpenType) font"),
        ("reserve-too-small", "error: invalid C2PA table: signed manifest is "),
        ("missing", "No such file"),
        ("output-is-input", "error: refusing to overwrite the input font"),
    ],
)
def test_failure_exits_nonzero_and_writes_nothing(case, message, tmp_path):
    font = tmp_path / "input.ttf"
    font.write_bytes(b"not a font\n" * 20 if case == "not-a-font" else SAMPLE.read_bytes())
    args = [font]
    if case == "reserve-too-small":
        args += ["--reserve", "16"]
    elif case == "missing":
        font.unlink()
    elif case == "output-is-input":
        args += ["-o", "./input.ttf"]  # the same file under another spelling
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert message in result.stderr and result.stderr.count("\n") == 1
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
