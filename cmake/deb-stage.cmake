# Run by CPack on the staging tree of the Debian package, before the package
# is made: compresses the manual pages and adds the copyright file and the
# changelog that Debian asks of every package.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT EXISTS "${root}/bin/tovhost")
  message(FATAL_ERROR "deb-stage: no staged program in ${root}")
endif()
find_program(GZIP gzip REQUIRED)

file(GLOB pages "${root}/share/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND ${GZIP} -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc "${root}/share/doc/tovhost")

# Machine-readable copyright file; the license text is the one of LICENSE.
file(READ "${CPACK_TOVHOST_SOURCE_DIR}/LICENSE" license)
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" body "${license}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license}")
set(holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n+$" "" body "${body}")
string(REPLACE "\n\n" "\n.\n" body "${body}")
string(REPLACE "\n" "\n " body "${body}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: tovhost\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  " ${body}\n")

# Changelog of this native package, one entry for the release.
execute_process(COMMAND date -u -R -d "${CPACK_TOVHOST_RELEASE_DATE} 12:00:00"
                OUTPUT_VARIABLE when OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE "${doc}/changelog"
  "tovhost (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
  "\n"
  "  * Release ${CPACK_PACKAGE_VERSION}.\n"
  "\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${when}\n")
execute_process(COMMAND ${GZIP} -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
