# SPDX-License-Identifier: MIT
# Run by cpack as it stages the source tarball, whose top is the prefix.
file(WRITE ${CMAKE_INSTALL_PREFIX}/SOURCE_DATE_EPOCH "${CPACK_SENTBREAK_EPOCH}\n")
