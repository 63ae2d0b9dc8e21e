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
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProject.cmake)

set(CPACK_PACKAGE_VENDOR "The sentbreak authors")
set(CPACK_PACKAGE_CONTACT "The sentbreak authors <authors@sentbreak.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

# The release archive, sentbreak-VERSION-TRIPLE.tar.gz: the binary, its
# manual page, compressed as every other route installs it, and the
# project's notes, flat, as the component "archive", which only the archive
# holds.
set(SENTBREAK_ARCHIVE_TRIPLE "${SENTBREAK_GNU_TRIPLE}")
if(NOT SENTBREAK_ARCHIVE_TRIPLE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE SENTBREAK_ARCHIVE_TRIPLE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(CPACK_ARCHIVE_ARCHIVE_FILE_NAME
    sentbreak-${PROJECT_VERSION}-${SENTBREAK_ARCHIVE_TRIPLE})
install(TARGETS sentbreak RUNTIME DESTINATION ${CPACK_ARCHIVE_ARCHIVE_FILE_NAME}
        COMPONENT archive EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sentbreak.1.gz LICENSE README.md NEWS
        DESTINATION ${CPACK_ARCHIVE_ARCHIVE_FILE_NAME} COMPONENT archive
        EXCLUDE_FROM_ALL)

# The Debian packages: sentbreak, the filter, and sentbreak-dask, the
# recipe, which needs the filter of the same version. The first line of
# each description is its summary.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_FILTER_PACKAGE_NAME sentbreak)
set(CPACK_DEBIAN_FILTER_PACKAGE_SECTION text)
set(CPACK_DEBIAN_FILTER_DESCRIPTION "write text with one sentence per line
sentbreak is a filter for shell pipelines that copies standard input to
standard output, ending a line after every sentence and nowhere else.
A sentence ends where a full stop, semicolon, exclamation mark or colon
is directly followed by a whitespace byte. Every other whitespace byte
becomes a space, and all other bytes pass through untouched. It works
in one pass and constant memory, and writes each finished line at once.")
set(CPACK_DEBIAN_FILTER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DASK_PACKAGE_NAME sentbreak-dask)
set(CPACK_DEBIAN_DASK_PACKAGE_SECTION text)
set(CPACK_DEBIAN_DASK_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DASK_PACKAGE_DEPENDS
    "python3 (>= 3.11), python3-distributed, python3-psutil, python3-zstandard, sentbreak (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DASK_PACKAGE_RECOMMENDS python3-tqdm)
set(CPACK_DEBIAN_DASK_DESCRIPTION "run sentbreak over large files and corpora on Dask
sentbreak-dask runs sentbreak over a file, or every regular file under a
directory, on a Dask cluster: its own, in one process, or one already
running, over TCP or TLS. Large files are cut into pieces that run in
parallel. Each output is byte for byte what sentbreak writes, or its file
fails with one line and leaves no output.")
set(CPACK_COMPONENTS_ALL filter)
if(SENTBREAK_INSTALL_DASK)
  list(APPEND CPACK_COMPONENTS_ALL dask)
endif()

# The source tarball leaves out version control and every build directory.
string(REGEX REPLACE "[][.*+?^$()|\\]" "\\\\\\0" top "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_IGNORE_FILES "^${top}/\\.git/" "^${top}/build[^/]*/")
include(CPack)
