#!/usr/bin/env bash
# scripts/package.sh [LINUX_FOLDER [WINDOWS_FOLDER]]: builds the installable packages
#   LINUX_FOLDER/packages/zbupdater_<version>_amd64.deb     (default folder: build)
#       the Debian package (CPack; run-time dependencies computed from the binaries
#       by dpkg-shlibdeps)
#   WINDOWS_FOLDER/packages/zbupdater-<version>-win64.zip   (default: build-windows-package)
#       zbupdater.exe and README.txt, built with mingw-w64 (scripts/build-windows.sh)
# Installs what is missing (apt-get; sudo when not root). ZB_PACKAGE_WINDOWS=0 skips
# the zip. Prints the path of each package it made.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux_dir="${1:-$root/build}"
windows_dir="${2:-$root/build-windows-package}"

version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }
made() { test -f "$1" || { echo "package.sh: $1 was not made" >&2; exit 1; }; }

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$linux_dir"
(cd "$linux_dir" && cpack -G DEB >/dev/null)
deb="$linux_dir/packages/zbupdater_$(version_of "$linux_dir")_amd64.deb"
made "$deb"

if [ "${ZB_PACKAGE_WINDOWS:-1}" != 0 ]; then
  "$root/scripts/build-windows.sh" "$windows_dir" -DZB_BUILD_TESTS=OFF >/dev/null
  (cd "$windows_dir" && cpack -G ZIP >/dev/null)
  zip="$windows_dir/packages/zbupdater-$(version_of "$windows_dir")-win64.zip"
  made "$zip"
fi

echo "$deb"
if [ -n "${zip:-}" ]; then echo "$zip"; fi
