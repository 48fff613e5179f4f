#!/usr/bin/env bash
# Builds the Windows programs with mingw-w64, from the same sources for two targets:
#   build/windows/         i686: the shipped 32-bit programs, Quillmark-<version>-win32-setup.exe
#   build/windows-x86_64/  x86_64: the same programs for 64-bit Windows (and for wine64 on a
#                          machine whose kernel runs no 32-bit code),
#                          Quillmark-<version>-win64-setup.exe
# Each holds Quillmark.exe (the desktop program on the Win32 dialogs), quillmark-cycle.exe,
# quillmark-sandbox.exe, the core tests and the installer (nsis), all built with warnings as
# errors. Installs what is missing first (scripts/install-deps.sh) and cross-builds the
# libraries once per machine from Debian's sources into the cache that
# scripts/lib/win-deps.sh names; a rerun takes seconds.
#   build-windows.sh [i686|x86_64]...   (default: both)
#   QUILLMARK_JOBS=N   parallel jobs (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${QUILLMARK_JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(i686 x86_64)

"$root/scripts/install-deps.sh" windows
"$root/scripts/lib/deb-src.sh" >/dev/null

for target in "${targets[@]}"; do
  case $target in
    i686) build=$root/build/windows wine_arch=win32 ;;
    x86_64) build=$root/build/windows-x86_64 wine_arch=win64 ;;
    *) echo "build-windows.sh: unknown target '$target' (i686 or x86_64)" >&2; exit 2 ;;
  esac
  start=$SECONDS
  printf '== Windows %s programs (%s)\n' "$target" "${build#"$root"/}"
  deps=$("$root/scripts/lib/win-deps.sh" "$target-w64-mingw32" | tail -n 1)
  mkdir -p "$build"
  if [ ! -f "$build/build.ninja" ]; then
    # The payment platform's address and the CA are given at run time (QUILLMARK_* or the
    # settings file): a path of this machine means nothing on a Windows one, so an empty
    # ca_file takes the system's trust store. CTest runs the tests under the Wine that
    # runs this target.
    QUILLMARK_WIN_DEPS=$deps cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$target.cmake" \
      "-DCMAKE_CROSSCOMPILING_EMULATOR=env;QUILLMARK_WINE_ARCH=$wine_arch;$root/scripts/lib/wine-run.sh" \
      -DOPENSSL_USE_STATIC_LIBS=ON -DQUILLMARK_WERROR=ON -DQUILLMARK_CA_FILE= \
      >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; rm -f "$build/build.ninja"; exit 1; }
  fi
  QUILLMARK_WIN_DEPS=$deps cmake --build "$build" -j "$jobs"
  echo "-- Windows $target: built in $((SECONDS - start)) s"
done
