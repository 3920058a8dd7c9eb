#!/usr/bin/env bash
# Installs what the 64-bit Windows build needs on Debian 12, on top of scripts/setup.sh:
# the mingw-w64 cross compiler, Wine to run the DLL's tests, and dpkg-dev, with which
# `apt-get source` unpacks the yyjson source package that the DLL compiles in. That
# source package must be in apt's indexes only when no unpacked yyjson source is at hand
# (scripts/yyjson-source.sh). Run as root. Quick when everything is already there.
set -euo pipefail
source "$(dirname "$0")/yyjson-source.sh"

# The testing suite's deb-src entry, through which yyjson 0.12 comes, is written there.
bash "$(dirname "$0")/setup.sh"

packages=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev xz-utils)

have_all() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
  [ ${#yyjson_source_args[@]} -gt 0 ] || apt-cache showsrc yyjson 2>/dev/null | grep -q '^Version: 0\.12\.'
}

if have_all; then
  echo "setup-windows: everything is installed"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# Also fetches the source indexes that `apt-get source yyjson` reads.
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}"
have_all
echo "setup-windows: done"
