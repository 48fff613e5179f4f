#!/usr/bin/env bash
# Measures the sandbox under load, for the "Load and keep-alive" section of bench/README.md:
#   - wrk sending one signed order query over and over (8 s each; 4, 16, 64 and 256
#     connections; 2 threads), with bench/wrk/orderquery.lua;
#   - quillmark-load, 8 workers x 500 cycles, a new connection per request, then keep-alive;
#   - quillmark-idle-bench: a new client's latency among 500 idle connections;
#   - the sandbox's resident memory over 100 000 orders, and again with --max-orders 10000
#     where the sandbox takes that option.
# The throughput runs, the idle probe and each memory run get a quillmark-sandbox of their
# own, started on a free port and stopped afterwards (and on any exit). The output ends
# with the figures as table rows to paste.
#
#   scripts/load-figures.sh BUILD_DIR
#
# BUILD_DIR is configured by the caller; a Release build gives the figures worth keeping:
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
#   scripts/load-figures.sh build/release
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
if grep -q '^QUILLMARK_BUILD_BENCH:BOOL=OFF' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$build was configured with QUILLMARK_BUILD_BENCH=OFF: no load programs there." >&2
  exit 2
fi
if ! command -v wrk >/dev/null; then
  echo "wrk is not installed (Debian package wrk)." >&2
  exit 2
fi

# shellcheck source=scripts/lib/sandbox.sh
. "$root/scripts/lib/sandbox.sh"

