#!/usr/bin/env bash
# Runs each file-reader fuzzer for SECONDS, two at a time, and keeps every
# crashing, hanging or leaking input in fuzz/regressions/<target>/, which the
# unit tests replay. Exit status 1 when anything was found.
set -euo pipefail
secs=${1:?usage: fuzz/run.sh SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
build=${ZARNO_FUZZ_BUILD:-$here/../build-fuzz}
mkdir -p "$build"
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 2; }
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 2; }

run_one() {
  local t=$1 work=$build/work/$1
  rm -rf "$work/artifacts"
  mkdir -p "$work/corpus" "$work/artifacts" "$here/regressions/$t"
  # The committed seeds and regressions are read; new finds go to the work corpus.
  "$build/fuzz_$t" "$work/corpus" "$here/corpus/$t" "$here/regressions/$t" \
    -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1 || true
  local found=0
  for a in "$work"/artifacts/*; do
    [ -e "$a" ] || continue
    cp "$a" "$here/regressions/$t/"
    found=$((found + 1))
  done
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  echo "$t: ${runs:-?} executions in ${secs} s, $found crashing or hanging inputs (log: $work/log)"
}

status=0
for pair in "control data" "matrix link"; do
  set -- $pair
  run_one "$1" >"$build/$1.summary" &
  run_one "$2" >"$build/$2.summary" &
  wait
  cat "$build/$1.summary" "$build/$2.summary"
  grep -q ' 0 crashing' "$build/$1.summary" || status=1
  grep -q ' 0 crashing' "$build/$2.summary" || status=1
done
exit $status
