#!/usr/bin/env bash
# Builds the project twice, as a Release build and with AddressSanitizer +
# UndefinedBehaviorSanitizer, and runs the whole test suite in both builds. Compiler warnings
# are errors here (KAV_WERROR), where the compiler is the one of deps.sh. Between the two it
# cross-builds for Windows and runs that build's tests under Wine (scripts/win_test.sh); then it
# runs the real-kernel scenarios in a virtual machine (scripts/vm_test.sh) on the Release build
# and, run as root, tests the Debian package on this machine (scripts/deb_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --vm
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 180)
}

echo "== Release build =="
run_suite build -DCMAKE_BUILD_TYPE=Release -DKAV_WERROR=ON
echo "== Windows build under Wine =="
bash scripts/win_test.sh build
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKAV_SANITIZE=ON -DKAV_BUILD_BENCH=OFF \
  -DKAV_WERROR=ON
echo "== Real kernel in a virtual machine =="
bash scripts/vm_test.sh build
echo "== Debian package =="
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/deb_test.sh
else
  echo "Skipped: the Debian package test installs and removes a package, which needs root."
fi
