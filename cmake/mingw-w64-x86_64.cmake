# Cross-building the Windows program on Linux with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The -posix compilers, not -win32: GoogleTest needs std::mutex, which the -win32 runtime lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTOLY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTOLY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTOLY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTOLY_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTOLY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the compiler's runtime linked in, so it imports only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
