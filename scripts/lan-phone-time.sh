#!/usr/bin/env bash
# How long the LAN mode takes a phone from the sandbox's start to an order's payer page
# open: two network namespaces of this script's own, joined by a veth pair (10.254.29.0/24:
# private, as the CA signs for no other LAN address; nothing outside this machine), stand for the computer and the phone; headless Chromium in
# the phone's namespace stands for its browser and trusts the sandbox's CA, as a phone does
# once it has installed it from the sandbox's page (README: Paying from a phone).
# Timed, from `quillmark-sandbox --lan` on: the start, an order placed from the computer as
# the desktop program places it, and Chromium opening its code_url through the LAN address
# until the page shows the order. Prints the figures; with --screenshots DIR, also takes
# the phone's first page and the payer page as a phone-sized browser shows them.
#   usage: lan-phone-time.sh [BUILD_DIR] [--runs N] [--screenshots DIR]   (as root)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/werror}")
shift || true
runs=5
shots=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --screenshots) shots=$(realpath -m "$2"); shift 2 ;;
    *) echo "lan-phone-time: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d)
host=quillmark-time-host-$$
phone=quillmark-time-phone-$$
sandbox_pid=""
cleanup() {
  if [ -n "$sandbox_pid" ]; then kill "$sandbox_pid" 2>/dev/null || true; fi
  ip netns del "$host" 2>/dev/null || true
  ip netns del "$phone" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

. "$root/scripts/lib/netns.sh"
lan_namespaces "$host" "$phone" 10.254.29 qt ||
  { echo "lan-phone-time: cannot make network namespaces (root and iproute2 are needed)" >&2; exit 1; }

# The phone's browser trusts the sandbox's CA (the build tree's, which the LAN mode issues
# from), in an NSS database of its own, as an installed CA is trusted.
export HOME=$work/phone-home
mkdir -p "$HOME/.pki/nssdb"
certutil -d "sql:$HOME/.pki/nssdb" -N --empty-password
certutil -d "sql:$HOME/.pki/nssdb" -A -t "C,," -n "Quillmark Sandbox CA" -i "$build/certs/ca.pem"
# The flags the machine's Chromium needs headless as root, on a closed network.
browser() {
  netns_run "$phone" env HOME="$HOME" chromium --headless --no-sandbox --disable-gpu \
    --disable-quic --no-first-run --disable-background-networking --disable-component-update \
    --disable-sync --user-data-dir="$work/profile-$1" "${@:2}" 2>/dev/null
}
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }

totals=()
pages=()
for run in $(seq "$runs"); do
  start=$(date +%s%N)
  nsenter --net="/run/netns/$host" -- env XDG_CONFIG_HOME="$work/config" \
    "$build/sandbox/quillmark-sandbox" --lan --port 0 --no-notify >"$work/lan.log" 2>&1 &
  sandbox_pid=$!
  port=""
  for _ in $(seq 400); do
    port=$(sed -nE 's/^quillmark-sandbox listening on https:\/\/0\.0\.0\.0:([0-9]+).*/\1/p' "$work/lan.log")
    grep -q 'on the phone, open' "$work/lan.log" && [ -n "$port" ] && break
    sleep 0.01
  done
  [ -n "$port" ] || { cat "$work/lan.log" >&2; exit 1; }
  # The computer's own client reaches the sandbox on loopback, as the desktop program does.
  netns_run "$host" env XDG_CONFIG_HOME="$work/config" QUILLMARK_QR_PATH="$work/1.BMP" \
    QUILLMARK_API_BASE="https://127.0.0.1:$port" "$build/cli/quillmark-cycle" >"$work/cycle.out"
  code_url=$(sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' "$work/cycle.out" | head -n 1)
  page_start=$(date +%s%N)
  browser "$run" --dump-dom "$code_url" >"$work/page.html"
  grep -q 'id="state">NOTPAY' "$work/page.html" ||
    { echo "lan-phone-time: $code_url did not open: $(cat "$work/page.html")" >&2; exit 1; }
  totals+=("$(ms "$start")")
  pages+=("$(ms "$page_start")")
  if [ -n "$shots" ] && [ "$run" = 1 ]; then
    mkdir -p "$shots"
    phone_page=$(sed -nE 's/^quillmark-sandbox: on the phone, open (http:[^ ]*) first.*/\1/p' "$work/lan.log")
    browser shots --window-size=412,860 --hide-scrollbars --screenshot="$shots/phone-page.png" "$phone_page"
    browser shots --window-size=412,860 --hide-scrollbars --screenshot="$shots/phone-payer-page.png" "$code_url"
  fi
  kill "$sandbox_pid" && wait "$sandbox_pid" || true
  sandbox_pid=""
  echo "run $run: --lan to the payer page open in Chromium through 10.254.29.1: ${totals[-1]} ms (of which Chromium ${pages[-1]} ms), $code_url"
done
sorted() { printf '%s\n' "$@" | sort -n | tr '\n' ' '; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(((${#@} + 1) / 2))p"; }
echo "--lan to the payer page open, over $runs runs: median $(median "${totals[@]}") ms ($(sorted "${totals[@]}")ms); Chromium alone: median $(median "${pages[@]}") ms"
