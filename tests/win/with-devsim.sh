#!/usr/bin/env bash
# with-devsim.sh DEVSIM COMMAND [ARGS...]: runs COMMAND with COM3 on the device
# emulator (its bootloader face), the folder of its port link in ZBCOMM_DEVICE_DIR;
# the emulator is stopped afterwards. Exit status: COMMAND's.
set -uo pipefail
devsim="$1"
shift
dir="$(mktemp -d)"
"$devsim" --dir "$dir" --no-app >"$dir/devsim.out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$dir/devsim.out" && break
  sleep 0.1
done
ZBCOMM_DEVICE_DIR="$dir" "$@"
status=$?
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
rm -rf "$dir"
exit "$status"
