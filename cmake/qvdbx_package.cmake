# Install rules and the release bundles (CPack), as a host developer receives the plug-in:
#   Linux:   .tar.gz and .deb with bin/qvdbx, the module in lib/<product>/, the public
#            header in include/ and the demo in share/<product>/fixtures/;
#   Windows: .zip with the DLL, qvdbx.exe and fixtures\ side by side, include\qvdbx.h,
#            the notes for host developers and yyjson's licence.
# The internal header, the tests and the static core are never installed.
set(_demo ${PROJECT_SOURCE_DIR}/fixtures/demo.json ${PROJECT_SOURCE_DIR}/fixtures/demo-settings.json)

install(TARGETS qvdbx_module LIBRARY DESTINATION ${QVDBX_INSTALL_MODULEDIR}
                             RUNTIME DESTINATION ${QVDBX_INSTALL_MODULEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qvdbx.h DESTINATION include)
install(FILES ${_demo} DESTINATION ${QVDBX_INSTALL_DATADIR}/fixtures)
if(TARGET qvdbx)
  install(TARGETS qvdbx RUNTIME DESTINATION ${QVDBX_INSTALL_BINDIR})
endif()
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/HOST-DEVELOPERS.txt.in
                 ${CMAKE_BINARY_DIR}/HOST-DEVELOPERS.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/HOST-DEVELOPERS.txt DESTINATION .)
  install(FILES ${QVDBX_YYJSON_LICENSE} DESTINATION licenses RENAME yyjson-LICENSE.txt)
endif()

set(CPACK_PACKAGE_NAME ${QVDBX_PRODUCT_NAME})
set(CPACK_PACKAGE_VENDOR QuendoVue)
set(CPACK_PACKAGE_CONTACT "${QVDBX_PRODUCT_NAME} developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Dropbox plug-in module for media players, with the qvdbx command-line host")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Depends from the binaries' own libraries (dpkg-shlibdeps: libcurl4, libstdc++6, ...),
  # and yyjson at the release the module is built for, which its shlibs file cannot know
  # (cmake/qvdbx_cpack_project.cmake keeps dpkg-shlibdeps from naming it again).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libyyjson0 (>= 0.12)")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/qvdbx_cpack_project.cmake)
endif()
include(CPack)
