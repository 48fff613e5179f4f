#!/usr/bin/env bash
# Builds quillmark-load in BUILD_DIR and runs it: concurrent order cycles against a sandbox
# it starts in-process on a free loopback port. Options after BUILD_DIR go to the program
# (default: 8 workers x 500 cycles, stopped after 60 s at the latest).
#
#   scripts/load.sh BUILD_DIR [--workers N] [--cycles N] [--seconds S]
#   scripts/load.sh build/werror --workers 4 --cycles 100 --seconds 30    (the CI size)
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [quillmark-load options]" >&2
  exit 2
fi
build=$1
shift
if grep -q '^QUILLMARK_BUILD_BENCH:BOOL=OFF' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$build was configured with QUILLMARK_BUILD_BENCH=OFF: no quillmark-load there." >&2
  exit 2
fi
cmake --build "$build" --target quillmark-load -- -j2 >/dev/null
exec "$build/bench/quillmark-load" "$@"
