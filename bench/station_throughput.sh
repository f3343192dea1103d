#!/usr/bin/env bash
# The provisioning station's throughput over a minute of arriving modems: kav-modem-sim brings
# a new modem every 2 s (each leaves 4 s after it came), kav station runs a write-and-check
# recipe on each, and after 62 s the log tells how many were provisioned and how long each took.
#
#   bash bench/station_throughput.sh [BUILD_DIR]      (default: build)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kav-station-bench.XXXXXX")
trap 'kill $sim $station 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
export UMTS_KAV_ROOT=$work/machine UMTS_KAV_MODULE_DIR=$work UMTS_KAV_REGISTRY=$work/user.reg
"$build/sim/kav-modem-sim" --root "$work/machine" --modems 30 --arrive-every 2000 --stay 4000 \
  >"$work/sim.txt" 2>&1 &
sim=$!
printf 'nv write 5078 --text "Tarvell"\nexpect 5078 --text "Tarvell"\n' >"$work/recipe.txt"
"$build/tool/kav" station "$work/recipe.txt" -q >"$work/station.txt" 2>&1 &
station=$!
sleep 62
kill -INT "$station"
wait "$station" || true
python3 - "$work/recipe.txt.log.jsonl" <<'PY'
import json, statistics, sys
done = [json.loads(l) for l in open(sys.argv[1]) if '"done": true' in l or '"done":true' in l]
ok = [d for d in done if d["ok"]]
print(f"station: {len(ok)} modems provisioned in 62 s ({len(ok) / 62 * 60:.1f} per minute), "
      f"{len(done) - len(ok)} failed; per modem median {statistics.median(d['seconds'] for d in ok):.3f} s")
PY
