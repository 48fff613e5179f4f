# The shipped Windows programs: 32-bit, cross-compiled with Debian's mingw-w64 for i686.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
