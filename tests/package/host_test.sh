#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds hosts against the installed library the
# ways a user would: a C99 program and the same program as C++ through pkg-config, and a CMake
# project through find_package(umts_kav). Runs each host (attach, message sink, detach) and
# checks that the install layout holds the programs, the udev rules, man pages and examples.
# Arguments: build directory, source directory, CMAKE_INSTALL_LIBDIR, extra compiler flags
# (the sanitizer flags of a sanitizer build, whose library needs its runtime in the host).
set -euo pipefail
build=$1 source=$2 libdir=$3 extra_flags=${4-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kav-host-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.txt" || {
  cat "$tmp/install.txt" >&2
  fail "cmake --install"
}

# The layout.
for file in bin/kelnorset bin/kav bin/kav-modem-sim include/umts_kav/umts_kav_lib.h \
  "$libdir/libumts_kav.so" "$libdir/libumts_kav.so.1" "$libdir/pkgconfig/umts_kav.pc" \
  "$libdir/cmake/umts_kav/umts_kavConfig.cmake" lib/udev/rules.d/77-kav-dm-ports.rules \
  share/man/man1/kelnorset.1 share/man/man1/kav.1 share/man/man1/kav-modem-sim.1 \
  share/bash-completion/completions/kav \
  share/doc/kelnorset/examples/umts_kav_lib_timeouts.ini; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
grep -q 'ENV{ID_MM_PORT_IGNORE}="1"' "$prefix/lib/udev/rules.d/77-kav-dm-ports.rules" ||
  fail "the udev rules file holds no rule"

# Runs a host with the library's files in the temporary directory and checks its report.
run_host() {
  local host=$1
  mkdir -p "$tmp/root" "$tmp/home"
  local loaded
  loaded=$(ldd "$host" | awk '$1 == "libumts_kav.so.1" {print $3}')
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$prefix/$libdir/libumts_kav.so.1")" ] ||
    fail "$host does not load the installed library (it loads \"$loaded\")"
  HOME=$tmp/home UMTS_KAV_ROOT=$tmp/root UMTS_KAV_REGISTRY=$tmp/user.reg \
    UMTS_KAV_MODULE_DIR=$tmp/module "$host" >"$tmp/host.txt" 2>&1 || {
    cat "$tmp/host.txt" >&2
    fail "$host"
  }
  grep -qx "host ok" "$tmp/host.txt" || fail "$host did not finish"
}

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
read -r -a cflags <<<"$(pkg-config --cflags umts_kav)"
read -r -a libs <<<"$(pkg-config --libs umts_kav)"
read -r -a extra <<<"$extra_flags"
rpath=-Wl,-rpath,$(pkg-config --variable=libdir umts_kav)

cc -std=c99 -pedantic-errors -Wall -Wextra -Werror "${extra[@]}" "${cflags[@]}" \
  "$source/tests/package/c_host.c" -o "$tmp/c_host" "${libs[@]}" "$rpath"
run_host "$tmp/c_host"
c++ -std=c++17 -pedantic-errors -Wall -Wextra -Werror "${extra[@]}" "${cflags[@]}" -x c++ \
  "$source/tests/package/c_host.c" -x none -o "$tmp/cxx_host" "${libs[@]}" "$rpath"
run_host "$tmp/cxx_host"

# find_package(umts_kav) from a CMake project.
mkdir -p "$tmp/cmake_host"
cat >"$tmp/cmake_host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(kav_cmake_host LANGUAGES C)
find_package(umts_kav 3.22 REQUIRED)
add_executable(cmake_host $source/tests/package/c_host.c)
set_property(TARGET cmake_host PROPERTY C_STANDARD 99)
target_compile_options(cmake_host PRIVATE $extra_flags)
target_link_options(cmake_host PRIVATE $extra_flags)
target_link_libraries(cmake_host PRIVATE umts_kav::umts_kav)
CMAKE
cmake -S "$tmp/cmake_host" -B "$tmp/cmake_host/build" "-DCMAKE_PREFIX_PATH=$prefix" \
  >"$tmp/cmake.txt" 2>&1 && cmake --build "$tmp/cmake_host/build" >>"$tmp/cmake.txt" 2>&1 || {
  cat "$tmp/cmake.txt" >&2
  fail "CMake host"
}
run_host "$tmp/cmake_host/build/cmake_host"
echo "hosts built and run against $prefix"
