#!/usr/bin/env bash
# The programs as a user installs them, away from their build tree: installs BUILD_DIR
# into a temporary prefix, moves BUILD_DIR away (and back at the end), then runs one
# cycle between the installed quillmark-sandbox and the installed quillmark-cycle with a
# fresh home folder, so that the sandbox must make its own CA and certificate and the
# client must trust that CA by default. Then builds the Debian package with cpack and
# checks what it holds: the three programs, the desktop entry, and no key or certificate.
#
#   ./scripts/install-check.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?usage: install-check.sh BUILD_DIR}")
work=$(mktemp -d)
away="$build.away-$$"
sandbox_pid=""
cleanup() {
  [ -n "$sandbox_pid" ] && kill "$sandbox_pid" 2>/dev/null && wait "$sandbox_pid" 2>/dev/null
  [ -d "$away" ] && mv "$away" "$build"
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Installing into $work/prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mv "$build" "$away"

# A user who has never run it: no settings, no certificates, no QUILLMARK_* variables.
mkdir -p "$work/home" "$work/run"
for name in APPID MCH_ID API_KEY SPBILL_CREATE_IP NOTIFY_URL API_BASE CA_FILE QR_PATH; do
  unset "QUILLMARK_$name"
done
export HOME="$work/home"
unset XDG_CONFIG_HOME XDG_DATA_HOME

echo "== Starting the installed quillmark-sandbox (build tree moved away)"
"$work/prefix/bin/quillmark-sandbox" --port 0 --pay-after-queries 1 >"$work/sandbox.log" 2>&1 &
sandbox_pid=$!
port=""
for _ in $(seq 200); do
  port=$(sed -n 's/^quillmark-sandbox listening on https:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' \
    "$work/sandbox.log")
  [ -n "$port" ] && break
  kill -0 "$sandbox_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "the installed sandbox did not start:" >&2
  cat "$work/sandbox.log" >&2
  exit 1
fi
cat "$work/sandbox.log"
[ -f "$HOME/.local/share/quillmark/sandbox/ca.pem" ] ||
  { echo "the sandbox made no CA in the per-user data folder" >&2; exit 1; }

echo "== Running the installed quillmark-cycle against it"
status=0
(cd "$work/run" && QUILLMARK_API_BASE="https://127.0.0.1:$port" \
  "$work/prefix/bin/quillmark-cycle" >"$work/cycle.out" 2>&1) || status=$?
sed -n '/--- summary ---/,$p' "$work/cycle.out"
if [ "$status" -ne 0 ] || ! grep -q "^Every signed reply verified.$" "$work/cycle.out"; then
  echo "the installed cycle failed (exit $status):" >&2
  cat "$work/cycle.out" >&2
  exit 1
fi

mv "$away" "$build"
echo "== Building the Debian package"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls -t "$build"/quillmark_*.deb | head -n1)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for want in ./usr/bin/quillmark ./usr/bin/quillmark-cycle ./usr/bin/quillmark-sandbox \
  ./usr/share/applications/quillmark.desktop; do
  grep -qx "$want" "$work/contents" || { echo "$deb lacks $want" >&2; exit 1; }
done
if grep -E '\.(key|pem)$' "$work/contents"; then
  echo "$deb holds a key or certificate" >&2
  exit 1
fi
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
echo "The installed programs ran a cycle without their build tree."
