#!/usr/bin/env bash
# keelvane-cli under valgrind memcheck: a burn (read back and ejected), a failed burn, a
# blank, every report and the drive list, each on its own virtual writer. Fails on any
# memcheck error (invalid access, uninitialised value used, definite or indirect leak) and on
# a command whose exit code is not the expected one.
#
# Usage: memcheck.sh [KEELVANE-CLI]
# Without an argument it builds keelvane-cli itself, without sanitizers (valgrind and ASan do
# not mix), in build-memcheck beside the sources (KV_MEMCHECK_BUILD_DIR, KV_JOBS).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 2; }

cli=${1:-}
if [ -z "$cli" ]; then
  build=${KV_MEMCHECK_BUILD_DIR:-$root/build-memcheck}
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=OFF -DKV_BUILD_TESTS=OFF \
    -DKV_BUILD_GUI=OFF >/dev/null
  cmake --build "$build" -j"${KV_JOBS:-2}" --target keelvane-cli >/dev/null
  cli="$build/src/cli/keelvane-cli"
fi
[ -x "$cli" ] || { echo "memcheck: $cli is not a program" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kv-memcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c $((64 * 2048)) /dev/urandom >"$work/image.iso"

failures=0
# check EXPECTED-EXIT NAME ARGS...: one command under memcheck.
check() {
  local want=$1 name=$2; shift 2
  local log="$work/$name.log" rc=0
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --track-origins=yes --log-file="$log.vg" \
    "$cli" "$@" >"$log" 2>&1 || rc=$?
  if [ "$rc" = 99 ] || [ -s "$log.vg" ]; then
    echo "FAIL $name: memcheck found errors"
    cat "$log.vg"
    failures=$((failures + 1))
  elif [ "$rc" != "$want" ]; then
    echo "FAIL $name: exit code $rc, expected $want"
    cat "$log"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

rw="$work/rw/disc.cue,media=cd-rw"
mkdir -p "$work/rw" "$work/bad" "$work/dvd" "$work/r1" "$work/r2" "$work/r3" "$work/r4"
# The image is noise, not ISO 9660: --force takes it past the image check.
check 0 burn --virtual-drive "$rw" burn "$work/image.iso" --force
check 0 toc --virtual-drive "$rw" toc
check 0 blank --virtual-drive "$rw" blank
check 0 burn-json --virtual-drive "$rw,no-rbc" --json burn "$work/image.iso" --force --keep-session-open --no-eject
check 6 failed-burn --virtual-drive "$work/bad/disc.cue,fail-write-at=10" burn "$work/image.iso" --force
check 4 missing-image --virtual-drive "$work/bad/disc.cue" burn "$work/none.iso"
check 0 capabilities --virtual-drive "$rw" capabilities
check 0 speeds --virtual-drive "$rw" speeds
check 0 writer-params --virtual-drive "$rw" writer-params
check 0 buffer --virtual-drive "$rw" buffer
check 0 write-mode --virtual-drive "$rw" write-mode cdda
check 0 dvd-structure --virtual-drive "$work/dvd/disc.cue,media=dvd-rom" dvd-structure
check 0 eject --virtual-drive "$rw" eject
check 0 drives --virtual-drive "$work/r1/d.cue" --virtual-drive "$work/r2/d.cue" \
  --virtual-drive "$work/r3/d.cue,media=none" --virtual-drive "$work/r4/d.cue,media=dvd+rw" drives
check 2 usage --no-such-option

if [ "$failures" -ne 0 ]; then
  echo "memcheck: $failures command(s) failed"
  exit 1
fi
echo "memcheck: keelvane-cli clean"
