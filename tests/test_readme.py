"""Every example in the README runs as written: the Python blocks, and the shell blocks that use
the command-line tool, each in a folder holding the files the README names."""

from __future__ import annotations

import importlib.util
import io
import os
import re
import shlex
import subprocess
import sysconfig
from importlib.metadata import metadata
from pathlib import Path

import pytest

import messages as M
import quillmark_cli
from conftest import sign_boxes, sign_data

ROOT = Path(__file__).parent.parent
README = (ROOT / "README.md").read_text()
QUILLMARK_COMMANDS = set(quillmark_cli.build_parser()._subparsers._group_actions[0].choices)  # type: ignore[union-attr]
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


def test_every_block_is_run_or_its_commands_exist():
    """No block escapes the run below unseen: every fence is read, the Python and `quillmark`
    blocks are run, the text blocks are output, and the install commands name only extras the
    project declares and files and modules that are there."""
    fences = re.findall(r"^```.*$", README, re.M)
    blocks = re.findall(r"^```(\w*)\n(.*?)^```$", README, re.M | re.S)
    assert len(fences) == 2 * len(blocks), "a fence the pattern above does not read"
    extras = set(metadata("quillmark").get_all("Provides-Extra") or [])
    for kind, code in blocks:
        assert kind in ("python", "sh", "text"), kind
        if kind != "sh" or code.startswith("quillmark "):
            continue
        for command in code.strip().split(" && "):
            words = shlex.split(command)
            if words[:2] == ["pip", "install"]:
                (target,) = words[2:]
                wanted = re.fullmatch(r"\.(?:\[([\w,]+)\])?", target)
                assert wanted, command
                assert set(filter(None, (wanted.group(1) or "").split(","))) <= extras, command
            elif words[0] == "quillmark":
                assert words[1] in QUILLMARK_COMMANDS, command
            elif words[:2] == ["python", "-m"]:
                assert importlib.util.find_spec(words[2]) is not None, command
            else:
                assert words[0] == "python" and (ROOT / words[1]).is_file(), command


def test_every_message_of_the_module_is_in_the_readme():
    """The README's table of error messages names every text a ValueError may carry (the three
    internal ones in the prose below it), `{}` for each variable part."""
    # Removal only ever shrinks a font: these two limits are never met there.
    never = {M.INVALID_FONT + M.TOO_MANY_TABLES, M.INVALID_FONT + M.TABLE_TOO_LONG}
    for template in set(M.VALUE_ERRORS) - never:
        text = re.sub(r"\{\w+\}", "{}", template)
        assert f"`{text}`" in README or f"`{text.removeprefix(M.INVALID_C2PA)}`" in README, text


@pytest.mark.parametrize("kind, code", EXAMPLES, ids=[f"{kind}{i}" for i, (kind, _) in enumerate(EXAMPLES)])
def test_readme_example_runs(readme_folder, kind, code):
    if kind == "python":
        exec(compile(code, "README.md", "exec"), {"__name__": "__main__"})
        return
    scripts = sysconfig.get_path("scripts")
    env = dict(os.environ, PATH=scripts + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-e", "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
