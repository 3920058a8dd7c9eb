#!/usr/bin/env bash
# Prints the URI of the Debian archive that apt on this machine already uses for its own
# release (e.g. bookworm), so that the testing suite can be added from the same mirror
# without naming one. Reads the deb822 sources (sources.list.d/*.sources, the first URI
# of an enabled "deb" stanza whose Suites hold the release) and then the one-line ones
# (sources.list, sources.list.d/*.list). Fails when none is configured.
#   debian-mirror.sh [RELEASE]      default: VERSION_CODENAME of /etc/os-release
# APT_ETC names another folder than /etc/apt (the tests use it).
set -euo pipefail
etc=${APT_ETC:-/etc/apt}
release=${1:-$(. /etc/os-release && echo "${VERSION_CODENAME:-}")}
[ -n "$release" ] || { echo "debian-mirror: no release name given or found" >&2; exit 1; }

from_deb822() {
  awk -v release="$release" '
    function flush() {
      if (index(" " types " ", " deb ") && index(" " suites " ", " " release " ") &&
          tolower(enabled) != "no" && split(uris, u, " ") > 0) { print u[1]; found = 1; exit }
      types = suites = uris = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    { key = tolower($1); $1 = "" }
    key == "types:" { types = $0 }
    key == "suites:" { suites = $0 }
    key == "uris:" { uris = $0 }
    key == "enabled:" { enabled = $0; gsub(/[ \t]/, "", enabled) }
    END { if (!found) flush() }' "$@"
}

from_one_line() {
  sed -n -E "s/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+${release}([[:space:]].*)?$/\2/p" "$@"
}

uri=""
shopt -s nullglob
for f in "$etc"/sources.list.d/*.sources; do
  uri=$(from_deb822 "$f")
  [ -z "$uri" ] || break
done
if [ -z "$uri" ]; then
  lists=("$etc"/sources.list "$etc"/sources.list.d/*.list)
  existing=()
  for f in "${lists[@]}"; do [ ! -f "$f" ] || existing+=("$f"); done
  if [ ${#existing[@]} -gt 0 ]; then uri=$(from_one_line "${existing[@]}" | head -n 1); fi
fi
[ -n "$uri" ] || { echo "debian-mirror: apt has no source for $release in $etc" >&2; exit 1; }
echo "${uri%/}"
