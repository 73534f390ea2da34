"""Every function, on success and on their failure paths, a few times each: the workload
valgrind.sh runs under memcheck. Not a test module (pytest does not collect it)."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import quillmark as qm  # noqa: E402
from conftest import c2pa_header, c2pa_table, head_table, make_font  # noqa: E402

HEAD = head_table()
PLAIN = make_font([(b"glyf", bytes(range(256)) * 8), (b"head", HEAD)])
RESERVED = qm.reserve_manifest_placeholder(PLAIN, 512, "https://example.com/m")
REMOTE = qm.embed_remote(PLAIN, "https://example.com/r")


def bad(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (ValueError, TypeError, OverflowError, UnicodeEncodeError, ArithmeticError):
        return
    raise AssertionError(f"{fn.__name__} did not fail")


class NotAnIndex:
    def __index__(self):
        raise ArithmeticError


def round_trip():
    filled = qm.fill_manifest_store(RESERVED, b"signed manifest")
    assert qm.read_manifest_store(filled)[:6] == b"signed"
    assert qm.read_manifest_uri_str(filled) == "https://example.com/m"
    assert qm.is_compliant(filled)
    assert len(qm.data_hash_ranges(filled)) == 3
    assert qm.read_manifest_uri_str(qm.embed_manifest_store(PLAIN, [1, 2, 3])) is None
    assert qm.read_manifest_store(qm.embed_manifest_store(PLAIN, bytearray(b"abc"))) == b"abc"
    assert qm.read_manifest_uri_str(qm.embed_remote(PLAIN, "u\u00e9")) == "u\u00e9"
    assert qm.is_compliant(qm.remove_manifest_table(filled)) is False
    assert qm.box_hashes(filled, "sha512")[0] == ("C2PA", b"\0")


def failures():
    for font in (b"", b"ttcf" + bytes(20), b"wOFF" + bytes(20), PLAIN[:20], PLAIN[:-8]):
        bad(qm.read_manifest_store, font)
        bad(qm.remove_manifest_table, font)
    bad(qm.read_manifest_uri_str, PLAIN)
    bad(qm.read_manifest_store, REMOTE)
    bad(qm.data_hash_ranges, REMOTE)
    bad(qm.is_compliant, make_font([(b"C2PA", c2pa_table(b"u")), (b"C2PA", c2pa_table(b"v"))]))
    bad(qm.read_manifest_uri_str, make_font([(b"C2PA", c2pa_table(uri=b"\xc0\x80"))]))
    bad(qm.read_manifest_store, make_font([(b"C2PA", c2pa_header(0, 0, 20, 99))]))
    bad(qm.read_manifest_store, make_font([(b"C2PA", bytes(5))]))
    bad(qm.reserve_manifest_placeholder, PLAIN, 0)
    bad(qm.reserve_manifest_placeholder, PLAIN, 2**32)
    bad(qm.reserve_manifest_placeholder, PLAIN, 2**64)
    bad(qm.reserve_manifest_placeholder, PLAIN, -1)
    bad(qm.reserve_manifest_placeholder, PLAIN, 1.5)
    bad(qm.reserve_manifest_placeholder, PLAIN, 1, 5)
    bad(qm.embed_remote, PLAIN, "u" * 65536)
    bad(qm.embed_remote, PLAIN, "\ud800")
    bad(qm.embed_remote, PLAIN, None)
    bad(qm.fill_manifest_store, RESERVED, bytes(513))
    bad(qm.fill_manifest_store, REMOTE, b"x")
    bad(qm.fill_manifest_store, RESERVED, bytearray(b"x"))
    bad(qm.fill_manifest_store, RESERVED + bytes(4), b"x")
    bad(qm.box_hashes, PLAIN, "md5")
    bad(qm.box_hashes, PLAIN[:20])
    bad(qm.embed_manifest_store, PLAIN, "str")
    bad(qm.embed_manifest_store, PLAIN, 5)
    bad(qm.embed_manifest_store, PLAIN, [1, 256])
    bad(qm.embed_manifest_store, PLAIN, [1, NotAnIndex()])
    bad(qm.is_compliant, PLAIN, PLAIN)
    bad(qm.is_compliant, fnt=PLAIN)
    bad(qm.is_compliant, PLAIN, font=PLAIN)
    bad(qm.embed_remote)


if __name__ == "__main__":
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    for _ in range(rounds):
        round_trip()
        failures()
    print("exercised every function", rounds, "times")
