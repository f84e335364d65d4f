#!/usr/bin/env bash
# scripts/build-windows.sh [FOLDER [cmake options...]]: builds the Windows program
# zbupdater.exe (and the toolkit-free tests, run under Wine) with Debian's mingw-w64
# into FOLDER (default build-windows). Installs the Debian packages it needs when
# they are missing (apt-get; sudo when not root). Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-windows}"; shift || true

PACKAGES=(
  cmake ninja-build g++ googletest python3  # host build: table maker, emulator, end-to-end suite
  libcli11-dev                           # the emulator's command line (host build)
  g++-mingw-w64-x86-64-posix             # the Windows compiler (posix threads)
  binutils-mingw-w64-x86-64              # objdump for the import-list check
  wine wine64                            # runs the Windows tests on this machine
  xvfb x11-utils imagemagick             # a display for the window, and its capture
  xdotool                                # the mouse on that display (a held caption)
)
"$root/scripts/install-packages.sh" "${PACKAGES[@]}"

jobs="${ZB_JOBS:-$(nproc)}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${ZB_BUILD_TYPE:-RelWithDebInfo}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
echo "built: $dir/app/zbupdater.exe"
