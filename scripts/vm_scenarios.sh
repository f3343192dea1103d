#!/bin/bash
# The scenarios of the real-kernel test bed, sourced by scripts/vm_guest.sh inside the guest.
# Every scenario runs on the guest's real root (no UMTS_KAV_ROOT): the modem is kav-modem-sim in
# gadget mode on dummy_hcd, its ports are made by the kernel's option, cdc-acm, usb-storage and
# sr drivers. A scenario is a function scenario_<name> that returns 0 on success; it prints
# what it checked, and its result and time are printed after it.

KAV_BIN=$KAV_VM_BUILD
UDC=dummy_udc.0
GADGET=/sys/kernel/config/usb_gadget/kav-1-2
STATE=/tmp/kav-state
export UMTS_KAV_REGISTRY=$STATE/user.reg
export UMTS_KAV_MODULE_DIR=$STATE/module
sim_pid=""
failures=()

note() { echo "    $*"; }

# Fails the scenario with a message.
fail() {
  echo "    FAILED: $*"
  return 1
}

# Starts kav-modem-sim in gadget mode with the given --set keys and waits for its ports.
start_sim() {
  local args=()
  for key in "$@"; do args+=(--set "$key"); done
  rm -rf "$STATE/sim"
  mkdir -p "$STATE/sim"
  "$KAV_BIN/sim/kav-modem-sim" --root "$STATE/sim" --trace "$STATE/sim-trace.txt" \
    --set udc=$UDC "${args[@]}" >"$STATE/sim.txt" 2>&1 &
  sim_pid=$!
  for _ in $(seq 300); do
    [ -e "$STATE/sim/.ready" ] && { sed 's/^/    sim: /' "$STATE/sim.txt"; return 0; }
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$STATE/sim.txt"
  fail "the simulator did not come up"
}

stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
  fi
}

# The host tty of the simulator's DM port, from its "COMn /dev/ttyX <- /dev/ttyGSm (DM)" line.
sim_dm_node() {
  sed -n 's/^COM[0-9]* \(\/dev\/tty[A-Z]*[0-9]*\) <- .* (DM)$/\1/p' "$STATE/sim.txt"
}

# Runs a command with a time limit, output to $STATE/out.txt; returns its status.
run() {
  timeout 120 "$@" >"$STATE/out.txt" 2>&1
  local status=$?
  sed 's/^/    | /' "$STATE/out.txt"
  return $status
}

expect_line() {
  grep -qF -- "$1" "$STATE/out.txt" || fail "no line '$1'"
}

# ---- scenarios ----------------------------------------------------------------------------

scenario_kelnorset_option() {
  start_sim || return 1
  local node
  node=$(sim_dm_node)
  [[ $node == /dev/ttyUSB* ]] || fail "the DM port is not a ttyUSB of option: '$node'" || return 1
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"'
}

scenario_kelnorset_acm() {
  # Another product id than the other scenarios, whose ids option was given: option binds every
  # interface of a device it has the ids of, the ACM function too.
  start_sim pid=0xA7E3 dm_port=acm at_interface=-1 || return 1
  local node
  node=$(sim_dm_node)
  [[ $node == /dev/ttyACM* ]] || fail "the DM port is not a ttyACM of cdc-acm: '$node'" || return 1
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"'
}

# ---- runner ---------------------------------------------------------------------------------

all_scenarios=(kelnorset_option kelnorset_acm)

run_all_scenarios() {
  echo "== real-kernel scenarios on $(uname -r) =="
  modprobe -a dummy_hcd libcomposite usb_f_serial usb_f_acm usb_f_mass_storage option \
    cdc-acm usb-storage sr_mod || return 1
  local names=(${KAV_VM_SCENARIOS:-${all_scenarios[@]}})
  for name in "${names[@]}"; do
    rm -rf "$STATE" && mkdir -p "$STATE/module"
    echo "-- $name"
    local start end status
    start=$(date +%s%N)
    "scenario_$name"
    status=$?
    stop_sim
    end=$(date +%s%N)
    if [ $status -eq 0 ]; then
      echo "PASS $name ($(((end - start) / 1000000)) ms)"
    else
      echo "FAIL $name ($(((end - start) / 1000000)) ms)"
      [ -e "$STATE/sim-trace.txt" ] && tail -n 20 "$STATE/sim-trace.txt" | sed 's/^/    trace: /'
      failures+=("$name")
    fi
  done
  echo "== ${#names[@]} scenarios, ${#failures[@]} failed${failures:+: ${failures[*]}} =="
  [ ${#failures[@]} -eq 0 ]
}
