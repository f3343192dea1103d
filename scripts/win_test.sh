#!/usr/bin/env bash
# Cross-builds the project for 64-bit Windows with MinGW-w64 and runs it under Wine, in a Wine
# prefix of its own:
#   - the Win32 platform layer's tests and the suite's portable tests, as Windows programs;
#   - end to end, against the Linux kav-modem-sim serving a pseudo-terminal that the prefix sees
#     as COM7 (dosdevices/com7), with the modem registered as Windows' plug-and-play manager
#     would (tests/win32/wine_pnp.cc, with the PlugPlay service's WM_DEVICECHANGE broadcasts):
#     kav ports, info, nv write and read; kelnorset storing
#     "Tarvell" with its settings in Wine's HKEY_CURRENT_USER and its logs in the logging
#     directory given there; the default NV item database taken from the program's resource on
#     first run; a modem that arrives while kelnorset waits, and one that leaves and comes back
#     under another COM number while kelnorset waits for it to prove stable; the
#     time-outs file read by a build with a four-number version; a modem-class device whose COM
#     name is found through its driver key; a C host linked through umts_kav_lib.dll's import
#     library; a modem that starts as a CD-ROM, ejected by the library on the drive's arrival
#     broadcast;
#   - the 32-bit build's tests, kelnorset and C host, under Wine's WoW64;
#   - kav each and kav station over a bench of two simulated modems on COM21 and COM22, each
#     modem's steps run by child kav.exe processes; the station ended by Ctrl-C (SIGINT to its
#     Wine process, which Wine hands to the console control handlers); kav each of the 32-bit
#     build.
#
#   bash scripts/win_test.sh [LINUX_BUILD_DIR]
#
# LINUX_BUILD_DIR (default build) provides kav-modem-sim; it is configured as scripts/test.sh
# configures its Release build when it does not exist yet. The Windows builds go to build-win64
# and build-win32. Exit status: 0 when every check passed, else 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps.sh --win
jobs=$(nproc)
linux_build=${1:-build}
win_build=build-win64

echo "== Windows build (MinGW-w64, x86-64) =="
# The toolchain file is taken when a build folder is first configured (CMake warns when it is
# given again).
configure_windows() {  # build folder, toolchain file
  local toolchain=()
  [ -f "$1/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$2")
  cmake -S . -B "$1" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DKAV_WERROR=ON \
    >/dev/null
  cmake --build "$1" -j "$jobs"
}
configure_windows "$win_build" cmake/mingw-w64-x86_64.cmake
echo "== Windows build (MinGW-w64, i686) =="
configure_windows build-win32 cmake/mingw-w64-i686.cmake
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAV_WERROR=ON >/dev/null
fi
cmake --build "$linux_build" --target kav-modem-sim -j "$jobs"
sim_program=$root/$linux_build/sim/kav-modem-sim

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || { echo "no wine64 at $wine" >&2; exit 1; }

work=$(mktemp -d /tmp/kav-win-test.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko installation: nothing here needs .NET or a browser engine.
export WINEDLLOVERRIDES="mscoree=;mshtml="
sim_pid=""
cd_sim_pid=""
bench_sim_pid=""
cleanup() {
  [ -n "$bench_sim_pid" ] && kill "$bench_sim_pid" 2>/dev/null && wait "$bench_sim_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$cd_sim_pid" ] && kill "$cd_sim_pid" 2>/dev/null && wait "$cd_sim_pid" 2>/dev/null
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Wine prefix =="
timeout 300 "$wine" wineboot -i >/dev/null 2>&1
timeout 60 "$wineserver" -w

failures=0
check() {
  local name=$1
  shift
  if "$@"; then
    echo "PASS  $name"
  else
    echo "FAIL  $name"
    failures=$((failures + 1))
  fi
}

# Runs a Windows program with a time limit: wine PROGRAM ARGS..., output to $work/out.
run() {
  local limit=$1
  shift
  timeout "$limit" "$wine" "$@" >"$work/out" 2>&1
}
out_has() { grep -qF -- "$1" "$work/out" || { sed 's/^/    /' "$work/out"; return 1; }; }

echo "== Exports =="
# The DLL exports the operations the public header declares (DllMain under its Windows name)
# and nothing else; kelnorset.exe exports RNIGetCompatibleVersion alone.
exports_of() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk 'NR > 1 && NF {print $NF}' | sort  # the names below the table's heading
}
declared=$(grep -oE '^UMTS_KAV_API [A-Za-z_0-9 *]+\(' include/umts_kav/umts_kav_lib.h |
  sed -E 's/.*[ *]([A-Za-z_0-9]+)\($/\1/; s/^DllMain$/umts_kav_lib_attach/' | sort)
