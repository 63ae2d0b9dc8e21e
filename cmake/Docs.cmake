# SPDX-License-Identifier: MIT
# The manual pages and the changelog, which is NEWS, each compressed as a
# distribution installs them. The pages name their versions themselves, and
# the version test holds them to the build's.

find_program(SENTBREAK_GZIP gzip REQUIRED)
function(sentbreak_gzip source name)
  add_custom_command(
    OUTPUT ${name}.gz
    COMMAND ${SENTBREAK_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    VERBATIM)
endfunction()
sentbreak_gzip(man/sentbreak.1 sentbreak.1)
sentbreak_gzip(man/sentbreak-dask.1 sentbreak-dask.1)
sentbreak_gzip(NEWS changelog)
add_custom_target(docs ALL
  DEPENDS sentbreak.1.gz sentbreak-dask.1.gz changelog.gz)
