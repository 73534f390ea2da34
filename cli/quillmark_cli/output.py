"""Writing results: atomically through a temporary file beside the output, keeping the owner,
group and mode of a file that is replaced; and removing every unfinished temporary file when the
run is stopped (Ctrl-C, SIGTERM, SIGHUP, a closed pipe)."""

from __future__ import annotations

import os
import stat
import sys
import tempfile
import threading
from typing import Optional

# Read once: a new output file gets the mode that open() would have given it.
_UMASK = os.umask(0)
os.umask(_UMASK)

STDOUT = "-"


class Stopped(Exception):
    """The run is being stopped: no new output may be started or put in place."""


class Temporaries:
    """The temporary files being written, across worker threads. Creating one and renaming it
    into place happen under the lock, so once `stop` has run no output appears any more."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._paths: set[str] = set()
        self._stopped = False

    def create(self, folder: str) -> tuple[int, str]:
        with self._lock:
            if self._stopped:
                raise Stopped
            # A short name of its own, not derived from the output's: any output name that
            # fits the file system leaves room for it (names are at most 255 bytes).
            fd, path = tempfile.mkstemp(dir=folder, prefix=".quillmark-", suffix=".tmp")
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
    that is replaced keeps its owner, group and mode; when they cannot be kept the write is
    refused (Refused) unless `force`. A device or a pipe is written to directly."""
    path = os.path.realpath(path)  # through a symlink, not over it
    try:
        old: Optional[os.stat_result] = os.stat(path)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        with open(path, "wb") as f:
            f.write(data)
        return
    folder = os.path.dirname(path)
    try:
        fd, temporary = TEMPORARIES.create(folder)
    except OSError as e:  # the folder is missing, or not writable: name it, not the output
        raise OSError(e.errno, e.strerror, folder) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if old is None:
            os.chmod(temporary, 0o666 & ~_UMASK)
        else:
            keep_owner(temporary, old, force)
            os.chmod(temporary, stat.S_IMODE(old.st_mode))  # after chown, which clears set-id bits
        TEMPORARIES.commit(temporary, path)
    except BaseException:
        TEMPORARIES.discard(temporary)
        raise


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
