#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs them.
#
#   fuzz/run.sh [-t SECONDS] [-j JOBS] [--replay] [TARGET...]
#
# TARGET is fuzz_read, fuzz_table, fuzz_rebuild or fuzz_fill (all four when none is named).
# Each target fuzzes for SECONDS (default 60) from its seeds in fuzz/corpus/<name>/ and keeps
# what it learns in fuzz/out/<target>/corpus/; crashes land in fuzz/out/<target>/ and stop the
# run. --replay runs every seed once instead, without fuzzing. JOBS targets run at once
# (default 1). Prints executions, coverage and crashes per target; exits non-zero on any crash.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=60
jobs=1
replay=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    --replay) replay=1; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    fuzz_*) targets+=("$1"); shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_read fuzz_table fuzz_rebuild fuzz_fill)

build=${QUILLMARK_FUZZ_BUILD:-$root/build/fuzz}
cmake_bin=${CMAKE:-cmake}
if [ ! -f "$build/build.ninja" ]; then
  "$cmake_bin" -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLMARK_MODULE=OFF -DQUILLMARK_FUZZ=ON -DQUILLMARK_WERROR=ON >/dev/null
fi
"$cmake_bin" --build "$build" -j 2 -- "${targets[@]}" >/dev/null

# Stop at the first finding and keep the stacks readable.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local target=$1 name=${1#fuzz_}
  local out=$root/fuzz/out/$target seeds=$root/fuzz/corpus/$name
  mkdir -p "$out/corpus"
  local options=(-dict="$root/fuzz/sfnt.dict" -artifact_prefix="$out/" -print_final_stats=1 -timeout=10
                 -rss_limit_mb=2048 -max_len=16384)
  if [ "$replay" = 1 ]; then
    "$build/fuzz/$target" "${options[@]}" -runs=0 "$seeds" >"$out/log" 2>&1
  else
    "$build/fuzz/$target" "${options[@]}" -use_value_profile=1 -max_total_time="$seconds" \
      "$out/corpus" "$seeds" >"$out/log" 2>&1
  fi
}

summary() {
  local target=$1 status=$2 log=$root/fuzz/out/$1/log
  local execs cov ft crashes
  # A run that stops before libFuzzer prints its stats has none of these lines.
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$( (grep -oE 'cov: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
  ft=$( (grep -oE 'ft: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
  crashes=$(find "$root/fuzz/out/$target" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  printf '%-13s %-6s execs %-10s cov %-5s ft %-6s findings %s\n' "$target" "$([ "$status" = 0 ] && echo ok || echo FAILED)" \
    "${execs:-?}" "${cov:-?}" "${ft:-?}" "$crashes"
  if [ "$status" != 0 ]; then
    echo "--- $log (tail)"
    tail -40 "$log"
  fi
}

failed=0
pids=()
names=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  names+=("$target")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    status=0
    wait "${pids[0]}" || status=$?
    summary "${names[0]}" "$status"
    [ "$status" = 0 ] || failed=1
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  status=0
  wait "${pids[$i]}" || status=$?
  summary "${names[$i]}" "$status"
  [ "$status" = 0 ] || failed=1
done
exit $failed
