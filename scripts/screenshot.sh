#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/ from the real program: main-dialog.png, the
# dialog as it opens; system-menu.png, the popup that stands in for the system menu,
# opened by a right click; about-box.png, the About box that its About entry (chosen
# by its accelerator A) opens; settings-qt.png, the settings dialog its 设置 entry opens;
# and cycle.png, the dialog after a click on Button1 has run one order cycle against a
# local quillmark-sandbox. The QR code in cycle.png is read back with zbarimg and must be
# the order's payment link; cycle-declined.png, the dialog after a second cycle with the
# 场景 row set to 拒绝支付, whose queries say the payment failed; cycle-paying.png and
# cycle-refund-processing.png, with 支付中 (the polls through USERPAYING) and 退款处理中 (the
# refund and its queries); and cycle-system-error-once.png, the program started with
# --scenario system-error-once after its first Button1 (the order resent).
# Runs on a private Xvfb display driven by xdotool, so it needs no desktop and leaves
# any desktop alone. Installs what is missing and builds quillmark if needed.
#
# The display has no window manager, so the images show the windows' contents without a
# title bar. Set BUILD_DIR to use a build directory other than build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${BUILD_DIR:-$root/build}")
out="$root/docs/screenshots"

# The part that runs on the virtual display, started below through xvfb-run.
if [ "${1:-}" = "--on-xvfb" ]; then
  program="$build/shell/quillmark"
  work=$(mktemp -d)
  . "$root/scripts/lib/sandbox.sh"
  start_sandbox "$build" "$work/sandbox.log" --pay-after-queries 1
  # Harmless for a build without sanitizers; with them, hides a leak inside libdbus.
  (cd "$work" && LSAN_OPTIONS="suppressions=$root/tests/shell/lsan-x11.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    exec "$program" >"$work/quillmark.out" 2>&1) &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; stop_sandbox; rm -rf "$work"' EXIT

  # Waits for a visible window titled exactly $1 and prints its id.
  window() {
    timeout 10 xdotool search --sync --onlyvisible --name "^$1\$" | head -n1
  }
  # Writes window $1 to $2 without the PNG time stamps, so unchanged pictures stay
  # byte-identical between runs.
  shoot() {
    import -window "$1" png:- | convert png:- -strip -define png:exclude-chunks=date,time "$2"
  }

  main=$(window Quillmark) || { echo "quillmark showed no window:" >&2; cat "$work/quillmark.out" >&2; exit 1; }
  # Mapped is not yet painted; there is no event for that from outside the program.
  sleep 1
  shoot "$main" "$out/main-dialog.png"

  xdotool mousemove --window "$main" 160 120 click 3
  sleep 0.5
  # The popup is a window of its own: take the screen over the dialog's area.
  eval "$(xdotool getwindowgeometry --shell "$main")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" png:- |
    convert png:- +repage -strip -define png:exclude-chunks=date,time "$out/system-menu.png"
  xdotool key a
  about=$(window '关于 Quillmark') || { echo "the About box did not open" >&2; exit 1; }
  sleep 1
  shoot "$about" "$out/about-box.png"

  xdotool windowfocus "$about" key Escape
  sleep 0.5

  # The settings dialog, by the popup's 设置 entry (accelerator O).
  xdotool mousemove --window "$main" 160 120 click 3
  sleep 0.5
  xdotool key o
  settings=$(window 设置) || { echo "the settings dialog did not open" >&2; exit 1; }
  sleep 1
  shoot "$settings" "$out/settings-qt.png"
  xdotool windowfocus "$settings" key Escape
  sleep 0.5

  # Button1, found from the template's size: the dialog is 320 x 200 dialog units and
  # Button1's centre is at (32, 186).
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove --window "$main" $((32 * WIDTH / 320)) $((186 * HEIGHT / 200)) click 1
  # The cycle is over when both queries have answered: six lines on standard output.
  for _ in $(seq 100); do
    [ "$(wc -l <"$work/quillmark.out")" -ge 6 ] && break
    sleep 0.1
  done
  sleep 1
  shoot "$main" "$out/cycle.png"
  code_url=$(sed -n 's/.*<code_url><!\[CDATA\[\([^]]*\)\]\]>.*/\1/p' "$work/quillmark.out")
  seen=$(zbarimg --raw -q -Sdisable -Sqrcode.enable "$out/cycle.png" 2>/dev/null || true)
  if [ -z "$code_url" ] || [ "$seen" != "$code_url" ]; then
    echo "the QR code on screen is not the payment link: read '$seen', expected '$code_url'" >&2
    cat "$work/quillmark.out" >&2
    exit 1
  fi
  echo "The QR code on screen reads $seen"

  # choose_and_cycle DOWNS LINES PNG: the 场景 row moved DOWNS entries on (the dialog is
  # 520 x 392 dialog units now and the row's drop-down list is centred at (122, 13)), then
  # Button1, then PNG once the cycle has written LINES more lines.
  choose_and_cycle() {
    eval "$(xdotool getwindowgeometry --shell "$main")"
    xdotool mousemove --window "$main" $((122 * WIDTH / 520)) $((13 * HEIGHT / 392)) click 1
    sleep 0.5
    for _ in $(seq "$1"); do xdotool key Down; done
    xdotool key Return
    sleep 0.5
    local lines
    lines=$(wc -l <"$work/quillmark.out")
    xdotool mousemove --window "$main" $((32 * WIDTH / 520)) $((186 * HEIGHT / 392)) click 1
    for _ in $(seq 150); do
      [ "$(wc -l <"$work/quillmark.out")" -ge $((lines + $2)) ] && break
      sleep 0.1
    done
    sleep 1
    shoot "$main" "$out/$3"
  }

  # Its second entry is 拒绝支付.
  choose_and_cycle 1 6 cycle-declined.png
  if ! grep -q '<total_fee>4001</total_fee>\|PAYERROR' "$work/quillmark.out"; then
    echo "the second cycle did not play the declined scenario:" >&2
    cat "$work/quillmark.out" >&2
    exit 1
  fi
  # 支付中, the next entry: the second query and two more polls say USERPAYING, the fourth
  # SUCCESS, as quillmark-cycle --scenario paying plays it.
  choose_and_cycle 1 10 cycle-paying.png
  # 退款处理中, five entries on: the payment, then the refund and its two queries.
  choose_and_cycle 5 12 cycle-refund-processing.png
  if ! grep -q 'PROCESSING' "$work/quillmark.out"; then
    echo "the refund scenario's refund query did not say PROCESSING:" >&2
    cat "$work/quillmark.out" >&2
    exit 1
  fi

  # Esc ends the program, which must exit with status 0.
  xdotool windowfocus "$main" key Escape
  status=0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "quillmark exited with status $status after Esc" >&2
    exit 1
  fi

  # Started with --scenario system-error-once, the row says so before any cycle, and the
  # first Button1 resends the order that answered SYSTEMERROR.
  (cd "$work" && LSAN_OPTIONS="suppressions=$root/tests/shell/lsan-x11.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    exec "$program" --scenario system-error-once >"$work/quillmark.out" 2>&1) &
  pid=$!
  main=$(window Quillmark) || { echo "quillmark showed no window:" >&2; cat "$work/quillmark.out" >&2; exit 1; }
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove --window "$main" $((32 * WIDTH / 320)) $((186 * HEIGHT / 200)) click 1
  for _ in $(seq 150); do
    [ "$(wc -l <"$work/quillmark.out")" -ge 8 ] && break
    sleep 0.1
  done
  sleep 1
  shoot "$main" "$out/cycle-system-error-once.png"
  if [ "$(grep -c 'SYSTEMERROR' "$work/quillmark.out")" -ne 1 ]; then
    echo "the first cycle did not resend the order that answered SYSTEMERROR:" >&2
    cat "$work/quillmark.out" >&2
    exit 1
  fi
  xdotool windowfocus "$main" key Escape
  status=0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { echo "quillmark exited with status $status after Esc" >&2; exit 1; }
  exit 0
fi

cd "$root"
./scripts/install-deps.sh screenshots
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
# The desktop program may have been left out of an existing build (the demo's): ask for it.
cmake -S . -B "$build" "${generator[@]}" -DQUILLMARK_BUILD_SHELL=ON >/dev/null
cmake --build "$build" --target quillmark quillmark-sandbox quillmark_certs
mkdir -p "$out"
BUILD_DIR="$build" xvfb-run -a -s "-screen 0 1024x768x24" "$0" --on-xvfb
echo "Wrote main-dialog.png, system-menu.png, about-box.png, settings-qt.png, cycle.png, cycle-declined.png, cycle-paying.png, cycle-refund-processing.png and cycle-system-error-once.png in $out"
