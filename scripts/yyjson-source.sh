# Sourced by the scripts that configure the windows-x64 preset. Sets yyjson_source_args
# to the cmake argument that names an unpacked yyjson 0.12 source when one is at hand:
# $QVDBX_YYJSON_SOURCE_DIR, else the copy kept beside the repository on these machines
# (../shared/third_party/yyjson-0.12.0). Empty otherwise: configuring then fetches
# Debian's source package through apt.
yyjson_source_args=()
yyjson_source_dir=${QVDBX_YYJSON_SOURCE_DIR:-}
if [ -z "$yyjson_source_dir" ]; then
  yyjson_source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/../shared/third_party/yyjson-0.12.0"
  if [ -f "$yyjson_source_dir/src/yyjson.c" ]; then
    yyjson_source_dir=$(cd "$yyjson_source_dir" && pwd)
  else
    yyjson_source_dir=""
  fi
fi
if [ -n "$yyjson_source_dir" ]; then
  yyjson_source_args=("-DQVDBX_YYJSON_SOURCE_DIR=$yyjson_source_dir")
fi
