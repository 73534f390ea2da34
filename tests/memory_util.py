"""Measuring memory from the outside: resident memory, peak memory in a child process, and
whether this process runs under a sanitizer (which changes what memory numbers mean)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Resident memory and a child's peak come from Linux's /proc, and the address-space caps rely on
# RLIMIT_AS as Linux applies it (macOS does not enforce it; Windows has no resource module).
LINUX = sys.platform.startswith("linux")
linux_only = pytest.mark.skipif(not LINUX, reason="measures memory through Linux's /proc and RLIMIT_AS")


def _sanitized() -> bool:
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line or "libclang_rt.asan" in line for line in maps)
    except OSError:
        return False


# AddressSanitizer keeps freed memory in quarantine and reserves terabytes of address space for
# its shadow, so resident-memory bounds and address-space caps mean nothing under it.
SANITIZED = _sanitized()


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Runs in a fresh interpreter: runs `setup`, caps the address space when asked, then runs
# each call and reports its outcome and how far resident memory rose above where it stood, at
# its peak during the call (the kernel's high-water mark, reset just before each).
_CHILD = """
import json, re, resource, sys
import quillmark

def status(key):
    with open("/proc/self/status") as f:
        return int(re.search(key + r":\\s+(\\d+) kB", f.read()).group(1)) * 1024

def used():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

{setup}
limit = {limit}
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
outcomes = []
for call in {calls!r}:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    result = None
    try:
        result = eval(call)
        outcome = {{"ok": True, "type": type(result).__name__,
                    "len": len(result) if hasattr(result, "__len__") else None}}
    except BaseException as e:
        outcome = {{"ok": False, "type": type(e).__name__, "message": str(e)}}
    outcome["peak_rise"] = status("VmHWM") - before
    del result
    outcomes.append(outcome)
print(json.dumps(outcomes))
"""


def run_child(setup: str, calls: list[str], address_space_limit: str = "0", timeout: float = 120) -> list[dict]:
    """Runs each of `calls` (expressions) in a child interpreter after `setup` (statements).
    When `address_space_limit` (an expression; `used()` is the child's address space so far) is
    not "0", the child's address space is capped there first. Returns each call's outcome: ok,
    type (of the result or the exception), message, len, peak_rise (bytes)."""
    code = _CHILD.format(setup=textwrap.dedent(setup), calls=list(calls), limit=address_space_limit)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"child died ({proc.returncode}):\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])
