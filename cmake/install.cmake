# What `make install` (cmake --install) puts where, and the Debian package (`make package`,
# CPack) that holds the same files.
include(GNUInstallDirs)

install(TARGETS velmora velmorad RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, written in roff by hand; the build fills in the version and compresses them.
foreach(page velmora.1 velmorad.8)
  string(REGEX MATCH "[0-9]$" section ${page})
  configure_file(doc/${page}.in ${CMAKE_BINARY_DIR}/doc/${page} @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${CMAKE_BINARY_DIR}/doc/${page}.gz PATHS ${CMAKE_BINARY_DIR}/doc/${page}
       FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
  install(FILES ${CMAKE_BINARY_DIR}/doc/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# Completions where bash-completion and fish look for them by the command's name. zsh's place
# depends on the prefix, which is only final at install time (below).
install(FILES contrib/completions/velmora.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velmora)
install(FILES contrib/completions/velmora.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

# The service files name the installed velmorad, so they are written at install time, when the
# prefix is the one really used (cmake --install --prefix, or the package's).
if(APPLE)
  set(VELMORA_SYSTEMD_UNIT OFF)
else()
  set(VELMORA_SYSTEMD_UNIT ON)
endif()
configure_file(cmake/install_prefixed.cmake.in ${CMAKE_BINARY_DIR}/install_prefixed.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/install_prefixed.cmake)

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR velmora)
set(CPACK_PACKAGE_CONTACT "velmora developers <dev@velmora>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps shells alive while terminals detach and reattach")
set(CPACK_PACKAGE_DESCRIPTION
    "velmorad is a per-user daemon that keeps interactive shells alive in\n"
    "pseudo-terminals, so that a terminal can detach from a shell and later\n"
    "reattach to the very same shell. velmora is its command-line client.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# The package is built from an install into a staging directory with this prefix, so that the
# service files name the path where the package puts velmorad.
set(VELMORA_PACKAGE_PREFIX /usr CACHE STRING "Installation prefix inside the package")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${VELMORA_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${VELMORA_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# Installs into temporary directories and checks every file (scripts/check-install).
if(VELMORA_TESTS)
  add_test(NAME install_tree
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-install tree ${CMAKE_BINARY_DIR})
endif()
