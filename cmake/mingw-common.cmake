# What the MinGW-w64 toolchain files share; they set TZ52_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The -posix compilers are used so that the C++ threading library exists
# (GoogleTest and the host tools need it); everything is linked statically, so
# no libgcc, libstdc++ or winpthread DLL is needed beside the programs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TZ52_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TZ52_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TZ52_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${TZ52_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${TZ52_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TZ52_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
