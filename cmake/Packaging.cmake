# What an operator installs: `cmake --install` and the packages CPack builds from it.
# Linux: the tool in bin, its manual page and the operator's README; a Debian package.
# Windows: the executable and the operator's README at the top of a ZIP.
include(GNUInstallDirs)

set(MERIDEX_OPERATOR_README ${PROJECT_SOURCE_DIR}/docs/operator/README.txt)

if(WIN32)
  install(TARGETS meridex-cleanup RUNTIME DESTINATION .)
  install(FILES ${MERIDEX_OPERATOR_README} DESTINATION .)
else()
  install(TARGETS meridex-cleanup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${MERIDEX_OPERATOR_README} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian ships manual pages compressed; -n keeps the time stamp out so that the same
  # page gives the same bytes.
  set(manpage ${PROJECT_SOURCE_DIR}/docs/operator/meridex-cleanup.1)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/meridex-cleanup.1.gz
    COMMAND gzip -9 -n -c ${manpage} > ${CMAKE_BINARY_DIR}/meridex-cleanup.1.gz
    DEPENDS ${manpage}
    COMMENT "Compressing the manual page")
  add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/meridex-cleanup.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/meridex-cleanup.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME meridex-cleanup)
set(CPACK_PACKAGE_VENDOR ${MERIDEX_COMPANY})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The address is a placeholder until a release sets the real one.
set(MERIDEX_PACKAGE_CONTACT "${MERIDEX_COMPANY} <support@talvora.example>" CACHE STRING "The packages' maintainer")
set(CPACK_PACKAGE_CONTACT "${MERIDEX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  # Not stripped: the ZIP holds the very executable that the version tests read.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME meridex-cleanup-${PROJECT_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION database)
  # dpkg-shlibdeps declares what the binary links: the C and C++ runtimes and unixODBC's
  # driver manager (libodbc). The drivers themselves are the operator's choice.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "unixodbc, odbc-postgresql, libsqliteodbc")
  set(CPACK_PACKAGE_DESCRIPTION "The console tool that an operator of Meridex runs to clean its database: it
reads the connection string from a registry export, connects through ODBC,
lists the obsolete rows of FileTree into Vestrum.csv, asks before it deletes
and then deletes exactly those rows.")
endif()
include(CPack)
