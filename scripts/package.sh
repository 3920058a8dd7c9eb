#!/usr/bin/env bash
# Builds and makes the release bundles into build/packages/:
#   linux    the .tar.gz and the .deb (release preset)
#   windows  the .zip (windows-x64 preset; needs scripts/setup-windows.sh once)
#   scripts/package.sh [linux] [windows]      default: both
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/yyjson-source.sh

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(linux windows)
for kind in "${kinds[@]}"; do
  case $kind in
    linux) preset=release; configure_args=() ;;
    windows) preset=windows-x64; configure_args=("${yyjson_source_args[@]}") ;;
    *) echo "usage: $0 [linux] [windows]" >&2; exit 2 ;;
  esac
  echo "== bundles: $kind"
  cmake --preset "$preset" "${configure_args[@]}" >/dev/null
  cmake --build --preset "$preset"
  cpack --preset "$kind"
done
ls -l build/packages/quendo-*
