#!/usr/bin/env bash
# Builds the 32-bit Windows programs with mingw-w64 into build/windows/:
#   Quillmark.exe (the desktop program on the Win32 dialogs), quillmark-cycle.exe, the core
#   tests, and the installer Quillmark-<version>-win32-setup.exe (with nsis).
# Installs what is missing first (scripts/install-deps.sh) and cross-builds the libraries
# once from Debian's sources (scripts/lib/win-deps.sh); a rerun takes seconds.
#   QUILLMARK_JOBS=N   parallel jobs (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows
jobs=${QUILLMARK_JOBS:-2}

"$root/scripts/install-deps.sh" windows
"$root/scripts/lib/deb-src.sh" >/dev/null
"$root/scripts/lib/win-deps.sh" "$root/build"

if [ ! -f "$build/build.ninja" ]; then
  # The payment platform's address and the CA are given at run time (QUILLMARK_* or the
  # settings file): a path of this machine means nothing on a Windows one, so an empty
  # ca_file takes the system's trust store.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-i686.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/lib/wine-run.sh" \
    -DOPENSSL_USE_STATIC_LIBS=ON -DQUILLMARK_WERROR=ON -DQUILLMARK_CA_FILE= \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
fi
cmake --build "$build" -j "$jobs"
