#!/usr/bin/env bash
# Runs exercise.py under valgrind's memcheck, with the interpreter's own allocator off so that
# every object goes through malloc, and fails when any memory error or definite leak has a
# quillmark frame in its stack. The interpreter keeps some memory to the end of the process by
# design; those losses are counted and shown but do not fail the run.
#
#   tests/leaks/valgrind.sh [PYTHON]     (PYTHON defaults to python3; quillmark must import)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${1:-python3}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=50 --log-file="$log" \
  "$python" "$here/exercise.py" 3

"$python" - "$log" <<'PY'
import re, sys

text = open(sys.argv[1]).read()
records, current = [], []
for line in text.splitlines():
    body = re.sub(r"^==\d+== ?", "", line)
    if body.strip():
        current.append(body)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)

def ours(record):
    return any("quillmark" in frame for frame in record[1:])

leaks = [r for r in records if "definitely lost in loss record" in r[0]]
errors = [r for r in records if re.match(r"(Invalid (read|write|free)|Conditional jump|Use of uninitialised"
                                         r"|Mismatched free|Source and destination overlap|Syscall param)", r[0])]
summary = [l for r in records for l in r if re.match(r"(definitely|indirectly|possibly) lost:|ERROR SUMMARY", l.strip())]
print("\n".join(l.strip() for l in summary))
bad = [r for r in leaks + errors if ours(r)]
print(f"memcheck: {len(errors)} memory errors, {len(leaks)} definite leaks; "
      f"{len(bad)} with a quillmark frame")
for r in bad:
    print("\n".join(r), end="\n\n")
sys.exit(1 if bad else 0)
PY
