#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UBSan, runs every test.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
# The peer cycles (a QEMU guest against tgt's writer and QEMU's CD drives) skip without these;
# cdrskin is the peer burner bench/run.sh compares with on the same path.
scripts/install-deps.sh --optional qemu-system-x86 qemu-block-extra qemu-utils tgt busybox-static cpio kmod cdrskin
# Asked for by the CI (.ci/run): where those could be installed, a peer cycle that skips fails.
if [ "${KV_PEER_REQUIRE_IF_INSTALLED:-0}" = 1 ]; then
  peer_tools=1
  for tool in qemu-system-x86_64 tgtd tgtadm busybox cpio; do command -v "$tool" >/dev/null || peer_tools=0; done
  if [ "$peer_tools" = 1 ]; then export KV_PEER_REQUIRED=1; fi
fi
# The Windows build's tests (MinGW-w64 cross build, run under Wine) skip without these.
scripts/install-deps.sh --optional g++-mingw-w64-x86-64-posix wine wine64 googletest
windows_tools=1
for tool in x86_64-w64-mingw32-g++-posix wine wineserver; do command -v "$tool" >/dev/null || windows_tools=0; done
[ -f /usr/src/googletest/CMakeLists.txt ] || windows_tools=0
# Asked for by the CI: where those could be installed, a skipped Windows run fails.
if [ "${KV_WINDOWS_REQUIRE_IF_INSTALLED:-0}" = 1 ] && [ "$windows_tools" = 1 ]; then
  export KV_WINDOWS_REQUIRED=1
fi

# Every build below (the sanitizer build, memcheck's plain one, the fuzz build) goes through
# ccache, so a run on a machine that built the project before recompiles only what changed.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

build=${KV_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=ON -DKV_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# keelvane-cli under valgrind memcheck (a plain build of its own: valgrind cannot run ASan code).
tests/robustness/memcheck.sh
# Every fuzz target for a bounded time; a crash fails the run and leaves its input to replay.
KV_FUZZ_SECONDS=${KV_FUZZ_SECONDS:-30} tests/fuzz/run-fuzzers.sh

linux_status=0
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 900 "$@" || linux_status=$?

# The engine and CLI tests of the Windows build under Wine (SPTI on the NT family, ASPI with
# Wine reporting Windows 98): build-windows/, a Wine prefix of its own inside it.
if [ "$windows_tools" = 1 ]; then
  windows_build=${KV_WINDOWS_BUILD_DIR:-build-windows}
  KV_WINDOWS_BUILD_DIR=$windows_build scripts/build-windows.sh --tests
  "$windows_build/kv-wine" --prepare   # the first start of a fresh prefix is the slow one
  trap '"$windows_build/kv-wine" --stop' EXIT   # the run's Wine server stays until stopped
  windows_status=0
  ctest --test-dir "$windows_build" -L windows -j"$(nproc)" --output-on-failure --timeout 900 || windows_status=$?
  [ "$windows_status" -eq 0 ] || exit "$windows_status"
else
  echo "SKIPPED: Windows tests (wine64 or MinGW-w64 not installable)"
  if [ "${KV_WINDOWS_REQUIRED:-0}" = 1 ]; then
    echo "KV_WINDOWS_REQUIRED=1: the Windows tests must run" >&2
    exit 1
  fi
fi
exit "$linux_status"
