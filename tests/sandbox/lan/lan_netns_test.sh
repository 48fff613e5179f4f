#!/usr/bin/env bash
# The LAN mode end to end, as a phone meets it, between two network namespaces of the
# test's own joined by a veth pair (10.254.28.0/24: private, as the CA signs for private
# addresses only; nothing outside this machine is reached): the sandbox's host has the
# address .1, the phone .2.
#   1. `quillmark-sandbox --lan` picks .1 by itself (loopback is not a LAN address), and its
#      terminal's QR code reads back as the page the phone opens first;
#   2. the phone, trusting nothing yet, gets that page and the CA over plain HTTP, as DER of
#      the type phones install a CA from, and the CA's fingerprint is the one the terminal
#      printed;
#   3. trusting only that CA, it finds the sandbox's certificate naming .1, completes a
#      cycle, pays the order on its payer page (the code_url names .1) and sees it paid;
#   4. started again on another address (.3), the sandbox serves a new certificate naming
#      it, issued by the same CA, which the phone's trust still covers.
#   usage: lan_netns_test.sh BUILD_DIR   (exit 77, a skip, where namespaces cannot be made)
set -euo pipefail
build=$(realpath "$1")
sandbox=$build/sandbox/quillmark-sandbox
cycle=$build/cli/quillmark-cycle
work=$(mktemp -d)
host=quillmark-lan-host-$$
phone=quillmark-lan-phone-$$
sandbox_pid=""

cleanup() {
  if [ -n "$sandbox_pid" ]; then kill "$sandbox_pid" 2>/dev/null || true; fi
  ip netns del "$host" 2>/dev/null || true
  ip netns del "$phone" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "lan_netns_test: $*" >&2
  exit 1
}

. "$(dirname "$0")/../../../scripts/lib/netns.sh"
if ! lan_namespaces "$host" "$phone" 10.254.28 ql; then
  echo "lan_netns_test: cannot make network namespaces (root and iproute2 are needed); skipped"
  exit 77
fi

# The phone's programs: the build's merchant, no settings of the user's, and no trust but
# what it is given.
in_phone() {
  netns_run "$phone" env XDG_CONFIG_HOME="$work/phone-config" QUILLMARK_QR_PATH="$work/phone.BMP" "$@"
}

# start_lan LOG [ADDRESS]: the sandbox in the host's namespace; sets PORT and PAGE.
start_lan() {
  local log=$1
  shift
  : >"$log"
  nsenter --net="/run/netns/$host" -- env XDG_CONFIG_HOME="$work/host-config" \
    "$sandbox" --lan "$@" --port 0 --no-notify --state "$work/state.db" >"$log" 2>&1 &
  sandbox_pid=$!
  PAGE=""
  for _ in $(seq 200); do
    PAGE=$(sed -nE 's/^quillmark-sandbox: on the phone, open (http:[^ ]*) first.*/\1/p' "$log")
    [ -n "$PAGE" ] && break
    kill -0 "$sandbox_pid" 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$PAGE" ] || fail "the LAN mode did not start: $(cat "$log")"
  PORT=$(sed -nE 's/^quillmark-sandbox listening on https:\/\/0\.0\.0\.0:([0-9]+).*/\1/p' "$log")
  [ -n "$PORT" ] || fail "no port in: $(cat "$log")"
}

stop_lan() {
  kill "$sandbox_pid"
  wait "$sandbox_pid" || true
  sandbox_pid=""
}

# The certificate the sandbox at ADDRESS serves, as the phone verifies it with `ca`; exits
# non-zero when the phone cannot verify it for that address.
served_certificate() {
  in_phone openssl s_client -connect "$1:$PORT" -CAfile "$2" -verify_ip "$1" \
    -verify_return_error </dev/null 2>"$work/s_client.err" | openssl x509 -noout -text
}

# 1. The address picked, and the QR code of the phone's page.
start_lan "$work/lan1.log"
[ "$PAGE" = "http://10.254.28.1:${PAGE##*:}" ] || fail "the phone's page is $PAGE, not on 10.254.28.1"
grep -q "^quillmark-sandbox: LAN mode: payer pages at https://10.254.28.1:$PORT/pay/qr/" "$work/lan1.log" ||
  fail "code_url is not based on 10.254.28.1: $(cat "$work/lan1.log")"
# The half blocks back to pixels: each character is a module wide and two modules high
# (upper, lower); 4 pixels a module, as a camera would see it at a distance.
sed -n '/on the phone, open/,/^quillmark-sandbox: \(the console\|signal\)/p' "$work/lan1.log" |
  sed '1d;/^quillmark-sandbox/d;/^[0-9]/d' >"$work/qr.txt"
python3 - "$work/qr.txt" "$work/qr.pbm" <<'PY'
import sys
rows = []
for line in open(sys.argv[1], encoding="utf-8").read().splitlines():
    top = [c in "\u2580\u2588" for c in line]
    bottom = [c in "\u2584\u2588" for c in line]
    rows += [top, bottom]
width = max(len(r) for r in rows)
scale = 4
with open(sys.argv[2], "w") as out:
    out.write(f"P1\n{width * scale} {len(rows) * scale}\n")
    for r in rows:
        line = " ".join("1" if x < len(r) and r[x] else "0" for x in range(width) for _ in range(scale))
        out.write((line + "\n") * scale)
PY
[ "$(zbarimg --raw -q "$work/qr.pbm" 2>/dev/null)" = "$PAGE" ] ||
  fail "the terminal's QR code does not read back as $PAGE: $(cat "$work/qr.txt")"
