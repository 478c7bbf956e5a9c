# The Debian package: `cpack -G DEB` in the build folder makes kivo_<version>_<arch>.deb from what
# `cmake --install` installs, under /usr. Included for Linux builds only.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kivo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Watch and change the external variables of an expert")
set(CPACK_PACKAGE_DESCRIPTION "Kivo shows in a grid the variables that an expert program \
running in a trading terminal publishes in its project file (.kvo), re-reads the file every \
second, and writes a value the user changes back into it, marked so that the expert sees it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPack packs what the build made, as `cmake --install` does, instead of building "all" first: the
# package test packs the tree while other tests run the executables that a build would relink.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# The package carries the program, not its debugging information.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kivo developers <kivo@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The name Debian gives a package file: kivo_1.0.0.0_amd64.deb.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends is taken from the libraries the executable links (dpkg-shlibdeps): the Qt 6 packages
# and the C and C++ runtimes, each at the version the build was made against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
