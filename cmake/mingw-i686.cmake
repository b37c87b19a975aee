# Cross-compiling for 32-bit Windows with the MinGW-w64 i686 compilers: the
# build of tz52drv.dll that hosts load.
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TZ52_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