check "umts_kav_lib.dll exports the public operations alone" \
  test "$(exports_of "$win_build/lib/umts_kav_lib.dll")" = "$declared"
check "kelnorset.exe exports RNIGetCompatibleVersion alone" \
  test "$(exports_of "$win_build/tool/kelnorset.exe")" = RNIGetCompatibleVersion

echo "== Tests as Windows programs =="
test_programs() {  # build folder, label
  check "Win32 platform tests$2" run 300 "$1/tests/win32/platform_win32_tests.exe"
  grep -E '^\[  (PASSED|FAILED) ' "$work/out" || sed 's/^/    /' "$work/out"
  check "portable tests$2" run 300 "$1/tests/win32/portable_tests.exe"
  grep -E '^\[  (PASSED|FAILED) ' "$work/out" || sed 's/^/    /' "$work/out"
}
test_programs "$win_build" ""
test_programs build-win32 " (32-bit)"

echo "== End to end with kav-modem-sim =="
# The programs as a user installs them: in a directory of their own on drive C, which is
# their module directory (NV item database, time-outs file).
app=$WINEPREFIX/drive_c/kav
mkdir -p "$app" "$work/host"
cp "$win_build/tool/kelnorset.exe" "$win_build/tool/kav.exe" \
  "$win_build/tests/win32/kelnorset-timeouts-ini.exe" "$app/"
cp "$win_build/lib/umts_kav_lib.dll" "$win_build/tests/win32/kav-c-host.exe" "$work/host/"
pnp=$win_build/tests/win32/kav-wine-pnp.exe
instance='USB\VID_5C8E&PID_A7E2&MI_01\6&1a2b3c4d&0&0001'

"$sim_program" --root "$work/simroot" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/simroot/dev/ttyUSB0" ] && break; sleep 0.1; done
pts=$(readlink -f "$work/simroot/dev/ttyUSB0" || true)
[ -c "$pts" ] || { echo "kav-modem-sim serves no pseudo-terminal (see $work/sim.log)"; exit 1; }

plug() {  # COM number [pseudo-terminal [device instance]]
  ln -sfn "${2:-$pts}" "$WINEPREFIX/dosdevices/com$1"
  timeout 60 "$wine" "$pnp" plug "${3:-$instance}" "COM$1"
}
unplug() {  # COM number
  timeout 60 "$wine" "$pnp" unplug "$instance" "COM$1"
  rm -f "$WINEPREFIX/dosdevices/com$1"
}

# Message logging on, into a logging directory of its own, set in the registry as a user sets it.
settings='HKCU\Software\Brisco Wireless\UMTS_KAV_LIB'
timeout 60 "$wine" reg add "$settings" /v "Message Logging" /t REG_DWORD /d 1 /f >/dev/null 2>&1
timeout 60 "$wine" reg add "$settings" /v "Logging Directory" /t REG_SZ /d 'C:\kavlogs' /f \
  >/dev/null 2>&1

check "registered as COM7" plug 7
check "kav ports lists the DM port on COM7" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 120 '$app/kav.exe' ports &&
           out_has 'DM> 7'"
check "kav info reads the modem's identity on COM7" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 120 '$app/kav.exe' info &&
           out_has 'IMEI:              356938035643809' && out_has 'Port:              COM7'"
