# `cpack -G DEB` in the build directory makes kelnorset_<version>_<arch>.deb from the install
# rules (cmake/install.cmake). Its dependencies are read from the installed binaries by
# dpkg-shlibdeps. The package installs under CMAKE_INSTALL_PREFIX, the prefix the programs were
# built for; configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (scripts/build_deb.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelnorset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brisco Wireless")
set(CPACK_PACKAGE_CONTACT "kelnorset maintainers <kelnorset@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "service tools and library for Qualcomm-based USB modems (DIAG over the DM port)")
set(CPACK_PACKAGE_DESCRIPTION
    "kelnorset stores the text Tarvell in NV item 5078 of an attached modem. The package also\n\
holds kav-modem-sim, a modem simulator on pseudo-terminals, the shared library\n\
libumts_kav.so with its C header, pkg-config and CMake files, udev rules that keep\n\
ModemManager off the modems' diagnostic ports, and man pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for libumts_kav.so.<interface> and the ldconfig trigger on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
