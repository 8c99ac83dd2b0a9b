#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the virtual writer.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

build=${KV_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)"

cli="$build/src/cli/keelvane-cli"
if [ ! -x "$cli" ]; then
  echo "keelvane-cli is not built yet; nothing to run."
  exit 0
fi
"$cli" --virtual-drive "$build/demo-disc.cue" drives
