# qvdbx_version_resource(TARGET TYPE DESCRIPTION): links a VERSIONINFO resource into a
# Windows binary: file and product version from project(), the product name, DESCRIPTION,
# and the target's own file name. TYPE is VFT_DLL or VFT_APP.
function(qvdbx_version_resource _rc_target _rc_type _rc_description)
  set(_rc ${CMAKE_BINARY_DIR}/version/${_rc_target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qvdbx_version.rc.in ${_rc}.in @ONLY)
  file(GENERATE OUTPUT ${_rc} INPUT ${_rc}.in)
  target_sources(${_rc_target} PRIVATE ${_rc})
endfunction()
