#!/bin/sh
# The kit against the core: the same study (default 20000 x 200, ranks 2 to 8,
# 2 chains, 200 rounds, 2 threads) through the kit's jar and through the
# core's RunJob with a sink that keeps nothing, alternating, REPS times each.
# Prints every time, the medians, the median of the paired ratios (each kit
# run against the core run just before it, which cancels slow drifts in the
# machine's load), and the kit's export share.
#
#   bench/kit/run.sh [BUILD_DIR [GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS THREADS REPS]]
#
# Builds zarno_kit_floor and the kit's jar in BUILD_DIR (default build-bench).
# Not part of CI: its numbers depend on the machine's load.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build-bench}
[ $# -gt 0 ] && shift
set -- "${1:-20000}" "${2:-200}" "${3:-2}" "${4:-8}" "${5:-2}" "${6:-200}" "${7:-2}" "${8:-3}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZARNO_BENCH=ON >/dev/null
cmake --build "$build" --target zarno_kit_floor zarno-kit -j2 >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
jar="$build/zarno-kit-$version.jar"
classes="$build/bench-kit-classes"
mkdir -p "$classes"
javac -cp "$jar" -d "$classes" "$root/bench/kit/KitBench.java"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
reps=$8
args="$1 $2 $3 $4 $5 $6 $7"
i=0
while [ $i -lt "$reps" ]; do
  "$build/bench/zarno_kit_floor" $args 1 | tee -a "$log"
  java -Xms2g -cp "$jar:$classes" KitBench $args 1 | tee -a "$log"
  i=$((i + 1))
done
awk '
  function median(a, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  $1 == "core" { c[++nc] = $2; cc[nc] = $4 }
  $1 == "kit" { k[++nk] = $2; e[nk] = $4 / $2; kc[nk] = $8 }
  END {
    for (i = 1; i <= nk; i++) { r[i] = k[i] / c[i]; rc[i] = kc[i] / cc[i] }
    mr = median(r, nk); mc = median(c, nc); mk = median(k, nk); me = median(e, nk)
    printf "median: core %.3f s, kit %.3f s; kit / core = %.4f; median of the %d paired ratios %.4f (%+.2f%%); export %.3f%% of the kit time\n",
           mc, mk, mk / mc, nk, mr, 100 * (mr - 1), 100 * me
    printf "processor time (every thread of each process): median of the paired ratios %.4f (%+.2f%%)\n",
           median(rc, nk), 100 * (median(rc, nk) - 1)
  }' "$log"
