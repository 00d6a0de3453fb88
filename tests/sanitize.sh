#!/usr/bin/env bash
# Builds the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build tree of their own and runs them; any report fails the run. The JVM
# does not load sanitized libraries, so the Java tests stay in the main tree.
# Usage: tests/sanitize.sh [BUILD_DIR]   (default: build-asan in the source tree)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-asan}
cmake -S "$src" -B "$build" -DZARNO_SANITIZE=ON -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j2 --target zarno_unit zarno_files zarno_cli_unit zarno_survey_tests \
  zarno_slurm_unit
# allocator_may_return_null: a failed nothrow allocation returns null, as in
# an ordinary build, instead of ending the process.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
"$build/tests/zarno_unit"
"$build/tests/zarno_files"
"$build/tests/zarno_cli_unit"
"$build/tests/zarno_survey_tests"
"$build/tests/zarno_slurm_unit"
