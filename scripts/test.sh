#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests
#   build/       the program and all tests (GCC)
#   build-asan/  the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-tsan/  the toolkit-free libraries and their threaded tests under ThreadSanitizer
#   build-fuzz/  the libFuzzer targets (clang), each run for about a minute
#   build-package/  the Debian package: lintian, then installed into this system,
#                an update with the installed programs, removed again (root or sudo
#                only; skipped otherwise, and said so)
#   build-windows/  the Windows program zbupdater.exe (mingw-w64): its unit tests and
#                its zip (contents, README line ends, the version resource against
#                --version) under Wine, and the end-to-end suite against it under Wine
#                (build-windows/host-tools)
# and prints one closing line with the totals. Exit status 0 only when all passed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh" || exit 1

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# Leaks inside the distribution's Qt and fontconfig are not ours to fix.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

passed=0; failed=0; skipped=0; status=0
run_ctest() {  # folder [ctest options...]: runs the tests there and adds up the counts
  local dir="$1"; shift
  local log; log="$(mktemp)"
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j "${ZB_TEST_JOBS:-2}" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line; line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
  if [ -n "$line" ]; then
    local total fail skip
    fail="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
    total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
    skip="$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log" || true)"
    passed=$((passed + total - fail - skip)); failed=$((failed + fail)); skipped=$((skipped + skip))
  fi
  if [ "$rc" -ne 0 ] || [ -z "$line" ]; then status=1; fi
  rm -f "$log"
}

run_suite() {  # name folder [cmake options...]
  local name="$1" dir="$2"; shift 2
  echo "=== $name: build"
  if ! "$root/scripts/build.sh" "$dir" "$@"; then
    echo "=== $name: BUILD FAILED"; status=1; failed=$((failed + 1)); return
  fi
  echo "=== $name: test"
  run_ctest "$dir"
  # libFuzzer's own count of executions, per target.
  awk '/ Testing: /{name=$3} /^Done [0-9]+ runs/{print "  " name ": " $0}' \
    "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
}

run_suite "gcc" build
run_suite "asan+ubsan" build-asan -DZB_SANITIZE=address
run_suite "tsan" build-tsan -DZB_SANITIZE=thread
CC=clang CXX=clang++ run_suite "fuzz" build-fuzz -DZB_FUZZ=ON
if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
  run_suite "package" build-package -DZB_BUILD_TESTS=OFF -DZB_PACKAGE_TESTS=ON
else
  echo "=== package: SKIPPED (it installs the package into this system: needs root or sudo)"
fi

windows_start=$SECONDS
echo "=== windows: build"
if ZB_JOBS="${ZB_JOBS:-$(nproc)}" "$root/scripts/build-windows.sh" build-windows -DZB_PACKAGE_TESTS=ON; then
  echo "=== windows: unit tests under Wine"
  # One Wine set-up (prefix, display, wineserver) at a time: the two runs follow each other.
  run_ctest build-windows -j 1
  echo "=== windows: end-to-end suite against zbupdater.exe under Wine"
  run_ctest build-windows/host-tools -L windows -j 1
else
  echo "=== windows: BUILD FAILED"; status=1; failed=$((failed + 1))
fi
echo "=== windows: $((SECONDS - windows_start)) s"

echo
echo "total: $passed passed, $failed failed, $skipped skipped"
exit "$status"
