# SPDX-License-Identifier: MIT
# Static builds with Debian's compilers for the target that SENTBREAK_TRIPLE
# names: a Debian architecture, or amd64-musl for musl's libc under the
# host's g++, or the GNU triple of either. SENTBREAK_GNU_TRIPLE is then the
# GNU triple, which names the release archive:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake \
#     -DSENTBREAK_TRIPLE=arm64
set(CMAKE_SYSTEM_NAME Linux)

# CMake reads this file again for each check it compiles: a check of one
# source file is handed SENTBREAK_TRIPLE, and one of a whole project finds
# it in the environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SENTBREAK_TRIPLE)
if(SENTBREAK_TRIPLE)
  set(ENV{SENTBREAK_TRIPLE} "${SENTBREAK_TRIPLE}")
else()
  set(SENTBREAK_TRIPLE "$ENV{SENTBREAK_TRIPLE}")
endif()

# CMake goes on after an error here, to complain that it has no build tool
# and no compiler; naming both leaves the one line that says what to do.
macro(sentbreak_cross_fail text)
  set(CMAKE_MAKE_PROGRAM /bin/false)
  set(CMAKE_CXX_COMPILER /bin/false)
  message(FATAL_ERROR "${text}")
endmacro()

# Each target: its Debian name, its GNU triple, and the Debian package that
# brings its compiler (for musl, its libc).
set(targets
  "amd64 x86_64-linux-gnu g++"
  "amd64-musl x86_64-linux-musl musl-tools"
  "arm64 aarch64-linux-gnu crossbuild-essential-arm64"
  "armhf arm-linux-gnueabihf crossbuild-essential-armhf"
  "i386 i686-linux-gnu crossbuild-essential-i386"
  "s390x s390x-linux-gnu crossbuild-essential-s390x"
  "ppc64el powerpc64le-linux-gnu crossbuild-essential-ppc64el"
  "riscv64 riscv64-linux-gnu g++-riscv64-linux-gnu")
unset(SENTBREAK_GNU_TRIPLE)
foreach(target IN LISTS targets)
  string(REPLACE " " ";" target "${target}")
  list(GET target 0 debian)
  list(GET target 1 gnu)
  if(SENTBREAK_TRIPLE STREQUAL debian OR SENTBREAK_TRIPLE STREQUAL gnu)
    set(SENTBREAK_GNU_TRIPLE ${gnu})
    list(GET target 2 package)
  endif()
endforeach()
if(NOT SENTBREAK_GNU_TRIPLE)
  sentbreak_cross_fail(
    "SENTBREAK_TRIPLE=${SENTBREAK_TRIPLE}: not a target (see docs/packaging.md)")
endif()

string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${SENTBREAK_GNU_TRIPLE})
string(REGEX REPLACE "-musl$" "-gnu" compiler ${SENTBREAK_GNU_TRIPLE})
string(APPEND compiler -g++)
find_program(SENTBREAK_CXX ${compiler})
if(NOT SENTBREAK_CXX)
  sentbreak_cross_fail("no ${compiler}: apt-get install ${package}")
endif()
set(CMAKE_CXX_COMPILER ${SENTBREAK_CXX})
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(SENTBREAK_GNU_TRIPLE MATCHES "-musl$")
  # musl's libc under g++, with none of libstdc++'s run time.
  set(specs /usr/lib/${SENTBREAK_GNU_TRIPLE}/musl-gcc.specs)
  if(NOT EXISTS ${specs})
    sentbreak_cross_fail("no musl libc: apt-get install musl-tools")
  endif()
  set(CMAKE_CXX_FLAGS_INIT "-specs ${specs} -fno-exceptions -fno-rtti")
  set(CMAKE_FIND_ROOT_PATH /usr/lib/${SENTBREAK_GNU_TRIPLE})
else()
  set(CMAKE_FIND_ROOT_PATH /usr/${SENTBREAK_GNU_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
