# SPDX-License-Identifier: MIT
# Read by cpack for each package it makes. The timestamps are the build's
# epoch, and the source tarball records that epoch for builds outside git.
# The release archive holds its own component only; the Debian packages
# hold the others, one each, and are never made without the Depends that
# dpkg-shlibdeps computes.
if(CPACK_SENTBREAK_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SENTBREAK_EPOCH})
  if(CPACK_PACKAGE_FILE_NAME MATCHES "-Source$")
    set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/SourceEpoch.cmake)
  endif()
endif()
if(CPACK_GENERATOR MATCHES "^(TGZ|TXZ|ZIP)$"
   AND NOT CPACK_PACKAGE_FILE_NAME MATCHES "-Source$")
  set(CPACK_COMPONENTS_ALL archive)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(SENTBREAK_SHLIBDEPS dpkg-shlibdeps)
  find_program(SENTBREAK_FILE file)  # which CPack runs to find the binaries
  set(missing)
  if(NOT SENTBREAK_SHLIBDEPS)
    list(APPEND missing dpkg-dev)
  endif()
  if(NOT SENTBREAK_FILE)
    list(APPEND missing file)
  endif()
  if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR
      "cannot compute the packages' Depends: apt-get install ${missing}")
  endif()
endif()
