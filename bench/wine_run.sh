#!/usr/bin/env bash
# Times whole-folder listings through the Linux module and through the Windows DLL under
# Wine, in alternating rounds so that both see the same moments of a shared machine, and
# prints each one's median milliseconds per page and their ratio. Builds the bench preset
# (the .so and bench/list_timing) and the Windows cross build with the harness into
# build/windows-bench.
#
#   bench/wine_run.sh [ROUNDS] [SO DLL]     default 5 rounds of 3 listings each, the
#                                           modules just built
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
source scripts/yyjson-source.sh
win=build/windows-bench

cmake --preset bench >/dev/null
cmake --build --preset bench --target list_timing
cmake --preset windows-x64 -B "$win" "${yyjson_source_args[@]}" \
  -DBUILD_TESTING=OFF -DQVDBX_TOOLS=OFF -DQVDBX_BENCH=ON >/dev/null
cmake --build "$win" --target list_timing

so=${2:-build/bench/bin/quendo-quendovue-dropbox-client.so}
dll=${3:-$win/bin/quendo-quendovue-dropbox-client.dll}
# Wine wants the DLL's path in its own form; the harness lies beside it.
dll_arg="$(realpath --relative-to="$win/bin" "$dll")"
export WINEPREFIX=$PWD/$win/wine

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $so against $dll"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for round in $(seq "$rounds"); do
  build/bench/bin/list_timing "$so" 3 | sed 's/^/so /' >> "$out"
  (cd "$win/bin" && sh ../../../cmake/wine-run.sh ./list_timing.exe "$dll_arg" 3) | sed 's/^/dll /' >> "$out"
done
echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
# Lines: module face pages ms; the medians over the rounds and the DLL's ratio to the .so.
printf "%-14s %10s %10s %7s\n" "listing" "so ms/pg" "dll ms/pg" "dll/so"
sort -k2,2 -k3,3n -k1,1 -k4,4g "$out" | awk '
  { key = $2 " " $3; v[$1, key, ++n[$1, key]] = $4; keys[key] = 1 }
  function median(m, k,   c) { c = n[m, k]; return c % 2 ? v[m, k, (c + 1) / 2] : (v[m, k, c / 2] + v[m, k, c / 2 + 1]) / 2 }
  END {
    for (k in keys) printf "%-14s %10.3f %10.3f %7.2f\n", k, median("so", k), median("dll", k), median("dll", k) / median("so", k)
  }' | sort -k1,1 -k2,2n
