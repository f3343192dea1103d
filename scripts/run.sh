#!/usr/bin/env bash
# The main job: builds everything, then runs kelnorset. With no modem attached, kelnorset runs
# against the bundled modem simulator in a private device root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

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

# Starts kav-modem-sim in a fresh device root and waits until its ports are in place.
start_simulator() {
  root=$(mktemp -d)
  build/sim/kav-modem-sim --root "$root" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$root/.ready" ] && return 0
    sleep 0.1
  done
  echo "The modem simulator did not come up." >&2
  exit 1
}

if [ ! -x build/tool/kelnorset ]; then
  echo
  echo "kelnorset is not built yet: the library does not provide ZqUmtsKavConnect and"
  echo "ZqUmtsKavSendGenericDMCommand (modem control) so far. Built so far: the library core,"
  echo "the port map, the COM port scanner and monitors, the DM transport, kav-ports and the"
  echo "modem simulator. What the port scanner sees of a simulated modem (kav-ports):"
  start_simulator
  UMTS_KAV_ROOT="$root" build/tool/kav-ports
  exit 0
fi

if build/tool/kav-ports --dm-only >/dev/null 2>&1; then
  exec build/tool/kelnorset
fi

echo "No modem attached: running kelnorset against kav-modem-sim."
start_simulator
status=0
UMTS_KAV_ROOT="$root" UMTS_KAV_MODULE_DIR="$root" build/tool/kelnorset || status=$?
exit "$status"
