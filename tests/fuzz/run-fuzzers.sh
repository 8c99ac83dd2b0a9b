#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the whole engine instrumented for coverage, ASan and
# UBSan) in a build folder of their own and runs each one for a bounded time, starting from
# its seeds and regression inputs. Exits non-zero when a target crashes; the crashing input
# is left in the artifacts folder and printed: copy it to tests/fuzz/regressions/<target>/
# once the fault is mended, so the ordinary test build replays it from then on.
#
# Environment: KV_FUZZ_BUILD_DIR (default build-fuzz), KV_FUZZ_SECONDS (per target, default
# 30), KV_FUZZ_TARGETS (default: all four), KV_FUZZ_WORK (corpora and artifacts, default
# $KV_FUZZ_BUILD_DIR/fuzz-work), KV_JOBS (default 2).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

build=${KV_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${KV_FUZZ_SECONDS:-30}
targets=${KV_FUZZ_TARGETS:-"mmc_replies cue_sheet wave track_list"}
work=${KV_FUZZ_WORK:-$build/fuzz-work}
jobs=${KV_JOBS:-2}

cxx=$(command -v clang++-14 || command -v clang++ || true)
cc=$(command -v clang-14 || command -v clang || true)
[ -n "$cxx" ] && [ -n "$cc" ] || { echo "run-fuzzers: clang is missing (Debian package clang-14)" >&2; exit 2; }

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DKV_SANITIZE=ON -DKV_FUZZ=ON >/dev/null
cmake --build "$build" -j"$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done) >/dev/null

# The CUE sheet target writes a file per input: on tmpfs that costs no disk syncs.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for t in $targets; do
  exe=$(find "$build" -type f -name "fuzz_$t" -perm -u+x | head -n 1)
  [ -n "$exe" ] || { echo "run-fuzzers: fuzz_$t was not built" >&2; exit 2; }
  corpus="$work/corpus/$t"
  artifacts="$work/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus")
  for d in "$here/seeds/$t" "$here/regressions/$t"; do [ -d "$d" ] && inputs+=("$d"); done
  [ "$t" = wave ] && inputs+=("$here/wave/seeds")
  extra=()
  [ -f "$here/dict/$t.dict" ] && extra+=("-dict=$here/dict/$t.dict")
  echo "== fuzz_$t for ${seconds}s"
  log="$work/$t.log"
  set +e
  # The first folder collects what the run finds; the others are read only.
  "$exe" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${extra[@]}" "${inputs[@]}" >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$log" || tail -n 3 "$log"
  if [ $rc -ne 0 ]; then
    status=1
    echo "fuzz_$t FAILED (exit $rc); log: $log"
    grep -E 'ERROR: |SUMMARY: |Test unit written to' "$log" | head -n 5 || true
  fi
done
exit $status
