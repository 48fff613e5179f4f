#!/usr/bin/env bash
# The Windows programs under Wine, against the Linux sandbox:
#   1. the core tests of the Windows build (CTest, through scripts/lib/wine-run.sh);
#   2. quillmark-cycle.exe runs a whole cycle, and its output matches the Linux
#      quillmark-cycle's line for line, ids, nonces and signs aside; both refuse a server
#      certificate over a 1024-bit key, and the Windows one a device (the prefix's COM5,
#      backed by a file) as the bitmap;
#   3. Quillmark.exe under Xvfb: Button1 runs a cycle and the QR code on the screen reads
#      back as the order's code_url; Esc during a stalled request ends it within 1 s;
#   4. the installer installs silently and the installed quillmark-cycle.exe runs a cycle.
# Each part prints how long it took.
#   usage: test-windows.sh [LINUX_BUILD]   (default build/werror; it must hold
#          quillmark-sandbox and quillmark-cycle)
# scripts/build-windows.sh builds build/windows first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
linux=$(realpath "${1:-build/werror}")
win=$root/build/windows
wine_run=$root/scripts/lib/wine-run.sh
. "$root/scripts/lib/sandbox.sh"

# QUILLMARK_KEEP_WINDOWS_TEST=DIR keeps the outputs and screenshots there.
keep=${QUILLMARK_KEEP_WINDOWS_TEST:-}
if [ -n "$keep" ]; then
  work=$(realpath -m "$keep") && mkdir -p "$work"
else
  work=$(mktemp -d)
