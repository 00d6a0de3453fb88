#!/usr/bin/env bash
# Builds the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build tree of their own and runs them; any report fails the run. The JVM
# does not load sanitized libraries, so the Java tests stay in the main tree.
# Usage: tests/sanitize.sh [BUILD_DIR]   (default: build-asan in the source tree)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-asan}
cmake -S "$src" -B "$build" -DZARNO_SANITIZE=ON -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j2 --target engine_tests core_tests cli_tests
# allocator_may_return_null: a failed nothrow allocation returns null, as in
# an ordinary build, instead of ending the process.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
"$build/tests/engine/engine_tests"
"$build/tests/core/core_tests"
"$build/tests/cli/cli_tests"
