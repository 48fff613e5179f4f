#!/usr/bin/env bash
# The Windows programs under Wine, against the Linux sandbox and their own. First, whatever
# runs here, both builds' PE kinds and resources (the same in both, and the ones the Linux
# build's resource test reads); then every part below on the build this kernel runs: the
# i686 one where it runs 32-bit code, else the x86_64 one under wine64
# (scripts/lib/wine-env.sh; QUILLMARK_WINE_ARCH=win32|win64 chooses). Its first line names it.
#   1. the core tests of the Windows build (CTest, through scripts/lib/wine-run.sh);
#   2. quillmark-cycle.exe runs a whole cycle, and its output matches the Linux
#      quillmark-cycle's line for line, ids, nonces and signs aside; both refuse a server
#      certificate over a 1024-bit key, and the Windows one a device (the prefix's COM5,
#      backed by a file) as the bitmap;
#   3. quillmark-sandbox.exe serves a whole cycle of quillmark-cycle.exe, which trusts the
#      CA the sandbox made in the per-user folder with nothing configured; Ctrl+C ends it;
#   4. as a Chinese-speaking user (a zh_CN locale of the test's own): a bitmap and a
#      settings file in folders with Chinese names, and the summary showing them;
#   5. Quillmark.exe under Xvfb: Button1 runs a cycle and the QR code on the screen reads
#      back as the order's code_url, at 96 and at 144 DPI, and its listener acknowledges the
#      order's notification; Esc during a stalled request ends it within 5 s; --profile,
#      and a profile chosen in the settings dialog, send its cycle to the profile's address;
#   6. in a fresh Wine prefix, in a network namespace of its own (so that the default port
#      8443 is free whatever else runs here): the installer installs silently, and the
#      installed sandbox and runner complete a verified cycle with default settings, timed;
#      the sandbox's LAN mode serves its CA to a client that trusts only that; a profile
#      folder with a Chinese name holds the per-user settings and the sandbox's CA.
# Each part prints how long it took. Run as root (the namespace), as the test command is.
#   usage: test-windows.sh [LINUX_BUILD]   (default build/werror; it must hold
#          quillmark-sandbox and quillmark-cycle)
# scripts/build-windows.sh builds build/windows and build/windows-x86_64 first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
linux=$(realpath "${1:-build/werror}")
wine_run=$root/scripts/lib/wine-run.sh
. "$root/scripts/lib/sandbox.sh"
. "$root/scripts/lib/netns.sh"
# Which build runs here, in which prefix: the i686 one where the kernel runs 32-bit code,
# else the x86_64 one under wine64 (QUILLMARK_WINE_ARCH=win32|win64 chooses).
. "$root/scripts/lib/wine-env.sh"
win=$root/build/$wine_build_dir
printf '== Windows, under Wine: the %s build (%s, WINEARCH=%s)\n' \
  "$([ "$QUILLMARK_WINE_ARCH" = win32 ] && echo i686 || echo x86_64)" "build/$wine_build_dir" "$WINEARCH"

# Both builds, whatever runs here: each program is of its target's PE kind, and both
# Quillmark.exe carry the resources that the Linux build's resource test reads entry by
# entry (dialogs, strings, version block, manifest, icon). windres reads a program's
# resources back as a resource script, but not their languages (nor the .res file's memory
# flags, which a program does not keep), so the resource directory objdump prints, its
# types, names, languages, sizes and code pages, is compared too, and every language must
# be 2052 (Chinese Simplified).
printf '\n== Windows, both builds: PE kinds, and the same resources in both\n'
resource_script() {  # resource_script TARGET FILE: the resources of FILE as a script
  "$1-w64-mingw32-windres" -i "$2" -O rc |
    sed -E 's/ (MOVEABLE|PURE|IMPURE|DISCARDABLE|PRELOAD|LOADONCALL|FIXED)//g; /^LANGUAGE /d'
}
resource_tree() {  # resource_tree TARGET EXE: the resource directory, addresses left out
  "$1-w64-mingw32-objdump" -p "$2" | sed -n '/The .rsrc Resource Directory section/,/^$/p' |
    sed -E 's/(Value|Addr): 0x[0-9a-f]+//; s/^[0-9a-f]+ //'
}
checks=$(mktemp -d)
resource_script i686 "$linux/tests/shell/resources/quillmark.res" >"$checks/tested.rc"
for pair in "windows:PE32 executable:Intel 80386:i686" "windows-x86_64:PE32+ executable:x86-64:x86_64"; do
  IFS=: read -r dir pe cpu target <<<"$pair"
  [ -f "$root/build/$dir/build.ninja" ] ||
    { echo "test-windows: no $target build in build/$dir (scripts/build-windows.sh)" >&2; exit 1; }
  for program in shell/win32/Quillmark.exe:GUI cli/quillmark-cycle.exe:console \
      sandbox/quillmark-sandbox.exe:console; do
    kind="$pe (${program#*:}) $cpu"
    file "$root/build/$dir/${program%:*}" | grep -qF "$kind" ||
      { echo "test-windows: build/$dir/${program%:*} is not $kind: $(file "$root/build/$dir/${program%:*}")" >&2; exit 1; }
  done
  setup=$(ls "$root/build/$dir"/Quillmark-*-setup.exe)
  file "$setup" | grep -qF "$pe (GUI) $cpu" ||
    { echo "test-windows: $(basename "$setup") is not $pe (GUI) $cpu" >&2; exit 1; }
  exe=$root/build/$dir/shell/win32/Quillmark.exe
  resource_script "$target" "$exe" >"$checks/$target.rc"
  resource_tree "$target" "$exe" >"$checks/$target.tree"
  if ! diff -u "$checks/tested.rc" "$checks/$target.rc" >"$checks/diff"; then
    head -n 40 "$checks/diff" >&2
    echo "test-windows: build/$dir's Quillmark.exe carries other resources than the resource test reads (above)" >&2
    exit 1
  fi
  languages=$(grep -A1 'Language Table' "$checks/$target.tree" | sed -n 's/.*Entry: ID: \(0x[0-9a-f]*\).*/\1/p' | sort -u)
  [ "$languages" = 0x000804 ] ||
    { echo "test-windows: build/$dir's Quillmark.exe has resources in languages $languages, not only 2052" >&2; exit 1; }
done
diff -u "$checks/i686.tree" "$checks/x86_64.tree" >&2 ||
  { echo "test-windows: the two builds' resource directories differ (above)" >&2; exit 1; }
echo "i686 and x86_64: all three programs and the installer of their PE kind; $(grep -c 'Leaf:' "$checks/i686.tree") resources, all in language 2052, alike in both and as the resource test reads them"
rm -rf "$checks"

