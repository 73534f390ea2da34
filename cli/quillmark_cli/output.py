"""Writing results: atomically through a temporary file beside the output, keeping the owner,
group and mode of a file that is replaced; and removing every unfinished temporary file when the
run is stopped (Ctrl-C, SIGTERM, SIGHUP, a closed pipe)."""

from __future__ import annotations

import os
import stat
import sys
import threading
from typing import Optional

STDOUT = "-"

_BINARY = getattr(os, "O_BINARY", 0)
_PID = os.getpid()
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)


class Stopped(Exception):
    """The run is being stopped: no new output may be started or put in place."""


class Temporaries:
    """The temporary files being written, across worker threads. Creating one and renaming it
    into place happen under the lock, so once `stop` has run no output appears any more."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._paths: set[str] = set()
        self._stopped = False
        self._count = 0

    def create(self, folder: str, mode: int = 0o666) -> tuple[int, str]:
        with self._lock:
            if self._stopped:
                raise Stopped
            # A short name of its own, not derived from the output's: any output name that
            # fits the file system leaves room for it (names are at most 255 bytes). Made
            # exclusively, as tempfile.mkstemp makes one; with the mode a new output gets (0666
            # less the umask, applied by the system), so that it needs no chmod, or 0600 until
            # it takes the mode of the file it replaces.
            while True:
                self._count += 1
                path = os.path.join(folder, f".quillmark-{_PID}-{self._count}.tmp")
                try:
                    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _BINARY, mode)
                except FileExistsError:  # left by a run of a process of the same id: skip it
                    continue
                self._paths.add(path)
                return fd, path

    def commit(self, temporary: str, path: str) -> None:
        with self._lock:
            if self._stopped:
                raise Stopped
            os.replace(temporary, path)
            self._paths.discard(temporary)

    def discard(self, temporary: str) -> None:
        with self._lock:
            self._paths.discard(temporary)
        try:
            os.unlink(temporary)
        except OSError:
            pass

    def stop(self) -> int:
        """Removes every unfinished temporary file and refuses new ones; returns how many."""
        with self._lock:
            self._stopped = True
            paths, self._paths = self._paths, set()
        for path in paths:
            try:
                os.unlink(path)
            except OSError:
                pass
        return len(paths)


TEMPORARIES = Temporaries()


def identity(path: str) -> Optional[tuple[int, int]]:
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino)


def is_stdout(path: str) -> bool:
    """`-`, or a name of the file that standard output already is (/dev/stdout, /dev/fd/1)."""
    if path == STDOUT:
        return True
    try:
        st = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        return False
    return identity(path) == (st.st_dev, st.st_ino) and not stat.S_ISREG(st.st_mode)


def link_count(path: str) -> int:
    """How many names the file has (1 where the system does not count them)."""
    try:
        return max(os.stat(path).st_nlink, 1)
    except (OSError, AttributeError):
        return 1


class Refused(ValueError):
    """A font the tool itself refuses, with the reason as its message."""


def write_file(path: str, data: bytes, *, force: bool = False) -> None:
    """Writes through a temporary file in the same folder, renamed over `path` once complete,
    so that an interrupted run leaves the old file or the new one, never half of one. A file
    that is replaced keeps its owner, group and mode; when they cannot be kept, or it has other
    hard links (which would keep the old content), the write is refused (Refused) unless
    `force`. A symbolic link is written through, not over. A device or a FIFO is written to
    directly; a FIFO that no process reads is refused rather than waited for."""
    try:
        old: Optional[os.stat_result] = os.lstat(path)
    except FileNotFoundError:
        old = None
    if old is not None and stat.S_ISLNK(old.st_mode):
        path = os.path.realpath(path)  # through a symlink, not over it
        try:
            old = os.stat(path)
        except FileNotFoundError:
            old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        write_special(path, data, old)
        return
    if old is not None and old.st_nlink > 1 and not force:
        raise Refused(
            f"{os.path.basename(path)} exists with {old.st_nlink} hard links, and replacing it would split them"
            " (the other names would keep the old content); --force replaces this name only"
        )
    folder = os.path.dirname(path) or "."
    try:
        fd, temporary = TEMPORARIES.create(folder, 0o666 if old is None else 0o600)
    except OSError as e:  # the folder is missing, or not writable: name it, not the output
        raise OSError(e.errno, e.strerror, os.path.realpath(folder)) from None
    try:
        try:
            _write_all(fd, data)
            if old is not None:
                keep_owner(temporary, old, force)
                os.chmod(temporary, stat.S_IMODE(old.st_mode))  # after chown, which clears set-id bits
            os.fsync(fd)
        finally:
            os.close(fd)
        TEMPORARIES.commit(temporary, path)
    except BaseException:
        TEMPORARIES.discard(temporary)
        raise


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def write_special(path: str, data: bytes, old: os.stat_result) -> None:
    """Writes to a device or a FIFO as it is (a FIFO is opened without waiting for a reader)."""
    fifo = stat.S_ISFIFO(old.st_mode) and _NONBLOCK
    try:
        fd = os.open(path, os.O_WRONLY | _BINARY | (_NONBLOCK if fifo else 0))
    except OSError as e:
        if fifo and e.errno == 6:  # ENXIO: nobody has the FIFO open for reading
            raise Refused("it is a FIFO that no process reads") from None
        raise
    if fifo:
        os.set_blocking(fd, True)
    with open(fd, "wb") as f:
        f.write(data)


def keep_owner(temporary: str, old: os.stat_result, force: bool) -> None:
    chown = getattr(os, "chown", None)  # not on Windows, where files have no owner ids
    if chown is None:
        return
    new = os.stat(temporary)
    if (new.st_uid, new.st_gid) == (old.st_uid, old.st_gid):
        return
    try:
        chown(temporary, old.st_uid, old.st_gid)
    except PermissionError:
        if not force:
            raise Refused(
                f"cannot keep its owner and group ({old.st_uid}:{old.st_gid}); --force writes it as yours"
            ) from None
