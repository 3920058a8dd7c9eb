# Cross-compiles the 64-bit Windows module and its tests with Debian's mingw-w64
# (g++-mingw-w64-x86-64-posix). Programs built with it run on this machine under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QVDBX_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex work without extra headers.
set(CMAKE_C_COMPILER ${QVDBX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVDBX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVDBX_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw sysroot only: the build machine's own
# (Linux) yyjson or GoogleTest must never be picked up by mistake.
set(CMAKE_FIND_ROOT_PATH /usr/${QVDBX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every executable carries its C and C++ runtimes, so it runs under Wine (and on a
# host machine) with nothing but the Windows system DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and tools run under Wine, each build directory with a prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wine sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
