# What `cmake --install` puts in place, and the packages `cpack` makes of it:
# - Linux: bin/tolverin, its manual page (gzip -9n, as Debian ships them) and the README; a
#   Debian package whose Depends come from dpkg-shlibdeps (package dpkg-dev).
# - Windows: tolverin.exe and the README side by side, in a ZIP.
# Nothing of the tests or of GoogleTest is installed.
include(GNUInstallDirs)

set(TOLVERIN_MAINTAINER "tolverin maintainers <maintainers@users.noreply.c-seed-163db7f6.example>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  install(TARGETS tolverin RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  install(TARGETS tolverin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # No name and no time stamp in the compressed page: the same bytes at every build.
  find_program(TOLVERIN_GZIP gzip REQUIRED)
  set(tolverin_man_page ${PROJECT_BINARY_DIR}/doc/tolverin.1.gz)
  add_custom_command(
    OUTPUT ${tolverin_man_page}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/tolverin.1 doc/tolverin.1
    COMMAND ${TOLVERIN_GZIP} -9nf doc/tolverin.1
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/tolverin.1
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(tolverin_man_page ALL DEPENDS ${tolverin_man_page})
  install(FILES ${tolverin_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME tolverin)
set(CPACK_PACKAGE_VENDOR "tolverin maintainers")
set(CPACK_PACKAGE_CONTACT "${TOLVERIN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the LAN adapter through which a NetBIOS station is reached")
# Debian's extended description: lines of at most 79 characters, as written here.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "tolverin STATION probes the host's NetBIOS LAN adapters in turn: on each it\n"
    "registers the group name STATION.PELMOK.CLT and calls the station's command\n"
    "server STATION.COMMAND.SRV. It prints a trace line per adapter and exits with\n"
    "the number (LANA) of the adapter where the station answered the call with\n"
    "return code 18, or with -1.\n"
    "\n"
    "On Linux it brings its own NetBIOS over TCP/IP (a broadcast node): UDP 137\n"
    "broadcasts from an ephemeral port, and TCP 139. It needs no privilege.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tolverin-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # tolverin_<version>-<release>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
