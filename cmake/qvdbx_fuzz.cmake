# Whether the compiler links libFuzzer (clang). Sets QVDBX_LIBFUZZER: the module's objects
# are then instrumented for coverage where they are defined, and fuzz/ makes each target
# a fuzzer; otherwise fuzz/ makes corpus replayers.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS -fsanitize=fuzzer)
check_cxx_source_compiles(
  "#include <cstddef>
   #include <cstdint>
   extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }"
  QVDBX_HAVE_LIBFUZZER)
unset(CMAKE_REQUIRED_FLAGS)
set(QVDBX_LIBFUZZER ${QVDBX_HAVE_LIBFUZZER})
if(NOT QVDBX_LIBFUZZER)
  message(WARNING "QVDBX_FUZZ: ${CMAKE_CXX_COMPILER_ID} cannot link libFuzzer; "
                  "building corpus replayers instead")
endif()
