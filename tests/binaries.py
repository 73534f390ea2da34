"""What a built module shows the world and what it loads, read from ELF, Mach-O and PE files
alike with LIEF: the rule is that it exports PyInit_quillmark and nothing else, and does not
link a particular Python's library (libpython on Linux and macOS, python3X.dll on Windows,
where the stable ABI's python3.dll is the one to link). Run as a script (--check FILE...) it
prints each file's problems and exits 1 if there are any; .ci/cross checks its builds so."""

from __future__ import annotations

import re
import sys

import lief

lief.logging.disable()

# What a module linked with Zig's static libc++ for macOS exports besides its own symbol (the
# replaceable operator new and delete, which Zig's linker keeps exported) and what Apple's
# linker always exports from an image; a build with Apple's linker and the system's libc++
# exports none of the first kind.
_STATIC_LIBCXX = re.compile(r"_Z(nw|na|dl|da)|__dso_handle$|_mh_(dylib|bundle)_header$")


def exported(path: str) -> list[str]:
    """The names of the symbols the file exports, without Mach-O's leading underscore."""
    binary = lief.parse(path)
    if binary is None:
        raise ValueError(f"{path}: not an ELF, Mach-O or PE file")
    if binary.format == lief.Binary.FORMATS.PE:
        return sorted({f.name for f in binary.exported_functions})
    names = {s.name for s in binary.exported_symbols}
    if binary.format == lief.Binary.FORMATS.MACHO:
        names = {n[1:] if n.startswith("_") else n for n in names}
    return sorted(names)


def libraries(path: str) -> list[str]:
    """The shared libraries the file names for the loader."""
    binary = lief.parse(path)
    if binary.format == lief.Binary.FORMATS.PE:
        return [i.name for i in binary.imports]
    if binary.format == lief.Binary.FORMATS.MACHO:
        return [lib.name for lib in binary.libraries]
    return list(binary.libraries)


def python_calls(path: str) -> set[str]:
    """The Python API names the file leaves for the interpreter to supply."""
    binary = lief.parse(path)
    if binary.format == lief.Binary.FORMATS.PE:
        return {e.name for i in binary.imports if i.name.lower() == "python3.dll" for e in i.entries}
    names = {s.name for s in binary.imported_symbols}
    if binary.format == lief.Binary.FORMATS.MACHO:
        names = {n[1:] for n in names if n.startswith("_")}
    return {n for n in names if re.match(r"_?Py", n)}


def problems(path: str, *, static_libcxx: bool = False) -> list[str]:
    """What breaks the rule in the module at `path`; `static_libcxx` allows what a macOS
    module linked with Zig's libc++ exports besides PyInit_quillmark."""
    found = []
    names = exported(path)
    if static_libcxx:
        names = [n for n in names if not _STATIC_LIBCXX.match(n)]
    if names != ["PyInit_quillmark"]:
        found.append(f"exports {names}, not PyInit_quillmark alone")
    libs = libraries(path)
    for lib in libs:
        base = lib.rsplit("/", 1)[-1].lower()
        if base.startswith("libpython") or base == "python" or re.fullmatch(r"python3\d+\.dll", base):
            found.append(f"links {lib}")
    if lief.parse(path).format == lief.Binary.FORMATS.PE and "python3.dll" not in [lib.lower() for lib in libs]:
        found.append("does not import from python3.dll")
    return found


def main(argv: list[str]) -> int:
    if not argv or argv[0] != "--check":
        print("usage: binaries.py --check FILE...", file=sys.stderr)
        return 2
    failed = False
    files = argv[1:]
    calls = {path: python_calls(path) for path in files}
    elf = set().union(*(c for p, c in calls.items() if lief.parse(p).format == lief.Binary.FORMATS.ELF))
    for path in files:
        found = problems(path, static_libcxx=True)
        if elf and not calls[path] <= elf:
            found.append(f"calls Python functions the Linux builds do not: {sorted(calls[path] - elf)}")
        print(f"{path}: {'; '.join(found) or 'exports PyInit_quillmark only; ' + ', '.join(libraries(path))}")
        failed |= bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
