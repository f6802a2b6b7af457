#!/usr/bin/env bash
# Builds the Debian package of the program: build/pkg/qvgameassist_<version>_amd64.deb (or in the
# build folder given as the first argument). Install it with `apt-get install ./<file>.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/pkg}
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF -DQV_SANITIZE=OFF -DQV_TEST_ENDPOINTS=OFF
cmake --build "$dir" -j "$jobs"
rm -f "$dir"/qvgameassist_*.deb
(cd "$dir" && cpack -G DEB)
ls "$dir"/qvgameassist_*_amd64.deb
