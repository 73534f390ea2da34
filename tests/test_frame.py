"""The module as Python sees it: initialisation, the function table, argument binding and
conversion, result types, and the exceptions that failures become."""

from __future__ import annotations

import array
import gc
import importlib
import importlib.util
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quillmark as qm
import messages as M
from conftest import c2pa_table, head_table, make_font

# name -> (parameters, number required), in registration order.
SIGNATURES = {
    "embed_manifest_store": (("font", "manifest_store"), 2),
    "embed_remote": (("font", "uri"), 2),
    "read_manifest_store": (("font",), 1),
    "read_manifest_uri_str": (("font",), 1),
    "remove_manifest_table": (("font",), 1),
    "is_compliant": (("font",), 1),
    "reserve_manifest_placeholder": (("font", "reserve_size", "uri"), 2),
    "data_hash_ranges": (("font",), 1),
    "fill_manifest_store": (("reserved_font", "signed_manifest"), 2),
    "box_hashes": (("font", "alg"), 1),
    "table_checksums": (("font",), 1),
}
DEFAULTS = {"uri": None, "alg": "sha256"}
FONT = make_font([(b"head", head_table()), (b"cmap", bytes(range(10)))])
STORE = bytes([0, 1, 127, 128, 255])


def valid_args(name: str) -> dict:
    """Arguments that get each function past conversion."""
    reserved = qm.reserve_manifest_placeholder(FONT, 8)
    return {
        "embed_manifest_store": {"font": FONT, "manifest_store": STORE},
        "embed_remote": {"font": FONT, "uri": "u"},
        "reserve_manifest_placeholder": {"font": FONT, "reserve_size": 8},
        "fill_manifest_store": {"reserved_font": reserved, "signed_manifest": b"m"},
    }.get(name, {"font": reserved})


def error_of(call, *args, **kwargs) -> BaseException:
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


# ---- initialisation and the function table ----------------------------------------------------


def test_module_attributes():
    assert qm.__all__ == list(SIGNATURES)
    assert qm.__name__ == "quillmark"
    # The stable ABI's file name: quillmark.abi3.so on Linux and macOS, quillmark.pyd on Windows.
    assert qm.__file__.endswith(".pyd" if sys.platform == "win32" else ".abi3.so")


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_objects(name):
    params, required = SIGNATURES[name]
    fn = getattr(qm, name)
    assert fn.__name__ == name and fn.__module__ == "quillmark"
    defaults = [f"={DEFAULTS[p]!r}" if i >= required else "" for i, p in enumerate(params)]
    assert fn.__text_signature__ == "(" + ", ".join(p + d for p, d in zip(params, defaults)) + ")"
    sig = inspect.signature(fn)
    assert [p.name for p in sig.parameters.values()] == list(params)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("quillmark")
    try:
        again = importlib.import_module("quillmark")
    finally:
        sys.modules["quillmark"] = first
    assert again is first
    assert first.__all__ == list(SIGNATURES)  # the functions were not added twice


# Runs under any CPython from 3.9 on, with only quillmark's directory on the path: a
# sub-interpreter that shares the GIL (the kind that 3.12 and later still let a single-phase
# module into, so that the refusal met is quillmark's own) tries to import quillmark before the
# main interpreter has, then the main interpreter imports it, then another sub-interpreter tries.
# Prints the version, what each sub-interpreter saw, and a result of the main interpreter's module.
SUB_INTERPRETER = textwrap.dedent(
    """
    import json, sys
    try:
        import _interpreters as interpreters  # 3.13 and later
        create = lambda: interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters
        create = (lambda: interpreters.create(isolated=False)) if sys.version_info >= (3, 12) else interpreters.create
    report = sys.argv[1]
    code = (
        f"import sys\\nsys.path[:] = {sys.path!r}\\n"
        "try:\\n    import quillmark\\n    seen = 'imported'\\nexcept ImportError as e:\\n    seen = str(e)\\n"
        f"with open({report!r}, 'a') as f:\\n    f.write(seen + '\\\\n')\\n"
    )

    def sub_interpreter_imports():
        sub = create()
        interpreters.run_string(sub, code)
        interpreters.destroy(sub)

    sub_interpreter_imports()
    import quillmark
    sub_interpreter_imports()
    font = quillmark.reserve_manifest_placeholder(b"\\0\\1\\0\\0" + bytes(8), 4)
    print(json.dumps([sys.version_info[1], open(report).read().splitlines(), quillmark.read_manifest_store(font).hex()]))
    """
)


