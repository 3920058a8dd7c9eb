#!/usr/bin/env bash
# Installs what the build, the tests, the benchmarks and the command-line host need on
# Debian 12. Run as root. Quick when everything is already there.
#
# yyjson 0.12 is not in Debian 12: it comes from Debian's testing suite, added from the
# mirror that apt already uses (scripts/debian-mirror.sh) with a pin that keeps every
# other package on the machine's own suite. dpkg-dev and file make the .deb bundle;
# openssl makes the test certificate of the TLS check; libmicrohttpd is qvdbx serve's
# HTTP server, and wrk loads it in bench/serve.sh; chromium (and npm, for the test's
# puppeteer-core) plays serve's folder page in the browser test.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  chromium
  libcurl4-openssl-dev libssl-dev ffmpeg python3 nodejs valgrind libclang-rt-14-dev
  libyyjson-dev dpkg-dev file openssl libmicrohttpd-dev wrk
)
# Debian's nodejs comes without npm; a Node.js that brings its own npm must keep it.
command -v npm >/dev/null || packages+=(npm)

testing_list=/etc/apt/sources.list.d/qvdbx-testing.sources
testing_pin=/etc/apt/preferences.d/qvdbx-testing.pref

have_all() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
  done
  dpkg --compare-versions "$(dpkg-query -W -f='${Version}' libyyjson-dev)" ge 0.12
}

if have_all; then
  echo "setup: everything is installed"
  exit 0
fi

mirror=$(bash "$(dirname "$0")/debian-mirror.sh")
cat > "$testing_list" <<SRC
Types: deb deb-src
URIs: $mirror
Suites: testing
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
cat > "$testing_pin" <<'PIN'
Package: *
Pin: release a=testing
Pin-Priority: 1

Package: libyyjson-dev libyyjson0
Pin: release a=testing
Pin-Priority: 990
PIN

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}"
have_all
echo "setup: done"
