# yyjson for the Windows module: compiled into the DLL from Debian's source package of
# yyjson 0.12. Configuring fetches and unpacks it with `apt-get source` into the build
# directory (never into the source tree); QVDBX_YYJSON_SOURCE_DIR may name an unpacked
# copy instead. Defines the target yyjson::yyjson, as find_package does on Linux.
set(QVDBX_YYJSON_SOURCE_DIR "" CACHE PATH
    "Unpacked yyjson 0.12 source; empty: fetched with apt-get source at configure time")

set(_yyjson_dir ${QVDBX_YYJSON_SOURCE_DIR})
if(NOT _yyjson_dir)
  set(_yyjson_dir ${CMAKE_BINARY_DIR}/_deps/yyjson-src)
endif()

if(NOT EXISTS ${_yyjson_dir}/src/yyjson.c)
  if(QVDBX_YYJSON_SOURCE_DIR)
    message(FATAL_ERROR "QVDBX_YYJSON_SOURCE_DIR has no src/yyjson.c: ${QVDBX_YYJSON_SOURCE_DIR}")
  endif()
  # The newest 0.12 release among the source indexes (the testing suite's deb-src entry).
  execute_process(COMMAND apt-cache showsrc yyjson
                  OUTPUT_VARIABLE _index ERROR_QUIET RESULT_VARIABLE _rc)
  string(REGEX MATCHALL "Version: 0\\.12\\.[^\n]+" _versions "${_index}")
  list(TRANSFORM _versions REPLACE "^Version: " "")
  list(SORT _versions COMPARE NATURAL)
  list(POP_BACK _versions _version)
  if(NOT _version)
    message(FATAL_ERROR "no yyjson 0.12 source package in apt's indexes; "
                        "run scripts/setup-windows.sh, or set QVDBX_YYJSON_SOURCE_DIR")
  endif()
  set(_fetch ${CMAKE_BINARY_DIR}/_deps/yyjson-fetch)
  file(REMOVE_RECURSE ${_fetch})
  file(MAKE_DIRECTORY ${_fetch})
  message(STATUS "Fetching yyjson ${_version} with apt-get source")
  execute_process(COMMAND apt-get source -qq --only-source yyjson=${_version}
                  WORKING_DIRECTORY ${_fetch}
                  OUTPUT_VARIABLE _out ERROR_VARIABLE _out RESULT_VARIABLE _rc)
  file(GLOB _unpacked LIST_DIRECTORIES true ${_fetch}/yyjson-*)
  list(FILTER _unpacked INCLUDE REGEX "/yyjson-[^/]*$")
  set(_tree "")
  foreach(_candidate IN LISTS _unpacked)
    if(IS_DIRECTORY ${_candidate})
      set(_tree ${_candidate})
    endif()
  endforeach()
  if(NOT _rc EQUAL 0 OR NOT EXISTS ${_tree}/src/yyjson.c)
    message(FATAL_ERROR "apt-get source yyjson=${_version} failed (${_rc}):\n${_out}\n"
                        "Needs dpkg-dev and the deb-src index (scripts/setup-windows.sh).")
  endif()
  file(REMOVE_RECURSE ${_yyjson_dir})
  file(RENAME ${_tree} ${_yyjson_dir})
  file(REMOVE_RECURSE ${_fetch})
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
