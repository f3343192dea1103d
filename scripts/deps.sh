#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any of them is missing.
#   bash scripts/deps.sh        the build, the tests and the Debian package test
#   bash scripts/deps.sh --vm   also the real-kernel test bed (scripts/vm_test.sh)
#   bash scripts/deps.sh --win  also the Windows cross build and Wine (scripts/win_test.sh)
set -euo pipefail
# dpkg-dev (dpkg-shlibdeps), man-db and file serve the Debian package and its test.
packages=(cmake ninja-build g++ pkg-config libssl-dev libpugixml-dev libgtest-dev libgmock-dev
          libbenchmark-dev nlohmann-json3-dev dpkg-dev man-db file)
# The test bed: QEMU and a static busybox for the guest's first steps, kmod for its modules,
# and what its scenarios run beside the library: udev, ModemManager and the system bus.
vm_packages=(qemu-system-x86 busybox-static cpio kmod udev modemmanager dbus)
# The Windows build: MinGW-w64 with POSIX threads for both word sizes, GoogleTest's source, and
# Wine to run the 64-bit and (through Debian's i386 multiarch) the 32-bit programs.
win_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64 wine32:i386)

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

# pugixml for Windows is compiled from Debian's source package of the libpugixml-dev installed
# here, unpacked (with Debian's patches) into .win-deps/pugixml. The source is fetched through
# a private apt state made from this machine's own Debian sources, so the system's apt
# configuration is left as it is.
fetch_pugixml_source() {
  local dest=.win-deps/pugixml
  [ -f "$dest/src/pugixml.cpp" ] && return 0
  local version work
  version=$(dpkg-query -W -f='${source:Version}' libpugixml-dev)
  work=$(mktemp -d)
  mkdir -p "$work/lists/partial" "$work/parts" "$work/src"
  : >"$work/sources.list"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >>"$work/parts/sources.list"
  done
  local opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
              -o "Dir::State::Lists=$work/lists" -o "APT::Sandbox::User=root")
  echo "Fetching Debian's source of pugixml $version"
  apt-get -qq "${opts[@]}" update
  (cd "$work/src" && apt-get -qq "${opts[@]}" source --download-only "pugixml=$version" >/dev/null)
  rm -rf "$dest"
  mkdir -p "$(dirname "$dest")"
  dpkg-source --no-check -x "$work"/src/pugixml_*.dsc "$dest" >/dev/null
  rm -rf "$work"
  [ -f "$dest/src/pugixml.cpp" ] || { echo "no src/pugixml.cpp in $dest" >&2; exit 1; }
}

if [ "${1:-}" = --win ]; then
  mapfile -t missing < <(missing_of "${win_packages[@]}")
  if ((${#missing[@]})); then
    echo "Installing for the Windows build: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "Adding the i386 architecture, for wine32"
      $sudo dpkg --add-architecture i386
      updated=0  # the package lists of the new architecture are still to be read
    fi
    apt_install --no-install-recommends "${missing[@]}"
  fi
  cd "$(dirname "$0")/.."
  fetch_pugixml_source
fi
