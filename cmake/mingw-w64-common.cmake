# Shared part of the MinGW-w64 toolchain files. The including file sets MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The "-posix" compilers: their thread model gives the C++ threading primitives that the core uses.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries and headers come only from the MinGW sysroot and from the cross-built dependencies
# that scripts/windows-build.sh installs under build/deps/<triple>; never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE}
    ${CMAKE_CURRENT_LIST_DIR}/../build/deps/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread linked statically: the program needs only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# zlib from the MinGW sysroot as a static library as well (its import library would need
# zlib1.dll beside the program).
set(ZLIB_USE_STATIC_LIBS ON)
