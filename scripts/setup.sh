# Sourced by the other scripts: makes sure the build tools are there (installing
# Debian packages when run as root), then configures and builds into build/.
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

missing=$(zarno_missing)
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "Installing: $missing"
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
  else
    echo "Missing Debian packages: $missing (run as root, or: sudo apt-get install $missing)" >&2
    exit 1
  fi
fi

cmake -S "$ZARNO_ROOT" -B "$ZARNO_BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
