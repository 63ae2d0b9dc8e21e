# SPDX-License-Identifier: MIT
# The manual pages, with the versions filled in, and the changelog, each
# compressed as a distribution installs them.

find_program(SENTBREAK_GZIP gzip REQUIRED)
configure_file(man/sentbreak.1 sentbreak.1 @ONLY)
configure_file(man/sentbreak-dask.1 sentbreak-dask.1 @ONLY)
configure_file(NEWS changelog COPYONLY)
foreach(doc IN ITEMS sentbreak.1 sentbreak-dask.1 changelog)
  add_custom_command(
    OUTPUT ${doc}.gz
    COMMAND ${SENTBREAK_GZIP} -9 -n -c ${doc} > ${doc}.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${doc}
    VERBATIM)
endforeach()
add_custom_target(docs ALL
  DEPENDS sentbreak.1.gz sentbreak-dask.1.gz changelog.gz)
