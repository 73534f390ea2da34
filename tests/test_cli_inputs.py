"""What a run reads and where it writes, tried as an attacker and a new user would: two fonts
mapping to one name, files a folder run does not handle, FIFOs, unbounded inputs, truncated
fonts, hard links, standard input, and outputs that exist already."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillmark
from memory_util import SANITIZED
from messages import NOT_SFNT, PAST_END, WOFF
from test_cli import TOOL, URI, here, tool  # noqa: F401 (here: a fixture)

posix_only = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="FIFOs and hard links as POSIX has them")
capped = [
    pytest.mark.skipif(sys.platform != "linux", reason="an address-space limit, as ulimit -v sets it"),
    pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's shadow memory cannot live under an address-space cap"),
]


def files(root, contents: dict) -> None:
    for name, data in contents.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)


def tree_of(root) -> dict:
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


@pytest.mark.parametrize(
    "args, refusal",
    [
        (["fill", "fonts", "--manifests", "manifests", "-o", "out"],
         "fonts/Family-Regular.otf and fonts/Family-Regular.ttf would both take the manifest"
         " manifests/Family-Regular.c2pa"),
        (["extract", "fonts", "-o", "out"],
         "fonts/Family-Regular.otf and fonts/Family-Regular.ttf would both take the output out/Family-Regular.c2pa"),
        (["remove", "fonts/Family-Regular.otf", "other/Family-Regular.otf", "-o", "out"],
         "fonts/Family-Regular.otf and other/Family-Regular.otf would both take the output out/Family-Regular.otf"),
    ],  # fmt: skip
    ids=["fill-manifests", "extract", "two-folders"],
)
def test_two_fonts_mapping_to_one_name_are_refused_naming_both(here, truetype_font, cff_font, tmp_path, args, refusal):
    """Family-Regular.ttf and .otf take one manifest: one of them would be filled with the
    other's. Refused before anything is written, both fonts named."""
    signed = quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(truetype_font, 8), b"manifest")
    files(tmp_path, {"fonts/Family-Regular.ttf": signed, "fonts/Family-Regular.otf": signed,
                     "other/Family-Regular.otf": cff_font, "manifests/Family-Regular.c2pa": b"manifest"})  # fmt: skip
    before = tree_of(tmp_path)
    err = here(*args, cwd=tmp_path, code=2)[1]
    assert err.endswith(f"quillmark {args[0]}: error: {refusal}\n")
    assert tree_of(tmp_path) == before


@pytest.fixture
def mixed(truetype_font, tmp_path):
    """A release folder: a font, files quillmark does not read, and others."""
    signed = quillmark.fill_manifest_store(quillmark.reserve_manifest_placeholder(truetype_font, 8), b"manifest")
    files(tmp_path, {"release/A.ttf": signed, "release/web/A.woff2": b"wOF2", "release/A.TTC": b"ttcf",
                     "release/OFL.txt": b"licence", "release/web/index.html": b"<p>"})  # fmt: skip
    return tmp_path


@pytest.mark.parametrize("verbose", [False, True], ids=["counted", "named"])
def test_a_folder_run_reports_every_file_it_skips(mixed, verbose):
    done = tool("info", *(["-v"] if verbose else []), "release", cwd=mixed)
    skipped = [
        "quillmark: release/A.TTC: skipped: font collections (ttcf) are not supported",
        f"quillmark: release/web/A.woff2: skipped: {WOFF}",
    ]
    if verbose:
        skipped += ["quillmark: release/OFL.txt: skipped: not a .ttf or .otf file",
                    "quillmark: release/web/index.html: skipped: not a .ttf or .otf file"]  # fmt: skip
    else:
        skipped.append("quillmark: release: 2 other files skipped (not .ttf or .otf fonts; -v names them)")
    assert sorted(line for line in done.stderr.splitlines() if "skipped" in line) == sorted(skipped)
    assert tool("info", "-q", "release", cwd=mixed).stderr == ""


