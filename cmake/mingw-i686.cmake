# Cross build of the 32-bit Windows executable with MinGW-w64 (i686).
# The -win32 compilers: the -posix ones link winpthreads, which imports
# functions that Windows XP lacks (GetTickCount64). The product takes its
# locks from platform/Sync.h instead of std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QX_MINGW_PREFIX i686-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${QX_MINGW_PREFIX}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QX_MINGW_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QX_MINGW_PREFIX}-windres REQUIRED)
find_program(QX_WINDMC NAMES ${QX_MINGW_PREFIX}-windmc REQUIRED)
find_program(CMAKE_OBJCOPY NAMES ${QX_MINGW_PREFIX}-objcopy REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debug information for the separate symbols file; the exe itself is stripped.
set(CMAKE_C_FLAGS_INIT "-g")
set(CMAKE_CXX_FLAGS_INIT "-g")
# Fully static: the service must start without any MinGW runtime DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