fi
xvfb_pid=""
device_link=""  # the prefix's COM5 while a part has it mapped
cleanup() {
  stop_sandbox
  if [ -n "$device_link" ]; then rm -f "$device_link"; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  if [ -z "$keep" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

part_start=0
part() { part_start=$SECONDS; printf '\n== Windows, under Wine: %s\n' "$*"; }
part_done() { echo "-- took $((SECONDS - part_start)) s"; }
fail() { echo "test-windows: $*" >&2; exit 1; }

# A sandbox on a free port; sets PORT. Options go to quillmark-sandbox.
sandbox_on_free_port() {
  stop_sandbox
  rm -f "$work/sandbox.log"  # a kept folder's last log would look like a started sandbox
  start_sandbox "$linux" "$work/sandbox.log" --port 0 --state :memory: --no-notify "$@"
  PORT=$(sed -nE 's/.*listening on https:\/\/127\.0\.0\.1:([0-9]+).*/\1/p' "$work/sandbox.log" | head -n 1)
  [ -n "$PORT" ] || fail "no port in the sandbox's output: $(cat "$work/sandbox.log")"
}

# The client settings for the sandbox on $PORT, for Linux and Windows programs alike: Wine
# hands the environment on, and takes Z:\ as the Linux root.
client_environment() {
  export QUILLMARK_API_BASE=https://127.0.0.1:$PORT
  export QUILLMARK_CA_FILE_LINUX=$linux/certs/ca.pem
  export QUILLMARK_CA_FILE_WINDOWS="Z:${QUILLMARK_CA_FILE_LINUX//\//\\}"
}

# One display for every Wine process of the run: they share one wineserver, whose desktop
# takes the display of the first program that starts.
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")

part "core tests (known answers, GBK by the Windows API, bitmap bytes, reply fields)"
file "$win/shell/win32/Quillmark.exe" | grep -q 'PE32 executable (GUI) Intel 80386' ||
  fail "Quillmark.exe is not a 32-bit GUI program: $(file "$win/shell/win32/Quillmark.exe")"
file "$win/cli/quillmark-cycle.exe" | grep -q 'PE32 executable (console) Intel 80386' ||
  fail "quillmark-cycle.exe is not a 32-bit console program"
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
prefix=${QUILLMARK_WINEPREFIX:-$root/build/wine-prefix}
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

part "Quillmark.exe under Xvfb: Button1 and the QR code on the screen, Esc during a stalled request"

# start_gui OUT: starts Quillmark.exe, sets GUI_PID and GUI_WINDOW once the main dialog shows.
start_gui() {
  QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS QUILLMARK_QR_PATH="Z:${work//\//\\}\\gui.BMP" \
    "$wine_run" "$win/shell/win32/Quillmark.exe" >"$1" 2>&1 &
  GUI_PID=$!
  GUI_WINDOW=$(timeout 60 xdotool search --sync --onlyvisible --name '^Quillmark$' | head -n 1 ||
    true)
  [ -n "$GUI_WINDOW" ] || fail "Quillmark.exe showed no window: $(cat "$1")"
  sleep 0.5
}

# Clicks Button1: its centre is at (32, 186) of the 320 x 200 dialog units, and the window's
# frame is thin enough for the proportion to land on it. A click also gives the window the
# keyboard, for the Esc that follows.
click_button1() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$GUI_WINDOW")"
  xdotool mousemove $((X + 32 * WIDTH / 320)) $((Y + 186 * HEIGHT / 200)) click 1
}

sandbox_on_free_port --pay-after-queries 1
client_environment
start_gui "$work/gui.out"
click_button1
for _ in $(seq 300); do
  [ "$(grep -c 'trade_state' "$work/gui.out" || true)" -ge 2 ] && break
  sleep 0.1
done
[ "$(grep -c 'trade_state' "$work/gui.out" || true)" -ge 2 ] ||
  fail "no cycle after Button1: $(cat "$work/gui.out")"
sleep 1  # the panel's last repaint
import -window root "$work/windows-cycle.png"
code_url=$(tr -d '\r' <"$work/gui.out" | sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' | head -n 1)
read_back=$(zbarimg --raw -q "$work/windows-cycle.png" 2>/dev/null || true)
[ -n "$code_url" ] && [ "$read_back" = "$code_url" ] ||
  fail "the QR code on the screen reads '$read_back', not the order's '$code_url'"
echo "the QR code in the window reads back as $code_url"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe"

sandbox_on_free_port --fault stall
client_environment
start_gui "$work/gui-stall.out"
click_button1
sleep 2  # the unified order is in flight, and the sandbox will never answer it
import -window root "$work/windows-stalled.png"
xdotool windowfocus "$GUI_WINDOW" 2>/dev/null || true
start=$(date +%s%N)
xdotool key Escape
timeout 10 tail --pid="$GUI_PID" -f /dev/null || fail "Esc did not end Quillmark.exe during a stall"
esc_ms=$((($(date +%s%N) - start) / 1000000))
echo "Esc during the stalled request: Quillmark.exe ended after ${esc_ms} ms"
[ "$esc_ms" -le 1000 ] || fail "Quillmark.exe took ${esc_ms} ms to end, more than 1 s"
tr -d '\r' <"$work/gui-stall.out" | grep -q 'RetCode:42' ||
  fail "the stalled request was not aborted: $(cat "$work/gui-stall.out")"
part_done

part "the installer: a silent install, a cycle of the installed quillmark-cycle.exe, a silent uninstall"
setup=$(ls "$win"/Quillmark-*-win32-setup.exe)
"$wine_run" "$setup" /S || fail "the silent install failed"
local_app_data=$("$wine_run" cmd /c echo %LOCALAPPDATA% | tr -d '\r')
installed=$(WINEPREFIX=${QUILLMARK_WINEPREFIX:-$root/build/wine-prefix} winepath -u "$local_app_data\\Programs\\Quillmark" 2>/dev/null)
for file in Quillmark.exe quillmark-cycle.exe Uninstall.exe; do
  [ -f "$installed/$file" ] || fail "the installer did not put $file in $installed"
done
start_menu=$(WINEPREFIX=${QUILLMARK_WINEPREFIX:-$root/build/wine-prefix} winepath -u \
  "$("$wine_run" cmd /c echo %APPDATA% | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs\\Quillmark" 2>/dev/null)
[ -f "$start_menu/Quillmark.lnk" ] || fail "no Start-menu entry in $start_menu"
sandbox_on_free_port --pay-after-queries 1
client_environment
mkdir -p "$work/installed-run"
(cd "$work/installed-run" &&
  QUILLMARK_CA_FILE=$QUILLMARK_CA_FILE_WINDOWS "$wine_run" "$installed/quillmark-cycle.exe" \
    >"$work/installed.out") || fail "the installed quillmark-cycle.exe failed: $(cat "$work/installed.out")"
tr -d '\r' <"$work/installed.out" | grep -q '^Every signed reply verified\.$' ||
  fail "the installed program's cycle did not verify: $(cat "$work/installed.out")"
[ -f "$work/installed-run/1.BMP" ] || fail "the installed program wrote no 1.BMP in its working folder"
echo "installed in $local_app_data\\Programs\\Quillmark; its cycle verified and wrote 1.BMP"
# _?= runs the uninstaller in place, so that it has finished when it returns.
"$wine_run" "$installed/Uninstall.exe" /S "_?=$local_app_data\\Programs\\Quillmark" ||
  fail "the silent uninstall failed"
[ ! -e "$installed/Quillmark.exe" ] && [ ! -e "$start_menu/Quillmark.lnk" ] ||
  fail "the uninstaller left the programs or the Start-menu entry"
rm -f "$installed/Uninstall.exe" && rmdir "$installed" 2>/dev/null || true
part_done
