#!/usr/bin/env bash
# Black-box cases of keelvane-cli.exe under Wine, run from the Linux side: the test program
# cannot spawn it (the black-box suite's process runner is POSIX), and these few cases are what
# a user of the Windows build does first.
#   cli-cases.sh KV_WINE PROGRAM.exe WORKDIR CASE
# CASE: version | help | spti-burn (burn and verify an ISO on a virtual writer through the
# pass-through path of the NT family; the track file must equal the image byte for byte).
set -euo pipefail
wine=$1 exe=$2 work=$3 case=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
# Output and its exit status, carriage returns dropped; bounded (Wine included).
run() {
  set +e
  out=$(timeout 240 "$wine" "$exe" "$@" 2>"$work/stderr" | tr -d '\r')
  status=${PIPESTATUS[0]}
  set -e
  err=$(tr -d '\r' <"$work/stderr")
}
has() { grep -qxF -- "$2" <<<"$1" || fail "no line '$2' in:"$'\n'"$1"$'\n'"$err"; }

rm -rf "$work"
mkdir -p "$work"
case "$case" in
  version)
    run --version
    [ "$status" -eq 0 ] || fail "--version exited $status: $err"
    [[ "$out" == "keelvane-cli "* ]] || fail "--version printed: $out"
    ;;
  help)
    run --help
    [ "$status" -eq 0 ] || fail "--help exited $status: $err"
    grep -q "Exit codes:" <<<"$out" || fail "--help without exit codes: $out"
    ;;
  spti-burn)
    command -v xorriso >/dev/null || fail "xorriso is not installed (scripts/install-deps.sh installs it)"
    mkdir -p "$work/tree"
    echo "KeelVane test image" >"$work/tree/README.TXT"
    head -c 700000 /dev/urandom >"$work/tree/payload.bin"
    xorriso -as mkisofs -quiet -V KVTEST -o "$work/rescue.iso" "$work/tree" 2>/dev/null
    sectors=$(( $(stat -c %s "$work/rescue.iso") / 2048 ))
    # Windows paths of the files (Wine's Z: is the root of the Linux file system).
    winpath() { echo "Z:${1//\//\\}"; }
    run --virtual-drive "$(winpath "$work/disc.cue")" burn "$(winpath "$work/rescue.iso")"
    [ "$status" -eq 0 ] || fail "burn exited $status:"$'\n'"$out"$'\n'"$err"
    for line in "Finished Writing : Job Done!" "Verify : $sectors sectors equal the image" "CD Creation Complete!"; do
      has "$out" "$line"
    done
    track=$(sed -n 's/^FILE "\([^"]*\)".*/\1/p' "$work/disc.cue" | head -n1)
    [ -n "$track" ] || fail "no FILE line in the CUE sheet: $(cat "$work/disc.cue")"
    cmp "$work/$track" "$work/rescue.iso" || fail "the data track differs from the image"
    ;;
  *) fail "unknown case $case" ;;
esac
rm -rf "$work"
echo "PASS: $case"
