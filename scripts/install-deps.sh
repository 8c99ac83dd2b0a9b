#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, only those missing.
#   install-deps.sh [PKG...]              the build packages plus PKG...; failure is fatal
#   install-deps.sh --optional PKG...     PKG... only, best effort (for tests that skip without them)
set -euo pipefail

optional=0
packages=()
if [ "${1:-}" = "--optional" ]; then
  optional=1
  shift
else
  packages=(
    cmake g++ make pkg-config ccache
    libgtest-dev libgmock-dev
    qt6-base-dev qt6-base-dev-tools
    xorriso isolinux syslinux-common
    dpkg-dev file appstream desktop-file-utils
    sox
    libssl-dev
    xvfb xauth
    valgrind time
    clang-14 libclang-rt-14-dev
  )
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
install() {
  "${sudo_cmd[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
if [ "$optional" -eq 1 ]; then
  install || echo "Could not install ${missing[*]}; the tests that need them will be skipped."
else
  install
fi
