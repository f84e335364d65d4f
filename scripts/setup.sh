#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing
# (apt-get; sudo when not root). Safe to run again.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # compilers, sanitizer and libFuzzer runtimes
  qt6-base-dev                                     # the window program (app/qt/ only)
  xvfb x11-utils imagemagick                       # X displays for the window's tests, and captures
  googletest libgtest-dev libbenchmark-dev         # tests and benchmarks
  python3 python3-intelhex srecord                 # HEX generator and independent HEX readers
  util-linux                                       # setpriv for the exclusive-open test
  libcli11-dev                                     # the device emulator's command line
  dpkg-dev file lintian                            # the Debian package: dependencies, checks
)

"$(cd "$(dirname "$0")" && pwd)/install-packages.sh" "${PACKAGES[@]}"
