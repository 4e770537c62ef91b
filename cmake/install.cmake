# Installation, manual pages and packages.
#
#   cmake --install build [--prefix DIR]      (DESTDIR is honoured)
#   cd build && cpack -G DEB                  Debian package, from the Linux build
#   cd build-win && cpack -G ZIP              Windows archive, from the mingw-w64 build
#
# On Linux: bin/tovhost, bin/tovsim, share/man/man1/tovhost.1 and tovsim.1,
# and share/doc/tovhost/ with README.md, LICENSE, docs/ and examples/.
# On Windows everything sits in one folder: tovhost.exe, the documents, and
# README-windows.txt.
include(GNUInstallDirs)

# The manual pages carry the version and the release date.
string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" tov_date_ok "${TOVHOST_RELEASE_DATE}")
if(NOT tov_date_ok)
  message(FATAL_ERROR "TOVHOST_RELEASE_DATE must be YYYY-MM-DD, not '${TOVHOST_RELEASE_DATE}'")
endif()
set(tov_months January February March April May June July August September October November December)
math(EXPR tov_month "${CMAKE_MATCH_2} - 1")
math(EXPR tov_day "${CMAKE_MATCH_3}")
list(GET tov_months ${tov_month} tov_month_name)
set(TOVHOST_MAN_DATE "${tov_month_name} ${tov_day}, ${CMAKE_MATCH_1}")
foreach(page tovhost.1 tovsim.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
endforeach()

if(WIN32)
  set(tov_bindir .)
  set(tov_docdir .)
else()
  set(tov_bindir ${CMAKE_INSTALL_BINDIR})
  set(tov_docdir ${CMAKE_INSTALL_DATADIR}/doc/tovhost)
endif()

install(TARGETS tovhost RUNTIME DESTINATION ${tov_bindir})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${tov_docdir})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples ${PROJECT_SOURCE_DIR}/docs DESTINATION ${tov_docdir})
if(WIN32)
  # Notepad-friendly line ends.
  file(READ ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt tov_text)
  string(REPLACE "\n" "\r\n" tov_text "${tov_text}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/README-windows.txt "${tov_text}")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README-windows.txt DESTINATION ${tov_docdir})
else()
  install(TARGETS tovsim RUNTIME DESTINATION ${tov_bindir})
  install(FILES ${CMAKE_BINARY_DIR}/man/tovhost.1 ${CMAKE_BINARY_DIR}/man/tovsim.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The browser edition's page, when a web build made it (build-web): the
# packages carry it in share/tovhost/web/ (web/ beside tovhost.exe on Windows).
set(TOVHOST_WEB_PAGE "" CACHE FILEPATH "tovhost.html of a web build, to install and package with the program")
if(TOVHOST_WEB_PAGE)
  if(WIN32)
    install(FILES ${TOVHOST_WEB_PAGE} DESTINATION web)
  else()
    install(FILES ${TOVHOST_WEB_PAGE} DESTINATION ${CMAKE_INSTALL_DATADIR}/tovhost/web)
  endif()
endif()

# ---------------------------------------------------------------- packages
set(CPACK_PACKAGE_NAME tovhost)
set(CPACK_PACKAGE_VENDOR "The tovhost authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PC host utility for the Tovarelink APRS digipeater")
# Lines of at most 80 characters (Debian's control file keeps them as they are).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tovhost is the console program an APRS operator runs beside a Tovarelink\n"
  "digipeater on a serial port. It checks configuration and rules files,\n"
  "downloads them to the device as CRC-checked images, changes the link baud\n"
  "rate, runs a serial echo test and updates the device firmware from an\n"
  "Intel HEX file. The package also holds tovsim, a simulator of the device\n"
  "on a pseudo-terminal.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(TOVHOST_PACKAGE_MAINTAINER "The tovhost authors <tovhost@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tovhost-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVHOST_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian's rules for what a package holds besides the program: compressed
  # manual pages, a copyright file and a changelog (made in the staging tree).
  set(CPACK_TOVHOST_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  set(CPACK_TOVHOST_RELEASE_DATE ${TOVHOST_RELEASE_DATE})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-stage.cmake)
endif()
include(CPack)
