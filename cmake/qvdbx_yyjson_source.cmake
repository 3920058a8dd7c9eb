# yyjson for the Windows module: compiled into the DLL from an unpacked yyjson 0.12
# source, QVDBX_YYJSON_SOURCE_DIR (scripts/setup-windows.sh provides one and
# scripts/yyjson-source.sh names it). Configuring never fetches anything. Defines the
# target yyjson::yyjson, as find_package does on Linux.
set(QVDBX_YYJSON_SOURCE_DIR "" CACHE PATH "Unpacked yyjson 0.12 source (holds src/yyjson.c)")

set(_yyjson_dir ${QVDBX_YYJSON_SOURCE_DIR})
if(NOT EXISTS "${_yyjson_dir}/src/yyjson.c")
  message(FATAL_ERROR "QVDBX_YYJSON_SOURCE_DIR must name an unpacked yyjson 0.12 source "
                      "(with src/yyjson.c), not '${_yyjson_dir}'; scripts/setup-windows.sh "
                      "prepares one and scripts/yyjson-source.sh names it")
endif()

# The DLL must be built from 0.12 whatever the copy: the same release as on Linux.
file(STRINGS ${_yyjson_dir}/src/yyjson.h _defines
     REGEX "^#define YYJSON_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*PATCH +([0-9]+).*" "\\1.\\2.\\3"
       _yyjson_version "${_defines}")
if(NOT _yyjson_version MATCHES "^0\\.12\\.")
  message(FATAL_ERROR "yyjson 0.12 is required, ${_yyjson_dir} holds '${_yyjson_version}'")
endif()
message(STATUS "yyjson ${_yyjson_version} compiled in from ${_yyjson_dir}")
# Its licence travels with the DLL that compiles it in.
set(QVDBX_YYJSON_LICENSE ${_yyjson_dir}/LICENSE)

add_library(qvdbx_yyjson STATIC ${_yyjson_dir}/src/yyjson.c)
target_include_directories(qvdbx_yyjson SYSTEM PUBLIC ${_yyjson_dir}/src)
# An empty export macro for every user of the header too: no yyjson name may reach the
# DLL's export table.
target_compile_definitions(qvdbx_yyjson PUBLIC yyjson_api=)
# Not our code: its warnings are not ours to fail on.
target_compile_options(qvdbx_yyjson PRIVATE -w)
add_library(yyjson::yyjson ALIAS qvdbx_yyjson)
