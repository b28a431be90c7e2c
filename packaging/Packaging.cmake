# What a Debian package of the station installs, and the package itself
# (`make package`, or `cpack -G DEB` in a Release build configured with
# CMAKE_INSTALL_PREFIX=/usr).
include(GNUInstallDirs)

set(TALVEX_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
set(TALVEX_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/talvex)
configure_file(${CMAKE_CURRENT_LIST_DIR}/talvex-headless.service.in
  ${CMAKE_BINARY_DIR}/packaging/talvex-headless.service @ONLY)

# The manual page carries the version; Debian ships manual pages compressed.
configure_file(${CMAKE_CURRENT_LIST_DIR}/talvex.1 ${CMAKE_BINARY_DIR}/packaging/talvex.1 @ONLY)
set(talvex_manpage ${CMAKE_BINARY_DIR}/packaging/talvex.1.gz)
add_custom_command(OUTPUT ${talvex_manpage}
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/talvex.1 > ${talvex_manpage}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/talvex.1 VERBATIM)
add_custom_target(talvex_manpage ALL DEPENDS ${talvex_manpage})

install(FILES ${CMAKE_CURRENT_LIST_DIR}/talvex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/talvex.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${talvex_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/talvex-headless.service DESTINATION lib/systemd/user)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/headless.env DESTINATION ${CMAKE_INSTALL_DATADIR}/talvex)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvex)
set(CPACK_PACKAGE_VENDOR Talvex)
set(CPACK_PACKAGE_CONTACT "Talvex developers <talvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lab recording station for cameras and a phone's gyroscope")
set(CPACK_PACKAGE_DESCRIPTION
  "Records one or two cameras and a phone's gyroscope (Phyphox remote access) into one session folder per recording; driven from its window or by Lumetra over TCP port 8765.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries' packages come from dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
