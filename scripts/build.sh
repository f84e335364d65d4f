#!/usr/bin/env bash
# scripts/build.sh FOLDER [cmake options...]: configures (once) and builds into FOLDER.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
jobs="${ZB_JOBS:-$(nproc)}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${ZB_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
