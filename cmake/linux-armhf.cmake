# Cross-compiling for 32-bit ARM Linux with hardware floating point (Debian
# armhf), run under qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TZ52_CROSS_TRIPLET arm-linux-gnueabihf)
set(TZ52_QEMU qemu-arm)
set(TZ52_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
