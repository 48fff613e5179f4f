# Sourced by the scripts that run order cycles against a local quillmark-sandbox.

# use_build_defaults: makes this script's programs use the build's default merchant, the one
# the local sandbox knows, whatever the user has configured: the QUILLMARK_* variables are
# unset and the per-user settings folder is an empty one of its own. start_sandbox calls it,
# so a demo never sends anything to a merchant account configured for real use.
use_build_defaults() {
  local name
  for name in APPID MCH_ID API_KEY SPBILL_CREATE_IP NOTIFY_URL API_BASE CA_FILE QR_PATH NOTIFY_LISTEN; do
    unset "QUILLMARK_$name"
  done
  if [ -z "${QUILLMARK_SCRIPT_CONFIG_HOME:-}" ]; then
    QUILLMARK_SCRIPT_CONFIG_HOME=$(mktemp -d)
  fi
  export XDG_CONFIG_HOME=$QUILLMARK_SCRIPT_CONFIG_HOME
}

# start_sandbox BUILD_DIR LOG_FILE [sandbox options...]
# Starts quillmark-sandbox in the background (on the build's default port, 8443, unless the
# options say otherwise: --port 0 takes a free one), sets SANDBOX_PID and SANDBOX_PORT,
# points the programs run after it at that port (QUILLMARK_API_BASE), and returns once it
# accepts connections: the program prints its "listening on" line only after the socket is
# listening. Exits 1 with the sandbox's own words if it does not start.
start_sandbox() {
  local build=$1 log=$2
  shift 2
  use_build_defaults
  # Made before the program starts: the first look below may come before the background
  # shell opens it, and sed's complaint about a missing file would end a `set -e` caller.
  : >"$log"
  "$build/sandbox/quillmark-sandbox" "$@" >"$log" 2>&1 &
  SANDBOX_PID=$!
  for _ in $(seq 200); do
    SANDBOX_PORT=$(sed -n 's/^quillmark-sandbox listening on https:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
    if [ -n "$SANDBOX_PORT" ]; then
      export QUILLMARK_API_BASE="https://127.0.0.1:$SANDBOX_PORT"
      return 0
    fi
    kill -0 "$SANDBOX_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "quillmark-sandbox did not start (is its port taken?):" >&2
  cat "$log" >&2
  exit 1
}

# stop_sandbox: stops the sandbox started by start_sandbox, if any; safe to call twice.
stop_sandbox() {
  if [ -n "${SANDBOX_PID:-}" ]; then
    kill "$SANDBOX_PID" 2>/dev/null || true
    wait "$SANDBOX_PID" 2>/dev/null || true
    SANDBOX_PID=""
  fi
  if [ -n "${QUILLMARK_SCRIPT_CONFIG_HOME:-}" ]; then
    rm -rf "$QUILLMARK_SCRIPT_CONFIG_HOME"
    QUILLMARK_SCRIPT_CONFIG_HOME=""
  fi
}
