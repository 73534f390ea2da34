"""Every example in the README runs as written: the Python blocks, and the shell blocks that use
the command-line tool, each in a folder holding the files the README names."""

from __future__ import annotations

import io
import os
import re
import subprocess
import sysconfig
from pathlib import Path

import pytest

from conftest import sign_boxes, sign_data

README = (Path(__file__).parent.parent / "README.md").read_text()
BLOCKS = re.findall(r"^```(python|sh)\n(.*?)^```", README, re.M | re.S)
EXAMPLES = [(kind, code) for kind, code in BLOCKS if kind == "python" or code.startswith("quillmark ")]


@pytest.fixture
def readme_folder(tmp_path, truetype_font, cff_font, monkeypatch):
    """MyFont.ttf, its WOFF and WOFF2 forms, a collection, a manifest, a folder of fonts and a
    folder of signed fonts."""
    from fontTools.ttLib import TTCollection, TTFont

    (tmp_path / "MyFont.ttf").write_bytes(truetype_font)
    for flavor in ("woff", "woff2"):
        font = TTFont(io.BytesIO(truetype_font))
        font.flavor = flavor
        font.save(tmp_path / f"MyFont.{flavor}")
    collection = TTCollection()
    collection.fonts = [TTFont(io.BytesIO(truetype_font)), TTFont(io.BytesIO(cff_font))]
    collection.save(tmp_path / "Family.ttc")
    (tmp_path / "manifest.c2pa").write_bytes(os.urandom(16384))
    (tmp_path / "fonts").mkdir()
    (tmp_path / "fonts/A.ttf").write_bytes(truetype_font)
    (tmp_path / "fonts/B.otf").write_bytes(cff_font)
    (tmp_path / "fonts/C.ttf").write_bytes(truetype_font)
    (tmp_path / "signed").mkdir()
    (tmp_path / "release").mkdir()
    (tmp_path / "release/A.ttf").write_bytes(sign_data(truetype_font))
    (tmp_path / "release/B.otf").write_bytes(sign_boxes(cff_font))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_readme_has_its_examples():
    kinds = [kind for kind, _ in EXAMPLES]
    assert kinds.count("python") >= 4 and kinds.count("sh") >= 1
    quick_start = "pip install '.[example]' && python examples/sign_font.py && quillmark check QuillSample-Regular-signed.ttf"
    assert quick_start in README
    assert "pip install '.[test]' && python -m pytest" in README


@pytest.mark.parametrize("kind, code", EXAMPLES, ids=[f"{kind}{i}" for i, (kind, _) in enumerate(EXAMPLES)])
def test_readme_example_runs(readme_folder, kind, code):
    if kind == "python":
        exec(compile(code, "README.md", "exec"), {"__name__": "__main__"})
        return
    scripts = sysconfig.get_path("scripts")
    env = dict(os.environ, PATH=scripts + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-e", "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
