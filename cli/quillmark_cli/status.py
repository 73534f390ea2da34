"""The exit statuses of the `quillmark` command, named once here.

Every subcommand returns one of these; the shell and CI scripts read them: 0 when every font was
handled (or passed), 1 when some font was refused or failed (the others are still processed),
2 for a usage error (argparse's own status), 128 plus the signal's number when the run was
stopped by a signal, which is 130 for Ctrl-C (SIGINT) as shells report it.
"""

from __future__ import annotations

SUCCESS = 0
FAILURE = 1
USAGE = 2
SIGNALLED = 128  # plus the signal's number
INTERRUPTED = SIGNALLED + 2  # SIGINT is 2 on every system Python runs on


def stopped_by(signum: int) -> int:
    """The status of a run stopped by signal `signum` (SIGTERM gives 143, SIGHUP 129)."""
    return SIGNALLED + signum
