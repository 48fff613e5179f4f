#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, made on first use:
#   wine-run.sh PROGRAM.exe [ARGS...]
# It is the Windows builds' CMAKE_CROSSCOMPILING_EMULATOR, so CTest runs the tests through
# it, and the Windows test scripts start the programs with it. Which Wine, which prefix:
# scripts/lib/wine-env.sh (QUILLMARK_WINE_ARCH, QUILLMARK_WINEPREFIX). The prefix is made
# without dialogs (no Mono or Gecko download), with the Song-style font that stands in for
# 宋体/SimSun so that Chinese captions are drawn as Chinese, and Wine draws the windows'
# title bars itself.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

# The CJK font that replaces the dialogs' 宋体 (SimSun). Debian: fonts-arphic-uming.
cjk_font="AR PL UMing CN"

if [ ! -f "$WINEPREFIX/.quillmark-ready-3" ]; then
  # Where Wine cannot run at all no prefix is ever made, so this is asked on every call
  # there, and never once the prefix is ready.
  if ! wine_runs; then
    if [ "$QUILLMARK_WINE_ARCH" = win32 ] && ! kernel_runs_32bit; then
      echo "wine-run: $ia32_off_message, so Wine cannot start the 32-bit Windows programs;" \
        "the x86_64 build runs under wine64 (QUILLMARK_WINE_ARCH=win64)" >&2
    else
      echo "wine-run: $wine_loader cannot start here (Debian: wine64, and wine32 for win32)" >&2
    fi
    exit 126
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.quillmark-ready-3" ]; then
    rm -rf "$WINEPREFIX"
    wine wineboot --init >/dev/null 2>&1
    # A version 5 registry file is UTF-16 with a byte-order mark, so the Chinese names
    # need no code page.
    reg=$(mktemp --suffix=.reg)
    {
      printf '\xff\xfe'
      {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        for name in SimSun NSimSun 宋体 新宋体; do
          printf '"%s"="%s"\r\n' "$name" "$cjk_font"
        done
        # Wine draws the title bar and frame itself and places its windows without a window
        # manager, so that a window on a bare X server (Xvfb) has its caption and system
        # menu, and closing it does not wait 2 s for a window manager to withdraw it.
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n'
        printf '"Decorated"="N"\r\n"Managed"="N"\r\n'
      } | iconv -f UTF-8 -t UTF-16LE
    } >"$reg"
    wine regedit "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    rm -f "$reg"
    wineserver -w
    touch "$WINEPREFIX/.quillmark-ready-3"
  fi
  exec 9>&-
fi

exec wine "$@"
