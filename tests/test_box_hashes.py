"""quillmark.box_hashes against an independent computation (fontTools' table bytes and hashlib),
and against the fonts that embedding then writes."""

from __future__ import annotations

import hashlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillmark
import messages as M
from conftest import head_table, independent_box_hashes, make_font


@pytest.mark.parametrize("alg", ["sha256", "sha384", "sha512"])
def test_matches_an_independent_computation(any_font, alg):
    boxes = quillmark.box_hashes(any_font, alg)
    assert boxes == independent_box_hashes(quillmark.embed_manifest_store(any_font, b"store"), alg)
    assert ("C2PA", b"\0") in boxes
    assert boxes == quillmark.box_hashes(any_font, alg=alg)


@pytest.mark.parametrize("head_length", [10, 12, 13])
def test_short_head_empty_table_and_a_tag_with_spaces(head_length):
    """checkSumAdjustment is zeroed only in a head of 12 bytes or more; an empty table hashes as
    empty; a tag loses its trailing spaces."""
    font = make_font([(b"head", head_table(0xDEADBEEF, head_length)), (b"zz  ", b"abc"), (b"AAAA", b"")])
    boxes = quillmark.box_hashes(font)
    assert [name for name, _ in boxes] == ["AAAA", "C2PA", "head", "zz"]
    assert boxes == independent_box_hashes(quillmark.embed_manifest_store(font, b"store"))
    assert boxes[0] == ("AAAA", hashlib.sha256(b"").digest())


def test_the_embedded_font_keeps_the_boxes(any_font):
    """Whatever the store's size, with a URI or not, and after removing and embedding again, the
    embedded font's own tables in its own directory order hash as box_hashes said beforehand."""
    boxes = quillmark.box_hashes(any_font)
    assert independent_box_hashes(quillmark.embed_remote(any_font, "https://example.com/f.c2pa")) == boxes
    for size in (1, 3, 4096, 70001):
        store = (bytes(range(1, 256)) * (size // 255 + 1))[:size]
        embedded = quillmark.embed_manifest_store(any_font, store)
        assert independent_box_hashes(embedded) == boxes
        reserved = quillmark.reserve_manifest_placeholder(any_font, size, "https://example.com/f.c2pa")
        assert independent_box_hashes(quillmark.fill_manifest_store(reserved, store)) == boxes
        again = quillmark.embed_manifest_store(quillmark.remove_manifest_table(embedded), store[::-1])
        assert independent_box_hashes(again) == boxes
        assert quillmark.box_hashes(embedded) == boxes


def test_refusals(truetype_font):
    with pytest.raises(ValueError):
        quillmark.box_hashes(truetype_font, "md5")
    for bad in (b"wOF2" + bytes(40), b"ttcf" + bytes(40), truetype_font[:40]):
        with pytest.raises(ValueError) as refused:
            quillmark.embed_manifest_store(bad, b"store")
        with pytest.raises(ValueError, match=f"^{re.escape(str(refused.value))}$"):
            quillmark.box_hashes(bad)


KEEPS_WHAT_IT_HASHES = """
import gc, hashlib, sys
sys.path.insert(0, sys.argv[1])
import quillmark
from conftest import head_table, make_font

kept = []
sha256 = hashlib.sha256

class Keeper:  # a hash object that keeps what it is given
    def __init__(self):
        self.inner = sha256()
    def update(self, data):
        kept.append(data)
        self.inner.update(data)
    def digest(self):
        return self.inner.digest()

glyf = bytes(range(256)) * 4096  # 1 MiB: freed, its memory goes back to the system
font = make_font([(b"glyf", glyf), (b"head", head_table())])
hashlib.sha256 = Keeper
quillmark.box_hashes(font)
del font
gc.collect()
junk = [bytes([7]) * len(glyf) for _ in range(4)]
print(any(bytes(piece) == glyf for piece in kept))
"""


def test_what_hashlib_is_given_keeps_the_font_alive():
    """Tables go to hashlib as views of the font: a hash object that keeps one must keep the
    font with it, not a view of memory freed once the call returns."""
    done = subprocess.run([sys.executable, "-c", KEEPS_WHAT_IT_HASHES, str(Path(__file__).parent)],
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")


def test_tags_are_named_as_latin1_and_never_two_boxes_share_a_name():
    """A box is named by its tag's bytes as Latin-1 without trailing spaces, the rule the Python
    side reads names by; tags that UTF-8 would both show as U+FFFD keep names of their own."""
    tags = [b"\xe9tag", b"\xfftag", b"\xc3\xa9ab", b"cvt ", b"a \x00 ", b"\x80   ", b"    "]
    font = make_font([(b"head", head_table()), *((tag, tag * 3) for tag in tags)])
    boxes = quillmark.box_hashes(font)
    names = [name for name, _ in boxes]
    assert sorted(names) == sorted(["C2PA", "head", *(tag.decode("latin-1").rstrip(" ") for tag in tags)])
    assert len(set(names)) == len(names)
    assert boxes == independent_box_hashes(quillmark.embed_manifest_store(font, b"store"))
    assert dict(boxes)["\xe9tag"] == hashlib.sha256(b"\xe9tag" * 3).digest()


@pytest.mark.parametrize("tag", [b"glyf", b"head", b"\xfftag"])
def test_two_tables_of_one_tag_are_refused(tag):
    """Their boxes would share a name, and a validator could not tell which hash is whose."""
    font = make_font([(b"cmap", b"1234"), (tag, head_table()), (tag, head_table(7))])
    with pytest.raises(ValueError) as refused:
        quillmark.box_hashes(font)
    assert str(refused.value) == M.TWO_TABLES_ONE_TAG.format(tag=tag.decode("latin-1"))
    quillmark.embed_manifest_store(font, b"store")  # the font itself is still one to embed into


class OtherBuffer(bytes):
    """A bytes object whose buffer protocol (Python 3.12 and later) gives other bytes."""

    def __buffer__(self, flags):
        return memoryview(b"not the font")


class SameBuffer(bytes):
    pass


@pytest.mark.parametrize("cls", [OtherBuffer, SameBuffer])
def test_a_bytes_subclass_is_hashed_as_the_writers_read_it(any_font, cls):
    """The writers read the bytes object itself, so box_hashes hashes those bytes too, whatever
    a subclass's __buffer__ hands out."""
    font = cls(any_font)
    if cls is OtherBuffer and sys.version_info >= (3, 12):
        assert bytes(memoryview(font)) == b"not the font"  # the case is real on this version
    assert quillmark.box_hashes(font) == quillmark.box_hashes(any_font)
    assert quillmark.box_hashes(font) == independent_box_hashes(quillmark.embed_manifest_store(font, b"store"))
