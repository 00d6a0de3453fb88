#!/usr/bin/env bash
# Sweep throughput of `zarno run` at 20000 x 200 (weighted), pattern counts 2
# to 8, 2 chains, 200 rounds: runs per second on 1 and on 2 threads.
# Usage: bench/cli/cli_sweep.sh BUILD_DIR   (a tree configured with -DZARNO_BENCH=ON)
set -euo pipefail
build=${1:?usage: bench/cli/cli_sweep.sh BUILD_DIR}
cmake --build "$build" -j2 --target zarno zarno_cli_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/zarno_cli_bench" gen "$work" 20000 200
runs=14
# One thread; two concurrent runs of one thread each; and the default on two
# threads, where the idle thread joins the last run still going.
names=(one two-fixed two-default)
flags=("--threads 1 --threads-per-run 1" "--threads 2 --threads-per-run 1" "--threads 2")
declare -A secs
for i in 0 1 2; do
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  "$build/bin/zarno" run "$work/data.txt" --uncert "$work/unc.txt" --ranks 2:8 --chains 2 \
    --rounds 200 ${flags[$i]} --quiet --no-report --out "$work/${names[$i]}"
  end=$(date +%s.%N)
  secs[$i]=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
  echo "${flags[$i]}: $runs runs in ${secs[$i]} s = $(awk -v s="${secs[$i]}" -v n=$runs 'BEGIN { printf "%.3f", n / s }') runs/s"
  cmp <(cut -f1-5 "$work/${names[$i]}/summary.tsv") <(cut -f1-5 "$work/one/summary.tsv")
done
awk -v a="${secs[0]}" -v b="${secs[1]}" -v c="${secs[2]}" 'BEGIN {
  printf "two concurrent runs / one thread: %.2fx; default on two threads / two concurrent runs: %.2fx (same results)\n", a / b, b / c }'
