#!/usr/bin/env bash
# Benchmarks: parsing the carried image, and full updates against the emulator on a
# line paced at 19200 baud (one, then 8 at once). Prints the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
echo "== parsing the carried image"
"$root/build/bench/bench_hexparse"
echo "== a reply's wait between the port and the main thread"
"$root/build/bench/bench_reply_pickup"
echo "== full updates"
python3 "$root/bench/update_bench.py" "$root/build" "$@"