# The first connect made the NV item database from the program's resource, then saved it with
# the modem's firmware entry.
check "the first connect took the default NV item database from the resource" \
  bash -c "$(declare -f out_has); work=$work
           out_has 'Default NV Item database copied from resource.' &&
           grep -qF 'NVI_DB_VERSION' '$app/umts_kav_lib.nvi_db'"
check "kav nv write stores a text" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work
           run 120 '$app/kav.exe' nv write NV_PRODUCT_TAG_I --text Kelwine &&
           out_has 'written and verified'"
check "kelnorset stores \"Tarvell\"" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app/kelnorset.exe' &&
           out_has 'Initial value of NV item 5078 is \"Kelwine\"' &&
           out_has 'Final value of NV item 5078 is \"Tarvell\"' && out_has 'Program completed.'"
check "kav nv read finds \"Tarvell\"" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 120 '$app/kav.exe' nv read 5078 &&
           out_has '\"Tarvell\"'"
check "the settings live in Wine's HKEY_CURRENT_USER" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 60 reg query '$settings' &&
           out_has 'Purge Successful Msg Log' && out_has 'Comm Logging'"
check "the message log went to the logging directory" \
  bash -c "grep -qF 'COM7 opened' '$WINEPREFIX/drive_c/kavlogs/'umts_kav_lib_msg_log_*.txt"

check "the modem leaves COM7" unplug 7
# kelnorset starts without a modem; the modem arrives on COM9 while it waits for one.
( sleep 4 && plug 9 >/dev/null 2>&1 ) &
arrival=$!
check "kelnorset waits for the modem and finds it on COM9" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app/kelnorset.exe' &&
           out_has 'Opening the Modem Connection on COM9' && out_has 'Program completed.'"
wait "$arrival" || true

# kelnorset finds the modem on COM9; while it waits for the port to prove stable, the modem
# leaves and comes back on COM11, where kelnorset's second search finds it.
( sleep 2 && unplug 9 >/dev/null 2>&1 && sleep 1 && plug 11 >/dev/null 2>&1 ) &
moved=$!
check "kelnorset follows the modem from COM9 to COM11" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app/kelnorset.exe' &&
           out_has 'Re-search for com port after teaser' &&
           out_has 'Opening the Modem Connection on COM11' && out_has 'Program completed.'"
wait "$moved" || true
[ -e "$WINEPREFIX/dosdevices/com11" ] && current=11 || current=9

# A four-number version reads the time-outs file of its module directory: with the port wait
# cut to 300 ms, a run without a modem ends at once instead of after the default 30 s.
check "the modem leaves COM$current" unplug "$current"
printf '[GENERAL]\r\nZQUMTSKAVCONNECT_GET_PORT_MAX_WAIT=300\r\n' >"$app/umts_kav_lib_timeouts.ini"
start=$(date +%s)
status=0
run 120 "$app/kelnorset-timeouts-ini.exe" || status=$?
elapsed=$(($(date +%s) - start))
check "the time-outs file cuts the port wait to 300 ms (exit $status after ${elapsed} s)" \
  bash -c "[ $status -ne 0 ] && [ $elapsed -lt 20 ] &&
           grep -qF 'ERROR: Failure to connect to modem.' '$work/out' ||
           { sed 's/^/    /' '$work/out'; false; }"

# A modem-class device names its COM port only in its driver key ("AttachedTo", reached
# through the device's "Driver"): the scanner's fallback, on Wine's real registry.
modem_instance='USB\VID_5C8E&PID_A7E2&MI_01\6&1a2b3c4d&0&0002'
check "registered as a modem on COM8 (Driver, AttachedTo)" \
  bash -c "ln -sfn '$pts' '$WINEPREFIX/dosdevices/com8' &&
           timeout 60 '$wine' '$pnp' plug '$modem_instance' COM8 modem"
check "kav info reaches the modem through AttachedTo on COM8" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 120 '$app/kav.exe' info &&
           out_has 'Port:              COM8'"