work=$(mktemp -d)
SANDBOX_PID=""
end_sandbox() {
  if [ -z "$SANDBOX_PID" ]; then return 0; fi
  kill "$SANDBOX_PID" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$SANDBOX_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$SANDBOX_PID" 2>/dev/null || true
  wait "$SANDBOX_PID" 2>/dev/null || true
  SANDBOX_PID=""
}
cleanup() {
  end_sandbox
  rm -rf "$work" "${QUILLMARK_SCRIPT_CONFIG_HOME:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! cmake --build "$build" --target quillmark-sandbox quillmark-load quillmark-idle-bench \
    -- -j2 >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi
sandbox=$build/sandbox/quillmark-sandbox
load=$build/bench/quillmark-load
idle=$build/bench/quillmark-idle-bench

# Hundreds of connections at once: the sandbox and the probes inherit this limit.
ulimit -n "$(ulimit -Hn)"
# The build's default merchant on both sides, whatever the user has configured.
use_build_defaults

# launch_sandbox NAME [options...]: starts the sandbox on a free port with its output in
# $work/NAME.log; sets SANDBOX_PID, SANDBOX_URL and SANDBOX_CA. Returns 1, the sandbox
# stopped, when it does not come up within 10 s.
launch_sandbox() {
  local log=$work/$1.log
  shift
  # A state file of its own: the default one would carry one run's orders into the next.
  "$sandbox" --port 0 --state "$work/$(basename "$log" .log).db" "$@" >"$log" 2>&1 &
  SANDBOX_PID=$!
  SANDBOX_URL=""
  SANDBOX_CA=""
  for _ in $(seq 200); do
    SANDBOX_URL=$(sed -n 's|^quillmark-sandbox listening on \(https://[^ ]*\).*|\1|p' "$log")
    SANDBOX_CA=$(sed -n 's|^quillmark-sandbox: its certificate is issued by the CA in ||p' "$log")
    if [ -n "$SANDBOX_URL" ] && [ -n "$SANDBOX_CA" ]; then return 0; fi
    kill -0 "$SANDBOX_PID" 2>/dev/null || break
    sleep 0.05
  done
  end_sandbox
  return 1
}

# measure OUTPUT COMMAND...: shows the command, runs it with its output also kept in
# OUTPUT; a failing command is reported and the script goes on.
measure() {
  local output=$1
  shift
  echo "\$ $*"
  "$@" 2>&1 | tee "$output" || echo "(exit status ${PIPESTATUS[0]})"
}

# figure KEY FILE: the value of KEY=... on the "*-figures" line in FILE, "?" if none.
figure() {
  local value
  value=$(sed -n "s/^[a-z]*-figures .*\<$1=\([^ ]*\).*/\1/p" "$2" | tail -n 1)
  echo "${value:-?}"
}

# section TITLE: a heading with the load average, since other work on the machine shows
# in every figure.
section() {
  echo "== $1 (load average $(cut -d' ' -f1-3 /proc/loadavg))"
}

source_dir=$(sed -n 's/^Quillmark_SOURCE_DIR:STATIC=//p' "$build/CMakeCache.txt")
revision="not a git checkout"
if [ "$(git -C "$source_dir" rev-parse --show-toplevel 2>/dev/null)" = "$source_dir" ]; then
  revision=$(git -C "$source_dir" describe --always --dirty)
fi
echo "== sandbox from $source_dir ($revision), built in $build"
echo "== open files: $(ulimit -n); $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg);" \
  "$(wrk --version 2>&1 | head -n 1 | cut -d' ' -f1-2)"
echo

section "Throughput"
launch_sandbox throughput || { cat "$work/throughput.log" >&2; exit 1; }
"$load" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA" --wrk-body "$work/query.xml"
connections=(4 16 64 256)
for c in "${connections[@]}"; do
  QUILLMARK_WRK_BODY=$work/query.xml measure "$work/wrk-$c.txt" \
    wrk -t2 "-c$c" -d8s -s "$root/bench/wrk/orderquery.lua" "$SANDBOX_URL/pay/orderquery"
  echo
done
measure "$work/load-new.txt" "$load" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA"
echo
measure "$work/load-kept.txt" "$load" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA" --keep-alive
end_sandbox
echo

section "A new client among idle connections"
launch_sandbox idle || { cat "$work/idle.log" >&2; exit 1; }
idle_timeout=5
measure "$work/idle.txt" "$idle" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA" --idle 500 \
  --requests 20 --timeout "$idle_timeout"
end_sandbox
echo

section "Memory"
launch_sandbox memory || { cat "$work/memory.log" >&2; exit 1; }
measure "$work/memory.txt" "$load" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA" \
  --sandbox-pid "$SANDBOX_PID" --orders 100000 --keep-alive --workers 4 --seconds 600
end_sandbox
echo
cap=10000
capped=""
if "$sandbox" --help 2>&1 | grep -q -- '--max-orders'; then
  if launch_sandbox capped --max-orders "$cap" --order-ttl 3600; then
    measure "$work/capped.txt" "$load" --url "$SANDBOX_URL" --cacert "$SANDBOX_CA" \
      --sandbox-pid "$SANDBOX_PID" --orders 100000 --cap "$cap" --keep-alive --workers 4 \
      --seconds 600
    end_sandbox
    capped=yes
  else
    echo "quillmark-sandbox --max-orders $cap --order-ttl 3600 did not start:"
    cat "$work/capped.log"
  fi
else
  echo "quillmark-sandbox does not take --max-orders yet: the run with a cap is skipped."
fi
echo

# The figures, one table row each, in the order of the README's table.
wrk_row() {
  local file=$1 errors others
  errors=$(figure socket_errors "$file")
  others=$(figure other "$file")
  printf '%s req/s, p50 %s ms, p99 %s ms' "$(figure rps "$file")" "$(figure p50_ms "$file")" \
    "$(figure p99_ms "$file")"
  if [ "$errors" != 0 ]; then printf ', %s socket errors' "$errors"; fi
  if [ "$others" != 0 ]; then printf ', %s replies not SUCCESS' "$others"; fi
}
load_row() {
  local file=$1
  printf '%s req/s, median %s ms, %s connections for %s requests, %s failed' \
    "$(figure requests_per_s "$file")" "$(figure median_ms "$file")" \
    "$(figure connections "$file")" "$(figure requests "$file")" "$(figure failed "$file")"
}
idle_row() {
  local file=$1
  if [ "$(figure median_ms "$file")" = - ]; then
    printf '%s answered within %s s' "$(figure answered "$file")" "$idle_timeout"
  else
    printf '%s answered, median %s ms, max %s ms' "$(figure answered "$file")" \
      "$(figure median_ms "$file")" "$(figure max_ms "$file")"
  fi
  printf ' (no idle: median %s ms, max %s ms)' "$(figure alone_median_ms "$file")" \
    "$(figure alone_max_ms "$file")"
}
memory_row() {
  local file=$1
  printf '%s → %s KiB, %s bytes per order (placed in %s s)' "$(figure before_kib "$file")" \
    "$(figure after_kib "$file")" "$(figure bytes_per_order "$file")" "$(figure seconds "$file")"
}

echo "== Figures ($revision, $(date -u +%Y-%m-%d), load average now" \
  "$(cut -d' ' -f1-3 /proc/loadavg)): rows for bench/README.md"
echo
echo "| measurement | figure |"
echo "|---|---|"
for c in "${connections[@]}"; do
  echo "| wrk order queries, $c connections | $(wrk_row "$work/wrk-$c.txt") |"
done
echo "| quillmark-load, a new connection per request | $(load_row "$work/load-new.txt") |"
echo "| quillmark-load --keep-alive | $(load_row "$work/load-kept.txt") |"
echo "| new client among 500 idle connections | $(idle_row "$work/idle.txt") |"
echo "| VmRSS over 100 000 orders | $(memory_row "$work/memory.txt") |"
if [ -n "$capped" ]; then
  echo "| VmRSS over 100 000 orders, --max-orders $cap | $(memory_row "$work/capped.txt");" \
    "$(figure cap_bytes_per_order "$work/capped.txt") bytes per order past the cap |"
else
  echo "| VmRSS over 100 000 orders, --max-orders $cap | option not taken: skipped |"
fi
