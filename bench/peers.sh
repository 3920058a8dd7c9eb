#!/usr/bin/env bash
# qvdbx against the official Dropbox SDKs, end to end on one loopback server: installs the
# peers when they are missing (as root), builds qvdbx (release preset) and the benchmark's
# two helpers (bench preset), then runs bench/peers.py. The report, the CSVs and the chart
# land in build/bench/peers.
#
#   bench/peers.sh [ROUNDS]    (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}

# Debian's Python SDK and gnuplot; the JavaScript SDK from npm (bench/package-lock.json).
missing=()
/usr/bin/python3 -c 'import dropbox' 2>/dev/null || missing+=(python3-dropbox)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
if ((${#missing[@]})); then
  if [[ $(id -u) != 0 ]]; then
    echo "peers.sh: first run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
fi
[[ -d bench/node_modules/dropbox ]] || npm ci --prefix bench --no-audit --no-fund

cmake --preset release >/dev/null
cmake --build --preset release --target qvdbx
cmake --preset bench >/dev/null
cmake --build --preset bench --target qvdbx_bench peer_measure

/usr/bin/python3 bench/peers.py --qvdbx build/release/bin/qvdbx --bench-bin build/bench/bin \
  --out build/bench/peers --rounds "$rounds"
