#!/usr/bin/env bash
# scripts/build-windows.sh [FOLDER [cmake options...]]: builds the Windows program
# zbupdater.exe (and the toolkit-free tests, run under Wine) with Debian's mingw-w64
# into FOLDER (default build-windows). Installs the Debian packages it needs when
# they are missing (apt-get; sudo when not root). Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-windows}"; shift || true

PACKAGES=(
  cmake ninja-build g++ googletest       # host build of the table maker; test sources
  g++-mingw-w64-x86-64-posix             # the Windows compiler (posix threads)
  binutils-mingw-w64-x86-64              # objdump for the import-list check
  wine wine64                            # runs the Windows tests on this machine
  xvfb x11-utils imagemagick             # a display for the window, and its capture
)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs="${ZB_JOBS:-$(nproc)}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${ZB_BUILD_TYPE:-RelWithDebInfo}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
echo "built: $dir/app/zbupdater.exe"
