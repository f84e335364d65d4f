#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing
# (apt-get; sudo when not root). Safe to run again.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # compilers, sanitizer and libFuzzer runtimes
  qt6-base-dev                                     # the window (app/ only)
  googletest libgtest-dev libbenchmark-dev         # tests and benchmarks
  python3 python3-intelhex srecord                 # HEX generator and independent HEX readers
  util-linux                                       # setpriv for the exclusive-open test
  libcli11-dev                                     # the device emulator's command line
  dpkg-dev file lintian                            # the Debian package: dependencies, checks
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
