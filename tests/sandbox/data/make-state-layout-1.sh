#!/bin/sh
# Remakes state-layout-1.db: a state file as a sandbox of layout 1 writes it, holding an
# order in each state, the journal of their requests (a refused sign among them) and their
# notification attempts, one acknowledged and one still due.
#
#   tests/sandbox/data/make-state-layout-1.sh SANDBOX CYCLE OUT
#
# SANDBOX and CYCLE are the quillmark-sandbox and quillmark-cycle programs of a build of the
# release whose layout the file is to have; OUT is the file to make (replaced).
set -eu
[ $# -eq 3 ] || { echo "usage: $0 SANDBOX CYCLE OUT" >&2; exit 2; }
sandbox=$1
cycle=$2
out=$3

work=$(mktemp -d)
pid=""
finish() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# Nothing of the user's settings: the build's made-up merchant, a home of our own.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
export QUILLMARK_QR_PATH="$work/1.BMP"
# Nobody answers on the discard port: the first attempt fails and the next stays due.
unanswered=http://127.0.0.1:9/quillmark/notify

start() {
  "$sandbox" --state "$out" --port 0 --notify-delays 600 "$@" >"$work/sandbox.log" 2>&1 &
  pid=$!
  port=""
  for _ in $(seq 50); do
    port=$(sed -n 's|.*listening on https://127.0.0.1:\([0-9]*\).*|\1|p' "$work/sandbox.log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/sandbox.log" >&2; exit 1; }
  export QUILLMARK_API_BASE="https://127.0.0.1:$port"
}

stop() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=""
}

# The order number a cycle placed, from its summary.
placed() {
  sed -n 's/^Order number: *\([0-9A-Za-z]*\).*/\1/p' "$work/cycle.log"
}

cycle_once() {
  "$@" >"$work/cycle.log" 2>&1 || true
  placed
}

rm -f "$out" "$out-wal" "$out-shm"

# Paid at an order's third query: a cycle's two leave it placed.
start --pay-after-queries 3
cycle_once "$cycle" >/dev/null                       # placed
closed=$(cycle_once "$cycle")
"$cycle" close "$closed" >/dev/null                 # closed
due=$(QUILLMARK_NOTIFY_URL=$unanswered cycle_once "$cycle")
"$cycle" query "$due" >/dev/null                    # paid, its notification due
# A request under another key: refused, with the sign strings in the journal.
QUILLMARK_API_KEY=ZYXWVUTSRQPONMLKJIHGFEDCBA987654 "$cycle" >/dev/null 2>&1 || true
# Let the notifier make its first attempt before the sandbox stops.
sleep 2
stop

# Paid at the first query, notified to the runner that acknowledges it, then refunded.
listen=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start --pay-after-queries 1
refunded=$(QUILLMARK_NOTIFY_URL="http://127.0.0.1:$listen/quillmark/notify" \
  cycle_once "$cycle" --await-notify 10)
"$cycle" refund "$refunded" >/dev/null              # refunded
stop

echo "$out: $(wc -c <"$out") bytes"
