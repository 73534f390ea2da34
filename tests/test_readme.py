"""Every example in the README and the pages of docs/ runs as written: the Python blocks, and the
shell blocks that use the command-line tool, each in a folder holding the files they name.
(docs/validation.md is checked against the validator by tests/test_validate.py and its kin.)"""

from __future__ import annotations

import importlib.util
import io
import os
import re
import shlex
import shutil
import subprocess
import sysconfig
from importlib.metadata import metadata
from pathlib import Path

import pytest

import messages as M
import quillmark_cli

ROOT = Path(__file__).parent.parent
PAGES = ["README.md", *(f"docs/{name}.md" for name in
                        ("command-line", "python-api", "messages", "c2pa", "benchmarks", "development"))]  # fmt: skip
TEXTS = {page: (ROOT / page).read_text() for page in PAGES}
QUILLMARK_COMMANDS = set(quillmark_cli.build_parser()._subparsers._group_actions[0].choices)  # type: ignore[union-attr]
EXAMPLES = [
    (page, kind, code)
    for page, text in TEXTS.items()
    for kind, code in re.findall(r"^```(python|sh)\n(.*?)^```", text, re.M | re.S)
    if kind == "python" or code.startswith("quillmark ")
]


@pytest.fixture(scope="session")
def example_credentials(tmp_path_factory) -> Path:
    """The throwaway CA and signer that examples/sign_font.py makes (the Quick start's)."""
    found = importlib.util.spec_from_file_location("sign_font_example", ROOT / "examples" / "sign_font.py")
    assert found is not None and found.loader is not None
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    folder = tmp_path_factory.mktemp("credentials") / "example-credentials"
    example.make_credentials(folder)
    return folder


def named(font: bytes, full_name: str) -> bytes:
    """The font with the full and PostScript names (name IDs 4 and 6) that font.info needs."""
    from fontTools.ttLib import TTFont

    parsed = TTFont(io.BytesIO(font))
    parsed["name"].setName(full_name, 4, 3, 1, 0x409)
    parsed["name"].setName(full_name.replace(" ", "-"), 6, 3, 1, 0x409)
    out = io.BytesIO()
    parsed.save(out)
    return out.getvalue()


@pytest.fixture
def readme_folder(tmp_path, truetype_font, cff_font, example_credentials, monkeypatch):
    """MyFont.ttf, its WOFF and WOFF2 forms, a collection, a manifest, a folder of fonts, the
    example's credentials, a release of fonts signed with them and a font to derive."""
    from fontTools.ttLib import TTCollection, TTFont

    from quillmark_c2pa import PemSigner, sign

    truetype_font, cff_font = named(truetype_font, "Quill Test Regular"), named(cff_font, "Quill Test CFF")

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
    shutil.copytree(example_credentials, tmp_path / "example-credentials")
    signer = PemSigner.from_files(example_credentials / "signer-key.pem", example_credentials / "signer-chain.pem")
    (tmp_path / "release").mkdir()
    (tmp_path / "release/A.ttf").write_bytes(sign(truetype_font, signer, binding="data"))
    (tmp_path / "release/B.otf").write_bytes(sign(cff_font, signer))
    (tmp_path / "Subset.ttf").write_bytes(truetype_font)
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("page", PAGES)
def test_every_block_is_run_or_its_commands_exist(page):
    """No block escapes the run below unseen: every fence is read, the Python and `quillmark`
    blocks are run, the text blocks are output, and the install commands name only extras the
    project declares and files and modules that are there."""
    fences = re.findall(r"^```.*$", TEXTS[page], re.M)
    blocks = re.findall(r"^```(\w*)\n(.*?)^```$", TEXTS[page], re.M | re.S)
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


def test_every_message_of_the_module_is_in_the_docs():
    """docs/messages.md's table of error messages names every text a ValueError may carry (the
    three internal ones in the prose below it), `{}` for each variable part."""
    table = TEXTS["docs/messages.md"]
    # Removal only ever shrinks a font: these two limits are never met there.
    never = {M.INVALID_FONT + M.TOO_MANY_TABLES, M.INVALID_FONT + M.TABLE_TOO_LONG}
    for template in set(M.VALUE_ERRORS) - never:
        text = re.sub(r"\{\w+\}", "{}", template)
        assert f"`{text}`" in table or f"`{text.removeprefix(M.INVALID_C2PA)}`" in table, text


def _anchor(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading, as GitHub makes it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


@pytest.mark.parametrize("page", [*PAGES, "docs/validation.md"])
def test_every_link_between_the_pages_leads_somewhere(page):
    text = (ROOT / page).read_text()
    for target, anchor in re.findall(r"\]\(([\w./-]*\.md)?(?:#([\w-]+))?\)", text):
        path = (ROOT / page).parent / target if target else ROOT / page
        assert path.is_file(), f"{page}: {target}"
        if anchor:
            headings = re.findall(r"^#+ (.*)$", path.read_text(), re.M)
            assert anchor in {_anchor(h) for h in headings}, f"{page}: {target}#{anchor}"


@pytest.mark.parametrize(
    "page, kind, code", EXAMPLES, ids=[f"{Path(page).stem}-{kind}{i}" for i, (page, kind, _) in enumerate(EXAMPLES)]
)
def test_example_runs(readme_folder, page, kind, code):
    if kind == "python":
        exec(compile(code, page, "exec"), {"__name__": "__main__"})
        return
    scripts = sysconfig.get_path("scripts")
    env = dict(os.environ, PATH=scripts + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-e", "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
