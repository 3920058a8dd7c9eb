#!/usr/bin/env bash
# Builds the bench preset and runs every contender on the same pages: the Google
# Benchmark suite with repetitions (JSON results), rounds that pair the Node peer with
# the module on the page the suite dumps, and the listing benchmarks a second time with
# an allocator that keeps freed memory. Prints the tables; everything lands in
# build/bench/results.
#
#   bench/run.sh [REPETITIONS]    (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}
out=build/bench/results
bin=build/bench/bin/qvdbx_bench
# Repetitions run in random order, so a busy spell on a shared machine spreads over all
# contenders instead of landing on one of them.
gb_flags=(--benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
          --benchmark_report_aggregates_only=true --benchmark_out_format=json)

cmake --preset bench >/dev/null
cmake --build --preset bench
mkdir -p "$out"

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs);" \
     "$(g++ --version | head -1); $(clang++ --version | head -1); node $(node --version);" \
     "load $(cut -d' ' -f1-3 /proc/loadavg)"

"$bin" --dump-page "$out"
if ! cmp -s "$out/items.json" "$out/floor_items.json"; then
  echo "run.sh: the yyjson floor does not write the module's document" >&2
  exit 1
fi

"$bin" "${gb_flags[@]}" --benchmark_out="$out/qvdbx_bench.json"
# The ratio to Node comes from paired rounds, each timing the peer and then the module's
# page and the floor, so that both sides of a ratio see the same moment of the machine.
rm -rf "$out/rounds"
mkdir -p "$out/rounds"
for round in $(seq "$repetitions"); do
  node bench/node_peer.js "$out/page.json" "$out/items.json" --repetitions 1 \
    > "$out/rounds/node_$round.json"
  "$bin" --benchmark_filter='BM_module_page/|BM_yyjson_parse_write_items' --benchmark_min_time=1 \
    --benchmark_format=json > "$out/rounds/module_$round.json"
done
# glibc hands blocks above 32 MB back to the system when they are freed, so each listing
# of a large folder faults its table and document in anew. With mmap off and no trimming
# the memory is reused, which leaves the module's own work per page.
GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736 \
  "$bin" "${gb_flags[@]}" --benchmark_filter='pages|list' --benchmark_out="$out/kept_memory.json"

echo "== load after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
node bench/report.js "$out" | tee "$out/summary.txt"
