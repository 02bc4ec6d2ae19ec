# The product: 32-bit Windows, as 32-bit hosts load the DLL. Debian's mingw-w64 (packages
# g++-mingw-w64-i686-posix, mingw-w64-tools):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# Its programs and tests run under 32-bit Wine (package wine32:i386), which needs a kernel that
# executes 32-bit programs.
set(DOVETRAIL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(DOVETRAIL_WINE wine)
if(DOVETRAIL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DOVETRAIL_WINE})
endif()
