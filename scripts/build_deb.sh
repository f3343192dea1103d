#!/usr/bin/env bash
# Builds the Debian package of kelnorset (programs, libumts_kav.so, header, pkg-config and CMake
# files, udev rules, man pages): a Release build for the prefix /usr in build-deb/ (or
# $KAV_DEB_BUILD_DIR), then `cpack -G DEB`. Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=${KAV_DEB_BUILD_DIR:-build-deb}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKAV_BUILD_TESTS=OFF -DKAV_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/kelnorset_*.deb
(cd "$dir" && cpack -G DEB >cpack.log) || {
  cat "$dir/cpack.log" >&2
  exit 1
}
debs=("$(pwd)/$dir"/kelnorset_*.deb)
echo "${debs[0]}"
