#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the device emulator on a
# pseudo-terminal, runs `zbupdater COM3` against it (in its window when a display is
# there, offscreen otherwise), prints the result from status.dat and checks the
# emulated device's flash against the carried firmware.
#   ZB_DEMO_BAUD=19200 scripts/demo.sh   paces the emulated line like a real one (~35 s)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

work="$(mktemp -d "${TMPDIR:-/tmp}/zbdemo.XXXXXX")"
mkdir -p "$work/ports" "$work/run"
devsim_pid=""
cleanup() {
  if [ -n "$devsim_pid" ]; then kill "$devsim_pid" 2>/dev/null || true; wait "$devsim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

echo "== device emulator on a pseudo-terminal"
coproc DEVSIM { exec "$root/build/tools/devsim/devsim" --dir "$work/ports" --port COM3 \
  --baud "${ZB_DEMO_BAUD:-0}" --transcript "$work/transcript.txt" --flash-out "$work/flash.bin"; }
devsim_pid="$DEVSIM_PID"
read -r -t 10 ready <&"${DEVSIM[0]}"
echo "$ready"

echo "== zbupdater COM3 (in $work/run)"
start=$(date +%s.%N)
(cd "$work/run" && ZBCOMM_DEVICE_DIR="$work/ports" "$root/build/app/zbupdater" COM3)
echo "exit status $?, $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f s", e - s }')"

kill -TERM "$devsim_pid"; wait "$devsim_pid" || true; devsim_pid=""
echo "== status.dat: $(cat "$work/run/status.dat")"
hexfile="$(sed -n 's/^ZB_UPDATE_IMAGE:FILEPATH=//p' "$root/build/CMakeCache.txt")"
python3 "$root/scripts/expected_flash.py" "$hexfile" "$work/flash.bin"
echo "(transcript of the line: $work/transcript.txt)"
