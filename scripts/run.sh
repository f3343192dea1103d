#!/usr/bin/env bash
# The main job: builds kelnorset and runs it. With a modem attached (kav ports sees a DM port)
# kelnorset runs on that modem. Without one it runs against the bundled modem simulator in a
# private device root, with its settings file and module directory inside that root; the
# simulator is stopped and the root removed afterwards, so nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kelnorset kav kav-modem-sim >/dev/null

if build/tool/kav ports --dm-only >/dev/null 2>&1; then
  exec build/tool/kelnorset
fi

sim_pid=""
root=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$root" ]; then rm -rf "$root"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts kav-modem-sim in a fresh device root and waits until its ports are in place.
start_simulator() {
  root=$(mktemp -d "${TMPDIR:-/tmp}/kelnorset-sim.XXXXXX")
  build/sim/kav-modem-sim --root "$root/machine" >"$root/simulator.txt" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$root/machine/.ready" ] && return 0
    sleep 0.1
  done
  echo "The modem simulator did not come up:" >&2
  cat "$root/simulator.txt" >&2
  exit 1
}

echo "No modem attached: running kelnorset against kav-modem-sim."
start_simulator
status=0
UMTS_KAV_ROOT="$root/machine" UMTS_KAV_MODULE_DIR="$root" UMTS_KAV_REGISTRY="$root/user.reg" \
  build/tool/kelnorset || status=$?
exit "$status"
