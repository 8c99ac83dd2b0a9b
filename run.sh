#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the virtual writer: burns the
# rescue image beside the programs (a bootable demo image made here when there is none) onto a
# fresh virtual CD-R, prints the disc's table of contents, and checks with xorriso that the
# burnt track is a readable ISO 9660 file system equal to the image; then writes the same image
# onto a virtual USB stick.
set -euo pipefail
cd "$(dirname "$0")"


scripts/install-deps.sh

build=${KV_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF
cmake --build "$build" -j"${KV_JOBS:-$(nproc)}"
build=$(cd "$build" && pwd)

cli="$build/src/cli/keelvane-cli"
[ -x "$cli" ] || { echo "run.sh: keelvane-cli was not built" >&2; exit 1; }
bindir=$(dirname "$cli")

# The image the burn command chooses: Keelvane.iso beside the program, else KeelvaneDemo.iso.
image="$bindir/Keelvane.iso"
if [ ! -f "$image" ]; then
  image="$bindir/KeelvaneDemo.iso"
  if [ ! -f "$image" ]; then
    echo "== Making the demo rescue image $image"
    scripts/make-demo-image.sh "$image"
  fi
fi
echo "== Rescue image: $image ($(stat -c %s "$image") bytes)"

# The desktop program looks beside itself too.
app="$build/src/app/keelvane"
if [ -x "$app" ]; then
  appdir=$(dirname "$app")
  if [ ! -f "$appdir/Keelvane.iso" ] && [ ! -f "$appdir/KeelvaneDemo.iso" ]; then
    ln "$image" "$appdir/$(basename "$image")" 2>/dev/null || cp "$image" "$appdir/$(basename "$image")"
  fi
fi

# A fresh blank disc each run: the sheet and its track files go first.
cue="$build/demo-disc.cue"
rm -f "$cue" "$build"/demo-disc-*.iso "$build"/demo-disc-*.raw

echo "== Burning it onto a virtual CD-R: keelvane-cli --virtual-drive $cue burn"
"$cli" --virtual-drive "$cue" burn

echo "== Table of contents"
"$cli" --virtual-drive "$cue" toc

# The data track is a plain ISO file beside the CUE sheet, named in its FILE line.
track_name=$(sed -n 's/^FILE "\(.*\)" .*/\1/p' "$cue" | head -n 1)
[ -n "$track_name" ] || { echo "run.sh: the CUE sheet names no track file" >&2; exit 1; }
track="$(dirname "$cue")/$track_name"

echo "== Checking the burnt track $track"
pvd=$(xorriso -abort_on FAILURE -report_about FAILURE -indev "$track" -pvd_info 2>&1) || {
  echo "$pvd"; echo "run.sh: xorriso cannot read the burnt track as ISO 9660" >&2; exit 1; }
echo "$pvd" | grep -E '^(Volume Id|Volume Set Id|Creation Time) *:' || true
boot=$(xorriso -abort_on FAILURE -report_about FAILURE -indev "$track" -report_el_torito plain 2>/dev/null)
echo "$boot" | grep -q '^El Torito boot img' || { echo "run.sh: the burnt track has no El Torito boot image" >&2; exit 1; }
echo "$boot" | grep -E '^El Torito (boot img|img path)'
files=$(xorriso -abort_on FAILURE -report_about FAILURE -indev "$track" -find / -type f 2>/dev/null)
echo "files on the disc: $(echo "$files" | tr '\n' ' ')"
cmp "$image" "$track"
echo "the burnt track equals the image, byte for byte"

# The same image onto a stick: a file presented as a 64 MiB USB stick.
stick="$build/demo-stick.img"
rm -f "$stick"
echo "== Writing it onto a virtual USB stick: keelvane-cli --virtual-stick $stick,size=64M burn --yes"
"$cli" --virtual-stick "$stick,size=64M" burn --yes
cmp -n "$(stat -c %s "$image")" "$image" "$stick"
echo "the stick holds the image, byte for byte"

cat <<MSG

The disc is $cue
  (its data track: $track)
Open the desktop program on it:
  $build/src/app/keelvane --virtual-drive $cue
or boot it in an emulator:
  qemu-system-x86_64 -cdrom $track
The stick is $stick; it boots as well:
  qemu-system-x86_64 -drive file=$stick,format=raw
MSG
