# SPDX-License-Identifier: MIT
# Static builds with Debian's compilers for the target that SENTBREAK_TRIPLE
# names, such as aarch64-linux-gnu, or x86_64-linux-musl for musl with the
# host's g++ (Debian: musl-tools):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake \
#     -DSENTBREAK_TRIPLE=aarch64-linux-gnu
set(CMAKE_SYSTEM_NAME Linux)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SENTBREAK_TRIPLE)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${SENTBREAK_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(SENTBREAK_TRIPLE MATCHES "-musl$")
  # musl's libc under g++, with none of libstdc++'s run time.
  string(REGEX REPLACE "-musl$" "-gnu" gnu "${SENTBREAK_TRIPLE}")
  set(CMAKE_CXX_COMPILER ${gnu}-g++)
  set(CMAKE_CXX_FLAGS_INIT
      "-specs /usr/lib/${SENTBREAK_TRIPLE}/musl-gcc.specs -fno-exceptions -fno-rtti")
  set(CMAKE_FIND_ROOT_PATH /usr/lib/${SENTBREAK_TRIPLE})
else()
  set(CMAKE_CXX_COMPILER ${SENTBREAK_TRIPLE}-g++)
  set(CMAKE_FIND_ROOT_PATH /usr/${SENTBREAK_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
