"""Running one job per font, in worker threads, with results and messages in input order.

Each job reads its font, has the module do the work and writes its output in a worker thread
(the module releases the GIL on large fonts); the main thread only prints, in the order the
fonts were given, and shows progress on a terminal. A font that fails is reported and the run
goes on; a stop (Ctrl-C, SIGTERM, SIGHUP, a closed standard output) removes the unfinished
temporary files and ends the process.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import errno
import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import FrameType
from typing import TYPE_CHECKING, Optional, TextIO

from .names import shown
from .output import TEMPORARIES, Stopped
from .status import FAILURE, SUCCESS, stopped_by

if TYPE_CHECKING:
    from .discovery import Font

# Progress appears on a terminal for runs of more than this many fonts...
PROGRESS_FROM = 4
# ...and names a font that has been running longer than this (seconds).
SLOW = 2.0
TICK = 0.2


@dataclass
class Outcome:
    """What one font's job has to say: printed by the main thread, in input order."""

    lines: list[str] = field(default_factory=list)  # standard output
    data: Optional[bytes] = None  # bytes for standard output (`-o -`)
    notes: list[str] = field(default_factory=list)  # standard error, silenced by -q
    errors: list[str] = field(default_factory=list)  # standard error, always
    done: str = "done"  # what -v says once the font is handled
    status: int = SUCCESS


class OutputFailed(Exception):
    """Standard output cannot be written (a full disk, a closed descriptor): the run cannot go on."""


def message_of(error: BaseException, path: Optional[str] = None) -> str:
    """One line for a failure of the work on `path`; never a traceback."""
    if isinstance(error, OSError) and error.strerror:
        if error.filename is not None and error.filename != path:
            return f"{shown(os.fsdecode(error.filename))}: {error.strerror}"
        return error.strerror
    if isinstance(error, MemoryError):
        return "not enough memory for this font"
    if isinstance(error, (ValueError, OverflowError)):
        return shown(str(error))
    return f"internal error, please report it with this font: {type(error).__name__}: {shown(str(error))}"


class Job:
    def __init__(self, name: str, work: Callable[[], Outcome]) -> None:
        self.name = name
        self.work = work
        self.started: Optional[float] = None
        self.finished = False

    def __call__(self) -> Outcome:
        self.started = time.monotonic()
        try:
            return self.work()
        except Stopped:
            return Outcome(status=FAILURE)
        except BaseException as e:  # noqa: B902 -- worker threads never see KeyboardInterrupt
            return Outcome(errors=[f"quillmark: {shown(self.name)}: {message_of(e, self.name)}"], status=FAILURE)
        finally:
            self.finished = True


def failed(name: str, message: str) -> Job:
    """A job that only reports a problem found before any work (a folder without fonts)."""
    return Job(name, lambda: Outcome(errors=[f"quillmark: {shown(name)}: {message}"], status=FAILURE))


class Console:
    """Standard output and error for the main thread, with an optional progress line on
    standard error that is cleared before anything else is printed."""

    def __init__(self, total: int, verbose: bool, quiet: bool) -> None:
        self.verbose = verbose
        self.quiet = quiet
        self.total = total
        self.stderr = sys.stderr
        self.progress = not quiet and total >= PROGRESS_FROM and self.stderr.isatty()
        self.width = 0  # of the progress line now shown

    def clear(self) -> None:
        if self.width:
            self.stderr.write("\r" + " " * self.width + "\r")
            self.width = 0

    def show_progress(self, done: int, jobs: Sequence[Job]) -> None:
        if not self.progress:
            return
        text = f"quillmark: {done}/{self.total} fonts done"
        now = time.monotonic()
        running = [job for job in jobs if job.started is not None and not job.finished]
        if running:
            slowest = min(running, key=lambda job: job.started or now)
            seconds = now - (slowest.started or now)
            if seconds >= SLOW:
                text += f"; slow ({seconds:.0f} s): {shown(slowest.name)}"
        text = text[: shutil.get_terminal_size().columns - 1]
        self.stderr.write("\r" + text.ljust(self.width))
        self.stderr.flush()
        self.width = len(text)

    def emit(self, job: Job, outcome: Outcome) -> None:
        self.clear()
        if outcome.lines or outcome.data is not None:
            try:
                self.write_out(outcome)
            except BrokenPipeError:
                raise
            except OSError as e:
                raise OutputFailed(e.strerror or str(e)) from None
        for line in outcome.errors + ([] if self.quiet else outcome.notes):
            print(line, file=self.stderr)
        if self.verbose and not outcome.errors:
            print(f"quillmark: {shown(job.name)}: {outcome.done}", file=self.stderr)
        self.stderr.flush()

    @staticmethod
    def write_out(outcome: Outcome) -> None:
        if sys.stdout is None:  # started with standard output closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        if outcome.lines:
            sys.stdout.write("".join(line + "\n" for line in outcome.lines))
            sys.stdout.flush()
        if outcome.data is not None:
            sys.stdout.buffer.write(outcome.data)
            sys.stdout.buffer.flush()


