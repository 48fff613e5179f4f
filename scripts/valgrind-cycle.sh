#!/usr/bin/env bash
# One order cycle under valgrind's memcheck against a freshly started sandbox: fails on any
# invalid read or write, use of uninitialised memory, or definitely or indirectly lost
# block. "Still reachable" blocks (libcurl's and OpenSSL's process-wide tables) are not
# leaks of ours and do not count.
#
#   scripts/valgrind-cycle.sh BUILD_DIR     e.g. build/werror (not a sanitizer build)
#
# The sandbox takes a free port, and the cycle is pointed at it (QUILLMARK_API_BASE).
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
if grep -q '^QUILLMARK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$build is a sanitizer build; valgrind cannot run AddressSanitizer programs." >&2
  exit 2
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps.sh)" >&2; exit 2; }

echo "== Building quillmark-sandbox and quillmark-cycle ($build)"
cmake --build "$build" --target quillmark-sandbox quillmark-cycle quillmark_certs -- -j2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmark-valgrind.XXXXXX")
. "$root/scripts/lib/sandbox.sh"
stop() {
  stop_sandbox
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT TERM

echo "== Starting quillmark-sandbox on a free port"
start_sandbox "$build" "$work/sandbox.log" --port 0 --state :memory: --pay-after-queries 1

echo "== Running quillmark-cycle under valgrind (in $work/run)"
mkdir "$work/run"
set +e
(cd "$work/run" &&
  valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
    --log-file="$work/valgrind.log" "$build/cli/quillmark-cycle" >"$work/cycle.out" 2>&1)
status=$?
set -e

failed=""
if [ "$status" -eq 99 ]; then
  failed="valgrind reported errors or leaks"
elif [ "$status" -ne 0 ]; then
  failed="quillmark-cycle exited with status $status"
elif ! grep -q '^Query 2: *SUCCESS' "$work/cycle.out" || [ ! -s "$work/run/1.BMP" ]; then
  failed="the cycle did not complete (no second query answered SUCCESS, or no bitmap)"
fi
if [ -n "$failed" ]; then
  echo "FAILED: $failed" >&2
  echo "--- valgrind" >&2; cat "$work/valgrind.log" >&2
  echo "--- quillmark-cycle" >&2; cat "$work/cycle.out" >&2
  echo "--- quillmark-sandbox" >&2; cat "$work/sandbox.log" >&2
  exit 1
fi
sed -n '/--- summary ---/,$p' "$work/cycle.out"
echo "valgrind: no invalid accesses, no definite or indirect leaks."
