# Cross-compiling the 32-bit Windows programs with Debian's mingw-w64 (posix threads, so that
# std::thread and std::mutex work). The dependencies are cross-built once by
# scripts/lib/win-deps.sh into one prefix, build/win-deps/root unless QUILLMARK_WIN_DEPS
# names another; headers, libraries, packages and pkg-config files are taken from there and
# from the compiler's own root only, never from the host's /usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

if(DEFINED ENV{QUILLMARK_WIN_DEPS})
  set(_deps "$ENV{QUILLMARK_WIN_DEPS}")
else()
  get_filename_component(_deps "${CMAKE_CURRENT_LIST_DIR}/../../build/win-deps/root" ABSOLUTE)
endif()

set(CMAKE_FIND_ROOT_PATH "${_deps}" /usr/${_triple})
set(CMAKE_PREFIX_PATH "${_deps}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${_deps}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Every program stands alone: no libgcc, libstdc++ or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs without their symbol tables: 2.5 MB less each.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
