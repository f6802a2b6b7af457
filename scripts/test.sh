#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the tests under ASan/UBSan and runs them all.
# Extra arguments go to ctest (for example -R Kernel or -L e2e).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh asan
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=$(nproc 2>/dev/null || echo 2)
ctest --test-dir build/asan --output-on-failure --timeout 300 -j "$jobs" "$@"
