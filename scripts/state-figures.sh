#!/usr/bin/env bash
# Measures what the state file costs, for the "State file" section of bench/README.md: two
# quillmark-sandbox processes side by side on free ports, one keeping its state in a file
# (--state FILE), one in memory (--state :memory:), under the same load at the same time:
#   - wrk sending one signed order query over and over, 3 rounds of 8 s at 16 and at 64
#     connections, the two sandboxes taking turns within each round;
#   - quillmark-load placing 50 000 unified orders over kept-alive connections (8 workers),
#     reading each sandbox's resident memory as they pile up;
#   - the state file's size after that, and per order, read with sqlite3's dbstat.
# Both sandboxes are stopped at the end, also on an error or Ctrl+C.
#
#   scripts/state-figures.sh BUILD_DIR
#
# BUILD_DIR is configured by the caller; a Release build gives the figures worth keeping:
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
#   scripts/state-figures.sh build/release
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
for tool in wrk sqlite3; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is not installed (scripts/install-deps.sh bench)." >&2
    exit 2
  fi
done

# shellcheck source=scripts/lib/sandbox.sh
. "$root/scripts/lib/sandbox.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "${QUILLMARK_SCRIPT_CONFIG_HOME:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! cmake --build "$build" --target quillmark-sandbox quillmark-load -- -j2 \
    >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi
sandbox=$build/sandbox/quillmark-sandbox
load=$build/bench/quillmark-load
ulimit -n "$(ulimit -Hn)"
use_build_defaults

# launch NAME [options...]: a sandbox on a free port with its output in $work/NAME.log;
# sets URL_<NAME>, PID_<NAME> and CA.
launch() {
  local name=$1 log=$work/$1.log url=""
  shift
  "$sandbox" --port 0 --no-notify "$@" >"$log" 2>&1 &
  pids+=($!)
  printf -v "PID_$name" '%s' $!
  for _ in $(seq 200); do
    url=$(sed -n 's|^quillmark-sandbox listening on \(https://[^ ]*\).*|\1|p' "$log")
    CA=$(sed -n 's|^quillmark-sandbox: its certificate is issued by the CA in ||p' "$log")
    if [ -n "$url" ] && [ -n "$CA" ]; then
      printf -v "URL_$name" '%s' "$url"
      return 0
    fi
    sleep 0.05
  done
  cat "$log" >&2
  exit 1
}

# figure KEY FILE: the value of KEY=... on the "*-figures" line in FILE, "?" if none.
figure() {
  local value
  value=$(sed -n "s/^[a-z]*-figures .*\<$1=\([^ ]*\).*/\1/p" "$2" | tail -n 1)
  echo "${value:-?}"
}

# median VALUES...: the middle one (of an odd count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

state=$work/state.db
launch file --state "$state"
launch memory --state :memory:
echo "== state-figures on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)," \
  "$(git -C "$root" describe --always --dirty 2>/dev/null || echo 'not a git checkout')"
echo "== file:   $URL_file (--state $state, PID $PID_file)"
echo "== memory: $URL_memory (--state :memory:, PID $PID_memory)"

"$load" --url "$URL_file" --cacert "$CA" --wrk-body "$work/query-file.xml" >/dev/null
"$load" --url "$URL_memory" --cacert "$CA" --wrk-body "$work/query-memory.xml" >/dev/null
rows=()
for c in 16 64; do
  declare -a file_rps=() memory_rps=()
  for round in 1 2 3; do
    for name in file memory; do
      url_var=URL_$name
      QUILLMARK_WRK_BODY=$work/query-$name.xml wrk -t2 "-c$c" -d8s \
        -s "$root/bench/wrk/orderquery.lua" "${!url_var}/pay/orderquery" >"$work/wrk.txt" 2>&1
      rps=$(figure rps "$work/wrk.txt")
      echo "wrk $c connections, round $round, $name: $rps req/s, p50 $(figure p50_ms "$work/wrk.txt")" \
        "ms, p99 $(figure p99_ms "$work/wrk.txt") ms, $(figure other "$work/wrk.txt") not SUCCESS," \
        "$(figure socket_errors "$work/wrk.txt") socket errors"
      if [ "$name" = file ]; then file_rps+=("$rps"); else memory_rps+=("$rps"); fi
    done
  done
  f=$(median "${file_rps[@]}")
  m=$(median "${memory_rps[@]}")
  rows+=("| wrk signed order queries, $c connections (median of 3 rounds) | $f req/s | $m req/s | $(awk -v f="$f" -v m="$m" 'BEGIN { printf "%.2f", f / m }') |")
done

for name in file memory; do
  url_var=URL_$name
  pid_var=PID_$name
  "$load" --url "${!url_var}" --cacert "$CA" --sandbox-pid "${!pid_var}" --orders 50000 \
    --keep-alive --workers 8 --seconds 300 >"$work/orders-$name.txt" 2>&1 || true
  sed 's/^/  /' "$work/orders-$name.txt"
done
of=$(figure orders "$work/orders-file.txt")
sf=$(figure seconds "$work/orders-file.txt")
om=$(figure orders "$work/orders-memory.txt")
sm=$(figure seconds "$work/orders-memory.txt")
rf=$(awk -v o="$of" -v s="$sf" 'BEGIN { printf "%.0f", o / s }')
rm_=$(awk -v o="$om" -v s="$sm" 'BEGIN { printf "%.0f", o / s }')
rows+=("| unified orders over 8 kept-alive connections | $rf orders/s | $rm_ orders/s | $(awk -v f="$rf" -v m="$rm_" 'BEGIN { printf "%.2f", f / m }') |")
rows+=("| VmRSS over 50 000 orders | $(figure before_kib "$work/orders-file.txt") → $(figure after_kib "$work/orders-file.txt") KiB, $(figure bytes_per_order "$work/orders-file.txt") bytes per order | $(figure before_kib "$work/orders-memory.txt") → $(figure after_kib "$work/orders-memory.txt") KiB, $(figure bytes_per_order "$work/orders-memory.txt") bytes per order | |")

# Stopped, the file sandbox copies its log into the file: the sizes are then the file's own.
kill "$PID_file"
wait "$PID_file" 2>/dev/null || true
sizes=$(sqlite3 "$state" "SELECT name, sum(pgsize) FROM dbstat GROUP BY name;")
orders=$(sqlite3 "$state" "SELECT count(*) FROM orders;")
requests=$(sqlite3 "$state" "SELECT count(*) FROM requests;")
bytes=$(stat -c %s "$state")
echo "== $state: $bytes bytes, $orders orders, $requests requests in the journal"
echo "$sizes" | sed 's/^/  /'
order_bytes=$(echo "$sizes" | awk -F'|' '$1 == "orders" || $1 == "sqlite_autoindex_orders_1" { s += $2 } END { print s }')
journal_bytes=$(echo "$sizes" | awk -F'|' '$1 == "requests" || $1 == "requests_by_order" { s += $2 } END { print s }')
rows+=("| state file after the run | $((bytes / 1024)) KiB: orders $((order_bytes / orders)) bytes each ($orders), journal $((journal_bytes / (requests > 0 ? requests : 1))) bytes a request ($requests) | | |")

echo
echo "== Figures ($(date -u +%Y-%m-%d), load average now $(cut -d' ' -f1-3 /proc/loadavg)): rows for bench/README.md"
echo
echo "| measurement | --state FILE | --state :memory: | ratio |"
echo "|---|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