def env_for(python: str, **extra: str) -> dict:
    """The environment for `python`. Under the sanitizer pass, interpreters of other versions
    keep allocations to the end that .ci/lsan.supp does not name (3.12 and 3.13 do): their leak
    report is left out, their memory errors are not."""
    env = dict(os.environ, **extra)
    if python != sys.executable and "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def cpythons():
    """The interpreter running the tests, and each other CPython 3.9 to 3.13 found on PATH or
    under pyenv (which has them all on the development machine)."""
    found = {sys.version_info[1]: sys.executable}
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    for minor in range(9, 14):
        candidates = [shutil.which(f"python3.{minor}"), *sorted(pyenv.glob(f"3.{minor}.*/bin/python3.{minor}"))]
        for candidate in filter(None, candidates):
            if minor in found:
                break
            probe = subprocess.run(
                [candidate, "-c", "import sys; print(sys.version_info[1])"],
                capture_output=True, text=True, env=env_for(str(candidate)),
            )
            if probe.returncode == 0 and probe.stdout.strip() == str(minor):
                found[minor] = str(candidate)
    return [pytest.param(minor, found.get(minor), id=f"3.{minor}") for minor in range(9, 14)]


@pytest.mark.parametrize("minor, python", cpythons())
def test_only_the_main_interpreter_imports(minor, python, tmp_path):
    """Whichever interpreter imports first, sub-interpreters are refused and the main one gets a
    working module (a sub-interpreter that imported first used to lock the main one out)."""
    if python is None:
        pytest.skip(f"CPython 3.{minor} is not installed")
    shutil.copy(qm.__file__, tmp_path)  # the stable ABI: one build for every version
    report = tmp_path / "seen.txt"
    env = env_for(python, PYTHONPATH=str(tmp_path))
    out = subprocess.run(
        [python, "-c", SUB_INTERPRETER, str(report)], capture_output=True, text=True, env=env, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [minor, [M.SUB_INTERPRETERS] * 2, "00000000"]


@pytest.mark.skipif(importlib.util.find_spec("lief") is None, reason="LIEF reads the module's exports")
def test_extension_exports_one_symbol_and_needs_no_libpython():
    # In a child, without the sanitizer pass's preloaded runtime, which LIEF's library does not
    # survive being loaded under.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    script = "import binaries, json, sys; p = sys.argv[1]; print(json.dumps([binaries.exported(p), binaries.libraries(p), binaries.problems(p)]))"
    out = subprocess.run([sys.executable, "-c", script, qm.__file__], cwd=os.path.dirname(__file__), env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    exported, libraries, problems = json.loads(out.stdout)
    assert exported == ["PyInit_quillmark"]
    assert libraries  # read, not an empty answer
    assert problems == []


# ---- binding --------------------------------------------------------------------------------


def quoted(names):
    names = [f"'{n}'" for n in names]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def missing(name, params):
    noun = "arguments" if len(params) > 1 else "argument"
    return M.MISSING_ARGUMENTS.format(name=name, count=len(params), noun=noun, names=quoted(params))


def too_many(name, takes, given):
    return M.TOO_MANY_ARGUMENTS.format(name=name, takes=takes, given=given, verb="was" if given == 1 else "were")


def binding_cases():
    for name, (params, required) in SIGNATURES.items():
        n = len(params)
        yield name, (0,) * (n + 1), {}, too_many(name, n if required == n else f"from {required} to {n}", n + 1)
        yield name, (), {}, missing(name, params[:required])
        if required > 1:
            yield name, (0,), {}, missing(name, params[1:required])
        yield name, (), {"fnt": 0}, M.UNEXPECTED_KEYWORD.format(name=name, key="fnt")
        yield name, (0,), {params[0]: 0}, M.MULTIPLE_VALUES.format(name=name, param=params[0])


@pytest.mark.parametrize("name, args, kwargs, message", list(binding_cases()))
def test_binding_messages(name, args, kwargs, message):
    # The values are ints: binding is judged before any argument is converted.
    err = error_of(getattr(qm, name), *args, **kwargs)
    assert type(err) is TypeError and str(err) == message


@pytest.mark.parametrize(
    "call, message",
    [
        # positional count first, then keywords in the order given, then missing parameters
        (lambda: qm.is_compliant(1, 2, fnt=3), too_many("is_compliant", 1, 2)),
        (lambda: qm.embed_remote(fnt=1), M.UNEXPECTED_KEYWORD.format(name="embed_remote", key="fnt")),
        (lambda: qm.embed_remote(b"", zz=1, font=2), M.UNEXPECTED_KEYWORD.format(name="embed_remote", key="zz")),
        (lambda: qm.embed_remote(b"", font=2, zz=1), M.MULTIPLE_VALUES.format(name="embed_remote", param="font")),
        (lambda: qm.embed_remote(Font=b""), M.UNEXPECTED_KEYWORD.format(name="embed_remote", key="Font")),
        (lambda: qm.is_compliant(**{"fönt": 1}), M.UNEXPECTED_KEYWORD.format(name="is_compliant", key="fönt")),
        (lambda: qm.is_compliant(**{"font\0": b""}), M.UNEXPECTED_KEYWORD.format(name="is_compliant", key="font\0")),
        (lambda: qm.reserve_manifest_placeholder(b"", uri="u"),
         missing("reserve_manifest_placeholder", ["reserve_size"])),
        # None fills a slot: conversion, not binding, refuses it
        (lambda: qm.embed_remote(None, None), M.CANNOT_CONVERT.format(param="font", type="NoneType", target="PyBytes")),
        # arguments are converted in parameter order, whatever the keyword order
        (lambda: qm.embed_remote(uri=5, font=bytearray()),
         M.CANNOT_CONVERT.format(param="font", type="bytearray", target="PyBytes")),
    ],
)
def test_binding_order(call, message):
    err = error_of(call)
    assert type(err) is TypeError and str(err) == message


def test_keywords_in_any_order_equal_positions():
    reserved = qm.reserve_manifest_placeholder(reserve_size=8, uri="u", font=FONT)
    assert reserved == qm.reserve_manifest_placeholder(FONT, 8, "u")
    assert qm.embed_remote(uri="u", font=FONT) == qm.embed_remote(FONT, "u")
    assert qm.fill_manifest_store(signed_manifest=b"m", reserved_font=reserved) == qm.fill_manifest_store(reserved, b"m")
    assert qm.embed_manifest_store(manifest_store=STORE, font=FONT) == qm.embed_manifest_store(FONT, STORE)


# ---- conversion -----------------------------------------------------------------------------


class Holder:
    class Inner:
        pass


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class OddQualname(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


FONT_PARAMS = [(name, p) for name, (params, _) in SIGNATURES.items() for p in params if p in ("font", "reserved_font", "signed_manifest")]


@pytest.mark.parametrize("name, param", FONT_PARAMS)
@pytest.mark.parametrize(
    "bad, shown",
    [
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (None, "NoneType"),
        ("x", "str"),
        (Holder.Inner(), "Holder.Inner"),
        (NoQualname("N", (), {})(), M.UNNAMED_TYPE),
        (OddQualname("O", (), {})(), M.UNNAMED_TYPE),
    ],
    ids=lambda v: type(v).__name__ if not isinstance(v, str) else v,
)
def test_font_parameters_take_only_bytes(name, param, bad, shown):
    args = valid_args(name)
    args[param] = bad
    err = error_of(getattr(qm, name), **args)
    assert type(err) is TypeError
    assert str(err) == M.CANNOT_CONVERT.format(param=param, type=shown, target="PyBytes")


class Bytes(bytes):
    pass


class Str(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("name", SIGNATURES)
def test_bytes_subclass_is_read_like_bytes_and_results_are_plain(name):
    args = valid_args(name)
    plain = getattr(qm, name)(**args)
    args = {k: Bytes(v) if type(v) is bytes else v for k, v in args.items()}
    result = getattr(qm, name)(**args)
    assert result == plain
    expected = {"read_manifest_uri_str": type(None), "is_compliant": bool, "data_hash_ranges": list, "box_hashes": list,
                "table_checksums": list}
    assert type(result) is expected.get(name, bytes)


def test_result_shapes():
    reserved = qm.reserve_manifest_placeholder(FONT, 8, "u")
    assert type(reserved) is bytes
    ranges = qm.data_hash_ranges(reserved)
    assert type(ranges) is list and len(ranges) == 3
    assert all(type(r) is tuple and len(r) == 2 and all(type(v) is int for v in r) for r in ranges)
    assert qm.is_compliant(reserved) is True
    assert qm.is_compliant(FONT) is False
    assert type(qm.read_manifest_uri_str(reserved)) is str


class Seq:
    """A sequence whose length and items can misbehave."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


@pytest.mark.parametrize(
    "store",
    [
        STORE,
        bytearray(STORE),
        list(STORE),
        tuple(STORE),
        Bytes(STORE),
        memoryview(STORE),
        array.array("B", STORE),
        [Index(b) for b in STORE],
        [False, True, 127, 128, 255],
        Seq(list(STORE), length=2**40),  # a lying length is only a hint
        Seq(list(STORE), length=RuntimeError("no length")),
    ],
    ids=lambda s: type(s).__name__,
)
def test_manifest_store_from_any_sequence_of_bytes(store):
    out = qm.embed_manifest_store(FONT, store)
    assert out == qm.embed_manifest_store(FONT, STORE)
    assert qm.read_manifest_store(out) == STORE


def test_manifest_store_iteration_errors():
    cause = KeyError("k")
    error = TypeError("bad item")
    error.__cause__ = cause
    err = error_of(qm.embed_manifest_store, FONT, Seq([1, 2, 3], fail_at=1, error=error))
    # the text of the sequence's own TypeError, the argument named first
    assert type(err) is TypeError and str(err) == "argument 'manifest_store': bad item" and err.__cause__ is cause
    err = error_of(qm.embed_manifest_store, FONT, Seq([1, 2], fail_at=1, error=RuntimeError("boom")))
    assert type(err) is RuntimeError and str(err) == "boom"

    class Special(TypeError):
        pass

    err = error_of(qm.embed_manifest_store, FONT, Seq([1, 2], fail_at=0, error=Special("as is")))
    assert type(err) is Special and str(err) == "as is"


def cannot_convert(type_name, param="manifest_store", target="Sequence"):
    return M.CANNOT_CONVERT.format(param=param, type=type_name, target=target)


def not_an_integer(type_name, param="manifest_store"):
    return M.NOT_AN_INTEGER.format(param=param, type=type_name)


@pytest.mark.parametrize(
    "store, kind, message",
    [
        ("abc", TypeError, M.STORE_FROM_STR),
        (Str("abc"), TypeError, M.STORE_FROM_STR),
        (5, TypeError, cannot_convert("int")),
        (None, TypeError, cannot_convert("NoneType")),
        ({1: 2}, TypeError, cannot_convert("dict")),
        ({1}, TypeError, cannot_convert("set")),
        (iter([1]), TypeError, cannot_convert("list_iterator")),
        ([1, 256], OverflowError, M.OUT_OF_RANGE),
        ([-1], OverflowError, M.OUT_OF_RANGE),
        ([2**40], OverflowError, M.OUT_OF_RANGE),  # past 32 bits, where Windows' long ends
        ([Index(300)], OverflowError, M.OUT_OF_RANGE),
        ([2**63], OverflowError, None),
        ([-(2**100)], OverflowError, None),
        ([1.5], TypeError, not_an_integer("float")),
        (["a"], TypeError, not_an_integer("str")),
        ([None], TypeError, not_an_integer("NoneType")),
    ],
)
def test_manifest_store_refusals(store, kind, message):
    err = error_of(qm.embed_manifest_store, FONT, store)
    assert type(err) is kind
    if message is None:  # the interpreter's own words, without the argument's name
        assert not str(err).startswith("argument")
    else:
        assert str(err) == message


@pytest.mark.parametrize(
    "size, kind, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, not_an_integer("float", "reserve_size")),
        ("8", TypeError, not_an_integer("str", "reserve_size")),
        (None, TypeError, not_an_integer("NoneType", "reserve_size")),
        (0, ValueError, M.RESERVE_ZERO),
        (2**64 - 1, ValueError, M.STORE_TOO_LONG.format(size=2**64 - 1)),
    ],
)
def test_reserve_size_conversion(size, kind, message):
    err = error_of(qm.reserve_manifest_placeholder, FONT, size)
    assert type(err) is kind
    if message is None:  # the interpreter's own words, without the argument's name
        assert not str(err).startswith("argument")
    else:
        assert str(err) == message


def test_reserve_size_accepts_index_and_bool():
    one = qm.reserve_manifest_placeholder(FONT, 1)
    assert qm.reserve_manifest_placeholder(FONT, True) == one
    assert qm.reserve_manifest_placeholder(FONT, Index(1)) == one


def test_uri_absent_none_and_empty_are_the_same():
    absent = qm.reserve_manifest_placeholder(FONT, 8)
    assert qm.reserve_manifest_placeholder(FONT, 8, None) == absent
    assert qm.reserve_manifest_placeholder(FONT, 8, uri=None) == absent
    assert qm.reserve_manifest_placeholder(FONT, 8, "") == absent
    assert qm.read_manifest_uri_str(absent) is None


@pytest.mark.parametrize("uri", ["https://example.com/m.c2pa", Str("urn:x"), "é\x00\U0001d11e"])
@pytest.mark.parametrize("write", ["embed_remote", "reserve_manifest_placeholder"])
def test_uri_round_trips_as_utf8(write, uri):
    out = qm.embed_remote(FONT, uri) if write == "embed_remote" else qm.reserve_manifest_placeholder(FONT, 4, uri)
    back = qm.read_manifest_uri_str(out)
    assert type(back) is str and back == uri
    assert c2pa_table(uri.encode(), None if write == "embed_remote" else bytes(4)) in out


@pytest.mark.parametrize(
    "call",
    [
        lambda uri: qm.embed_remote(FONT, uri),
        lambda uri: qm.reserve_manifest_placeholder(FONT, 8, uri),
    ],
    ids=["embed_remote", "reserve"],
)
@pytest.mark.parametrize(
    "uri, kind, message",
    [
        (5, TypeError, cannot_convert("int", "uri", "PyString")),
        (b"u", TypeError, cannot_convert("bytes", "uri", "PyString")),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_uri_refusals(call, uri, kind, message):
    err = error_of(call, uri)
    assert type(err) is kind
    assert message is None or str(err) == message


def test_embed_remote_refuses_none():
    err = error_of(qm.embed_remote, FONT, None)
    assert type(err) is TypeError
    assert str(err) == cannot_convert("NoneType", "uri", "PyString")


# ---- failures of operations -----------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qm.read_manifest_uri_str(FONT), M.NO_C2PA),
        (lambda: qm.is_compliant(b""), M.NOT_SFNT),
        (lambda: qm.read_manifest_store(b"ttcf" + bytes(8)), M.COLLECTION),
        (lambda: qm.read_manifest_store(b"wOFF" + bytes(8)), M.WOFF),
        (lambda: qm.remove_manifest_table(b"OTTO\0\1" + bytes(6)), M.TRUNCATED),
        (lambda: qm.reserve_manifest_placeholder(b"", 0), M.RESERVE_ZERO),
    ],
    ids=["NoC2paTable", "NotSfnt", "FontCollection", "WoffUnsupported", "InvalidFont", "InvalidC2paTable"],
)
def test_every_error_kind_is_a_plain_value_error(call, message):
    err = error_of(call)
    assert type(err) is ValueError
    assert err.args == (message,) and str(err) == message
    assert err.__cause__ is None and err.__context__ is None


def test_calls_keep_no_references():
    font, uri, size, item, bad = bytes(FONT), "urn:x" * 3, Index(1000), Index(7), object()
    store = [item, 1, 2]
    reserved = qm.reserve_manifest_placeholder(font, size, uri)
    calls = [
        lambda: qm.embed_manifest_store(font, store),
        lambda: qm.embed_manifest_store(font, [item, 256]),
        lambda: qm.embed_manifest_store(font, [item, bad]),
        lambda: qm.embed_manifest_store(font, Seq(store, fail_at=1, error=TypeError("x"))),
        lambda: qm.embed_remote(font, uri),
        lambda: qm.embed_remote(uri=bad, font=font),
        lambda: qm.reserve_manifest_placeholder(font, size, uri),
        lambda: qm.reserve_manifest_placeholder(font, bad, uri),
        lambda: qm.reserve_manifest_placeholder(font, size, uri, bad),
        lambda: qm.fill_manifest_store(reserved, font),
        lambda: qm.fill_manifest_store(reserved, uri.encode()),
        lambda: qm.data_hash_ranges(reserved),
        lambda: qm.read_manifest_uri_str(font=reserved),
        lambda: qm.is_compliant(font, extra=bad),
    ]
    # with what __index__ hands out: a reference kept to it would show there
    watched = [font, uri, size, size.value, item, item.value, bad, store, reserved]

    def run_all():
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass

    run_all()  # let anything cached on first use settle
    gc.collect()  # a raised error, its traceback and Seq form cycles, which hold `store` until then
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        run_all()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


FREED_BY_INDEX = """
import gc, sys
import quillmark as qm

font = open(sys.argv[1], "rb").read()
keep = []

class DropsTheFont:
    def __index__(self):
        # Clear every dict that holds this object: the call's keyword arguments among them, and
        # with them the last reference to the font. Then fill the freed memory with other bytes.
        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict) and referrer.get("reserve_size") is self:
                referrer.clear()
        keep.extend(bytes([i]) * len(font) for i in range(16))
        return 64

expected = qm.reserve_manifest_placeholder(font, 64)
result = qm.reserve_manifest_placeholder(**{"font": bytes(bytearray(font)), "reserve_size": DropsTheFont()})
print(result == expected)
"""


def test_an_argument_dropped_during_a_later_conversion_stays_alive(truetype_font, tmp_path):
    """Converting reserve_size runs Python code that can drop every other reference to the font
    argument; the call holds its own. Run in a child: reading freed memory may crash."""
    path = tmp_path / "font.ttf"
    path.write_bytes(truetype_font)
    done = subprocess.run([sys.executable, "-c", FREED_BY_INDEX, str(path)], capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr[-2000:]


# ---- the interpreter's life: threads ended at exit, embedders ---------------------------------

# Daemon threads that call quillmark over and over on a large font, then the interpreter exits:
# every function that lets go of the GIL (a reader, a writer, table_checksums) and box_hashes,
# whose hashlib lets go of it too. From 3.9 to 3.13 a thread that takes the GIL back during
# finalisation is ended by pthread_exit, whose unwinding once aborted the process in a noexcept
# frame of the module's ("terminate called without an active exception").
EXIT_WITH_DAEMON_THREADS = textwrap.dedent(
    """
    import sys, threading, time
    import quillmark
    font = quillmark.reserve_manifest_placeholder(b"\\0\\1\\0\\0" + bytes(8), 8 << 20)
    calls = [quillmark.is_compliant, quillmark.box_hashes, quillmark.remove_manifest_table, quillmark.table_checksums]
    started = threading.Barrier(len(calls) + 1)

    def loop(call):
        started.wait()
        while True:
            call(font)

    for call in calls:
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    started.wait()
    time.sleep(0.02)
    sys.exit(0)
    """
)


def test_daemon_threads_in_the_module_do_not_abort_the_exit():
    """Many runs, four at a time, each exiting while daemon threads are inside the module: every
    one exits with 0 and says nothing (on the module before the fix, a third to most runs died
    of SIGABRT, depending on the version)."""
    runs, at_once = 16, 4
    env = env_for(sys.executable)
    if "ASAN_OPTIONS" in env:  # an ended thread's call is left behind with its stack, on purpose
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    outcomes = []
    for first in range(0, runs, at_once):
        children = [subprocess.Popen([sys.executable, "-c", EXIT_WITH_DAEMON_THREADS], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env)
                    for _ in range(at_once)]  # fmt: skip
        outcomes += [(child.wait(timeout=60), child.stdout.read() + child.stderr.read()) for child in children]
        for child in children:
            child.stdout.close(), child.stderr.close()
    assert outcomes == [(0, "")] * runs


# An embedder's program: the interpreter initialised, quillmark imported and used, the
# interpreter finalised, then all of it again. Prints one line per round.
EMBEDDER = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int round_trip(const char* path) {
  Py_Initialize();
  PyObject* sys_path = PySys_GetObject("path");
  PyObject* folder = PyUnicode_FromString(path);
  PyList_Insert(sys_path, 0, folder);
  Py_DECREF(folder);
  int status = PyRun_SimpleString(
      "import quillmark\n"
      "font = quillmark.reserve_manifest_placeholder(b'\\0\\1\\0\\0' + bytes(8), 3)\n"
      "print(len(quillmark.__all__), quillmark.read_manifest_store(font).hex(), flush=True)\n");
  return Py_FinalizeEx() < 0 ? -1 : status;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  for (int i = 0; i < 2; ++i) {
    if (round_trip(argv[1]) != 0) return 1;
  }
  return 0;
}
"""


def embedding_build_flags() -> list[str] | None:
    """The compiler and flags that link a program against this interpreter, or None where this
    machine cannot build one (no C compiler, no headers, no libpython)."""
    import sysconfig

    compiler = shutil.which(os.environ.get("CC", "cc"))
    include, libdir = sysconfig.get_path("include"), sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_python_version()
    if not compiler or sys.platform == "win32" or not include or not Path(include, "Python.h").exists() or not libdir:
        return None
    if not any(Path(libdir).glob(f"libpython{version}.*")) and not any(
            Path(sysconfig.get_config_var("LIBPL") or libdir).glob(f"libpython{version}.a")):
        return None
    libpl = sysconfig.get_config_var("LIBPL") or libdir
    extra = (sysconfig.get_config_var("LIBS") or "").split() + (sysconfig.get_config_var("SYSLIBS") or "").split()
    exports = (sysconfig.get_config_var("LINKFORSHARED") or "").split()
    return [compiler, f"-I{include}", f"-L{libdir}", f"-L{libpl}", f"-Wl,-rpath,{libdir}", f"-lpython{version}",
            *extra, *exports]


def test_an_embedder_gets_a_working_module_from_each_interpreter(tmp_path):
    """Py_Initialize, import, Py_FinalizeEx, Py_Initialize, import: the second interpreter gets a
    module of its own, not the first one's with every function cleared to None."""
    flags = embedding_build_flags()
    if flags is None:
        pytest.skip("no C compiler, Python headers or libpython to build an embedding program with")
    (tmp_path / "embedder.c").write_text(EMBEDDER)
    program = tmp_path / "embedder"
    # The compiler runs without the sanitizer pass's preloaded runtime, which would report its leaks.
    plain = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS")}
    built = subprocess.run([flags[0], str(tmp_path / "embedder.c"), "-o", str(program), *flags[1:]],
                           capture_output=True, text=True, timeout=120, env=plain)  # fmt: skip
    assert built.returncode == 0, built.stderr[-3000:]
    # The module as installed, found on sys.path's first entry.
    shutil.copy(qm.__file__, tmp_path)
    env = env_for(sys.executable, PYTHONHOME=sys.base_prefix)
    env.pop("PYTHONPATH", None)
    if "ASAN_OPTIONS" in env:  # what two interpreters in one process keep is not the module's
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run([str(program), str(tmp_path)], capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout) == (0, f"{len(SIGNATURES)} 000000\n" * 2), done.stderr[-3000:]
