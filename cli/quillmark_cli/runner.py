"""Running one job per font, in worker threads, with results and messages in input order.

Each job reads its font, has the module do the work and writes its output in a worker thread
(the module releases the GIL on large fonts); the main thread only prints, in the order the
fonts were given, and shows progress on a terminal. A font that fails is reported and the run
goes on; a stop (Ctrl-C, SIGTERM, SIGHUP, a closed standard output) removes the unfinished
temporary files and ends the process.
"""

from __future__ import annotations

import argparse
import errno
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
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


class Outcome:
    """What one font's job has to say: printed by the main thread, in input order."""

    __slots__ = ("lines", "data", "notes", "errors", "done", "status")

    def __init__(
        self,
        lines: Optional[list[str]] = None,
        data: Optional[bytes] = None,
        notes: Optional[list[str]] = None,
        errors: Optional[list[str]] = None,
        done: str = "done",
        status: int = SUCCESS,
    ) -> None:
        self.lines: list[str] = lines if lines is not None else []  # standard output
        self.data = data  # bytes for standard output (`-o -`)
        self.notes: list[str] = notes if notes is not None else []  # standard error, silenced by -q
        self.errors: list[str] = errors if errors is not None else []  # standard error, always
        self.done = done  # what -v says once the font is handled
        self.status = status


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
        text = text[: _columns(self.stderr) - 1]
        self.stderr.write("\r" + text.ljust(self.width))
        self.stderr.flush()
        self.width = len(text)

    def emit(self, job: Optional[Job], outcome: Outcome) -> None:
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
        if self.verbose and job is not None and not outcome.errors:
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


class Pool:
    """`workers` threads that take the jobs in input order, one at a time each; the outcome of
    job i is `outcomes[i]` once `ready[i]` is set. (A few lines of threading rather than
    concurrent.futures, which costs the tool's start-up more than all the rest of it.)"""

    def __init__(self, jobs: Sequence[Job], workers: int) -> None:
        self.jobs = jobs
        self.outcomes: list[Optional[Outcome]] = [None] * len(jobs)
        self.ready = [threading.Event() for _ in jobs]
        self._next = 0
        self._lock = threading.Lock()
        self._stopped = False
        self._threads = [
            threading.Thread(target=self._work, name=f"quillmark-{i}") for i in range(min(max(workers, 1), len(jobs)))
        ]
        for thread in self._threads:
            thread.start()

    def _work(self) -> None:
        while True:
            with self._lock:
                if self._stopped or self._next >= len(self.jobs):
                    return
                i = self._next
                self._next += 1
            self.outcomes[i] = self.jobs[i]()  # a Job never raises
            self.ready[i].set()

    def stop(self) -> None:
        """No job is started any more; those running finish (the interpreter waits for them)."""
        with self._lock:
            self._stopped = True


def run(
    jobs: Sequence[Job], workers: int, verbose: bool = False, quiet: bool = False, before: Optional[Outcome] = None
) -> int:
    """Runs every job on `workers` threads; prints `before` (what concerns the whole run), then
    each outcome in input order; returns the exit status (0, or 1 when something failed)."""
    console = Console(len(jobs), verbose, quiet)
    status = SUCCESS
    if before is not None:
        console.emit(None, before)
        status |= before.status
    pool = Pool(jobs, workers)
    try:
        for done, job in enumerate(jobs):
            while not pool.ready[done].wait(TICK):  # stays responsive to signals
                console.show_progress(done, jobs)
            outcome = pool.outcomes[done]
            assert outcome is not None
            console.emit(job, outcome)
            status |= outcome.status
            console.show_progress(done + 1, jobs)
        console.clear()
    finally:
        pool.stop()
    return status


def run_fonts(
    args: argparse.Namespace,
    fonts: Sequence[Font],
    work: Callable[[Font, str], Outcome],
    outputs: Sequence[str],
    unhandled: str = "",
) -> int:
    """One job per font, `work(font, output)`, run with the options every subcommand has
    (-j, -v, -q); a font found with a problem (a folder without fonts) is reported as failed.
    The files that the fonts' folders held and the run skips are reported first (see
    `discovery.skipped_lines`); with `unhandled` (what to add to each line, such as how to let
    the run pass), a font file left unhandled fails the run."""

    def job(font: Font, out: str) -> Job:
        if font.problem is not None:
            return failed(font.path, font.problem)
        return Job(font.path, lambda: work(font, out))

    from .discovery import skipped_lines

    errors, notes = skipped_lines(fonts, args.verbose, unhandled)
    before = Outcome(errors=errors, notes=notes, status=FAILURE if errors else SUCCESS)
    jobs = [job(font, out) for font, out in zip(fonts, outputs)]
    return run(jobs, workers(args.jobs), args.verbose, args.quiet, before)


def _columns(stream: TextIO) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError, AttributeError):
        return 80


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
