#!/usr/bin/env bash
# Download benchmark: a 25 MiB package over loopback from the test server, fetched by the tool's
# download path (bench program under Wine) and by `curl -o` (native), same server, same run.
#   bench/download_bench.sh [--quick] [BUILD_DIR]   (default build/win64; needs download_bench.exe built)
# --quick: one run of 4 MiB, failing without figures (the suite's check that the benchmark runs).
# Runs inside a private Wine prefix and display unless WINEPREFIX is already set.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=""
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
build=$(realpath "${1:-build/win64}")
exe="$build/bench/download_bench.exe"
[ -f "$exe" ] || { echo "build $exe first (cmake --build $build --target download_bench)"; exit 1; }
if [ -z "${WINEPREFIX:-}" ]; then exec scripts/with-wine "$build/bench-prefix" "$0" ${quick:+--quick} "$@"; fi

# A folder of this prefix's own: runs in other prefixes may use the build at the same time.
state="$build/bench-server-$(basename "$WINEPREFIX")"
rm -rf "$state"
python3 tests/support/update_server.py start --state "$state" >/dev/null
trap 'python3 tests/support/update_server.py stop --state "$state"' EXIT
port=$(cat "$state/port")
mib=25
runs=3
[ -n "$quick" ] && { mib=4; runs=1; }
size=$((mib * 1024 * 1024))
head -c "$size" /dev/urandom >"$state/root/bench.bin"
printf 'MZ' | dd of="$state/root/bench.bin" conv=notrunc status=none
out="$build/bench-out-$(basename "$WINEPREFIX")"
rm -rf "$out"
mkdir -p "$out"
wine cmd /c echo warm </dev/null >/dev/null 2>&1 || true

best_curl=999999
best_tool=999999
for run in $(seq "$runs"); do
  t=$(curl -s -o "$out/curl.bin" -w '%{time_total}' "http://127.0.0.1:$port/autoupdate/bench.bin")
  cmp -s "$out/curl.bin" "$state/root/bench.bin" || { echo "curl copy differs"; exit 1; }
  line=$(wine "$exe" "127.0.0.1:$port" bench.bin "$size" "Z:$out" </dev/null 2>/dev/null | tr -d '\r')
  cmp -s "$out/bench.bin" "$state/root/bench.bin" || { echo "tool copy differs: $line"; exit 1; }
  tool=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
  echo "run $run: curl ${t}s; tool: $line"
  [ -n "$tool" ] || { echo "no time from the tool's download"; exit 1; }
  best_curl=$(python3 -c "print(min($best_curl, $t))")
  best_tool=$(python3 -c "print(min($best_tool, $tool))")
  last="$line"
done
python3 - "$best_curl" "$best_tool" "$last" "$mib" "$runs" <<'PY'
import sys
curl, tool, line, mib, runs = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
fields = dict(kv.split("=") for kv in line.split())
above = int(fields["above_idle_kib"]) / 1024
print("best of %s: curl %.3f s (%.1f MiB/s), tool %.3f s (%.1f MiB/s), ratio tool/curl %.2f (goal <= 1.5)"
      % (runs, curl, mib / curl, tool, mib / tool, tool / curl))
print("tool peak working set %.1f MiB, %.2f MiB above idle (goal < 8)"
      % (int(fields["peak_kib"]) / 1024, above))
PY
