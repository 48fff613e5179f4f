# Sourced by the scripts that run the Windows programs under Wine (wine-run.sh,
# test-windows.sh). Chooses which build Wine runs on this machine and sets Wine up for it:
#   QUILLMARK_WINE_ARCH=win32  the shipped i686 build, in a 32-bit prefix (needs a kernel
#                              that runs 32-bit code, and wine32)
#   QUILLMARK_WINE_ARCH=win64  the x86_64 build, in a 64-bit prefix, with wine64's loader
#                              alone, so that nothing of it needs 32-bit code
# Unset, it is win32 where the kernel runs 32-bit code and wine32 is installed, else win64.
# The prefix is $QUILLMARK_WINEPREFIX, or build/wine-prefix (win32) or build/wine-prefix64
# (win64) in this checkout.
. "$(dirname "${BASH_SOURCE[0]}")/ia32.sh"

if [ -z "${QUILLMARK_WINE_ARCH:-}" ]; then
  if [ -x /usr/lib/wine/wine ] && kernel_runs_32bit; then
    QUILLMARK_WINE_ARCH=win32
  else
    QUILLMARK_WINE_ARCH=win64
  fi
fi
export QUILLMARK_WINE_ARCH
case $QUILLMARK_WINE_ARCH in
  win32)
    wine_build_dir=windows wine_setup=win32
    wine_loader=/usr/lib/wine/wine ;;
  win64)
    wine_build_dir=windows-x86_64 wine_setup=win64
    wine_loader=/usr/lib/wine/wine64 ;;
  *) echo "QUILLMARK_WINE_ARCH must be win32 or win64, not '$QUILLMARK_WINE_ARCH'" >&2; exit 2 ;;
esac
export WINEARCH=$QUILLMARK_WINE_ARCH
export WINELOADER=$wine_loader
_wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
if [ "$QUILLMARK_WINE_ARCH" = win64 ]; then
  export WINEPREFIX=${QUILLMARK_WINEPREFIX:-$_wine_root/build/wine-prefix64}
else
  export WINEPREFIX=${QUILLMARK_WINEPREFIX:-$_wine_root/build/wine-prefix}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Debian's wine, wineboot and winepath start the 32-bit loader whenever wine32 is installed;
# for a 64-bit prefix they must start wine64's, so a folder of shims that do is put first
# on PATH.
if [ "$QUILLMARK_WINE_ARCH" = win64 ]; then
  _wine_shims=$_wine_root/build/wine64-bin
  if [ ! -x "$_wine_shims/wine-stable" ]; then
    mkdir -p "$_wine_shims"
    for _name in wine wine-stable; do
      printf '#!/bin/sh\nexec %s "$@"\n' "$wine_loader" >"$_wine_shims/$_name.new"
      chmod +x "$_wine_shims/$_name.new" && mv "$_wine_shims/$_name.new" "$_wine_shims/$_name"
    done
  fi
  case ":$PATH:" in *":$_wine_shims:"*) ;; *) export PATH=$_wine_shims:$PATH ;; esac
fi

# wine_runs: true when Wine's loader for this architecture can start at all here.
wine_runs() {
  [ -x "$wine_loader" ] || return 1
  if [ "$QUILLMARK_WINE_ARCH" = win32 ]; then kernel_runs_32bit || return 1; fi
  "$wine_loader" --version >/dev/null 2>&1 </dev/null
}
