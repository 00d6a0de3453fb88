#!/usr/bin/env bash
# Sweep throughput of `zarno run` at 20000 x 200 (weighted), pattern counts 2
# to 8, 2 chains, 200 rounds: runs per second on 1 and on 2 threads.
# Usage: bench/cli_sweep.sh BUILD_DIR   (a tree configured with -DZARNO_BENCH=ON)
set -euo pipefail
build=${1:?usage: bench/cli_sweep.sh BUILD_DIR}
cmake --build "$build" -j2 --target zarno_cli_main zarno_cli_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/zarno_cli_bench" gen "$work" 20000 200
runs=14
declare -A rate
for t in 1 2; do
  start=$(date +%s.%N)
  "$build/bin/zarno" run "$work/data.txt" --uncert "$work/unc.txt" --ranks 2:8 --chains 2 \
    --rounds 200 --threads "$t" --quiet --out "$work/t$t"
  end=$(date +%s.%N)
  rate[$t]=$(awk -v a="$start" -v b="$end" -v n="$runs" 'BEGIN { printf "%.3f", n / (b - a) }')
  echo "threads $t: $runs runs in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s = ${rate[$t]} runs/s"
  cmp <(cut -f1-5 "$work/t$t/summary.tsv") <(cut -f1-5 "$work/t1/summary.tsv")
done
awk -v a="${rate[1]}" -v b="${rate[2]}" 'BEGIN { printf "2 threads / 1 thread: %.2fx (same results)\n", b / a }'