# A machine where no Windows build can run fails here, unless QUILLMARK_WINDOWS_UNTESTED=1
# says that is known; the test command never sets it.
if ! wine_runs; then
  why="$wine_loader does not start here"
  [ "$QUILLMARK_WINE_ARCH" = win32 ] && ! kernel_runs_32bit && why="$ia32_off_message"
  if [ "${QUILLMARK_WINDOWS_UNTESTED:-}" = 1 ]; then
    echo "test-windows: $why; QUILLMARK_WINDOWS_UNTESTED=1: the Windows programs were built, not run" >&2
    exit 0
  fi
  echo "test-windows: no Windows build can run here: $why" >&2
  exit 1
fi
[ -f "$win/build.ninja" ] || { echo "test-windows: no build in $win (scripts/build-windows.sh)" >&2; exit 1; }

# QUILLMARK_KEEP_WINDOWS_TEST=DIR keeps the outputs and screenshots there.
keep=${QUILLMARK_KEEP_WINDOWS_TEST:-}
if [ -n "$keep" ]; then
  work=$(realpath -m "$keep") && mkdir -p "$work"
else
  work=$(mktemp -d)
fi
xvfb_pid=""
device_link=""  # the prefix's COM5 while a part has it mapped
win_sandbox_pid=""
netns=""        # the installer part's network namespace
fresh_prefix="" # and its Wine prefix
cleanup() {
  stop_sandbox
  if [ -n "$win_sandbox_pid" ]; then kill "$win_sandbox_pid" 2>/dev/null || true; fi
  if [ -n "$device_link" ]; then rm -f "$device_link"; fi
  if [ -n "$fresh_prefix" ]; then
    netns_run "$netns" env WINEPREFIX="$fresh_prefix" wineserver -k 2>/dev/null || true
  fi
  if [ -n "$netns" ]; then ip netns del "$netns" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  if [ -z "$keep" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

part_start=0
part() { part_start=$SECONDS; printf '\n== Windows, under Wine: %s\n' "$*"; }
part_done() { echo "-- took $((SECONDS - part_start)) s"; }
fail() { echo "test-windows: $*" >&2; exit 1; }

# wait_until SECONDS CONDITION...: runs CONDITION until it holds, for at most SECONDS of the
# clock: a machine busy with other work makes each look slower, never the bound shorter.
# False when the time runs out. Every wait of this script is one of these, on what the next
# step needs to see; a fixed time is too short on a loaded machine and too long on an idle one.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
# The most a cycle of a program under Wine may take, on a machine busy with other work; idle,
# it takes a few seconds.
cycle_seconds=120
# lines_at_least FILE PATTERN N: FILE has N lines that match PATTERN (extended).
lines_at_least() { [ "$(tr -d '\r' <"$1" | grep -cE "$2" || true)" -ge "$3" ]; }

# A sandbox on a free port; sets PORT. Options go to quillmark-sandbox.
sandbox_on_free_port() {
  stop_sandbox
  rm -f "$work/sandbox.log"  # a kept folder's last log would look like a started sandbox
  local notify=(--no-notify)
  [ "${SANDBOX_NOTIFY:-}" = yes ] && notify=()
  start_sandbox "$linux" "$work/sandbox.log" --port 0 --state :memory: "${notify[@]}" "$@"
  PORT=$(sed -nE 's/.*listening on https:\/\/127\.0\.0\.1:([0-9]+).*/\1/p' "$work/sandbox.log" | head -n 1)
  [ -n "$PORT" ] || fail "no port in the sandbox's output: $(cat "$work/sandbox.log")"
}

# The client settings for the sandbox on $PORT, for Linux and Windows programs alike: Wine
# hands the environment on, and takes Z:\ as the Linux root.
client_environment() {
  export QUILLMARK_API_BASE=https://127.0.0.1:$PORT
  export QUILLMARK_CA_FILE_LINUX=$linux/certs/ca.pem
  export QUILLMARK_CA_FILE_WINDOWS="Z:${QUILLMARK_CA_FILE_LINUX//\//\\}"
  # The certificate this sandbox's merchant CA issued: a Windows program on its own would
  # present the one a quillmark-sandbox.exe issued in Wine's per-user folder.
  "$linux/sandbox/quillmark-sandbox" client-cert --out "$work/client-cert" >/dev/null
  export QUILLMARK_CLIENT_CERT_WINDOWS="Z:${work//\//\\}\\client-cert\\apiclient_cert.p12"
}

# One display for every Wine process of the run: they share one wineserver, whose desktop
# takes the display of the first program that starts. Without -noreset the server resets
# when its last client goes, as when a window's program ends, and on a busy machine refuses
# the next one to connect while it does.
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
wait_until 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")

part "core tests (known answers, GBK by the Windows API, bitmap bytes, reply fields)"
ctest --test-dir "$win" --output-on-failure -j2
part_done

part "quillmark-cycle.exe against the Linux sandbox, compared with quillmark-cycle"
sandbox_on_free_port --pay-after-queries 1
client_environment
linux_start=$(date +%s%N)
QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_LINUX QUILLMARK_QR_PATH=$work/linux.BMP \
  "$linux/cli/quillmark-cycle" >"$work/linux.out" || fail "quillmark-cycle failed: $(cat "$work/linux.out")"
linux_ms=$((($(date +%s%N) - linux_start) / 1000000))
"$wine_run" cmd /c exit 0  # the prefix and wineserver up, outside the timed run
win_start=$(date +%s%N)
QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS QUILLMARK_QR_PATH="Z:${work//\//\\}\\windows.BMP" \
  "$wine_run" "$win/cli/quillmark-cycle.exe" >"$work/windows.out" ||
  fail "quillmark-cycle.exe failed: $(cat "$work/windows.out")"
win_ms=$((($(date +%s%N) - win_start) / 1000000))
"$root/scripts/lib/normalise-cycle.sh" <"$work/linux.out" >"$work/linux.norm"
"$root/scripts/lib/normalise-cycle.sh" <"$work/windows.out" >"$work/windows.norm"
if ! diff -u "$work/linux.norm" "$work/windows.norm"; then
  fail "quillmark-cycle.exe's output differs from quillmark-cycle's (above, normalised)"
fi
grep -q 'SUCCESS' "$work/windows.out" || fail "the Windows cycle saw no SUCCESS"
code_url=$(tr -d '\r' <"$work/windows.out" | sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' | head -n 1)
[ "$(zbarimg --raw -q "$work/windows.BMP" 2>/dev/null)" = "$code_url" ] ||
  fail "the bitmap quillmark-cycle.exe wrote does not read back as $code_url"
echo "$(wc -l <"$work/windows.norm") lines alike; the bitmap reads back as the code_url"
echo "one cycle: quillmark-cycle ${linux_ms} ms, quillmark-cycle.exe under Wine ${win_ms} ms"
part_done

part "quillmark-cycle.exe --await-notify: its listener takes the order's notification under Wine"
SANDBOX_NOTIFY=yes sandbox_on_free_port --pay-after-queries 1
client_environment
status=0
QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS \
  QUILLMARK_QR_PATH="Z:${work//\//\\}\\notify.BMP" \
  "$wine_run" "$win/cli/quillmark-cycle.exe" --await-notify 10 >"$work/notify.out" || status=$?
tr -d '\r' <"$work/notify.out" | grep -q "^The order's payment notification verified and was acknowledged.$" &&
  [ "$status" = 0 ] || fail "quillmark-cycle.exe took no verified notification (exit $status): $(cat "$work/notify.out")"
grep -q 'NOTIFY .* HTTP 200, acknowledged' "$work/sandbox.log" ||
  fail "the sandbox saw no acknowledgement: $(cat "$work/sandbox.log")"
echo "the notification came to quillmark-cycle.exe, verified, and was acknowledged"
part_done

part "hostile input: a 1024-bit server certificate refused by both builds, a device as the bitmap"
# The Linux sandbox can serve the weak certificate (issued by the build's CA for 127.0.0.1)
# only below Debian's security level: the configuration at level 1, the cross-built
# OpenSSL's default, stands in for a machine that allows it. Both clients must refuse it
# by their transport's own level, before the request is sent.
OPENSSL_CONF=$linux/certs/seclevel1.cnf sandbox_on_free_port \
  --cert "$linux/certs/weak.pem" --key "$linux/certs/weak.key"
client_environment
status=0
OPENSSL_CONF=$linux/certs/seclevel1.cnf QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_LINUX \
  QUILLMARK_QR_PATH=$work/weak-linux.BMP "$linux/cli/quillmark-cycle" >"$work/weak-linux.out" ||
  status=$?
[ "$status" = 1 ] && head -n 1 "$work/weak-linux.out" | grep -q '^curl_easy_perform failed. RetCode:60 ' ||
  fail "quillmark-cycle did not refuse the 1024-bit certificate (exit $status): $(cat "$work/weak-linux.out")"
status=0
QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS QUILLMARK_QR_PATH="Z:${work//\//\\}\\weak-windows.BMP" \
  "$wine_run" "$win/cli/quillmark-cycle.exe" >"$work/weak-windows.out" || status=$?
[ "$status" = 1 ] && head -n 1 "$work/weak-windows.out" | tr -d '\r' |
  grep -q '^curl_easy_perform failed. RetCode:60 ' ||
  fail "quillmark-cycle.exe did not refuse the 1024-bit certificate (exit $status): $(cat "$work/weak-windows.out")"
! grep -q 'POST /pay/' "$work/sandbox.log" || fail "a request reached the weak server: $(cat "$work/sandbox.log")"
echo "the 1024-bit certificate: refused by both builds (RetCode 60), nothing sent"

# COM5 of this run's Wine prefix, backed by a plain file (Wine maps COMn through the
# prefix's dosdevices folder): never a real port. First shown to be the device, then
# given as the bitmap under reserved names.
prefix=$WINEPREFIX
device=$work/com5-device
: >"$device"
device_link=$prefix/dosdevices/com5
ln -sfn "$device" "$device_link"
"$wine_run" cmd /c "echo probe>COM5" >/dev/null 2>&1 || true
[ -s "$device" ] || fail "COM5 of the prefix does not reach $device"
: >"$device"
sandbox_on_free_port
client_environment
for name in COM5 com5.bmp 'Com5 .bmp' 'COM5.'; do
  status=0
  (cd "$work" && QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS QUILLMARK_QR_PATH=$name \
    "$wine_run" "$win/cli/quillmark-cycle.exe" >"$work/device.out") || status=$?
  tr -d '\r' <"$work/device.out" >"$work/device.txt"
  if [ "$status" != 0 ] || ! grep -q '^Unable to open file$' "$work/device.txt" ||
    ! grep -q '^QR bitmap: .*  (not written, see above)$' "$work/device.txt" || [ -s "$device" ]; then
    fail "qr_path '$name' (exit $status, $(stat -c %s "$device") bytes to the device): $(cat "$work/device.txt")"
  fi
done
rm -f "$device_link" && device_link=""
echo "COM5 as the bitmap, by four of its names: refused, not written, the device untouched"
part_done

# winpath PATH: the Linux path of a Windows one of the prefix.
winpath() { WINEPREFIX=$prefix winepath -u "$1" 2>/dev/null; }
# windows_path PATH: a Linux path as Wine's Z: drive shows it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# start_win_sandbox OUT [options]: quillmark-sandbox.exe in the background (through
# wine-run.sh, with whatever the caller put before it); sets WIN_PORT once it listens.
start_win_sandbox() {
  local out=$1
  shift
  : >"$out"
  "$@" >"$out" 2>&1 &
  win_sandbox_pid=$!
  WIN_PORT=""
  wait_until 60 win_sandbox_up "$out" && [ -n "$WIN_PORT" ] ||
    fail "quillmark-sandbox.exe did not start: $(cat "$out")"
}
# win_sandbox_up OUT: the sandbox has said where it listens (WIN_PORT set), or has ended.
win_sandbox_up() {
  WIN_PORT=$(tr -d '\r' <"$1" | sed -nE 's/^quillmark-sandbox listening on https:\/\/[0-9.]+:([0-9]+).*/\1/p')
  [ -n "$WIN_PORT" ] || ! kill -0 "$win_sandbox_pid" 2>/dev/null
}

# stop_win_sandbox OUT: Ctrl+C, as Wine passes SIGINT on to a console program, must end it
# cleanly, with status 0.
stop_win_sandbox() {
  local status=0
  kill -INT "$win_sandbox_pid"
  timeout 20 tail --pid="$win_sandbox_pid" -f /dev/null || fail "Ctrl+C did not end quillmark-sandbox.exe"
  wait "$win_sandbox_pid" || status=$?
  win_sandbox_pid=""
  [ "$status" = 0 ] && tr -d '\r' <"$1" | grep -q '^quillmark-sandbox: Ctrl+C, stopping$' ||
    fail "quillmark-sandbox.exe did not stop cleanly on Ctrl+C (exit $status): $(cat "$1")"
}

part "quillmark-sandbox.exe serves quillmark-cycle.exe, which trusts the CA it made; Ctrl+C ends it"
local_app_data=$("$wine_run" cmd /c echo %LOCALAPPDATA% | tr -d '\r')
sandbox_folder=$(winpath "$local_app_data\\Quillmark\\sandbox")
rm -rf "$sandbox_folder"  # made anew by this start
start_win_sandbox "$work/win-sandbox.out" "$wine_run" "$win/sandbox/quillmark-sandbox.exe" \
  --port 0 --no-notify --pay-after-queries 1
for file in ca.pem ca.key server.pem server.key; do
  [ -f "$sandbox_folder/$file" ] || fail "quillmark-sandbox.exe made no $file in $sandbox_folder"
done
(cd "$work" && env -u QUILLMARK_CA_FILE QUILLMARK_API_BASE=https://127.0.0.1:$WIN_PORT \
  QUILLMARK_QR_PATH="$(windows_path "$work/own-sandbox.BMP")" \
  "$wine_run" "$win/cli/quillmark-cycle.exe" >"$work/own-sandbox.out") ||
  fail "quillmark-cycle.exe against quillmark-sandbox.exe failed: $(cat "$work/own-sandbox.out")"
tr -d '\r' <"$work/own-sandbox.out" >"$work/own-sandbox.txt"
grep -q '^Query 2:       SUCCESS ' "$work/own-sandbox.txt" &&
  grep -q '^Every signed reply verified\.$' "$work/own-sandbox.txt" &&
  grep -q '^  ca_file           .*\\Quillmark\\sandbox\\ca\.pem  (default)$' "$work/own-sandbox.txt" ||
  fail "the cycle against quillmark-sandbox.exe: $(cat "$work/own-sandbox.txt")"
[ "$(grep -c ' 200 SUCCESS ' "$work/win-sandbox.out")" = 3 ] ||
  fail "quillmark-sandbox.exe did not log three answered requests: $(cat "$work/win-sandbox.out")"
stop_win_sandbox "$work/win-sandbox.out"
echo "a cycle served by quillmark-sandbox.exe, every reply verified against the CA it made in $local_app_data\\Quillmark\\sandbox; Ctrl+C stopped it"
part_done

part "as a Chinese-speaking user: a bitmap and a settings file in folders with Chinese names"
# A locale of the test's own, so that Wine takes code page 936 as a Chinese Windows does;
# the machine's own locales are left alone.
locales=$root/build/locale
mkdir -p "$locales"
[ -d "$locales/zh_CN.UTF-8" ] || localedef -i zh_CN -f UTF-8 "$locales/zh_CN.UTF-8" ||
  fail "cannot make the zh_CN.UTF-8 locale (Debian: locales)"
zh=(env LOCPATH="$locales" LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)
sandbox_on_free_port --pay-after-queries 1
client_environment
chinese=$work/中文/二维码
mkdir -p "$chinese" "$work/中文/设置"
printf '[merchant]\nqr_path = %s\n' "$(windows_path "$chinese/2.BMP")" >"$work/中文/设置/quillmark.ini"
(cd "$work" && "${zh[@]}" QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS \
  QUILLMARK_QR_PATH="$(windows_path "$chinese/1.BMP")" \
  "$wine_run" "$win/cli/quillmark-cycle.exe" >"$work/zh-bitmap.out") ||
  fail "a bitmap in $chinese: $(iconv -f GBK -t UTF-8 <"$work/zh-bitmap.out")"
(cd "$work" && "${zh[@]}" QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS \
  "$wine_run" "$win/cli/quillmark-cycle.exe" --config "$(windows_path "$work/中文/设置/quillmark.ini")" \
  >"$work/zh-config.out") || fail "--config in 设置: $(iconv -f GBK -t UTF-8 <"$work/zh-config.out")"
# The summary is GBK, as the program's own text always was on Windows.
iconv -f GBK -t UTF-8 <"$work/zh-bitmap.out" | tr -d '\r' >"$work/zh-bitmap.txt"
iconv -f GBK -t UTF-8 <"$work/zh-config.out" | tr -d '\r' >"$work/zh-config.txt"
grep -qxF "QR bitmap:     $(windows_path "$chinese/1.BMP")" "$work/zh-bitmap.txt" ||
  fail "the summary does not show the bitmap's path: $(cat "$work/zh-bitmap.txt")"
grep -qxF "  qr_path           $(windows_path "$chinese/2.BMP")  (file $(windows_path "$work/中文/设置/quillmark.ini"):2)" \
  "$work/zh-config.txt" && grep -qxF "QR bitmap:     $(windows_path "$chinese/2.BMP")" "$work/zh-config.txt" ||
  fail "the summary does not show the settings file's values: $(cat "$work/zh-config.txt")"
for n in 1 2; do
  code_url=$(sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' "$work/zh-$([ $n = 1 ] && echo bitmap || echo config).txt" | head -n 1)
  [ "$(zbarimg --raw -q "$chinese/$n.BMP" 2>/dev/null)" = "$code_url" ] ||
    fail "$chinese/$n.BMP does not read back as $code_url"
done
echo "二维码\\1.BMP (QUILLMARK_QR_PATH) and 二维码\\2.BMP (--config 设置\\quillmark.ini) written, read back, and named in the GBK summary"
part_done

part "Quillmark.exe under Xvfb: Button1 and the QR code on the screen, Esc during a stalled request, profiles"

# start_gui OUT [BITMAP]: starts Quillmark.exe (with whatever GUI_ENV holds before it, and
# GUI_ARGS after it), writing its bitmap to BITMAP (default gui.BMP of the work folder); sets
# GUI_PID and GUI_WINDOW once the main dialog shows.
start_gui() {
  QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify \
  QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS QUILLMARK_QR_PATH="$(windows_path "${2:-$work/gui.BMP}")" \
  QUILLMARK_CLIENT_CERT=$QUILLMARK_CLIENT_CERT_WINDOWS "${GUI_ENV[@]}" "$wine_run" "$win/shell/win32/Quillmark.exe" "${GUI_ARGS[@]}" >"$1" 2>&1 &
  GUI_PID=$!
  GUI_WINDOW=""
  wait_until 60 shown_window '^Quillmark$' && GUI_WINDOW=$SHOWN_WINDOW
  [ -n "$GUI_WINDOW" ] || fail "Quillmark.exe showed no window: $(cat "$1")"
  window_ready_within 30 "$GUI_WINDOW" || fail "Quillmark.exe's window was never drawn in one place"
}
GUI_ENV=(env)
GUI_ARGS=()
# shown_window NAME: a shown window whose name matches NAME, in SHOWN_WINDOW. xdotool stops
# at an X error, as when a window Wine makes for a moment goes while it walks the tree (seen
# on a busy machine at the window's start): that look finds none, and the next one is made.
shown_window() {
  SHOWN_WINDOW=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
  [ -n "$SHOWN_WINDOW" ]
}

# window_ready WINDOW: the window is in its place and drawn: where and as large as at the
# look before, with its captions painted (more than two colours), which its own thread does
# once its message loop runs. Clicked before that, Button1 may be elsewhere, or unheard.
window_ready() {
  local X Y WIDTH HEIGHT SCREEN WINDOW geometry colours
  geometry=$(xdotool getwindowgeometry --shell "$1" 2>/dev/null) || return 1
  eval "$geometry"
  colours=$(import -window "$1" png:- 2>/dev/null | identify -format %k - 2>/dev/null) || colours=0
  [ "$X $Y $WIDTH $HEIGHT" = "$WINDOW_SEEN" ] && [ "${colours:-0}" -gt 2 ] && return 0
  WINDOW_SEEN="$X $Y $WIDTH $HEIGHT"
  return 1
}
window_ready_within() { WINDOW_SEEN="" && wait_until "$1" window_ready "$2"; }

# screen_settled PNG [TEXT]: a screenshot of the whole screen, kept as PNG, is the same as at
# the look before (nothing is being drawn any more, so PNG shows what the step left) and,
# with TEXT, shows a QR code that reads back as TEXT. SCREEN_MASK, when set, is a rectangle
# "X0,Y0 X1,Y1" of the screen left out of the comparison: a busy bar that never stops.
screen_settled() {
  local pixels
  import -window root "png:$1" 2>/dev/null || return 1
  pixels=$(pixels_of "$1") || return 1
  [ "$pixels" = "$SCREEN_SEEN" ] || { SCREEN_SEEN=$pixels && return 1; }
  [ $# = 1 ] || [ "$(zbarimg --raw -q "$1" 2>/dev/null || true)" = "$2" ]
}
SCREEN_MASK=""
pixels_of() {
  if [ -n "$SCREEN_MASK" ]; then
    convert "$1" -fill black -draw "rectangle $SCREEN_MASK" png:- | identify -format %# -
  else
    identify -format %# "$1"
  fi
}
screen_settled_within() {
  local seconds=$1
  shift
  SCREEN_SEEN="" && wait_until "$seconds" screen_settled "$@"
}
# popups: how many windows without a name are shown: Wine's desktop, and the pop-up menus
# and drop-down lists that Wine shows as windows of their own. popups_are N: as many as N.
popups() { xdotool search --onlyvisible --name '^$' 2>/dev/null | wc -l; }
popups_are() { [ "$(popups)" -eq "$1" ]; }
# screen_settled_apart PNG OTHER: screen_settled PNG, and not as the screenshot OTHER.
screen_settled_apart() {
  screen_settled "$1" && [ "$(pixels_of "$1")" != "$(pixels_of "$2")" ]
}
# connected_to PORT: a connection to 127.0.0.1:PORT is open.
connected_to() { [ -n "$(ss -Htn state established "( dport = :$1 )" 2>/dev/null)" ]; }
# no_window NAME: no window whose name matches NAME is shown.
no_window() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
# read_back PNG: what the QR codes of PNG read, for a message.
read_back() { zbarimg --raw -q "$1" 2>/dev/null || true; }

# click_button1 [panel]: clicks Button1. Its centre is at (32, 186) of the 320 x 200 dialog
# units, or with "panel", once the first job has shown the panel, of its 520 x 392; the
# window's frame is thin enough for the proportion to land on it. A click also gives the
# window the keyboard, for the Esc that follows.
click_button1() {
  local X Y WIDTH HEIGHT SCREEN WINDOW across=320 down=200
  [ "${1:-}" = panel ] && across=520 down=392
  eval "$(xdotool getwindowgeometry --shell "$GUI_WINDOW")"
  xdotool mousemove $((X + 32 * WIDTH / across)) $((Y + 186 * HEIGHT / down)) click 1
}

# gui_cycle NAME [BITMAP]: Button1 in a new Quillmark.exe; the QR code on the screen
# (NAME.png) must read back as the order's code_url. Sets GUI_SIZE to the main dialog's
# size before the click, "WIDTHxHEIGHT".
gui_cycle() {
  local name=$1 X Y WIDTH HEIGHT SCREEN WINDOW
  start_gui "$work/$name.out" "${2:-}"
  eval "$(xdotool getwindowgeometry --shell "$GUI_WINDOW")"
  GUI_SIZE=${WIDTH}x$HEIGHT
  click_button1
  wait_until "$cycle_seconds" lines_at_least "$work/$name.out" trade_state 2 ||
    fail "no cycle after Button1: $(cat "$work/$name.out")"
  # With a sandbox that notifies, the window's own listener takes the order's notification
  # and acknowledges it.
  if [ "${SANDBOX_NOTIFY:-}" = yes ]; then
    wait_until 30 grep -q 'HTTP 200, acknowledged' "$work/sandbox.log" ||
      fail "Quillmark.exe did not acknowledge the notification: $(grep NOTIFY "$work/sandbox.log")"
  fi
  code_url=$(tr -d '\r' <"$work/$name.out" | sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' | head -n 1)
  [ -n "$code_url" ] || fail "no code_url in Quillmark.exe's output: $(cat "$work/$name.out")"
  screen_settled_within 30 "$work/$name.png" "$code_url" ||
    fail "the QR code on the screen ($name) reads '$(read_back "$work/$name.png")', not the order's '$code_url'"
  xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
  xdotool key Escape
  timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"
}

# set_dpi N: the prefix's display scaling, in dots per inch (96 is 100 %).
set_dpi() {
  local reg
  reg=$(mktemp --suffix=.reg)
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"LogPixels"=dword:%08x\r\n' "$1" >"$reg"
  "$wine_run" regedit "$(WINEPREFIX=$prefix winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
  rm -f "$reg"
}

SANDBOX_NOTIFY=yes
sandbox_on_free_port --pay-after-queries 1
client_environment
set_dpi 96
gui_cycle windows-cycle
SANDBOX_NOTIFY=
size96=$GUI_SIZE
cp "$work/windows-cycle.png" "$work/windows-cycle-96dpi.png"
# A second cycle with the 场景 row at 拒绝支付, its list's second entry: windows-cycle-declined.png.
# The row is the panel's first, centred 13 of its 392 dialog units below the client area's
# top; the window's geometry also holds the frame's caption bar (about 22 pixels, 13 units
# at this scale), so the click lands at 26 of the window's 392.
start_gui "$work/declined.out"
click_button1
wait_until "$cycle_seconds" lines_at_least "$work/declined.out" trade_state 2 ||
  fail "no cycle after Button1: $(cat "$work/declined.out")"
window_ready_within 30 "$GUI_WINDOW" || fail "the panel was never drawn in one place"
eval "$(xdotool getwindowgeometry --shell "$GUI_WINDOW")"
shown=$(popups)
xdotool mousemove $((X + 122 * WIDTH / 520)) $((Y + 26 * HEIGHT / 392)) click 1
wait_until 30 popups_are $((shown + 1)) || fail "the 场景 row's list did not drop down"
xdotool key Down Return
wait_until 30 popups_are "$shown" || fail "the 场景 row's list did not close"
click_button1 panel
wait_until "$cycle_seconds" lines_at_least "$work/declined.out" trade_state 4 ||
  fail "no second cycle: $(cat "$work/declined.out")"
lines_at_least "$work/declined.out" 'trade_state.*PAYERROR' 1 ||
  fail "the second cycle was not declined, so 拒绝支付 was not chosen: $(cat "$work/declined.out")"
screen_settled_within 30 "$work/windows-cycle-declined.png" || fail "the declined cycle's panel never settled"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"
echo "at 96 DPI: the main dialog is $size96 pixels; the QR code in the window reads back as $code_url; its notification was acknowledged"
# Started with --scenario NAME, the first Button1 plays the steps quillmark-cycle --scenario
# NAME plays: the order answered SYSTEMERROR sent again, the polls through USERPAYING, the
# refund and its queries; NAME.png shows each step's verdict in its rows.
# scenario_cycle NAME REQUESTS PATTERN: REQUESTS replies on standard output, PATTERN among them.
scenario_cycle() {
  GUI_ARGS=(--scenario "$1")
  start_gui "$work/scenario-$1.out"
  click_button1
  wait_until "$cycle_seconds" lines_at_least "$work/scenario-$1.out" 'Content:' "$2" ||
    fail "--scenario $1: not $2 replies after Button1: $(cat "$work/scenario-$1.out")"
  [ "$(grep -c 'Content:' "$work/scenario-$1.out" || true)" -eq "$2" ] ||
    fail "--scenario $1: more than $2 replies after Button1: $(cat "$work/scenario-$1.out")"
  grep -q "$3" "$work/scenario-$1.out" || fail "--scenario $1: no $3: $(cat "$work/scenario-$1.out")"
  screen_settled_within 30 "$work/windows-scenario-$1.png" ||
    fail "--scenario $1: the panel never settled"
  xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
  xdotool key Escape
  timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"
  GUI_ARGS=()
}
scenario_cycle system-error-once 4 SYSTEMERROR
scenario_cycle paying 5 USERPAYING
scenario_cycle refund-processing 6 PROCESSING
echo "--scenario system-error-once, paying and refund-processing: Button1 played the runner's steps"
# At 150 %, as a Chinese-speaking user whose bitmap goes to a folder with a Chinese name,
# which the panel names. The manifest makes the program DPI-aware: its dialogs are laid out
# at 144 DPI instead of being drawn at 96 and left small (or, on Windows, stretched).
set_dpi 144
GUI_ENV=("${zh[@]}")
gui_cycle windows-cycle-144dpi "$chinese/gui.BMP"
GUI_ENV=(env)
set_dpi 96
size144=$GUI_SIZE
ratio=$((${size144%x*} * 100 / ${size96%x*}))
[ "$ratio" -ge 135 ] && [ "$ratio" -le 165 ] ||
  fail "at 144 DPI the main dialog is $size144 pixels, not about 1.5 times its $size96 at 96 DPI"
[ -f "$chinese/gui.BMP" ] || fail "Quillmark.exe wrote no bitmap in $chinese"
echo "at 144 DPI: $size144 pixels, ${ratio} % of the width at 96 DPI; the QR code reads back, the bitmap is in 二维码"

sandbox_on_free_port --fault stall
client_environment
start_gui "$work/gui-stall.out"
click_button1
# The unified order in flight, which the sandbox will never answer: the window's connection
# to it is open.
wait_until 60 connected_to "$PORT" || fail "Button1 sent nothing to the stalled sandbox: $(cat "$work/gui-stall.out")"
# The panel laid out around its busy bar, which moves on: (318, 180) to (368, 202) of the
# panel's 520 x 392 dialog units, left out.
window_ready_within 30 "$GUI_WINDOW" || fail "the panel was never drawn in one place"
eval "$(xdotool getwindowgeometry --shell "$GUI_WINDOW")"
SCREEN_MASK="$((X + 318 * WIDTH / 520)),$((Y + 180 * HEIGHT / 392)) $((X + 368 * WIDTH / 520)),$((Y + 202 * HEIGHT / 392))"
screen_settled_within 30 "$work/windows-stalled.png" || fail "the stalled cycle's panel never settled"
SCREEN_MASK=""
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
start=$(date +%s%N)
xdotool key Escape
# Polled every 10 ms: `tail --pid` looks only once a second, which is all a slow end shows.
for _ in $(seq 1000); do kill -0 "$GUI_PID" 2>/dev/null || break; sleep 0.01; done
kill -0 "$GUI_PID" 2>/dev/null && fail "Esc did not end Quillmark.exe during a stall"
esc_ms=$((($(date +%s%N) - start) / 1000000))
echo "Esc during the stalled request: Quillmark.exe ended after ${esc_ms} ms"
# Far inside the request's 30 s limit, so only the abort can have ended it; a machine busy
# with other work may take a second over a fresh Wine prefix.
[ "$esc_ms" -le 5000 ] || fail "Quillmark.exe took ${esc_ms} ms to end, more than 5 s"
tr -d '\r' <"$work/gui-stall.out" | grep -q 'RetCode:42' ||
  fail "the stalled request was not aborted: $(cat "$work/gui-stall.out")"

# Profiles: [merchant] sends to a port nothing listens on, [profile sandbox] to the sandbox,
# so only a cycle under the profile reaches it. First --profile; then, in a window started
# without it, a cycle that fails, the profile chosen in the settings dialog's 配置 list (just
# above the first box, which has the focus: Shift+Tab, Down), 保存 (Return), and a cycle that
# reaches the sandbox. The save leaves the file as it was: nothing in it changed.
# gui_cycles OUT N: waits for the window's Nth cycle to end, by its lines.
gui_cycles() {
  wait_until "$cycle_seconds" lines_at_least "$1" 'trade_state|curl_easy_perform failed' "$2" ||
    fail "no cycle number $2 in the window: $(cat "$1")"
}
sandbox_on_free_port
client_environment
profiles=$work/profiles.ini
printf '[merchant]\napi_base = https://127.0.0.1:1\n\n[profile sandbox]\napi_base = https://127.0.0.1:%s\n' \
  "$PORT" >"$profiles"
cp "$profiles" "$work/profiles.before"
GUI_ENV=(env -u QUILLMARK_API_BASE)
GUI_ARGS=(--config "$(windows_path "$profiles")" --profile sandbox)
start_gui "$work/gui-profile.out"
click_button1
gui_cycles "$work/gui-profile.out" 2
tr -d '\r' <"$work/gui-profile.out" | grep -q 'curl_easy_perform failed' &&
  fail "--profile sandbox did not reach the sandbox: $(cat "$work/gui-profile.out")"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"
GUI_ARGS=(--config "$(windows_path "$profiles")")
start_gui "$work/gui-chooser.out"
click_button1
gui_cycles "$work/gui-chooser.out" 1
tr -d '\r' <"$work/gui-chooser.out" | grep -q 'curl_easy_perform failed' ||
  fail "a cycle under [merchant] did not fail at its port: $(cat "$work/gui-chooser.out")"
shown=$(popups)
xdotool key alt+space
wait_until 30 popups_are $((shown + 1)) || fail "Alt+Space showed no window menu"
xdotool key o
settings=""
wait_until 30 shown_window '^设置$' && settings=$SHOWN_WINDOW
[ -n "$settings" ] || fail "Alt+Space, O showed no settings dialog"
window_ready_within 30 "$settings" || fail "the settings dialog was never drawn in one place"
screen_settled_within 30 "$work/windows-settings-merchant.png" || fail "the settings dialog never settled"
xdotool key shift+Tab Down
# The profile's values shown in the boxes: the screen changes, and settles again.
SCREEN_SEEN=""
wait_until 30 screen_settled_apart "$work/windows-settings-profile.png" "$work/windows-settings-merchant.png" ||
  fail "choosing the profile in the 配置 list changed nothing in the settings dialog"
xdotool key Return
wait_until 30 no_window '^设置$' || fail "保存 did not close the settings dialog"
click_button1 panel
gui_cycles "$work/gui-chooser.out" 3
[ "$(tr -d '\r' <"$work/gui-chooser.out" | grep -c 'curl_easy_perform failed')" = 1 ] ||
  fail "the cycle after choosing the profile did not reach the sandbox: $(cat "$work/gui-chooser.out")"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"
GUI_ENV=(env)
GUI_ARGS=()
cmp -s "$work/profiles.before" "$profiles" ||
  fail "saving the unchanged profile changed the file: $(diff "$work/profiles.before" "$profiles")"
echo "--profile sandbox, and the profile chosen in the settings dialog, each sent the window's cycle to the profile's address"
part_done

part "a fresh Windows: the silent install, then the installed sandbox and programs with nothing configured"
# A Wine prefix never used before stands for a fresh Windows machine, and a network
# namespace of its own (loopback only) for its network: the installed programs keep their
# default port, 8443, which other runs on this machine may hold. Wine's sockets belong to
# its wineserver, so every Wine process of the prefix runs in the namespace.
setup=$(ls "$win"/Quillmark-*-"$wine_setup"-setup.exe)
netns=quillmark-win-$$
ip netns add "$netns" || fail "cannot make a network namespace (root and iproute2 are needed)"
netns_run "$netns" ip link set lo up
fresh_prefix=$work/fresh-prefix
ns_run=(nsenter --net="/run/netns/$netns" -- env -u QUILLMARK_API_BASE -u QUILLMARK_CA_FILE -u QUILLMARK_QR_PATH
  QUILLMARK_WINEPREFIX="$fresh_prefix")
fresh_winpath() { WINEPREFIX=$fresh_prefix winepath -u "$1" 2>/dev/null; }
"${ns_run[@]}" "$wine_run" cmd /c exit 0  # the prefix made, outside the timed run
fresh_local=$("${ns_run[@]}" "$wine_run" cmd /c echo %LOCALAPPDATA% | tr -d '\r')
fresh_roaming=$("${ns_run[@]}" "$wine_run" cmd /c echo %APPDATA% | tr -d '\r')
installed=$(fresh_winpath "$fresh_local\\Programs\\Quillmark")
start_menu=$(fresh_winpath "$fresh_roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Quillmark")
mkdir -p "$work/installed-run"

install_start=$(date +%s%N)
"${ns_run[@]}" "$wine_run" "$setup" /S || fail "the silent install failed"
start_win_sandbox "$work/installed-sandbox.out" "${ns_run[@]}" "$wine_run" "$installed/quillmark-sandbox.exe"
(cd "$work/installed-run" && "${ns_run[@]}" "$wine_run" "$installed/quillmark-cycle.exe" \
  >"$work/installed.out") || fail "the installed quillmark-cycle.exe failed: $(cat "$work/installed.out")"
install_ms=$((($(date +%s%N) - install_start) / 1000000))
tr -d '\r' <"$work/installed.out" >"$work/installed.txt"
[ "$WIN_PORT" = 8443 ] && grep -q '^Every signed reply verified\.$' "$work/installed.txt" &&
  grep -q '^  api_base          https://127\.0\.0\.1:8443  (default)$' "$work/installed.txt" &&
  grep -q '^  ca_file           .*\\Quillmark\\sandbox\\ca\.pem  (default)$' "$work/installed.txt" ||
  fail "the installed pair's cycle, with default settings: $(cat "$work/installed.txt")"
[ -f "$work/installed-run/1.BMP" ] || fail "the installed program wrote no 1.BMP in its working folder"
for file in Quillmark.exe quillmark-cycle.exe quillmark-sandbox.exe Uninstall.exe; do
  [ -f "$installed/$file" ] || fail "the installer did not put $file in $installed"
done
for entry in Quillmark.lnk "Quillmark Sandbox.lnk"; do
  [ -f "$start_menu/$entry" ] || fail "no Start-menu entry $entry in $start_menu"
done
echo "from the silent install to a verified cycle of the installed programs, nothing configured: ${install_ms} ms"

# Quillmark.exe as a user meets it: started after the sandbox, Button1, the QR code.
start_gui_installed() {
  (cd "$work/installed-run" && "${ns_run[@]}" "$wine_run" "$installed/Quillmark.exe" >"$1" 2>&1) &
  GUI_PID=$!
  GUI_WINDOW=""
  wait_until 60 shown_window '^Quillmark$' && GUI_WINDOW=$SHOWN_WINDOW
  [ -n "$GUI_WINDOW" ] || fail "the installed Quillmark.exe showed no window: $(cat "$1")"
  window_ready_within 30 "$GUI_WINDOW" ||
    fail "the installed Quillmark.exe's window was never drawn in one place"
}
start_gui_installed "$work/installed-gui.out"
click_button1
wait_until "$cycle_seconds" lines_at_least "$work/installed-gui.out" trade_state 2 ||
  fail "the installed Quillmark.exe: no cycle after Button1: $(cat "$work/installed-gui.out")"
code_url=$(tr -d '\r' <"$work/installed-gui.out" | sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' | head -n 1)
[ -n "$code_url" ] && screen_settled_within 30 "$work/installed-gui.png" "$code_url" ||
  fail "the installed Quillmark.exe: its QR code reads '$(read_back "$work/installed-gui.png")', not the order's '$code_url': $(cat "$work/installed-gui.out")"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end the installed Quillmark.exe"
stop_win_sandbox "$work/installed-sandbox.out"
echo "the installed Quillmark.exe: Button1 ran a verified cycle against the installed sandbox; its QR code reads back"

# The LAN mode of the installed sandbox. The namespace has loopback only: with no address
# of its own to pick, it must say so; named, it serves its CA on the phone's page, and a
# client that trusts only what it downloaded there completes a cycle.
status=0
"${ns_run[@]}" "$wine_run" "$installed/quillmark-sandbox.exe" --lan --port 0 >"$work/no-lan.out" 2>&1 ||
  status=$?
[ "$status" = 1 ] && grep -q 'no network interface is up with a private IPv4 address' "$work/no-lan.out" ||
  fail "--lan without a LAN address (exit $status): $(cat "$work/no-lan.out")"
start_win_sandbox "$work/lan-sandbox.out" "${ns_run[@]}" "$wine_run" "$installed/quillmark-sandbox.exe" \
  --lan 127.0.0.1 --port 0 --no-notify --pay-after-queries 1
page=$(tr -d '\r' <"$work/lan-sandbox.out" | sed -nE 's/^quillmark-sandbox: on the phone, open (http:[^ ]*) first.*/\1/p')
[ -n "$page" ] || fail "the LAN mode named no page for the phone: $(cat "$work/lan-sandbox.out")"
type=$(netns_run "$netns" curl -sf -o "$work/lan-ca.der" -w '%{content_type}' "${page}quillmark-sandbox-ca.crt") ||
  fail "no CA at ${page}quillmark-sandbox-ca.crt"
[ "$type" = application/x-x509-ca-cert ] || fail "the CA is served as $type"
openssl x509 -inform DER -in "$work/lan-ca.der" -out "$work/lan-ca.pem"
printed=$(tr -d '\r' <"$work/lan-sandbox.out" | sed -nE "s/^quillmark-sandbox: the CA's SHA-256 fingerprint: (.*)/\1/p")
downloaded=$(openssl x509 -in "$work/lan-ca.pem" -noout -fingerprint -sha256 | cut -d= -f2)
own=$(openssl x509 -in "$(fresh_winpath "$fresh_local\\Quillmark\\sandbox\\ca.pem")" -noout -fingerprint -sha256 | cut -d= -f2)
[ -n "$printed" ] && [ "$printed" = "$downloaded" ] && [ "$downloaded" = "$own" ] ||
  fail "the CA's fingerprints differ: printed $printed, downloaded $downloaded, the per-user CA's $own"
(cd "$work/installed-run" && "${ns_run[@]}" QUILLMARK_API_BASE=https://127.0.0.1:$WIN_PORT \
  QUILLMARK_CA_FILE="$(windows_path "$work/lan-ca.pem")" "$wine_run" "$installed/quillmark-cycle.exe" \
  >"$work/lan-cycle.out") || fail "a cycle trusting the downloaded CA failed: $(cat "$work/lan-cycle.out")"
tr -d '\r' <"$work/lan-cycle.out" | grep -q '^Every signed reply verified\.$' ||
  fail "the cycle trusting the downloaded CA did not verify: $(cat "$work/lan-cycle.out")"
stop_win_sandbox "$work/lan-sandbox.out"
echo "the LAN mode on Windows: the phone's page serves the per-user CA (fingerprint as printed), which alone verifies a cycle"

# A user whose profile folder has a Chinese name: the per-user settings file and the
# sandbox's CA live under it.
profile=$work/张伟
mkdir -p "$profile/Roaming/Quillmark" "$profile/Local"
printf '[merchant]\nqr_path = %s\n' "$(windows_path "$profile/二维码.BMP")" >"$profile/Roaming/Quillmark/quillmark.ini"
reg=$work/profile.reg
{
  printf '\xff\xfe'
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Volatile Environment]\r\n"APPDATA"="%s"\r\n"LOCALAPPDATA"="%s"\r\n' \
    "$(windows_path "$profile/Roaming" | sed 's/\\/\\\\/g')" "$(windows_path "$profile/Local" | sed 's/\\/\\\\/g')" |
    iconv -f UTF-8 -t UTF-16LE
} >"$reg"
"${ns_run[@]}" "$wine_run" regedit "$(windows_path "$reg")" || fail "cannot set the Chinese profile folders"
start_win_sandbox "$work/zh-sandbox.out" "${ns_run[@]}" "${zh[@]}" "$wine_run" "$installed/quillmark-sandbox.exe"
(cd "$work/installed-run" && "${ns_run[@]}" "${zh[@]}" "$wine_run" "$installed/quillmark-cycle.exe" \
  >"$work/zh-profile.out") || fail "a cycle with a Chinese profile folder: $(iconv -f GBK -t UTF-8 <"$work/zh-profile.out")"
stop_win_sandbox "$work/zh-sandbox.out"
iconv -f GBK -t UTF-8 <"$work/zh-profile.out" | tr -d '\r' >"$work/zh-profile.txt"
grep -qxF "  qr_path           $(windows_path "$profile/二维码.BMP")  (file $(windows_path "$profile/Roaming/Quillmark/quillmark.ini"):2)" "$work/zh-profile.txt" &&
  grep -qxF "  ca_file           $(windows_path "$profile/Local/Quillmark/sandbox/ca.pem")  (default)" "$work/zh-profile.txt" &&
  grep -q '^Every signed reply verified\.$' "$work/zh-profile.txt" && [ -f "$profile/二维码.BMP" ] ||
  fail "with a Chinese profile folder: $(cat "$work/zh-profile.txt")"
echo "a profile folder named 张伟: its settings file read, the sandbox's CA made and trusted there, the bitmap written, all named in the summary"

# _?= runs the uninstaller in place, so that it has finished when it returns.
"${ns_run[@]}" "$wine_run" "$installed/Uninstall.exe" /S "_?=$fresh_local\\Programs\\Quillmark" ||
  fail "the silent uninstall failed"
for file in Quillmark.exe quillmark-cycle.exe quillmark-sandbox.exe; do
  [ ! -e "$installed/$file" ] || fail "the uninstaller left $file"
done
[ ! -e "$start_menu/Quillmark.lnk" ] && [ ! -e "$start_menu/Quillmark Sandbox.lnk" ] ||
  fail "the uninstaller left a Start-menu entry"
netns_run "$netns" env WINEPREFIX="$fresh_prefix" wineserver -k 2>/dev/null || true
fresh_prefix=""
ip netns del "$netns" && netns=""
part_done
