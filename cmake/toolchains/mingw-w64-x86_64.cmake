# The same sources as 64-bit Windows programs, cross-compiled with Debian's mingw-w64 for
# x86_64: the build that wine64 runs where the kernel runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
