# Cross-building for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, which C++'s std::thread needs). Used for the library, its
# dependencies and the demo alike (scripts/windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
# Headers and libraries from the toolchain's root and the prefix the
# dependencies were installed into, never from this machine's own.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${triple} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs carry the compiler's own runtime (libstdc++, libgcc, winpthreads):
# the zip then needs no DLL beside the program but Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
