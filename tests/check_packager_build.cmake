# A packager's build: a bare configure of the source tree in a scratch folder, no preset,
# with GoogleTest and Google Benchmark hidden, must build the module and qvdbx without
# tests and without warnings as errors, and the qvdbx it builds must load the module and
# list the demo library.
#   cmake -DSOURCE=DIR -DSCRATCH=DIR -DGENERATOR=NAME -P check_packager_build.cmake
file(REMOVE_RECURSE ${SCRATCH})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("bare configure" ${CMAKE_COMMAND} -S ${SOURCE} -B ${SCRATCH} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
run("build" ${CMAKE_COMMAND} --build ${SCRATCH})

file(READ ${SCRATCH}/compile_commands.json commands)
if(commands MATCHES "-Werror")
  message(FATAL_ERROR "a bare configure compiles with -Werror")
endif()
file(GLOB tests_built ${SCRATCH}/bin/qvdbx_tests* ${SCRATCH}/bin/fuzz_*)
if(tests_built OR EXISTS ${SCRATCH}/CTestTestfile.cmake)
  message(FATAL_ERROR "a bare configure builds tests: ${tests_built}")
endif()

run("qvdbx over the demo" ${SCRATCH}/bin/qvdbx ls /Music)
if(NOT out MATCHES "Björk")
  message(FATAL_ERROR "qvdbx ls /Music listed no demo entry:\n${out}")
endif()
message(STATUS "bare build: module and qvdbx built, demo listed")
file(REMOVE_RECURSE ${SCRATCH})
