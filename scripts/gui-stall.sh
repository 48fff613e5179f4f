#!/usr/bin/env bash
# Measures the desktop program against a platform that accepts the request and never
# answers: under a private Xvfb display it starts quillmark-sandbox with --fault stall,
# clicks Button1 in the real quillmark, takes a screenshot during the stall
# (build/gui-stall/stalled.png: the window must have repainted, with the busy row), then
# presses Esc and prints how long the program took to exit.
#
#   ./scripts/gui-stall.sh [BUILD_DIR]     (default build/werror; port 8443 must be free)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/werror}")

if [ "${2:-}" = "--on-xvfb" ]; then
  work="$build/gui-stall"
  . "$root/scripts/lib/sandbox.sh"
  start_sandbox "$build" "$work/sandbox.log" --fault stall
  (cd "$work" && exec "$build/shell/quillmark" >"$work/quillmark.out" 2>&1) &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true; stop_sandbox' EXIT
  main=$(timeout 10 xdotool search --sync --onlyvisible --name '^Quillmark$' | head -n1)
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$main")"
  xdotool mousemove --window "$main" $((32 * WIDTH / 320)) $((186 * HEIGHT / 200)) click 1
  sleep 2
  import -window "$main" png:- | convert png:- -strip "$work/stalled.png"
  start=$(date +%s%N)
  xdotool windowfocus "$main" key Escape
  while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
  end=$(date +%s%N)
  status=0
  wait "$pid" || status=$?
  echo "Esc during the stalled request: quillmark exited with status $status after" \
    "$(( (end - start) / 1000000 )) ms"
  tail -n 2 "$work/quillmark.out"
  exit 0
fi

cd "$root"
./scripts/install-deps.sh screenshots
cmake --build "$build" --target quillmark quillmark-sandbox quillmark_certs >/dev/null
mkdir -p "$build/gui-stall"
xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" --on-xvfb
