#!/usr/bin/env bash
# Runs the desktop program against the local sandbox, for trying it by hand: installs
# what is missing, builds quillmark and quillmark-sandbox if needed, starts the sandbox
# (which marks an order paid at its first query, so the two queries of a cycle see NOTPAY
# then SUCCESS), runs quillmark in build/gui/ and stops the sandbox when the dialog is
# closed. Each click on Button1 shows its outcome and QR code in the window, prints its
# requests and replies here as well, and writes build/gui/1.BMP.
#
# The build must talk to the sandbox, as the default configuration does
# (QUILLMARK_API_BASE=https://127.0.0.1:8443). The program runs with the build's default
# settings whatever is configured for real use; what its settings dialog saves lasts for
# this run only. Set BUILD_DIR to use a build directory
# other than build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run-gui.sh: there is no display to show the window on (DISPLAY and WAYLAND_DISPLAY" >&2
  echo "are unset). Run it from a desktop session, or see the program headless with" >&2
  echo "scripts/screenshot.sh, which writes docs/screenshots/*.png." >&2
  exit 1
fi

cd "$root"
. scripts/lib/sandbox.sh
./scripts/install-deps.sh gui
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
# The desktop program may have been left out of an existing build: ask for it.
cmake -S . -B "$build" "${generator[@]}" -DQUILLMARK_BUILD_SHELL=ON >/dev/null
cmake --build "$build" --target quillmark quillmark-sandbox quillmark_certs

run="$build/gui"
mkdir -p "$run"
sandbox_log="$run/sandbox.log"
trap stop_sandbox EXIT
start_sandbox "$build" "$sandbox_log" --pay-after-queries 1

echo "== quillmark-sandbox is on https://127.0.0.1:8443; its log: $sandbox_log"
echo "== Running quillmark in $run: click Button1 for an order cycle, OK or Cancel to end."
cd "$run"
status=0
"$build/shell/quillmark" || status=$?
echo
echo "== quillmark exited with status $status. The last QR bitmap, if any: $run/1.BMP"
exit "$status"
