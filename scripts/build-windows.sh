#!/usr/bin/env bash
# Cross-builds keelvane-cli.exe for 64-bit Windows with Debian's MinGW-w64 toolchain into
# build-windows/ (the desktop program needs Qt for Windows and is not built). Installs what is
# missing first. The program is linked statically: it needs no DLL beyond Windows' own.
#   build-windows.sh [--tests] [CMAKE_ARG...]
#     --tests      also build the test programs (GoogleTest from Debian's sources) and install
#                  Wine, which runs them: ctest --test-dir build-windows -L windows
#     CMAKE_ARG    passed to cmake's configure step, e.g. -DCMAKE_BUILD_TYPE=Debug
# Environment: KV_WINDOWS_BUILD_DIR (default build-windows), KV_JOBS (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."

tests=0
cmake_args=()
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) cmake_args+=("$arg") ;;
  esac
done

packages=(cmake make ccache g++-mingw-w64-x86-64-posix)
[ "$tests" -eq 1 ] && packages+=(wine wine64 googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The shared compiler cache, configured as in test.sh.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-5G} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

build=${KV_WINDOWS_BUILD_DIR:-build-windows}
if [ "$tests" -eq 1 ]; then test_flag=ON; else test_flag=OFF; fi
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKV_BUILD_GUI=OFF -DKV_SANITIZE=OFF -DKV_BUILD_TESTS="$test_flag" \
  "${cmake_args[@]}"
targets=()
[ "$tests" -eq 0 ] && targets=(--target keelvane-cli)
cmake --build "$build" -j"${KV_JOBS:-$(nproc)}" "${targets[@]}"
ls -l "$build/keelvane-cli.exe"
