#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests
#   build/       the program and all tests (GCC)
#   build-asan/  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-tsan/  the toolkit-free libraries and their threaded tests under ThreadSanitizer
#   build-fuzz/  the libFuzzer targets (clang), each run for about a minute
#   build-windows-package/  the Windows zip: its two files, README line ends, the
#                exe's version resource against its --version under Wine
#   build-package/  the Debian package: lintian, then installed into this system,
#                an update with the installed programs, removed again (root or sudo
#                only; skipped otherwise, and said so)
# and prints one closing line with the totals (ZB_BUILD_SCRIPT: a suite's build
# script, scripts/build.sh unless set). Exit status 0 only when all passed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh" || exit 1

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# Leaks inside the distribution's Qt and fontconfig are not ours to fix.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

passed=0; failed=0; status=0
run_suite() {  # name folder [cmake options...]
  local name="$1" dir="$2"; shift 2
  echo "=== $name: build"
  if ! "${ZB_BUILD_SCRIPT:-$root/scripts/build.sh}" "$dir" "$@"; then
    echo "=== $name: BUILD FAILED"; status=1; failed=$((failed + 1)); return
  fi
  echo "=== $name: test"
  local log; log="$(mktemp)"
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j "${ZB_TEST_JOBS:-2}") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line; line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
  if [ -n "$line" ]; then
    local total fail
    fail="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
    total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
    passed=$((passed + total - fail)); failed=$((failed + fail))
  fi
  if [ "$rc" -ne 0 ] || [ -z "$line" ]; then status=1; fi
  rm -f "$log"
  # libFuzzer's own count of executions, per target.
  awk '/ Testing: /{name=$3} /^Done [0-9]+ runs/{print "  " name ": " $0}' \
    "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
}

run_suite "gcc" build
run_suite "asan+ubsan" build-asan -DZB_SANITIZE=address
run_suite "tsan" build-tsan -DZB_SANITIZE=thread
CC=clang CXX=clang++ run_suite "fuzz" build-fuzz -DZB_FUZZ=ON
ZB_BUILD_SCRIPT="$root/scripts/build-windows.sh" \
  run_suite "windows zip" build-windows-package -DZB_BUILD_TESTS=OFF -DZB_PACKAGE_TESTS=ON
if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
  run_suite "package" build-package -DZB_BUILD_TESTS=OFF -DZB_PACKAGE_TESTS=ON
else
  echo "=== package: SKIPPED (it installs the package into this system: needs root or sudo)"
fi

echo
echo "total: $passed passed, $failed failed"
exit "$status"
