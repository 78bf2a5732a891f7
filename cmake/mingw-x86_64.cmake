# Cross build for 64-bit Windows with MinGW-w64 (x86_64), only for the Windows
# test programs (QX_WIN32_TESTS): they run under 64-bit Wine on machines whose
# kernel runs no 32-bit programs. The product itself is the 32-bit build.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
