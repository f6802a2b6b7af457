#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   scripts/build.sh release   -> build/release (optimised, the program and tools)
#   scripts/build.sh asan      -> build/asan    (tests under AddressSanitizer + UBSan)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=OFF) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_TEST_ENDPOINTS=ON) ;;
  *) echo "unknown flavour: $flavour (release or asan)" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}"
cmake --build "build/$flavour" -j "$jobs"