def test_a_run_can_fail_on_fonts_it_leaves_unhandled(mixed, monkeypatch):
    """The mechanism `check` uses to fail a run that left a font unchecked."""
    import quillmark_cli.runner as runner
    from quillmark_cli.discovery import find_fonts

    monkeypatch.chdir(mixed)
    fonts = find_fonts(["release"])
    args = type("Args", (), {"jobs": 1, "verbose": False, "quiet": False})()
    done = runner.Outcome
    assert runner.run_fonts(args, fonts, lambda font, out: done(), [""] * len(fonts)) == 0
    assert runner.run_fonts(args, fonts, lambda font, out: done(), [""] * len(fonts), unhandled="not checked") == 1


@posix_only
@pytest.mark.parametrize("command", [["info"], ["remove", "-o", "out"], ["ranges"]], ids=lambda c: c[0])
def test_a_fifo_is_never_waited_on(truetype_font, tmp_path, command):
    """A FIFO named B.ttf in a folder is reported and skipped; one named on the command line is
    read without waiting for a writer (none: it is empty, so no font). The timeout only keeps a
    hang from stopping the suite."""
    files(tmp_path, {"fonts/A.ttf": quillmark.reserve_manifest_placeholder(truetype_font, 8)})
    os.mkfifo(tmp_path / "fonts/B.ttf")
    done = tool(command[0], "fonts", *command[1:], cwd=tmp_path, timeout=60)
    assert "quillmark: fonts/B.ttf: skipped: not a regular file" in done.stderr.splitlines()
    done = tool(command[0], "fonts/B.ttf", *command[1:], cwd=tmp_path, code=1, timeout=60)
    assert done.stderr == f"quillmark: fonts/B.ttf: {NOT_SFNT}\n"


@posix_only
def test_an_output_fifo_that_nobody_reads_is_refused(truetype_font, tmp_path):
    files(tmp_path, {"f.ttf": truetype_font})
    os.mkfifo(tmp_path / "out.ttf")
    done = tool("remove", "f.ttf", "-o", "out.ttf", cwd=tmp_path, code=1, timeout=60)
    assert done.stderr == "quillmark: f.ttf: it is a FIFO that no process reads\n"


def _sparse(path, size: int, start: bytes = b"") -> None:
    with open(path, "wb") as f:
        f.write(start)
        f.truncate(size)


@pytest.mark.parametrize(
    "args, message",
    [
        (["embed", "f.ttf", "--store", "huge.c2pa", "-o", "o.ttf"],
         "quillmark: huge.c2pa: the manifest store is 5000000000 bytes; at most 4294967295 fit the table"),
        (["embed", "f.ttf", "--store", "/dev/zero", "-o", "o.ttf"], "quillmark: /dev/zero: not enough memory to read it"),
        (["fill", "r.ttf", "--manifests", "manifests", "-o", "out/"],
         "quillmark: r.ttf: the manifest manifests/r.c2pa is more than 64 bytes but only 64 were reserved"),
        (["fill", "r.ttf", "huge.c2pa", "-o", "o.ttf"],
         "quillmark: r.ttf: the manifest huge.c2pa is 5000000000 bytes but only 64 were reserved"),
    ],  # fmt: skip
    ids=["sparse-store", "zero-store", "zero-manifest", "sparse-manifest"],
)
@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
@capped[0]
@capped[1]
def test_reads_stop_at_what_the_format_or_the_reservation_allows(truetype_font, tmp_path, args, message):
    import resource

    files(tmp_path, {"f.ttf": truetype_font, "r.ttf": quillmark.reserve_manifest_placeholder(truetype_font, 64)})
    _sparse(tmp_path / "huge.c2pa", 5_000_000_000, b"JUMB")
    (tmp_path / "manifests").mkdir()
    (tmp_path / "manifests/r.c2pa").symlink_to("/dev/zero")

    def limit() -> None:  # reading the whole input would run out of memory
        resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))

    done = tool(*args, cwd=tmp_path, code=1, preexec_fn=limit)
    assert done.stderr == message + "\n"
    assert not (tmp_path / "o.ttf").exists() and not any((tmp_path / "out").glob("*"))


