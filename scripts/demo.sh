#!/usr/bin/env bash
# One order cycle end to end against the local sandbox: installs what is missing, builds,
# starts quillmark-sandbox (which marks an order paid at its first query, so the two
# queries see NOTPAY then SUCCESS, and notifies the payment at once), runs quillmark-cycle
# listening for that notification, reads the QR bitmap back with zbarimg and checks that it
# holds the payment link, and stops the sandbox.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
cd "$root"
. scripts/lib/sandbox.sh

./scripts/install-deps.sh demo
echo "== Building (build/)"
# Only what a cycle needs; a build folder made before (by run-gui.sh, say) keeps its choices.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_BUILD_SHELL=OFF \
    -DQUILLMARK_BUILD_TESTS=OFF -DQUILLMARK_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target quillmark-sandbox quillmark-cycle quillmark_certs

run="$build/demo"
mkdir -p "$run"
rm -f "$run/1.BMP"
sandbox_log="$build/demo/sandbox.log"

echo "== Starting quillmark-sandbox on https://127.0.0.1:8443"
trap stop_sandbox EXIT
start_sandbox "$build" "$sandbox_log" --pay-after-queries 1

echo "== Running quillmark-cycle --await-notify 10 (in build/demo/)"
cd "$run"
# The notification comes to the cycle's own listener, on a free port of this machine: the
# requests carry the port it took.
export QUILLMARK_NOTIFY_URL=http://127.0.0.1:0/quillmark/notify
set +e
"$build/cli/quillmark-cycle" --await-notify 10 | tee cycle.out
status=${PIPESTATUS[0]}
set -e

echo
echo "== What the sandbox saw"
cat "$sandbox_log"

echo
echo "== Reading the bitmap back with zbarimg"
if [ ! -f 1.BMP ]; then
  echo "The cycle obtained no order (exit status $status): no bitmap to read." >&2
  exit 1
fi
code_url=$(grep -o '<code_url><!\[CDATA\[[^]]*' cycle.out | head -n1 | sed 's/.*CDATA\[//')
# The bitmap has no quiet zone, which readers need: decode a copy with a white border.
convert 1.BMP -bordercolor white -border 32 1-with-border.png
decoded=$(zbarimg --raw -q 1-with-border.png 2>/dev/null)
echo "bitmap:   $run/1.BMP"
echo "code_url: $code_url"
echo "decoded:  $decoded"
if [ -n "$code_url" ] && [ "$decoded" = "$code_url" ]; then
  echo "The bitmap holds the payment link."
else
  echo "The bitmap does not hold the payment link." >&2
  exit 1
fi
echo
if [ "$status" -ne 0 ]; then
  echo "The cycle ended with status $status (4: no verified notification arrived)." >&2
  exit 1
fi
echo "The order's payment notification reached quillmark-cycle and verified."
