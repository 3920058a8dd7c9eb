#!/usr/bin/env bash
# Installs what the 64-bit Windows build needs on Debian 12, on top of scripts/setup.sh:
# the mingw-w64 cross compiler and Wine to run the DLL's tests. When no unpacked yyjson
# 0.12 source is at hand (scripts/yyjson-source.sh), it also unpacks Debian's source
# package of it with `apt-get source` (dpkg-dev) into build/_deps/yyjson-src, so that
# configuring never touches the network. Run as root. Quick when everything is there.
set -euo pipefail
source "$(dirname "$0")/yyjson-source.sh"

# The testing suite's deb-src entry, through which yyjson 0.12 comes, is written there.
bash "$(dirname "$0")/setup.sh"

packages=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev xz-utils)

have_packages() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
}

# The newest 0.12 release among the source indexes, unpacked into $yyjson_fetched_dir.
fetch_yyjson_source() {
  local version scratch tree
  version=$(apt-cache showsrc yyjson 2>/dev/null | sed -n 's/^Version: \(0\.12\..*\)$/\1/p' |
            sort -V | tail -n 1)
  [ -n "$version" ] || { echo "setup-windows: no yyjson 0.12 source package in apt's indexes" >&2; exit 1; }
  scratch=$(mktemp -d)
  (cd "$scratch" && apt-get source -qq --only-source "yyjson=$version")
  tree=$(find "$scratch" -mindepth 2 -maxdepth 3 -path '*/src/yyjson.c' -printf '%h\n' | head -n 1)
  [ -n "$tree" ] || { echo "setup-windows: apt-get source yyjson=$version unpacked no src/yyjson.c" >&2; exit 1; }
  rm -rf "$yyjson_fetched_dir"
  mkdir -p "$(dirname "$yyjson_fetched_dir")"
  mv "$(dirname "$tree")" "$yyjson_fetched_dir"
  rm -rf "$scratch"
  echo "setup-windows: yyjson $version source in $yyjson_fetched_dir"
}

if ! have_packages; then
  export DEBIAN_FRONTEND=noninteractive
  # Also fetches the source indexes that `apt-get source yyjson` reads.
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}"
  have_packages
fi
if [ -z "$yyjson_source_dir" ]; then
  fetch_yyjson_source
fi
echo "setup-windows: done"