SIDE_FILES = {  # an option of sign or check that names a file beside the fonts
    "sign --key": ["sign", "f.ttf", "--key", "{}", "--cert", "chain.pem", "-o", "o.ttf"],
    "sign --cert": ["sign", "f.ttf", "--key", "key.pem", "--cert", "{}", "-o", "o.ttf"],
    "sign --manifest": ["sign", "f.ttf", "--key", "key.pem", "--cert", "chain.pem", "--manifest", "{}", "-o", "o.ttf"],
    "sign --parent": ["sign", "f.ttf", "--key", "key.pem", "--cert", "chain.pem", "--parent", "{}", "-o", "o.ttf"],
    "sign --trust-anchors": ["sign", "f.ttf", "--key", "key.pem", "--cert", "chain.pem", "--parent", "f.ttf",
                             "--trust-anchors", "{}", "-o", "o.ttf"],
    "check --trust-anchors": ["check", "f.ttf", "--trust-anchors", "{}"],
    "check --tsa-trust-anchors": ["check", "f.ttf", "--tsa-trust-anchors", "{}"],
    "check --trusted-certs": ["check", "f.ttf", "--trusted-certs", "{}"],
}  # fmt: skip


@posix_only
@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
@capped[0]
@capped[1]
@pytest.mark.parametrize("source", ["/dev/zero", "fifo"])
@pytest.mark.parametrize("option", sorted(SIDE_FILES))
def test_keys_chains_definitions_parents_and_anchors_are_read_bounded(truetype_font, tmp_path, option, source):
    """A key, a chain, a definition, a parent font or a list of anchors given as /dev/zero is read
    no further than its limit, and one given as a FIFO nobody writes to is not waited on: one line
    each, nothing written (both read until memory ran out or forever). The timeout only keeps a
    hang from stopping the suite."""
    import resource

    import pki

    key, chain = pki.leaf("ES256")
    pki.write_key(tmp_path, key, "key.pem")
    pki.write_chain(tmp_path, chain, "chain.pem")
    files(tmp_path, {"f.ttf": truetype_font})
    if source == "fifo":
        os.mkfifo(tmp_path / "side")
    args = [arg.format(source if source != "fifo" else "side") for arg in SIDE_FILES[option]]

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))

    done = tool(*args, cwd=tmp_path, code=2 if option.startswith("check") else 1, preexec_fn=limit, timeout=60)
    assert len(done.stderr.splitlines()[-1]) < 300 and not (tmp_path / "o.ttf").exists()


@pytest.mark.parametrize(
    "command", [["embed", "--uri", URI], ["reserve", "64"], ["remove"]], ids=lambda c: c[0]
)
def test_a_truncated_font_is_called_invalid_first(tmp_path, command):
    """Not "the rebuilt font would be larger ... --force": the font is cut short, and the
    module says which table runs past its end."""
    from conftest import real_fonts

    if not real_fonts():
        pytest.skip("no real font installed")
    real_font = real_fonts()[0].read_bytes()
    files(tmp_path, {"cut.ttf": real_font[:5000]})
    with pytest.raises(ValueError) as refused:
        quillmark.remove_manifest_table(real_font[:5000])
    assert str(refused.value).startswith(PAST_END.split("{")[0])
    done = tool(command[0], "cut.ttf", *command[1:], "-o", "out.ttf", cwd=tmp_path, code=1)
    assert done.stderr == f"quillmark: cut.ttf: {refused.value}\n"


@posix_only
def test_hard_links_in_a_folder_are_refused_one_by_one_in_place(truetype_font, tmp_path):
    signed = quillmark.embed_remote(truetype_font, URI)
    files(tmp_path, {"fonts/a.ttf": signed, "fonts/c.ttf": signed})
    os.link(tmp_path / "fonts/a.ttf", tmp_path / "fonts/b.ttf")
    done = tool("remove", "fonts", "--in-place", cwd=tmp_path, code=1)
    assert [line.split(": it has")[0] for line in done.stderr.splitlines()] == [
        "quillmark: fonts/a.ttf", "quillmark: fonts/b.ttf"]  # fmt: skip
    assert tree_of(tmp_path / "fonts") == {"a.ttf": signed, "b.ttf": signed,
                                           "c.ttf": quillmark.remove_manifest_table(signed)}  # fmt: skip
    tool("remove", "fonts", "--in-place", "--force", cwd=tmp_path)
    assert set(tree_of(tmp_path / "fonts").values()) == {quillmark.remove_manifest_table(signed)}


def test_version_is_the_engines():
    import quillmark_c2pa
    import quillmark_cli

    assert quillmark_cli.__version__ == quillmark_c2pa.__version__ == quillmark.__version__
    done = subprocess.run([TOOL, "--version"], capture_output=True, text=True)
    assert done.stdout.startswith(f"quillmark {quillmark_c2pa.__version__}")