check "the modem leaves COM8" \
  bash -c "timeout 60 '$wine' '$pnp' unplug '$modem_instance' COM8 modem &&
           rm -f '$WINEPREFIX/dosdevices/com8'"

check "registered again as COM7" plug 7
c_host_checks() {  # host directory, label
  check "a$2 C host runs the DLL through its import library" \
    bash -c "cd '$1' && timeout 120 '$wine' ./kav-c-host.exe >'$work/out' 2>&1 &&
             grep -qF 'item 5078 status 0 text \"Tarvell\"' '$work/out' ||
             { sed 's/^/    /' '$work/out'; false; }"
}
c_host_checks "$work/host" ""

echo "== A modem that starts as a CD-ROM =="
# kelnorset waits for a DM port. The modem's drive arrives; the library's device-change window
# gets the arrival through its RegisterDeviceNotificationA registration and ejects the drive
# through its interface path, which the prefix links to the simulator's node. The simulator,
# seeing its drive opened, comes back as the modem, which is then registered as COM12.
check "the modem leaves COM7" unplug 7
"$sim_program" --root "$work/cdroot" --set cdrom_first=1 >"$work/cdsim.log" 2>&1 &
cd_sim_pid=$!
for _ in $(seq 100); do [ -e "$work/cdroot/dev/sr0" ] && break; sleep 0.1; done
drive='USBSTOR\CdRom&Ven_ZQTL&Prod_Mass_Storage&Rev_2.31\7&2a5d4c1&0&000000000001&0'
# The interface path \\?\<instance, lower case, '\' as '#'>#{CD-ROM class}, as a DOS device name.
drive_link=$WINEPREFIX/dosdevices/$(tr 'A-Z\\' 'a-z#' <<<"$drive")
drive_link+='#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}'
ln -sfn "$work/cdroot/dev/sr0" "$drive_link"
# The drive arrives once kelnorset has attached the library (its new message log exists) and
# the device-change monitor's start-up scan has passed, so only the arrival can eject it.
message_logs() { find "$WINEPREFIX/drive_c/kavlogs" -name 'umts_kav_lib_msg_log_*' | wc -l; }
logs_before=$(message_logs)
cdrom_turns_into_modem() {
  for _ in $(seq 300); do (($(message_logs) > logs_before)) && break; sleep 0.1; done
  sleep 1
  timeout 60 "$wine" "$pnp" plug "$drive" cdrom || return 1
  for _ in $(seq 150); do [ -L "$work/cdroot/dev/ttyUSB0" ] && break; sleep 0.1; done
  timeout 60 "$wine" "$pnp" unplug "$drive" cdrom
  rm -f "$drive_link"
  plug 12 "$(readlink -f "$work/cdroot/dev/ttyUSB0")"
}
cdrom_turns_into_modem >"$work/cdrom-steps.log" 2>&1 &
steps=$!
check "kelnorset ejects the modem's CD-ROM on its arrival and stores on COM12" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app/kelnorset.exe' &&
           out_has 'Brisco Mass Storage CD ROM Detected and Sent Eject Signal.' &&
           out_has 'Opening the Modem Connection on COM12' && out_has 'Program completed.'"
grep -E '^(ERROR: )?CD ROM ' "$work/out" | sed 's/^/    /' || true
check "the drive and the modem were registered" wait "$steps"

echo "== The 32-bit programs =="
app32=$WINEPREFIX/drive_c/kav32
mkdir -p "$app32" "$work/host32"
cp build-win32/tool/kelnorset.exe build-win32/tool/kav.exe "$app32/"
cp build-win32/lib/umts_kav_lib.dll build-win32/tests/win32/kav-c-host.exe "$work/host32/"
check "32-bit kav info reads the modem's identity on COM12" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 120 '$app32/kav.exe' info &&
           out_has 'IMEI:              356938035643809' && out_has 'Port:              COM12'"
check "32-bit kelnorset stores \"Tarvell\"" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app32/kelnorset.exe' &&
           out_has 'Final value of NV item 5078 is \"Tarvell\"' && out_has 'Program completed.'"
