# Shared by the Linux cross toolchain files (linux-aarch64.cmake,
# linux-armhf.cmake): Debian's cross compilers and multiarch libraries, and
# qemu-user to run what is built, so that ctest runs the suites under
# emulation. The caller sets TZ52_CROSS_TRIPLET, TZ52_QEMU and
# TZ52_DEB_ARCHITECTURE, the Debian architecture of the packages it makes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TZ52_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TZ52_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TZ52_CROSS_TRIPLET})
# The toolchain's own prefix (loader, libc, libstdc++) and the system root,
# where the :arm64/:armhf development packages put their files under
# /usr/lib/<triplet>.
set(CMAKE_FIND_ROOT_PATH /usr/${TZ52_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# What is built runs on the loader and libraries of that architecture's
# Debian packages (libc6:arm64, ... in /lib/<triplet> and /usr/lib/<triplet>,
# found through the system's ld.so.cache), as on a gateway. Not the cross
# compiler's copies under /usr/<triplet>: those are another build of glibc,
# and their loader with the packages' libc crashes or hangs at the first
# thread.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TZ52_QEMU} -L /)