echo "the sandbox picked 10.254.28.1; its terminal's QR code reads back as $PAGE"
# The console, on the computer, shows the same code: its modules as its API gives them to
# the page ("1" a dark module), drawn back into pixels within the quiet zone.
netns_run "$host" curl -sf --cacert "$build/certs/ca.pem" "https://127.0.0.1:$PORT/console/api/about" \
  >"$work/console.json" || fail "the computer cannot open the console"
python3 - "$work/console.json" "$work/console-qr.pbm" <<'PY'
import json, sys
qr = (json.load(open(sys.argv[1], encoding="utf-8")).get("phone") or {}).get("qr")
if not qr:
    sys.exit("no QR code on the console's page")
quiet, scale = qr["quiet_zone"], 4
size = qr["width"] + 2 * quiet
dark = {(x + quiet, y + quiet) for y, row in enumerate(qr["rows"]) for x, c in enumerate(row) if c == "1"}
with open(sys.argv[2], "w") as out:
    out.write(f"P1\n{size * scale} {size * scale}\n")
    for y in range(size):
        line = " ".join("1" if (x, y) in dark else "0" for x in range(size) for _ in range(scale))
        out.write((line + "\n") * scale)
PY
[ "$(zbarimg --raw -q "$work/console-qr.pbm" 2>/dev/null)" = "$PAGE" ] ||
  fail "the console's QR code does not read back as $PAGE"
echo "the console shows the same page's QR code"

# 2. The phone, trusting nothing yet: the page over plain HTTP, and the CA.
in_phone curl -sf "$PAGE" >"$work/page.html" || fail "the phone cannot open $PAGE"
grep -q 'Download the CA certificate' "$work/page.html" || fail "the page offers no CA: $(cat "$work/page.html")"
type=$(in_phone curl -sf -o "$work/ca.der" -w '%{content_type}' "${PAGE}quillmark-sandbox-ca.crt") ||
  fail "the phone cannot download the CA"
[ "$type" = application/x-x509-ca-cert ] || fail "the CA comes as $type, which phones do not install"
openssl x509 -inform DER -in "$work/ca.der" -out "$work/phone-ca.pem" || fail "the CA is not DER"
printed=$(sed -nE "s/^quillmark-sandbox: the CA's SHA-256 fingerprint: (.*)/\1/p" "$work/lan1.log")
downloaded=$(openssl x509 -in "$work/phone-ca.pem" -noout -fingerprint -sha256 | cut -d= -f2)
[ -n "$printed" ] && [ "$printed" = "$downloaded" ] || fail "the terminal prints $printed, the CA is $downloaded"
grep -q "<code id=\"fingerprint\">$printed</code>" "$work/page.html" || fail "the page shows another fingerprint"
echo "the phone downloaded the CA over plain HTTP as application/x-x509-ca-cert; fingerprint $printed, as printed"

# 3. Trusting only that CA: the certificate, a cycle, the payment.
served_certificate 10.254.28.1 "$work/phone-ca.pem" >"$work/cert1.txt" ||
  fail "the phone does not trust the certificate for 10.254.28.1: $(cat "$work/s_client.err")"
grep -q 'IP Address:10.254.28.1' "$work/cert1.txt" || fail "the certificate does not name 10.254.28.1"
export QUILLMARK_API_BASE=https://10.254.28.1:$PORT QUILLMARK_CA_FILE=$work/phone-ca.pem
in_phone "$cycle" >"$work/cycle.out" || fail "the phone's cycle failed: $(cat "$work/cycle.out")"
grep -q '^Every signed reply verified\.$' "$work/cycle.out" || fail "the cycle did not verify: $(cat "$work/cycle.out")"
code_url=$(sed -nE 's/.*<code_url><!\[CDATA\[([^]]*)\]\]>.*/\1/p' "$work/cycle.out" | head -n 1)
order=$(sed -nE 's/^Order number:  (.*)/\1/p' "$work/cycle.out")
[ "${code_url%/*}" = "https://10.254.28.1:$PORT/pay/qr" ] || fail "code_url $code_url is not on the LAN address"
in_phone curl -sf --cacert "$work/phone-ca.pem" "$code_url" | grep -q 'NOTPAY' ||
  fail "the payer page at $code_url does not open on the phone"
status=$(in_phone curl -s --cacert "$work/phone-ca.pem" -o /dev/null -w '%{http_code}' -X POST "$code_url/pay")
[ "$status" = 303 ] || fail "paying on the payer page answered $status"
in_phone "$cycle" query "$order" >"$work/query.out" || fail "the query after paying: $(cat "$work/query.out")"
grep -q '^Query:         SUCCESS  ' "$work/query.out" || fail "the order is not paid: $(cat "$work/query.out")"
stop_lan
echo "trusting only the downloaded CA, the phone ran a cycle against 10.254.28.1, paid $order on its payer page, and its query says SUCCESS"

# 4. Another address: a new certificate from the same CA.
netns_run "$host" ip addr add 10.254.28.3/24 dev "$LAN_HOST_IF"
start_lan "$work/lan3.log" 10.254.28.3
[ "$(sed -nE "s/^quillmark-sandbox: the CA's SHA-256 fingerprint: (.*)/\1/p" "$work/lan3.log")" = "$printed" ] ||
  fail "the CA changed with the address"
served_certificate 10.254.28.3 "$work/phone-ca.pem" >"$work/cert3.txt" ||
  fail "the phone does not trust the certificate for 10.254.28.3: $(cat "$work/s_client.err")"
grep -q 'IP Address:10.254.28.3' "$work/cert3.txt" && ! grep -q 'IP Address:10.254.28.1' "$work/cert3.txt" ||
  fail "the certificate for the new address names: $(grep 'IP Address' "$work/cert3.txt")"
stop_lan
echo "on 10.254.28.3: a new certificate naming it, from the same CA, which the phone already trusts"
