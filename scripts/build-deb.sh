#!/usr/bin/env bash
# Builds the Debian package keelvane_<version>_<arch>.deb in a release build folder of its own
# (default build-rel), without the tests, and prints its path.
#   build-deb.sh            then: sudo apt-get install ./build-rel/keelvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KV_DEB_BUILD_DIR:-build-rel}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_SANITIZE=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build" -j"${KV_JOBS:-$(nproc)}"
(cd "$build" && cpack -G DEB)
ls "$build"/keelvane_*.deb
