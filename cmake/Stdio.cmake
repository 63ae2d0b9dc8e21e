# SPDX-License-Identifier: MIT
# What the C library offers for looking into a stream, as definitions
# SENTBREAK_HAVE_* on the given target.

include(CheckCXXSymbolExists)
include(CheckStructHasMember)
check_struct_has_member(FILE _IO_read_ptr stdio.h SENTBREAK_HAVE_IO_READ_PTR
                        LANGUAGE CXX)
check_struct_has_member(FILE _r stdio.h SENTBREAK_HAVE_FILE_R LANGUAGE CXX)
check_cxx_symbol_exists(__freadahead stdio_ext.h SENTBREAK_HAVE_FREADAHEAD)
check_cxx_symbol_exists(__fsetlocking stdio_ext.h SENTBREAK_HAVE_FSETLOCKING)
check_cxx_symbol_exists(ferror_unlocked stdio.h
                        SENTBREAK_HAVE_FERROR_UNLOCKED)

function(sentbreak_stdio target)
  foreach(have IN ITEMS IO_READ_PTR FILE_R FREADAHEAD FSETLOCKING
                        FERROR_UNLOCKED)
    if(SENTBREAK_HAVE_${have})
      target_compile_definitions(${target} PRIVATE SENTBREAK_HAVE_${have})
    endif()
  endforeach()
endfunction()
