#!/usr/bin/env bash
# Checks the dynamic symbol table of libumts_kav.so: it defines exactly the operations the
# public header marks with UMTS_KAV_API, no more (no internal function, no C++ runtime template
# instance) and no fewer, and its SONAME carries the interface version.
# Arguments: the shared library, the public header.
set -euo pipefail
library=$1 header=$2

# Defined dynamic symbols, version suffix cut; the version node itself (type A) is no symbol.
exported=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort -u)
# The names declared after UMTS_KAV_API (outside preprocessor lines), each up to its opening
# parenthesis.
declared=$(grep -v '^#' "$header" | tr '\n' ' ' | grep -oE 'UMTS_KAV_API [^;(]*\(' |
  sed -E 's/\($//; s/.*[ *]//' | sort -u)

[ -n "$declared" ] || { echo "FAILED: no UMTS_KAV_API declaration found in $header" >&2; exit 1; }
if [ "$exported" != "$declared" ]; then
  echo "FAILED: exported symbols differ from the header's operations (< exported, > declared):" >&2
  diff <(echo "$exported") <(echo "$declared") >&2 || true
  exit 1
fi

soname=$(readelf -d "$library" | sed -nE 's/.*Library soname: \[(.*)\].*/\1/p')
[[ $soname =~ ^libumts_kav\.so\.[0-9]+$ ]] || { echo "FAILED: SONAME \"$soname\"" >&2; exit 1; }
echo "$(echo "$exported" | wc -l) operations exported; SONAME $soname"