def run(jobs: Sequence[Job], workers: int, verbose: bool = False, quiet: bool = False) -> int:
    """Runs every job on `workers` threads; prints each outcome in input order; returns the
    exit status (0, or 1 when some font failed)."""
    console = Console(len(jobs), verbose, quiet)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(workers, 1), thread_name_prefix="quillmark")
    status = SUCCESS
    try:
        futures = [pool.submit(job) for job in jobs]
        for done, (job, future) in enumerate(zip(jobs, futures)):
            while not concurrent.futures.wait([future], timeout=TICK).done:  # stays responsive to signals
                console.show_progress(done, jobs)
            outcome = future.result()
            console.emit(job, outcome)
            status |= outcome.status
            console.show_progress(done + 1, jobs)
        console.clear()
    finally:
        pool.shutdown(wait=False, cancel_futures=True)
    return status


def run_fonts(
    args: argparse.Namespace, fonts: Sequence[Font], work: Callable[[Font, str], Outcome], outputs: Sequence[str]
) -> int:
    """One job per font, `work(font, output)`, run with the options every subcommand has
    (-j, -v, -q); a font found with a problem (a folder without fonts) is reported as failed."""

    def job(font: Font, out: str) -> Job:
        if font.problem is not None:
            return failed(font.path, font.problem)
        return Job(font.path, lambda: work(font, out))

    jobs = [job(font, out) for font, out in zip(fonts, outputs)]
    return run(jobs, workers(args.jobs), args.verbose, args.quiet)


def workers(count: int) -> int:
    return count if count > 0 else (os.cpu_count() or 1)


class Interrupted(KeyboardInterrupt):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_interrupted(signum: int, frame: Optional[FrameType]) -> None:
    raise Interrupted(signum)


@contextmanager
def stops_cleanly() -> Iterator[None]:
    """Around a whole run: SIGTERM and SIGHUP (where the system has them) stop it as Ctrl-C
    does. A stop removes the unfinished temporary files, says so and exits with 128 plus the
    signal's number (130 for Ctrl-C); a closed pipe on standard output ends the run quietly,
    status 1, and any other failure to write there (a full disk) with one line, status 1."""
    names = ["SIGTERM", "SIGHUP"]
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for name in names:
            if hasattr(signal, name):
                number = getattr(signal, name)
                previous[number] = signal.signal(number, _raise_interrupted)
    try:
        yield
    except KeyboardInterrupt as e:
        for number in [signal.SIGINT, *previous]:
            signal.signal(number, signal.SIG_IGN)
        signum = e.signum if isinstance(e, Interrupted) else signal.SIGINT
        removed = TEMPORARIES.stop()
        unfinished = f"; {removed} unfinished output{'s' if removed != 1 else ''} removed" if removed else ""
        _flush(sys.stdout)
        print(f"quillmark: stopped by {signal.Signals(signum).name}{unfinished}", file=sys.stderr)
        _flush(sys.stderr)
        os._exit(stopped_by(signum))  # worker threads may be deep in a large font: do not wait for them
    except BrokenPipeError:
        TEMPORARIES.stop()
        _flush(sys.stderr)
        os._exit(FAILURE)
    except OutputFailed as e:
        TEMPORARIES.stop()
        print(f"quillmark: standard output: {e}", file=sys.stderr)
        _flush(sys.stderr)
        os._exit(FAILURE)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _flush(stream: TextIO) -> None:
    try:
        stream.flush()
    except (OSError, ValueError):
        pass