@pytest.mark.parametrize(
    "args",
    [["remove", "-", "-o", "out.ttf"], ["fill", "-", "m.c2pa", "-o", "out.ttf"], ["extract", "-", "-o", "store.c2pa"]],
    ids=lambda args: args[0],
)
def test_standard_input_is_a_font(truetype_font, tmp_path, args):
    reserved = quillmark.reserve_manifest_placeholder(truetype_font, 8)
    signed = quillmark.fill_manifest_store(reserved, b"manifest")
    files(tmp_path, {"m.c2pa": b"manifest"})
    expected = args[0]
    given = {"remove": signed, "fill": reserved, "extract": signed}[expected]
    done = subprocess.run([TOOL, *args], cwd=tmp_path, input=given, capture_output=True)
    assert (done.returncode, done.stderr) == (0, b"")
    written = (tmp_path / args[-1]).read_bytes()
    assert written == {"remove": quillmark.remove_manifest_table(signed), "fill": signed, "extract": b"manifest"}[expected]


@pytest.mark.parametrize(
    "args",
    [
        ["remove", "f.ttf", "-o", "signedfonts"],  # a folder meant, most likely: not a file without a name
        ["remove", "-", "-", "-o", "out/"],
        ["remove", "-", "--in-place"],
        ["remove", "-", "-o", "out/"],
    ],
    ids=["no-extension", "stdin-twice", "stdin-in-place", "stdin-into-folder"],
)
def test_outputs_that_cannot_be_meant_are_usage_errors(here, truetype_font, tmp_path, args):
    files(tmp_path, {"f.ttf": truetype_font})
    assert here(*args, cwd=tmp_path, code=2)[0] == ""
    assert tree_of(tmp_path) == {"f.ttf": truetype_font}


@posix_only
def test_an_existing_output_with_other_names_is_replaced_only_with_force(truetype_font, tmp_path):
    """Renaming a new file over it would leave its other hard links with the old content, as
    --in-place would: refused the same way."""
    files(tmp_path, {"f.ttf": truetype_font, "old.ttf": b"old"})
    os.link(tmp_path / "old.ttf", tmp_path / "other-name.ttf")
    done = tool("remove", "f.ttf", "-o", "old.ttf", cwd=tmp_path, code=1)
    assert done.stderr.startswith("quillmark: f.ttf: old.ttf exists with 2 hard links")
    assert (tmp_path / "old.ttf").read_bytes() == b"old"
    tool("remove", "f.ttf", "-o", "old.ttf", "--force", cwd=tmp_path)
    assert (tmp_path / "old.ttf").read_bytes() == quillmark.remove_manifest_table(truetype_font)
    assert (tmp_path / "other-name.ttf").read_bytes() == b"old"


@pytest.mark.parametrize("command", ["--help", "--version", "info", "ranges", "remove"])
def test_a_command_imports_only_what_it_needs(truetype_font, tmp_path, command):
    """The start-up of a single-font call is most of its time: no thread pool library, no
    temporary-file module, no package metadata, no other subcommand's module."""
    (tmp_path / "f.ttf").write_bytes(truetype_font)
    args = {"--help": ["--help"], "--version": ["--version"], "info": ["info", "f.ttf"], "ranges": ["ranges", "f.ttf"],
            "remove": ["remove", "f.ttf", "-o", "o.ttf"]}[command]  # fmt: skip
    code = (
        "import sys, quillmark_cli\n"
        "try:\n    quillmark_cli.main(sys.argv[1:])\nexcept SystemExit:\n    pass\n"
        "print(' '.join(sorted(sys.modules)), file=sys.stderr)"
    )
    done = subprocess.run([sys.executable, "-c", code, *args], cwd=tmp_path, capture_output=True, text=True)
    modules = set(done.stderr.split())
    unwanted = {"concurrent.futures", "tempfile", "importlib.metadata", "cbor2", "cryptography", "dataclasses"}
    commands = {f"quillmark_cli.commands.{name}" for name in ("info", "ranges", "remove", "check", "fill")}
    assert modules & (unwanted | commands - {f"quillmark_cli.commands.{command}"}) == set()
