# Cross-compiling for 64-bit Windows with the MinGW-w64 x86_64 compilers.
# Hosts load the 32-bit DLL; this build exists so that the Wine suites can run
# the same sources on a machine whose kernel cannot execute 32-bit programs
# (64-bit Wine needs no 32-bit support).
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TZ52_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the MinGW-w64 tools")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
