#!/usr/bin/env bash
# Runs each file-reader fuzzer for SECONDS, two at a time, and keeps every
# crashing, hanging or leaking input in fuzz/regressions/<target>/, which the
# unit tests replay. Without TARGETs, every fuzzer: the engine's readers
# (control data matrix link) and the core's (table core_control job_json
# run_json run_directory). Exit status 1 when anything was found.
#   fuzz/run.sh SECONDS [TARGET...]
set -euo pipefail
secs=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(control data matrix link table core_control job_json run_json run_directory)
here=$(cd "$(dirname "$0")" && pwd)
build=${ZARNO_FUZZ_BUILD:-$here/../build-fuzz}
mkdir -p "$build"
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 2; }
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 2; }

# Words the mutations splice in: JSON for the run directory's files, separators
# and numbers for the tables and control files.
dictionary() {
  case $1 in
    job_json | run_json | run_directory) echo "-dict=$here/dict/json.dict" ;;
    table | core_control) echo "-dict=$here/dict/table.dict" ;;
  esac
}

run_one() {
  local t=$1 work=$build/work/$1
  rm -rf "$work/artifacts"
  mkdir -p "$work/corpus" "$work/artifacts" "$here/regressions/$t"
  # The committed seeds and regressions are read; new finds go to the work corpus.
  # shellcheck disable=SC2046
  "$build/fuzz_$t" "$work/corpus" "$here/corpus/$t" "$here/regressions/$t" $(dictionary "$t") \
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
set -- "${targets[@]}"
while [ $# -gt 0 ]; do
  a=$1 b=${2:-}
  shift
  [ -z "$b" ] || shift
  run_one "$a" >"$build/$a.summary" &
  [ -z "$b" ] || run_one "$b" >"$build/$b.summary" &
  wait
  for t in $a $b; do
    cat "$build/$t.summary"
    grep -q ' 0 crashing' "$build/$t.summary" || status=1
  done
done
exit $status
