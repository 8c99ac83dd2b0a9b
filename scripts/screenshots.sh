#!/usr/bin/env bash
# Renders the desktop program's windows under Xvfb into docs/screenshots/ (or DIR): the main
# window with a user's own image chosen, its File and Options menus, the disc information, the
# image chooser, a burn onto a virtual CD-R at half way (main window and progress window) and
# the box the burn ends with; then the burn onto several drives: its dialog, its rows at half
# way and at the end (one writer fails its write on purpose), and the box that lists them. The program takes the pictures itself (--screenshot), so that
# they are of its windows only, at their real size.
#   scripts/screenshots.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-docs/screenshots}" && cd "${1:-docs/screenshots}" && pwd)

scripts/install-deps.sh
scripts/install-deps.sh --optional xvfb xauth

build=${KV_BUILD_DIR:-build}
if [ ! -x "$build/src/app/keelvane" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF
  cmake --build "$build" -j"${KV_JOBS:-$(nproc)}" --target keelvane
fi
app=$(cd "$build/src/app" && pwd)/keelvane

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A rescue image of the user's own, in a folder of theirs, under a name of theirs.
mkdir -p "$work/Downloads"
scripts/make-demo-image.sh "$work/Downloads/rescue-2026.iso" 24
(cd "$work/Downloads" && sha256sum rescue-2026.iso > SHA256SUMS)

# 16x and 24 MiB, more than the drive's buffer holds, so that the burn's speed and time left
# show; the screen is deep enough for colour.
xvfb-run -a -s "-screen 0 1024x768x24" \
  "$app" --virtual-drive "$work/disc.cue,speed=16" --virtual-drive "$work/disc2.cue,speed=16" \
  --virtual-drive "$work/disc3.cue,speed=16,fail-write-at=8000" --virtual-drive "$work/disc4.cue,media=dvd-rom" \
  --virtual-stick "$work/stick.img,size=64M" --screenshot "$out" "$work/Downloads/rescue-2026.iso"
ls -l "$out"
