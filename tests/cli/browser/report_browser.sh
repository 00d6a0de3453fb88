#!/usr/bin/env bash
# Reports opened from file:// in headless Chromium: a small job's, and
# annotated studies of 40 and 500 samples.
#   report_browser.sh MAKE_JOB ZARNO NODE_MODULES SOURCE_DIR OUT_DIR
# Exit 77 (SKIPPED) when Chromium or Node.js is not installed.
set -euo pipefail
make_job=$1 zarno=$2 modules=$3 src=$4 out=$5
chromium=${ZARNO_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "SKIPPED: no Chromium at $chromium (Debian: apt-get install chromium)"
  exit 77
fi
if ! command -v node >/dev/null; then
  echo "SKIPPED: no node on PATH"
  exit 77
fi
if [ ! -d "$modules/puppeteer-core" ]; then
  echo "SKIPPED: no puppeteer-core in $modules (the build found no npm)"
  exit 77
fi
rm -rf "$out"
mkdir -p "$out"
# A weighted job of 3 chains, whose report has every chart, and a one-chain
# unweighted job, whose report says what it cannot measure.
"$make_job" "$src/data/sample.txt" "$src/data/sample.unc" "$out/job"
"$zarno" report "$out/job" --quiet
NODE_PATH="$modules" node "$src/tests/cli/browser/report_browser.js" "$chromium" "$out/job" \
  "$out/report.png" c_chi,c_dof,c_ssr,c_coph,c_disp,c_pac,c_stab,k3_samples,k3_trace --samples
"$make_job" "$src/data/sample.txt" "$src/data/sample.unc" "$out/one-chain" 1 unweighted
"$zarno" report "$out/one-chain" --quiet
NODE_PATH="$modules" node "$src/tests/cli/browser/report_browser.js" "$chromium" "$out/one-chain" \
  "$out/report-one-chain.png" c_chi,c_ssr,k2_samples,k2_trace
# Synthetic studies of 40 and 500 samples in four lineages, annotated with
# their lineage and batch: the tracks, labels that do not overlap, tooltips,
# the agreement panel; at 500 samples the heatmap in blocks.
for n in 40 500; do
  node "$src/tests/support/synthetic_study.js" "$out/in-$n" "$n" 120 7
  cut -f1-3 "$out/in-$n/annotations.tsv" > "$out/in-$n/two.tsv"
  "$zarno" run "$out/in-$n/data.tsv" --uncert "$out/in-$n/unc.tsv" --out "$out/study-$n" --ranks 3:5 \
    --chains 3 --rounds 300 --annotations "$out/in-$n/two.tsv" --quiet --no-report
  "$zarno" report "$out/study-$n" --quiet
  NODE_PATH="$modules" node "$src/tests/cli/browser/report_browser.js" "$chromium" "$out/study-$n" \
    "$out/report-$n.png" c_ari,c_nmi,k3_samples,k4_samples,k5_samples --samples
done
