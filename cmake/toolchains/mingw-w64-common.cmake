# What both Windows targets share (included by mingw-w64-i686.cmake and
# mingw-w64-x86_64.cmake, which set _triple): Debian's mingw-w64 with posix threads, so that
# std::thread and std::mutex work, and the dependencies cross-built once per machine by
# scripts/lib/win-deps.sh into a prefix per target,
#   ${XDG_CACHE_HOME:-$HOME/.cache}/quillmark/win-deps/<triple>/root
# unless QUILLMARK_WIN_DEPS names another. Headers, libraries, packages and pkg-config files
# are taken from there and from the compiler's own root only, never from the host's /usr.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

if(DEFINED ENV{QUILLMARK_WIN_DEPS})
  set(_deps "$ENV{QUILLMARK_WIN_DEPS}")
elseif(DEFINED ENV{QUILLMARK_WIN_DEPS_CACHE})
  set(_deps "$ENV{QUILLMARK_WIN_DEPS_CACHE}/${_triple}/root")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_deps "$ENV{XDG_CACHE_HOME}/quillmark/win-deps/${_triple}/root")
else()
  set(_deps "$ENV{HOME}/.cache/quillmark/win-deps/${_triple}/root")
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
