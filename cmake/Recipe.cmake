# SPDX-License-Identifier: MIT
# The Dask recipe: its version, read from its package, and, with
# SENTBREAK_INSTALL_DASK, its install rules as the component "dask". The
# launcher goes to bin and finds its package under share/sentbreak-dask,
# where an application's private modules belong.

file(STRINGS scale/sentbreak_dask/__init__.py SENTBREAK_DASK_VERSION
     REGEX "^__version__ = ")
string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" SENTBREAK_DASK_VERSION
       "${SENTBREAK_DASK_VERSION}")

if(SENTBREAK_INSTALL_DASK)
  install(PROGRAMS scale/sentbreak-dask DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT dask)
  install(DIRECTORY scale/sentbreak_dask
          DESTINATION ${CMAKE_INSTALL_DATADIR}/sentbreak-dask COMPONENT dask
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sentbreak-dask.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT dask)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sentbreak-dask
          COMPONENT dask)
endif()
