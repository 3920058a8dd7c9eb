# Sourced by the scripts that configure the windows-x64 preset. Sets yyjson_source_dir to
# an unpacked yyjson 0.12 source when one is at hand, and yyjson_source_args to the cmake
# argument that names it: $QVDBX_YYJSON_SOURCE_DIR, else the copy kept beside the
# repository on these machines (../shared/third_party/yyjson-0.12.0), else the one that
# scripts/setup-windows.sh unpacks from Debian's source package (build/_deps/yyjson-src).
# Both stay empty when there is none.
yyjson_source_args=()
yyjson_source_dir=""
yyjson_fetched_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/_deps/yyjson-src"
for _candidate in "${QVDBX_YYJSON_SOURCE_DIR:-}" \
    "$(dirname "${BASH_SOURCE[0]}")/../../shared/third_party/yyjson-0.12.0" \
    "$yyjson_fetched_dir"; do
  if [ -n "$_candidate" ] && [ -f "$_candidate/src/yyjson.c" ]; then
    yyjson_source_dir=$(cd "$_candidate" && pwd)
    yyjson_source_args=("-DQVDBX_YYJSON_SOURCE_DIR=$yyjson_source_dir")
    break
  fi
done
unset _candidate
