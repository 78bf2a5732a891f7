# Cross build of the 32-bit Windows executable with MinGW-w64 (i686).
# The -win32 compilers: the -posix ones link winpthreads, which imports
# functions that Windows XP lacks (GetTickCount64). The product takes its
# locks from platform/Sync.h instead of std::mutex.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
