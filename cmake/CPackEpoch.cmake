# SPDX-License-Identifier: MIT
# Read by cpack for each package it makes: the timestamps are the build's
# epoch, and the source tarball records that epoch for builds outside git.
if(CPACK_SENTBREAK_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SENTBREAK_EPOCH})
  if(CPACK_PACKAGE_FILE_NAME MATCHES "-Source$")
    set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/SourceEpoch.cmake)
  endif()
endif()
