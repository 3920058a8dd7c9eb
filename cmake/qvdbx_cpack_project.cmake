# Read by CPack for each generator (CPACK_PROJECT_CONFIG_FILE). For the .deb, yyjson's
# dependency is named once, in CPACK_DEBIAN_PACKAGE_DEPENDS, at the release the module is
# built for: dpkg-shlibdeps runs with yyjson's package excluded, because its shlibs file
# only knows an older minimum.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(SHLIBDEPS_EXECUTABLE "${CMAKE_CURRENT_LIST_DIR}/dpkg-shlibdeps-without-yyjson.sh")
endif()
