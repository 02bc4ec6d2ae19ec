# 64-bit Windows from the same sources (package g++-mingw-w64-x86-64-posix): the DLL 64-bit hosts
# load, and the build whose tests run under 64-bit Wine (package wine64) on any x86_64 kernel.
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(DOVETRAIL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian keeps 64-bit Wine's loader off PATH.
find_program(DOVETRAIL_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(DOVETRAIL_WINE NAMES wine64)
if(DOVETRAIL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DOVETRAIL_WINE})
endif()
