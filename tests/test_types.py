"""The installed type information: what mypy --strict makes of code that uses quillmark, and
whether the stubs say what the module does."""

from __future__ import annotations

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillmark

STUB = Path(quillmark.__file__).parent / "quillmark-stubs" / "__init__.pyi"

GOOD = """\
from __future__ import annotations  # the X | None below, on Python 3.9 too
from collections.abc import Sequence
import quillmark

def sign(font: bytes, manifest: bytes, uri: str | None) -> tuple[bytes, list[tuple[int, int]]]:
    reserved = quillmark.reserve_manifest_placeholder(font, 1024, uri)
    ranges: list[tuple[int, int]] = quillmark.data_hash_ranges(font=reserved)
    return quillmark.fill_manifest_store(signed_manifest=manifest, reserved_font=reserved), ranges

def inspect(font: bytes) -> tuple[bool, str | None, bytes]:
    return quillmark.is_compliant(font), quillmark.read_manifest_uri_str(font), quillmark.read_manifest_store(font)

def boxes(font: bytes) -> dict[str, bytes]:
    return dict(quillmark.box_hashes(font) + quillmark.box_hashes(font, alg="sha512"))

def sums(font: bytes) -> list[int]:
    return quillmark.table_checksums(font=font)

def rewrite(font: bytes, store: Sequence[int]) -> list[bytes]:
    return [quillmark.embed_manifest_store(font, store), quillmark.embed_manifest_store(font, bytearray(store)),
            quillmark.embed_remote(font, uri="u"), quillmark.remove_manifest_table(font),
            quillmark.reserve_manifest_placeholder(font, 1)]
"""

# Each line marked "error" is a call that fails at run time, and mypy must say so.
BAD = """\
import quillmark
quillmark.read_manifest_store(bytearray(b"font"))  # error
quillmark.embed_remote(b"font", None)  # error
quillmark.embed_manifest_store(b"font", "store")  # error
quillmark.reserve_manifest_placeholder(b"font", "1")  # error
quillmark.is_compliant(fnt=b"font")  # error
uri: str = quillmark.read_manifest_uri_str(b"font")  # error
ranges: list[list[int]] = quillmark.data_hash_ranges(b"font")  # error
quillmark.box_hashes(b"font", 256)  # error
names: list[str] = quillmark.box_hashes(b"font")  # error
total: int = quillmark.table_checksums(b"font")  # error
quillmark.table_checksums(bytearray(b"font"))  # error
"""


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mypy")

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        command = [sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--cache-dir", str(folder / "cache")]
        return subprocess.run([*command, *args], cwd=folder, capture_output=True, text=True)

    return run, folder


def test_strict_mypy_accepts_every_function(mypy):
    run, folder = mypy
    (folder / "good.py").write_text(GOOD)
    done = run("good.py")
    assert done.returncode == 0, done.stdout


def test_strict_mypy_catches_wrong_calls(mypy):
    run, folder = mypy
    (folder / "bad.py").write_text(BAD)
    done = run("bad.py")
    flagged = {int(n) for n in re.findall(r"^bad\.py:(\d+): error:", done.stdout, re.M)}
    expected = {i for i, line in enumerate(BAD.splitlines(), 1) if line.endswith("# error")}
    assert flagged == expected, done.stdout


def test_command_line_tool_type_checks(mypy):
    import quillmark_cli

    run, _ = mypy
    done = run("-p", "quillmark_cli")
    assert done.returncode == 0, done.stdout


ENGINE_USER = """\
from pathlib import Path
from quillmark_c2pa import PemSigner, TrustSettings, sign, validate  # typed, though imported lazily

def release(font: bytes, signer: PemSigner) -> bool:
    trust = TrustSettings(anchors="ca.pem", tsa_anchors=Path("tsa.pem"), bundled=False)  # paths or certificates
    return validate(sign(font, signer), trust=trust).passed
"""


def test_engine_type_checks(mypy):
    import quillmark_c2pa

    run, folder = mypy
    done = run("-p", "quillmark_c2pa")
    assert done.returncode == 0, done.stdout
    (folder / "engine_user.py").write_text(ENGINE_USER)
    done = run("engine_user.py")
    assert done.returncode == 0, done.stdout


def test_stubs_match_the_module(mypy):
    _, folder = mypy  # away from the source tree and its caches
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quillmark"],
                          cwd=folder, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout  # names, parameters and defaults
    stub = ast.parse(STUB.read_text())
    docs = {node.name: ast.get_docstring(node) for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert docs == {name: getattr(quillmark, name).__doc__ for name in quillmark.__all__}
