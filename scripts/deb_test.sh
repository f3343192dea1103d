#!/usr/bin/env bash
# Tests the Debian package on this machine (needs root): builds it (scripts/build_deb.sh),
# installs it with dpkg -i, runs kelnorset from /usr/bin as an unprivileged user against
# kav-modem-sim, then as root, and checks that neither run wrote beside the programs and that
# the settings went to the user's home; checks the man page, the udev rules and the pkg-config
# file; removes the package with dpkg -r and checks that none of its files is left. The test
# user (created when missing) and every temporary file are removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "deb_test.sh installs a package and needs root." >&2
  exit 1
fi
if dpkg-query -W -f='${Status}' kelnorset 2>/dev/null | grep -q "install ok installed"; then
  echo "kelnorset is installed on this machine already; remove it before this test." >&2
  exit 1
fi

user=kav-deb-test
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kav-deb-test.XXXXXX")
chmod 755 "$tmp"
sim_pid=""
created_user=false
installed=false
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if $installed; then dpkg -P kelnorset >/dev/null 2>&1 || true; fi
  if $created_user; then userdel "$user" || echo "The test user $user could not be removed." >&2; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

deb=$(bash scripts/build_deb.sh | tail -n 1)
echo "Package: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libc6 libssl3 libpugixml1v5 libstdc++6; do
  [[ $depends == *"$library"* ]] || fail "the package does not depend on $library"
done

if ! id "$user" >/dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  created_user=true
fi
home=$tmp/home
mkdir -p "$home" "$tmp/machine"
chown "$user:" "$home" "$tmp/machine"
# The prefix that runs a command as the test user with a home of its own and no other
# environment. setpriv and env exec the command, so a command started in the background has $!
# as its own process id.
as_user=(setpriv --reuid="$user" --regid="$user" --clear-groups --
  env -i PATH=/usr/bin:/bin HOME="$home")

ls -A /usr/bin >"$tmp/usr-bin.before"
# Slim images tell dpkg to skip man pages (path-exclude in /etc/dpkg/dpkg.cfg.d); the test
# needs this package's.
dpkg --path-include='/usr/share/man/man1/*' -i "$deb" >/dev/null
installed=true
dpkg -L kelnorset >"$tmp/files"

"${as_user[@]}" /usr/bin/kav-modem-sim --root "$tmp/machine" >"$tmp/simulator.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$tmp/machine/.ready" ] && break
  sleep 0.1
done
[ -e "$tmp/machine/.ready" ] || { cat "$tmp/simulator.txt" >&2; fail "kav-modem-sim did not start"; }

"${as_user[@]}" UMTS_KAV_ROOT="$tmp/machine" /usr/bin/kelnorset >"$tmp/user-run.txt" 2>&1 || {
  cat "$tmp/user-run.txt" >&2
  fail "kelnorset as $user"
}
grep -qx 'Final value of NV item 5078 is "Tarvell"' "$tmp/user-run.txt" ||
  fail "kelnorset as $user did not write the item"
[ -f "$home/.config/umts_kav_lib/user.reg" ] || fail "the settings are not in the user's home"

# kav as the user: the DM port and an NV item by number.
"${as_user[@]}" UMTS_KAV_ROOT="$tmp/machine" /usr/bin/kav ports --dm-only >"$tmp/kav-run.txt" 2>&1 &&
  "${as_user[@]}" UMTS_KAV_ROOT="$tmp/machine" /usr/bin/kav nv read 5078 >>"$tmp/kav-run.txt" 2>&1 || {
  cat "$tmp/kav-run.txt" >&2
  fail "kav as $user"
}
[ -s /usr/share/bash-completion/completions/kav ] || fail "the kav completion is not installed"
man -w kav >/dev/null || fail "man -w kav"

# Root can write /usr/bin, and still nothing may be written there.
mkdir -p "$tmp/root-home"
env -i PATH=/usr/bin:/bin HOME="$tmp/root-home" UMTS_KAV_ROOT="$tmp/machine" /usr/bin/kelnorset \
  >"$tmp/root-run.txt" 2>&1 || {
  cat "$tmp/root-run.txt" >&2
  fail "kelnorset as root"
}
# An item read by name loads the NV item database: it goes to root's per-user place too.
env -i PATH=/usr/bin:/bin HOME="$tmp/root-home" UMTS_KAV_ROOT="$tmp/machine" /usr/bin/kav nv read \
  NV_PRODUCT_TAG_I >"$tmp/root-kav.txt" 2>&1 || {
  cat "$tmp/root-kav.txt" >&2
  fail "kav nv read NV_PRODUCT_TAG_I as root"
}
[ -f "$tmp/root-home/.local/share/umts_kav_lib/umts_kav_lib.nvi_db" ] ||
  fail "the NV item database is not in root's per-user place"
ls -A /usr/bin >"$tmp/usr-bin.after"
diff "$tmp/usr-bin.before" <(grep -vxE 'kelnorset|kav-modem-sim|kav' "$tmp/usr-bin.after") ||
  fail "files appeared in /usr/bin"

man -w kelnorset | grep -q '^/usr/share/man/man1/kelnorset\.1' || fail "man -w kelnorset"
[ -s /usr/lib/udev/rules.d/77-kav-dm-ports.rules ] || fail "the udev rules are not installed"
[ "$(pkg-config --modversion umts_kav)" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "pkg-config does not find umts_kav"

kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""

# The directories among the package's paths, known before removal.
while read -r path; do
  if [ -d "$path" ] && [ ! -L "$path" ]; then echo "$path"; fi
done <"$tmp/files" >"$tmp/directories"
dpkg -r kelnorset >/dev/null
left=0
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A directory that another package owns as well stays.
  if grep -qxF "$path" "$tmp/directories" && dpkg -S "$path" >/dev/null 2>&1; then continue; fi
  echo "left after dpkg -r: $path" >&2
  left=1
done <"$tmp/files"
((left == 0)) || fail "files of the package are left"
# The package's maintainer scripts keep its record until it is purged.
dpkg -P kelnorset >/dev/null
installed=false
echo "The Debian package installs, runs as $user and as root, and is removed without a trace."
