#!/bin/sh
# dpkg-shlibdeps, leaving yyjson's package out of the dependencies it finds
# (cmake/qvdbx_cpack_project.cmake names that one itself).
exec dpkg-shlibdeps -xlibyyjson0 "$@"
