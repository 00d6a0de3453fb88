#!/bin/sh
# Times ZARNO's update round against the literal loops and its peers (a plain
# numpy implementation of the same weighted round, scikit-learn's NMF 'mu')
# and probes the memory bandwidth and the arithmetic peak, all on one core,
# and prints seconds per round, the ratios and the floors; then one run on one
# and on two threads; then a whole rank survey through zarno run against R's
# NMF package (bench/peers/study_peer.py).
#
#   bench/peers/compare.sh [BUILD_DIR] [compare.py options: --rounds N --reps N --clock wall ...]
#
# Installs the Debian packages it needs (as root), builds the benchmark binary
# in BUILD_DIR (default build-bench) and runs bench/peers/compare.py. Not part of CI:
# it takes a quarter of an hour and its numbers depend on the machine's load.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=build-bench
case "${1:-}" in
  ""|-*) ;;
  *) build=$1; shift ;;
esac

# Debian's packages: OpenBLAS with threads (the fast one; pinned to one
# thread below), numpy and scikit-learn for /usr/bin/python3, R's NMF package.
need="cmake g++ libbenchmark-dev libopenblas0-pthread python3-numpy python3-scipy python3-sklearn python3-threadpoolctl r-cran-nmf r-cran-rcppml"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing; run as root or: apt-get install$missing" >&2
    exit 1
  fi
  echo "installing:$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZARNO_BENCH=ON >/dev/null
cmake --build "$build" --target zarno_bench zarno -j2 >/dev/null
# Debian's Python modules are seen by /usr/bin/python3, not by a python3
# that may come first on PATH.
exec /usr/bin/python3 "$root/bench/peers/compare.py" --bench "$build/bench/zarno_bench" \
  --zarno "$build/bin/zarno" "$@"
