"""Reading the files a run takes: fonts, and the stores and manifests written into them.

Every read is bounded before it starts: a regular file by its size, known from `fstat`; a pipe,
a device or standard input by reading no more than the limit plus one byte. A FIFO is opened
without blocking, so a FIFO that nobody writes to reads as empty instead of holding the run
forever. A font is read in one raw read (no buffered reader), once its first bytes have shown
that it is one: a file that is no font is refused from its first 12 bytes, however large it is.
"""

from __future__ import annotations

import os
import stat
import sys
from typing import Callable, Optional

import quillmark

from . import messages
from .output import Refused

STDIN = "-"

# What to say of a file past the limit, given its size (None: a stream, whose size is unknown).
TooLong = Callable[[Optional[int]], str]
CheckStart = Optional[Callable[[bytes], None]]

# The offset table: what the module needs to tell a font from something else.
FIRST_BYTES = 12
# No SFNT font is larger: every table starts below 4 GiB (Offset32) and is at most 4 GiB long.
FONT_LIMIT = 2 * 0xFFFFFFFF
# The largest manifest store the C2PA table's 32-bit length can describe (the module's limit).
STORE_LIMIT = 0xFFFFFFFF

# A file up to this size is read whole before its first bytes are judged: one system call less
# for a typical font, and no more memory than a small file takes.
SMALL = 1 << 20

_NONBLOCK = getattr(os, "O_NONBLOCK", 0)
_BINARY = getattr(os, "O_BINARY", 0)  # Windows: no newline translation


def load(path: str) -> bytes:
    """The font at `path` (`-`: standard input), refused from its first bytes when it is no font."""
    return read_file(path, FONT_LIMIT, _font_limit_refusal, check_start=_check_font_start)


def read_bounded(path: str, limit: int, too_long: TooLong) -> bytes:
    """The file at `path` (`-`: standard input) when it holds at most `limit` bytes; otherwise
    Refused with `too_long(size)` (size None: a stream longer than the limit), reading no more
    than `limit` + 1 bytes of it."""
    return read_file(path, limit, too_long)


def _font_limit_refusal(size: Optional[int]) -> str:
    return f"larger than any font can be ({FONT_LIMIT} bytes)"


def _check_font_start(head: bytes) -> None:
    try:
        quillmark.read_manifest_uri_str(head)  # the offset table alone: the module judges the version
    except ValueError as e:
        if str(e) in messages.NOT_A_FONT:
            raise


def read_file(path: str, limit: int, too_long: TooLong, check_start: CheckStart = None) -> bytes:
    if path == STDIN:
        fd, close = sys.stdin.fileno() if sys.stdin is not None else 0, False
    else:
        fd, close = os.open(path, os.O_RDONLY | _NONBLOCK | _BINARY), True
    try:
        st = os.fstat(fd)
        if stat.S_ISREG(st.st_mode) and close:  # standard input may stand anywhere in its file: a stream
            if st.st_size > limit:
                raise Refused(too_long(st.st_size))
            if check_start is not None and st.st_size > SMALL:
                check_start(_pread(fd, FIRST_BYTES))
            data = _read_regular(fd, st.st_size, limit, too_long)
            if check_start is not None and st.st_size <= SMALL:
                check_start(data[:FIRST_BYTES])
            return data
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(21, "Is a directory")
        if _NONBLOCK and close:
            os.set_blocking(fd, True)  # a writer is there (or none ever: then it reads as empty)
        head = _read_stream(fd, FIRST_BYTES, limit) if check_start is not None else b""
        if check_start is not None:
            check_start(head)
        data = head + _read_stream(fd, limit + 1 - len(head), limit)
        if len(data) > limit:
            raise Refused(too_long(None))
        return data
    finally:
        if close:
            os.close(fd)


def _pread(fd: int, count: int) -> bytes:
    pread = getattr(os, "pread", None)
    if pread is None:  # Windows
        data = os.read(fd, count)
        os.lseek(fd, 0, os.SEEK_SET)
        return data
    return bytes(pread(fd, count, 0))


def _read_regular(fd: int, size: int, limit: int, too_long: TooLong) -> bytes:
    """The `size` bytes fstat gave, in one read (one allocation, one system call) where the
    system allows it. A file that grows meanwhile is read as it was; one that shrank, to its end."""
    data = os.read(fd, size) if size else b""
    if 0 < len(data) < size:  # a read past 2 GiB on Linux, or a file cut meanwhile
        data += _read_stream(fd, size - len(data), limit)
    return data


CHUNK = 1 << 20


def _read_stream(fd: int, count: int, limit: int) -> bytes:
    """Up to `count` bytes, fewer at the end of the file."""
    parts = []
    while count > 0:
        part = os.read(fd, min(count, CHUNK))
        if not part:
            break
        parts.append(part)
        count -= len(part)
    return b"".join(parts)


