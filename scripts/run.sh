#!/usr/bin/env bash
# The main job: builds everything, then runs kelnorset. With no modem attached, kelnorset runs
# against the bundled modem simulator in a private device root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [ ! -x build/tool/kelnorset ]; then
  echo
  echo "kelnorset is not built yet: the library does not provide ZqUmtsKavConnect and"
  echo "ZqUmtsKavSendGenericDMCommand (modem control) so far."
  if [ -x build/tool/kav-ports ]; then
    echo "What the port scanner sees on this machine (kav-ports):"
    build/tool/kav-ports || true
  fi
  exit 0
fi

modem_attached() {
  [ -x build/tool/kav-ports ] && build/tool/kav-ports --dm-only >/dev/null 2>&1
}

if modem_attached; then
  exec build/tool/kelnorset
fi

if [ ! -x build/sim/kav-modem-sim ]; then
  echo "No modem attached and no simulator built." >&2
  exit 1
fi
root=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -rf "$root"' EXIT
echo "No modem attached: running against kav-modem-sim in $root"
build/sim/kav-modem-sim --root "$root" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$root/.ready" ] && break; sleep 0.1; done
UMTS_KAV_ROOT="$root" UMTS_KAV_MODULE_DIR="$root" build/tool/kelnorset