c_host_checks "$work/host32" " 32-bit"

echo "== kav each and kav station over two modems =="
# Two modems of their own simulator (ttyUSB0 and ttyUSB2 are their DM ports), registered as two
# USB devices; the modem on COM12 leaves first, so that the bench is these two alone.
check "the modem leaves COM12" unplug 12
"$sim_program" --root "$work/benchroot" --modems 2 >"$work/benchsim.log" 2>&1 &
bench_sim_pid=$!
for _ in $(seq 100); do [ -L "$work/benchroot/dev/ttyUSB2" ] && break; sleep 0.1; done
plug_bench() {  # modem k (1, 2): DM port ttyUSB<2k-2> as COM2<k>, device instance ...&000<k>
  local k
  for k in 1 2; do
    plug "2$k" "$(readlink -f "$work/benchroot/dev/ttyUSB$((2 * k - 2))")" \
      "USB\VID_5C8E&PID_A7E2&MI_01\6&5e6f7a8b&0&000$k" || return 1
  done
}
check "two modems registered as COM21 and COM22" plug_bench
# A text with a blank and quotes reaches the children whole only if their command lines are
# quoted right.
each_writes() {
  run 180 "$app/kav.exe" each -- nv write 5078 --text 'Tar "vell" 2' &&
    grep -qE '^COM21 +[0-9]{15} +nv write +ok ' "$work/out" &&
    grep -qE '^COM22 +[0-9]{15} +nv write +ok ' "$work/out" &&
    grep -qF '2 modems: 2 ok, 0 failed in ' "$work/out" || { sed 's/^/    /' "$work/out"; false; }
}
each_reads_back() {
  run 180 "$app/kav.exe" each --json -- nv read 5078 &&
    [ "$(grep -cF '"text":"Tar \"vell\" 2"' "$work/out")" = 2 ] ||
    { sed 's/^/    /' "$work/out"; false; }
}
check "kav each writes on both modems through child kav.exe processes" each_writes
check "kav each --json reads the text back from both" each_reads_back

# The station provisions both modems; once its log shows both done, Ctrl-C (SIGINT to the Wine
# process of kav.exe) ends it.
bench=$WINEPREFIX/drive_c/kavbench
log=$bench/recipe.txt.log.jsonl
mkdir -p "$bench"
printf 'nv write 5078 --text "Tarvell station"\nexpect 5078 --text "Tarvell station"\n' \
  >"$bench/recipe.txt"
timeout 180 "$wine" "$app/kav.exe" station 'C:\kavbench\recipe.txt' >"$work/station.out" 2>&1 &
station=$!
for _ in $(seq 600); do
  [ "$(grep -c '"done":true' "$log" 2>/dev/null)" = 2 ] && break
  sleep 0.1
done
station_wine=$(pgrep -P "$station" || true)
[ -n "$station_wine" ] && kill -INT "$station_wine"
station_status=0
wait "$station" || station_status=$?
station_stopped() {
  [ "$station_status" -eq 0 ] && grep -qF 'Stopped: 2 done, 0 failed.' "$work/station.out" ||
    { sed 's/^/    /' "$work/station.out"; false; }
}
station_logged() {  # per modem: info, the write, the check, and its end
  [ "$(grep -c '"ok":true' "$log")" = 8 ] && [ "$(wc -l <"$log")" = 8 ] ||
    { sed 's/^/    /' "$log"; false; }
}
check "kav station provisions both modems and stops on Ctrl-C (exit $station_status)" \
  station_stopped
check "the station's log holds every step of both modems, all ok" station_logged
check "32-bit kav each reads both modems' identity" \
  bash -c "$(declare -f run out_has); wine=$wine work=$work; run 180 '$app32/kav.exe' each -- info &&
           out_has '2 modems: 2 ok, 0 failed in '"

if ((failures)); then
  echo "$failures Wine check(s) failed"
  exit 1
fi
echo "All Wine checks passed"
