# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (the -posix compilers, whose
# threads come from winpthreads). Used for the launcher's libraries (scripts/windows-deps.sh)
# and for the launcher itself (scripts/windows-build.sh).
#   -DVELM_MINGW_PREFIX=DIR   the prefix holding the cross-built static libraries
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(velm_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${velm_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${velm_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${velm_mingw_triple}-windres)

set(VELM_MINGW_PREFIX "" CACHE PATH "Prefix of the cross-built static libraries")
# try_compile projects read this file again: hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELM_MINGW_PREFIX)

# Headers, libraries and CMake packages come from the mingw-w64 sysroot and our prefix only,
# never from the build machine; programs (pkg-config, windres) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${velm_mingw_triple} ${VELM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
