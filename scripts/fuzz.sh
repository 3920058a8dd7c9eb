#!/usr/bin/env bash
# Builds the fuzz preset and runs each fuzz target for SECONDS seconds, one after the
# other, on a scratch copy of its checked-in corpus (the copy grows, the checked-in corpus
# does not). Fails on the first crash, leak, timeout or broken invariant; the input that
# caused it is kept under the build directory's fuzz-artifacts/.
#
#   scripts/fuzz.sh SECONDS [TARGET...]     targets: decode_list settings stream_entry
#                                           fixtures transport items_writer (default: all)
# QVDBX_FUZZ_BUILD overrides the build directory (default build/fuzz).
set -euo pipefail

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
cd "$(dirname "$0")/.."

build=${QVDBX_FUZZ_BUILD:-build/fuzz}
cmake --preset fuzz -B "$build" > /dev/null
if ! grep -q '^QVDBX_HAVE_LIBFUZZER:INTERNAL=1$' "$build/CMakeCache.txt"; then
  echo "fuzz: the compiler cannot link libFuzzer; skipped"
  exit 0
fi
cmake --build "$build" --target qvdbx_fuzzers

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decode_list settings stream_entry fixtures transport items_writer)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "${targets[@]}"; do
  corpus=fuzz/corpus/$target
  [ -d "$corpus" ] || { echo "fuzz: no corpus for $target" >&2; exit 2; }
  cp -r "$corpus" "$scratch/$target"
  echo "fuzz: $target for ${seconds}s"
  "$build/bin/fuzz_$target" "$scratch/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/dropbox.dict -artifact_prefix="$artifacts/$target-" \
    -print_final_stats=1
done
echo "fuzz: no findings"
