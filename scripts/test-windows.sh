#!/usr/bin/env bash
# Sets up the machine for the Windows build (when run as root), cross-builds the
# windows-x64 preset and runs its whole ctest under Wine: unit, allocation-failure and
# fuzz-corpus tests, the DLL's export, import and version checks, qvdbx.exe over the demo
# and --live against the loopback server, and the .zip bundle.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then bash scripts/setup-windows.sh; fi
source scripts/yyjson-source.sh

cmake --preset windows-x64 "${yyjson_source_args[@]}" >/dev/null
cmake --build --preset windows-x64
ctest --preset windows-x64
