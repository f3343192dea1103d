#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any of them is missing.
#   bash scripts/deps.sh        the build, the tests and the Debian package test
#   bash scripts/deps.sh --vm   also the real-kernel test bed (scripts/vm_test.sh)
set -euo pipefail
# dpkg-dev (dpkg-shlibdeps), man-db and file serve the Debian package and its test.
packages=(cmake ninja-build g++ pkg-config libssl-dev libpugixml-dev libgtest-dev libgmock-dev
          libbenchmark-dev nlohmann-json3-dev dpkg-dev man-db file)
# The test bed: QEMU and a static busybox for the guest's first steps, kmod for its modules,
# and what its scenarios run beside the library: udev, ModemManager and the system bus.
vm_packages=(qemu-system-x86 busybox-static cpio kmod udev modemmanager dbus)

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=0
apt_install() {
  ((updated)) || $sudo apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

mapfile -t missing < <(missing_of "${packages[@]}")
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi

if [ "${1:-}" = --vm ]; then
  mapfile -t missing < <(missing_of "${vm_packages[@]}")
  if ((${#missing[@]})); then
    echo "Installing for the test bed: ${missing[*]}"
    # The guest runs udev and ModemManager; this machine is not to start them on installation
    # (policy-rc.d answers 101, "action forbidden", to the packages' service starts).
    guard=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      guard=/usr/sbin/policy-rc.d
      printf '#!/bin/sh\nexit 101\n' | $sudo tee "$guard" >/dev/null
      $sudo chmod 755 "$guard"
    fi
    status=0
    apt_install --no-install-recommends "${missing[@]}" || status=$?
    [ -z "$guard" ] || $sudo rm -f "$guard"
    exit "$status"
  fi
fi
