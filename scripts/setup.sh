# Sourced by the other scripts: makes sure the build tools are there (installing
# Debian packages when run as root), then configures and builds into build/.
# With ZARNO_WITH_TESTS=1 (scripts/test, .ci/run) it also installs what the
# tests need so that none is skipped: Chromium for the report's browser test,
# Slurm and munge for the cluster tests, the Python packages of the Python
# package's tests, and maven for the kit's local-repository install. Without
# root those are only named: the tests that need them say so and are skipped.
set -euo pipefail
ZARNO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZARNO_BUILD=${ZARNO_BUILD:-$ZARNO_ROOT/build}

zarno_missing() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v g++ >/dev/null || missing+=(g++)
  command -v make >/dev/null || missing+=(make)
  command -v javac >/dev/null || missing+=(openjdk-17-jdk-headless)
  # The command zarno: CLI11, nlohmann-json, fmt, zlib, libcrypto (SHA-256).
  [ -f /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
  [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
  [ -f /usr/include/fmt/format.h ] || missing+=(libfmt-dev)
  [ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
  [ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/share/java/junit-platform-console-standalone.jar ] || missing+=(junit5)
  echo "${missing[@]:-}"
}

# The packages only the tests use, each named as Debian names it.
ZARNO_TEST_PACKAGES=(chromium slurmctld slurmd slurm-client munge python3
  python3-numpy python3-pandas python3-pytest python3-tqdm python3-anndata python3-sklearn
  pybind11-dev python3-dev python3-venv python3-setuptools python3-wheel python3-pip maven
  libmaven-install-plugin-java)

zarno_missing_for_tests() {
  local missing=() p
  for p in "${ZARNO_TEST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]:-}"
}

# Installs Debian packages; services the packages would start (slurmctld,
# slurmd, munge) stay stopped: the tests start daemons of their own.
zarno_install() {
  local made_policy=no status=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    made_policy=yes
  fi
  echo "Installing: $*"
  apt-get update -qq || status=$?
  [ "$status" != 0 ] ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null || status=$?
  [ $made_policy = no ] || rm -f /usr/sbin/policy-rc.d
  return "$status"
}

missing=$(zarno_missing)
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then
    # shellcheck disable=SC2086
    zarno_install $missing
  else
    echo "Missing Debian packages: $missing (run as root, or: sudo apt-get install $missing)" >&2
    exit 1
  fi
fi

if [ "${ZARNO_WITH_TESTS:-0}" = 1 ] && command -v dpkg-query >/dev/null; then
  missing=$(zarno_missing_for_tests)
  if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
      # shellcheck disable=SC2086
      zarno_install $missing
    else
      echo "Not installed: $missing; the tests that need them will be skipped, each naming" \
           "what it lacks (run as root, or: sudo apt-get install $missing)" >&2
    fi
  fi
fi

cmake -S "$ZARNO_ROOT" -B "$ZARNO_BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
