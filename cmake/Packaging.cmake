# SPDX-License-Identifier: MIT
# The copyright file, the packages' timestamps, and CPack.

# The licence in Debian's machine-readable copyright format.
file(STRINGS LICENSE notice REGEX "^Copyright")
string(REGEX REPLACE "^Copyright \\(c\\) " "" notice "${notice}")
file(READ LICENSE terms)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" terms "${terms}")
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: sentbreak

Files: *
Copyright: ${notice}
License: Expat
 ${terms}
")

# Timestamps in the packages come from SOURCE_DATE_EPOCH in the environment,
# else from the last commit, else from the file of that name that the source
# tarball carries, so that a commit always gives the same bytes. With none of
# these, CPack uses the time of packaging.
set(CPACK_SENTBREAK_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT CPACK_SENTBREAK_EPOCH AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE CPACK_SENTBREAK_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()
if(NOT CPACK_SENTBREAK_EPOCH AND EXISTS ${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH)
  file(STRINGS ${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH CPACK_SENTBREAK_EPOCH
       LIMIT_COUNT 1)
endif()
if(NOT CPACK_SENTBREAK_EPOCH MATCHES "^[0-9]+$")
  unset(CPACK_SENTBREAK_EPOCH)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackEpoch.cmake)

set(CPACK_PACKAGE_VENDOR "The sentbreak authors")
set(CPACK_PACKAGE_CONTACT "The sentbreak authors <authors@sentbreak.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write text with one sentence per line")
set(CPACK_PACKAGE_DESCRIPTION "\
sentbreak is a filter for shell pipelines that copies standard input to
standard output, ending a line after every sentence and nowhere else.
A sentence ends where a full stop, semicolon, exclamation mark or colon
is directly followed by a whitespace byte. Every other whitespace byte
becomes a space, and all other bytes pass through untouched. It works
in one pass and constant memory, and writes each finished line at once.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(SENTBREAK_SHLIBDEPS dpkg-shlibdeps)
if(SENTBREAK_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
# The source tarball leaves out version control and every build directory.
string(REGEX REPLACE "[][.*+?^$()|\\]" "\\\\\\0" top "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_IGNORE_FILES "^${top}/\\.git/" "^${top}/build[^/]*/")
include(CPack)
