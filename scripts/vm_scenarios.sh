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

# Starts kav-modem-sim in gadget mode with the given --set keys (or, first, --scenario FILE)
# and waits for its ports.
start_sim() {
  local args=()
  if [ "${1:-}" = --scenario ]; then
    args+=(--scenario "$2")
    shift 2
  else
    args+=(--set udc=$UDC)
  fi
  for key in "$@"; do args+=(--set "$key"); done
  rm -rf "$STATE/sim"
  mkdir -p "$STATE/sim"
  "$KAV_BIN/sim/kav-modem-sim" --root "$STATE/sim" --trace "$STATE/sim-trace.txt" \
    "${args[@]}" >"$STATE/sim.txt" 2>&1 &
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

# Runs a command with a time limit, output to $STATE/out.txt and to the scenario's transcript
# (shown when the scenario fails); returns its status.
run() {
  timeout 120 "$@" >"$STATE/out.txt" 2>&1
  local status=$?
  {
    echo "\$ $* (exit $status)"
    cat "$STATE/out.txt"
  } >>"$STATE/transcript.txt"
  return $status
}

expect_line() {
  grep -qF -- "$1" "$STATE/out.txt" || fail "no line '$1'"
}

# ---- scenarios ----------------------------------------------------------------------------

# kelnorset through the driver that takes the DM port: its node must match `pattern`.
kelnorset_through() {  # pattern, driver's name, simulator settings...
  local pattern=$1 driver=$2 kind=${1#/dev/}
  kind=${kind%\*}
  shift 2
  start_sim "$@" || return 1
  local node
  node=$(sim_dm_node)
  # shellcheck disable=SC2053  # the pattern is a glob on purpose
  [[ $node == $pattern ]] || fail "the DM port is not a $kind of $driver: '$node'" ||
    return 1
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"'
}

scenario_kelnorset_option() {
  kelnorset_through '/dev/ttyUSB*' option
}

scenario_kelnorset_acm() {
  # Another product id than the other scenarios, whose ids option was given: option binds every
  # interface of a device it has the ids of, the ACM function too.
  kelnorset_through '/dev/ttyACM*' cdc-acm pid=0xA7E3 dm_port=acm at_interface=-1
}

scenario_kav_tools() {
  start_sim || return 1
  local kav=$KAV_BIN/tool/kav
  run "$kav" ports || fail "kav ports failed" || return 1
  grep -qE '^DM> 2 +/dev/ttyUSB1 +PT_DM .*USB\\VID_5C8E&PID_A7E2&MI_01' "$STATE/out.txt" ||
    fail "kav ports does not show COM2 /dev/ttyUSB1 as the DM port" || return 1
  run "$kav" info || fail "kav info failed" || return 1
  expect_line "IMEI:              356938035643809" || return 1
  expect_line "Port:              COM2 (/dev/ttyUSB1)" || return 1
  run "$kav" nv write 5078 --text Before || fail "kav nv write failed" || return 1
  run "$kav" nv backup "$STATE/backup.txt" --ids 5078-5078 || fail "kav nv backup failed" ||
    return 1
  run "$kav" nv write 5078 --text Other || fail "kav nv write failed" || return 1
  run "$kav" nv restore "$STATE/backup.txt" || fail "kav nv restore failed" || return 1
  expect_line "Restored NV_PRODUCT_TAG_I (5078): 4f 74 68 65 72 -> 42 65 66 6f 72 65" || return 1
  run "$kav" nv read 5078 || fail "kav nv read failed" || return 1
  expect_line 'NV_PRODUCT_TAG_I (5078) = 42 65 66 6f 72 65 "Before"'
}

# Two modems, one on each controller, and kav each writing the item on both at once.
scenario_kav_each() {
  cat >"$STATE/two.txt" <<EOF
[modem]
udc = dummy_udc.0
busport = 1-2
[modem]
udc = dummy_udc.1
busport = 1-3
imei = 356938035643817
EOF
  start_sim --scenario "$STATE/two.txt" || return 1
  [ "$(grep -c '(DM)$' "$STATE/sim.txt")" = 2 ] || fail "not two DM ports" || return 1
  run "$KAV_BIN/tool/kav" each -- nv write 5078 --text Tarvell || fail "kav each failed" || return 1
  expect_line "2 modems: 2 ok, 0 failed" || return 1
  local imei
  for imei in 356938035643809 356938035643817; do
    grep -q "$imei .* ok " "$STATE/out.txt" || fail "no ok line for $imei" || return 1
  done
  note "$(tail -n 1 "$STATE/out.txt")"
}

# Plug to a waiting get_dm_port_wait returning, through the kernel's uevents.
scenario_arrival() {
  start_sim || return 1
  run "$KAV_BIN/tests/kav-vm-arrival" "$GADGET" "$UDC" 5 || fail "no arrival figure" || return 1
  expect_line "arrival median" || return 1
  note "$(grep 'arrival median' "$STATE/out.txt")"
}

# The modem leaves the bus on the write and returns 1.5 s later: kelnorset reconnects and
# finishes, or fails with an error; a success must be the modem's own state.
scenario_unplug_mid_write() {
  start_sim "fault=unplug command=0x27 return=1500" || return 1
  local status=0
  run "$KAV_BIN/tool/kelnorset" || status=$?
  note "ports opened: $(grep -o 'COM[0-9]* opened' "$STATE/out.txt" | xargs)"
  if [ $status -eq 0 ]; then
    expect_line 'Final value of NV item 5078 is "Tarvell"' || return 1
    run "$KAV_BIN/tool/kav" nv read 5078 || fail "the modem is not readable after the run" ||
      return 1
    expect_line '"Tarvell"' || fail "kelnorset reported success, the modem does not hold it"
    note "outcome: reconnected and stored the value"
  else
    grep -q '^ERROR' "$STATE/out.txt" || fail "exit $status without an ERROR line" || return 1
    note "outcome: a clear failure (exit $status)"
  fi
}

OTHER=/sys/kernel/config/usb_gadget/kav-other

# Another one-port serial device on the second controller, bound while the modem is away, so
# the modem comes back under other tty numbers as it would on a busy machine.
plug_other_device() {
  mkdir -p "$OTHER/strings/0x409" "$OTHER/configs/c.1" "$OTHER/functions/gser.0" || return 1
  echo 0x1d6b >"$OTHER/idVendor"
  echo 0x0104 >"$OTHER/idProduct"
  echo other >"$OTHER/strings/0x409/serialnumber"
  [ -e "$OTHER/configs/c.1/gser.0" ] || ln -s "$OTHER/functions/gser.0" "$OTHER/configs/c.1/"
  echo "1d6b 0104" >/sys/bus/usb-serial/drivers/option1/new_id 2>/dev/null
  echo dummy_udc.1 >"$OTHER/UDC"
}

unplug_other_device() {
  [ -d "$OTHER" ] || return 0
  echo >"$OTHER/UDC" 2>/dev/null
  rm -f "$OTHER/configs/c.1/gser.0"
  rmdir "$OTHER/functions/gser.0" "$OTHER/configs/c.1" "$OTHER/strings/0x409" "$OTHER"
}

# The same unplug, and while the modem is away another serial device arrives: the modem
# returns under another COM number.
scenario_unplug_mid_write_other_com() {
  start_sim "fault=unplug command=0x27 return=2500" || return 1
  "$KAV_BIN/tool/kelnorset" >"$STATE/out.txt" 2>&1 &
  local pid=$!
  for _ in $(seq 600); do
    grep -q unplugged "$STATE/sim-trace.txt" && break
    sleep 0.02
  done
  plug_other_device || fail "the other device could not be plugged in" || return 1
  local status=0
  wait $pid || status=$?
  cp "$STATE/out.txt" "$STATE/transcript.txt"
  note "other device: $(ls /sys/bus/usb/devices/*/ | grep -o 'ttyUSB[0-9]*' | sort -u | xargs)"
  note "ports opened: $(grep -o 'COM[0-9]* opened' "$STATE/out.txt" | xargs)"
  if [ $status -eq 0 ]; then
    expect_line 'Final value of NV item 5078 is "Tarvell"' || return 1
    run "$KAV_BIN/tool/kav" nv read 5078 || fail "the modem is not readable after the run" ||
      return 1
    expect_line '"Tarvell"' || fail "kelnorset reported success, the modem does not hold it"
  else
    grep -q '^ERROR' "$STATE/out.txt" || fail "exit $status without an ERROR line" || return 1
    note "outcome: a clear failure (exit $status): $(grep '^ERROR' "$STATE/out.txt" | sort | uniq -c | xargs)"
  fi
}

# DM to DL (the emergency downloader's ids 05C6:9008, one interface) and back to DM.
scenario_dm_dl_dm() {
  start_sim dl_vid=0x05C6 dl_pid=0x9008 || return 1
  local kav=$KAV_BIN/tool/kav
  run "$kav" mode dl || fail "kav mode dl failed" || return 1
  local dl
  dl=$(grep -l 'PRODUCT=5c6/9008' /sys/bus/usb/devices/*/uevent 2>/dev/null | head -n1)
  [ -n "$dl" ] || fail "no 05c6:9008 device on the bus after the move to DL" || return 1
  run "$kav" ports --dm-only || fail "no DM port in DL mode" || return 1
  expect_line 'USB\VID_05C6&PID_9008' || return 1
  run "$kav" mode dm || fail "kav mode dm failed" || return 1
  run "$kav" ports --dm-only || fail "no DM port back in DM mode" || return 1
  expect_line 'USB\VID_5C8E&PID_A7E2&MI_01' || return 1
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed after the round trip" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"'
}

# Waits up to 15 s for /dev/sr0 (usb-storage waits a second before it scans).
wait_cdrom() {
  for _ in $(seq 150); do
    [ -b /dev/sr0 ] && return 0
    sleep 0.1
  done
  fail "no /dev/sr0"
}

# The modem starts as the maker's CD-ROM; the library's monitor ejects it, the LUN loses its
# medium, the modem re-enumerates as the modem and kelnorset finishes on it. With "locked" the
# door is locked first, as udev's cdrom_id does at every plug.
cdrom_eject() {
  start_sim cdrom_first=1 || return 1
  wait_cdrom || return 1
  note "sr0: $(cat /sys/block/sr0/device/vendor) $(cat /sys/block/sr0/device/model)"
  if [ "$1" = locked ]; then
    /lib/udev/cdrom_id --lock-media /dev/sr0 >/dev/null || fail "cdrom_id --lock-media failed" ||
      return 1
    note "door locked with cdrom_id --lock-media"
  fi
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed" || return 1
  expect_line "Brisco Mass Storage CD ROM Detected and Sent Eject Signal." || return 1
  grep -q 'CD-ROM ejected' "$STATE/sim-trace.txt" || fail "the gadget's LUN kept its medium" ||
    return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"'
}
scenario_cdrom_eject() { cdrom_eject unlocked; }
scenario_cdrom_eject_locked() { cdrom_eject locked; }

# Another process holds the DM port: a plain holder without flock (root's open ignores
# TIOCEXCL, so only the holder check keeps us apart), and a second kelnorset as root while the
# first holds the port through a delayed write: the second is refused while the first holds
# it, and may take its turn after it.
scenario_exclusive_open() {
  start_sim "fault=delay command=0x27 delay=6000" || return 1
  local node
  node=$(sim_dm_node)
  sleep 60 <>"$node" &
  local holder=$!
  run "$KAV_BIN/tool/kelnorset" && { kill $holder; fail "kelnorset opened a held port"; return 1; }
  kill $holder
  wait $holder 2>/dev/null
  expect_line "held by sleep, pid $holder" || return 1
  "$KAV_BIN/tool/kelnorset" >"$STATE/first.txt" 2>&1 &
  local first=$!
  for _ in $(seq 200); do
    grep -q "opened" "$STATE/first.txt" && break
    sleep 0.05
  done
  local second=0
  run "$KAV_BIN/tool/kelnorset" || second=$?
  expect_line "held by kelnorset, pid $first" || return 1
  wait $first || fail "the first kelnorset failed: $(cat "$STATE/first.txt")" || return 1
  grep -q '^Program completed.$' "$STATE/first.txt" || fail "the first kelnorset did not finish" ||
    return 1
  note "the second kelnorset ended with $second after the first had finished"
}

# ---- udev and ModemManager ------------------------------------------------------------------

USER_NAME=kavuser

start_udev() {
  /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || fail "systemd-udevd did not start" ||
    return 1
  udevadm trigger --action=add >/dev/null 2>&1
  udevadm settle --timeout=30
}

install_rules() {
  "$KAV_BIN/tool/kav" ports --udev-rules >/etc/udev/rules.d/70-kav-dm-ports.rules ||
    fail "kav ports --udev-rules failed" || return 1
  udevadm control --reload
}

add_user() {
  id "$USER_NAME" >/dev/null 2>&1 || useradd -m -G dialout "$USER_NAME" ||
    fail "useradd failed" || return 1
  mkdir -p "$STATE/user" && chown "$USER_NAME": "$STATE/user"
}

# The command prefix that runs a program as the user, with settings in a directory of theirs.
AS_USER=(setpriv --reuid="$USER_NAME" --regid="$USER_NAME" --init-groups
  env HOME="/home/$USER_NAME" UMTS_KAV_REGISTRY="$STATE/user/user.reg"
  UMTS_KAV_MODULE_DIR="$STATE/user")

# A normal user with the generated rules applied by Debian's systemd-udevd: the DM node's group,
# mode and ModemManager mark, kelnorset as that user, and an open right after a plug.
scenario_udev_user() {
  start_udev && install_rules && add_user || return 1
  start_sim || return 1
  udevadm settle --timeout=30
  local node
  node=$(sim_dm_node)
  note "$node: $(stat -c '%U:%G %a' "$node")"
  [ "$(stat -c '%G %a' "$node")" = "dialout 660" ] || fail "not dialout 660" || return 1
  udevadm info -q property "$node" | grep -qx 'ID_MM_PORT_IGNORE=1' ||
    fail "no ID_MM_PORT_IGNORE=1 on $node" || return 1
  local usb
  usb=$(dirname "$(dirname "$(readlink -f "/sys/class/tty/${node#/dev/}/device")")")
  # USB devices start with autosuspend off; a power tool turns it on, the rules turn it off again.
  echo auto >"$usb/power/control"
  udevadm trigger --action=change "$usb"
  udevadm settle --timeout=30
  [ "$(cat "$usb/power/control")" = on ] || fail "$usb/power/control stayed auto" || return 1
  run "${AS_USER[@]}" "$KAV_BIN/tool/kelnorset" || fail "kelnorset as $USER_NAME failed" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"' || return 1
  # Unplug and plug, then open at once: the node may still be root's for a moment.
  echo >"$GADGET/UDC"
  sleep 0.5
  echo "$UDC" >"$GADGET/UDC"
  for _ in $(seq 200); do
    [ -e "$node" ] && break
    sleep 0.01
  done
  run "${AS_USER[@]}" "$KAV_BIN/tool/kav" info --port "COM$((${node#/dev/ttyUSB} + 1))" ||
    fail "kav info right after the plug failed" || return 1
  expect_line "IMEI:              356938035643809"
}

start_modemmanager() {
  mkdir -p /run/dbus
  rm -f /run/dbus/pid
  dbus-daemon --system --fork || fail "dbus-daemon did not start" || return 1
  ModemManager --log-level=DEBUG --log-file="$STATE/mm.txt" >/dev/null 2>&1 &
  mm_pid=$!
  sleep 1
}

# What ModemManager did with a tty, from its log: the lines naming it.
mm_lines() {
  grep -F "[$1/" "$STATE/mm.txt" 2>/dev/null
}

# ModemManager with the rules: it leaves the DM port alone and kelnorset succeeds.
scenario_modemmanager_with_rules() {
  start_udev && install_rules && start_modemmanager || return 1
  start_sim || return 1
  udevadm settle --timeout=30
  run "$KAV_BIN/tool/kelnorset" || fail "kelnorset failed beside ModemManager" || return 1
  expect_line 'Final value of NV item 5078 is "Tarvell"' || return 1
  local dm
  dm=$(sim_dm_node)
  mm_lines "${dm#/dev/}" | grep -q 'opening serial port' &&
    fail "ModemManager opened ${dm#/dev/} despite the rules" && return 1
  note "ModemManager probed $(grep -o '\[tty[A-Z]*[0-9]*/' "$STATE/mm.txt" | sort -u | tr -d '[/' | xargs) and left ${dm#/dev/} alone"
}

# ModemManager without the rules: kelnorset names it (or refuses), never a silent mix.
scenario_modemmanager_without_rules() {
  start_udev && start_modemmanager || return 1
  start_sim || return 1
  udevadm settle --timeout=30
  local status=0
  run "$KAV_BIN/tool/kelnorset" || status=$?
  local dm
  dm=$(sim_dm_node)
  note "ModemManager's opens of ${dm#/dev/}: $(mm_lines "${dm#/dev/}" | grep -c 'opening serial port')"
  expect_line "ModemManager" || return 1
  note "kelnorset: $(grep -m1 ModemManager "$STATE/out.txt" | cut -c1-150)"
  if [ $status -eq 0 ]; then
    expect_line 'Final value of NV item 5078 is "Tarvell"' || return 1
    note "outcome: ModemManager named, the value stored"
  else
    note "outcome: ModemManager named, kelnorset failed (exit $status)"
  fi
}

# ---- runner ---------------------------------------------------------------------------------

# What a scenario may have left running or installed: the simulator, ModemManager and its bus,
# udev and the rules.
cleanup_scenario() {
  stop_sim
  if [ -n "${mm_pid:-}" ]; then
    kill "$mm_pid" 2>/dev/null
    wait "$mm_pid" 2>/dev/null
    mm_pid=""
  fi
  pkill -x dbus-daemon
  unplug_other_device
  rm -f /etc/udev/rules.d/70-kav-dm-ports.rules
  udevadm control --exit 2>/dev/null
  rm -rf /run/udev
}

all_scenarios=(kelnorset_option kelnorset_acm kav_tools arrival unplug_mid_write
  unplug_mid_write_other_com kav_each dm_dl_dm
  cdrom_eject cdrom_eject_locked exclusive_open udev_user modemmanager_with_rules
  modemmanager_without_rules)

run_all_scenarios() {
  echo "== real-kernel scenarios on $(uname -r), guest up after $(cut -d' ' -f1 /proc/uptime) s =="
  modprobe dummy_hcd num=2 || return 1
  modprobe -a libcomposite usb_f_serial usb_f_acm usb_f_mass_storage option \
    cdc-acm usb-storage sr_mod || return 1
  local names=(${KAV_VM_SCENARIOS:-${all_scenarios[@]}})
  for name in "${names[@]}"; do
    cleanup_scenario
    rm -rf "$STATE" && mkdir -p "$STATE/module"
    echo "-- $name"
    local start end status
    start=$(date +%s%N)
    "scenario_$name"
    status=$?
    cleanup_scenario
    end=$(date +%s%N)
    if [ $status -eq 0 ]; then
      echo "PASS $name ($(((end - start) / 1000000)) ms)"
    else
      echo "FAIL $name ($(((end - start) / 1000000)) ms)"
      [ -e "$STATE/transcript.txt" ] && sed 's/^/    | /' "$STATE/transcript.txt"
      [ -e "$STATE/sim-trace.txt" ] && tail -n 20 "$STATE/sim-trace.txt" | cut -c1-160 |
        sed 's/^/    trace: /'
      failures+=("$name")
    fi
  done
  echo "== ${#names[@]} scenarios, ${#failures[@]} failed${failures:+: ${failures[*]}} =="
  [ ${#failures[@]} -eq 0 ]
}
