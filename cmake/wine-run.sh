#!/bin/sh
# Runs a program of the Windows build under 64-bit Wine: ctest uses it as the emulator,
# and it works by hand too:
#   WINEPREFIX=$PWD/build/windows-x64/wine sh cmake/wine-run.sh build/windows-x64/bin/qvdbx.exe
# With no program it only brings Wine up (and fills a new prefix).
#
# The first call of a session starts the prefix's wineserver and Wine's own services with
# their output sent nowhere. Started from inside a test, those services would inherit
# ctest's output pipe and hold the test open until they exit. The server and services
# stay up for 60 s after the last program, so a test run pays Wine's start-up once.
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the build's Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"

# Debian keeps the 64-bit loader outside PATH; its `wine` script would want 32-bit Wine.
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

mkdir -p "$WINEPREFIX"
# Parallel tests: one of them starts the server and services, the others wait for it.
exec 9>"$WINEPREFIX.lock"
flock 9
# wineserver exits with 2 when the prefix already has a server running. wineboot also
# fills a new prefix, which takes some 20 s once.
if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
  "$wine64" wineboot </dev/null >/dev/null 2>&1 9>&-
fi
flock -u 9
exec 9>&-

[ $# -gt 0 ] || exit 0
exec "$wine64" "$@"
