#!/usr/bin/env bash
# The report at scale, on synthetic annotated studies shaped like a public
# cohort (tests/support/synthetic_study.js: four lineages of unequal size, a
# batch column without effect, an age): per size, the survey's table with the
# column that agrees best per pattern count, the report's size and the time
# headless Chromium takes to open it.
#   bench/cli/report_scale.sh BUILD_DIR [SAMPLES ...]      (default: 128 500 2000)
# Environment: GENES (default 1000 up to 200 samples, else 200), RANKS (2:6),
# CHAINS (10), ROUNDS (1000), LOADS (5), ZARNO_CHROMIUM (/usr/bin/chromium).
# Studies and reports stay in BUILD_DIR/report-scale/.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(128 500 2000)
src=$(cd "$(dirname "$0")/../.." && pwd)
chromium=${ZARNO_CHROMIUM:-/usr/bin/chromium}
modules=$build/report/node_modules
out=$build/report-scale
mkdir -p "$out"
for n in "${sizes[@]}"; do
  genes=${GENES:-$([ "$n" -le 200 ] && echo 1000 || echo 200)}
  rm -rf "$out/study-$n" "$out/in-$n"
  node "$src/tests/support/synthetic_study.js" "$out/in-$n" "$n" "$genes" 11
  echo "== $n samples x $genes genes, pattern counts ${RANKS:-2:6}, ${CHAINS:-10} chains, ${ROUNDS:-1000} rounds"
  start=$(date +%s%N)
  "$build/bin/zarno" run "$out/in-$n/data.tsv" --uncert "$out/in-$n/unc.tsv" --out "$out/study-$n" \
    --ranks "${RANKS:-2:6}" --chains "${CHAINS:-10}" --rounds "${ROUNDS:-1000}" \
    --annotations "$out/in-$n/annotations.tsv" --quiet --no-report
  echo "runs: $(( ($(date +%s%N) - start) / 1000000 )) ms"
  start=$(date +%s%N)
  "$build/bin/zarno" report "$out/study-$n"
  echo "survey and report: $(( ($(date +%s%N) - start) / 1000000 )) ms"
  if [ -x "$chromium" ]; then
    NODE_PATH="$modules" node "$src/bench/cli/report_open.js" "$chromium" "$out/study-$n/report.html" "${LOADS:-5}"
  fi
done
