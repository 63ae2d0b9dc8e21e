# SPDX-License-Identifier: MIT
# Settings every target shares: the language, warnings, 64-bit file offsets,
# the sanitizers or the hardening a distribution builds with, and one LTO
# setting for all, since objects built for LTO cannot be linked without it.

include(CheckIPOSupported)
check_ipo_supported(RESULT SENTBREAK_IPO LANGUAGES CXX)
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)

function(sentbreak_setup target)
  target_compile_features(${target} PRIVATE cxx_std_17)
  set_target_properties(${target} PROPERTIES
    CXX_EXTENSIONS OFF POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)  # files past 2 GiB
    target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  endif()
  if(SENTBREAK_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined
      -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    return()
  endif()
  target_compile_options(${target} PRIVATE -fstack-protector-strong -fno-plt)
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    target_compile_definitions(${target} PRIVATE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
  if(SENTBREAK_IPO)
    set_target_properties(${target} PROPERTIES
      INTERPROCEDURAL_OPTIMIZATION_RELEASE ON)
  endif()
endfunction()
