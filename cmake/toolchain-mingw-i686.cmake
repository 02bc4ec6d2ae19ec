# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (packages g++-mingw-w64-i686-posix,
# mingw-w64-tools):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# The -posix compilers: the default variant's thread model has no std::mutex or std::thread.
# Programs and tests run under Wine when it is installed (package wine32:i386).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(DOVETRAIL_WINE wine)
if(DOVETRAIL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DOVETRAIL_WINE})
endif()
