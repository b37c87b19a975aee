# Cross-compiling for 64-bit ARM Linux (Debian arm64), run under qemu-user:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TZ52_CROSS_TRIPLET aarch64-linux-gnu)
set(TZ52_QEMU qemu-aarch64)
set(TZ52_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
