#!/usr/bin/env bash
# qvdbx serve's benchmark (not a test). Two measures, against the loopback stand-in of
# Dropbox (tests/cli/fake_dropbox.py):
#
# 1. Cached redirects: wrk on one file whose link the bridge holds, in rounds side by side
#    with bare_redirect (libmicrohttpd answering a constant 302, the floor of this design):
#    requests per second, p50 and p99 latency, medians over the rounds, and the ratio.
# 2. Time until a player holds a playable playlist of the 2000 files of /Bench, the
#    stand-in adding 20 ms to every API answer: GET ?format=m3u on a fresh bridge against
#    qvdbx playlist on the same folder.
#
# Usage: bench/serve.sh [SECONDS_PER_ROUND [ROUNDS]]   (default 10 and 3)
# Results: build/bench/results/serve/ (summary.md and the raw wrk output).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
rounds=${2:-3}
connections=32
out=build/bench/results/serve
mkdir -p "$out"

cmake --preset release >/dev/null
cmake --build --preset release --target qvdbx qvdbx_module
cmake --preset bench >/dev/null
cmake --build --preset bench --target bare_redirect
qvdbx=build/release/bin/qvdbx

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

# Starts `$@` in the background with stdout to FILE and waits for its first line, which
# it leaves in $first.
start() {
    local file=$1
    shift
    "$@" >"$file" 2>"$file.err" &
    pids+=($!)
    for _ in $(seq 100); do
        [ -s "$file" ] && break
        sleep 0.1
    done
    first=$(head -n 1 "$file")
}

# Requests/s, p50 and p99 (ms) of a wrk run's output.
wrk_figures() {
    awk '/^Requests\/sec:/ { rps = $2 }
         function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000; return v }
         $1 == "50%" { p50 = ms($2) } $1 == "99%" { p99 = ms($2) }
         END { printf "%.0f %.3f %.3f\n", rps, p50, p99 }' "$1"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# --- 1. Cached redirects ------------------------------------------------------------
start "$out/fake.txt" python3 tests/cli/fake_dropbox.py --settings "$out/settings.json"
origin=${first#serving on }
start "$out/serve.txt" "$qvdbx" --live --origin "$origin" --settings "$out/settings.json" \
    serve /Big --listen 127.0.0.1:0 --quiet
serve_url="$(echo "$first" | grep -o 'http://[^ ]*')track%200001.mp3"
start "$out/bare.txt" build/bench/bin/bare_redirect 0
bare_url="http://127.0.0.1:$first/track%200001.mp3"
curl -sf -o /dev/null -w '%{http_code}\n' "$serve_url" | grep -qx 302  # the link is made and cached

: >"$out/rounds.txt"
for round in $(seq "$rounds"); do
    for who in serve bare; do
        url=${who}_url
        wrk -t2 -c"$connections" -d"${seconds}s" --latency "${!url}" >"$out/wrk-$who-$round.txt"
        echo "$who $(wrk_figures "$out/wrk-$who-$round.txt")" >>"$out/rounds.txt"
    done
done
for who in serve bare; do
    for col in 2 3 4; do
        declare "${who}_$col=$(awk -v w="$who" -v c="$col" '$1 == w { print $c }' "$out/rounds.txt" | median)"
    done
done
ratio=$(awk -v a="$serve_2" -v b="$bare_2" 'BEGIN { printf "%.2f", a / b }')

# --- 2. A playable playlist of 2000 files, 20 ms per API answer -------------------------
cleanup
pids=()
start "$out/fake-slow.txt" python3 tests/cli/fake_dropbox.py --delay 20 --settings "$out/settings.json"
origin=${first#serving on }
start "$out/serve-slow.txt" "$qvdbx" --live --origin "$origin" --settings "$out/settings.json" \
    serve /Bench --listen 127.0.0.1:0 --quiet
base=$(echo "$first" | grep -o 'http://[^ ]*')
m3u_s=$(curl -sf -o "$out/bench.m3u" -w '%{time_total}' "$base?format=m3u")
m3u_entries=$(grep -c '^http://' "$out/bench.m3u")
start_s=$(date +%s.%N)
"$qvdbx" --live --origin "$origin" --settings "$out/settings.json" playlist /Bench -o "$out/bench-links.m3u"
playlist_s=$(awk -v a="$start_s" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
playlist_entries=$(grep -c '^http' "$out/bench-links.m3u")

cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
{
    echo "Machine: $cpu, $(nproc) cores; libmicrohttpd $(pkg-config --modversion libmicrohttpd), $(wrk -v 2>&1 | head -n 1 | cut -d' ' -f1-2)"
    echo
    echo "Cached redirects: wrk -t2 -c$connections, $rounds rounds of ${seconds} s each, medians"
    echo
    echo "| server | requests/s | p50 | p99 |"
    echo "|---|---:|---:|---:|"
    echo "| qvdbx serve (--quiet) | $serve_2 | $serve_3 ms | $serve_4 ms |"
    echo "| bare libmicrohttpd 302 | $bare_2 | $bare_3 ms | $bare_4 ms |"
    echo "| ratio | $ratio | | |"
    echo
    echo "A playable playlist of /Bench (2000 files), 20 ms added to each API answer"
    echo
    echo "| how | seconds | entries |"
    echo "|---|---:|---:|"
    printf '| GET ?format=m3u (fresh bridge) | %.3f | %s |\n' "$m3u_s" "$m3u_entries"
    echo "| qvdbx playlist | $playlist_s | $playlist_entries |"
} | tee "$out/summary.md"
