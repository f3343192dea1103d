#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any of them is missing.
set -euo pipefail
# dpkg-dev (dpkg-shlibdeps), man-db and file serve the Debian package and its test.
packages=(cmake ninja-build g++ pkg-config libssl-dev libpugixml-dev libgtest-dev libgmock-dev
          libbenchmark-dev dpkg-dev man-db file)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
