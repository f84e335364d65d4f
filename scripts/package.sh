#!/usr/bin/env bash
# scripts/package.sh [FOLDER]: builds the installable packages into FOLDER/packages
# (FOLDER defaults to build/):
#   zbupdater_<version>_amd64.deb   the Debian package (CPack; run-time dependencies
#                                   computed from the binaries by dpkg-shlibdeps)
# Prints the path of each package it made.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$dir"
(cd "$dir" && cpack -G DEB >/dev/null)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")"
deb="$dir/packages/zbupdater_${version}_amd64.deb"
test -f "$deb" || { echo "package.sh: $deb was not made" >&2; exit 1; }
echo "$deb"
