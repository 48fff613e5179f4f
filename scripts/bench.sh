#!/usr/bin/env bash
# Builds the benchmarks in a Release tree (build/bench, or BUILD_DIR from the environment)
# and runs quillmark-bench, which starts the sandbox on the build's API port (8443) and
# prints its tables. Options go to quillmark-bench: --reps N, --requests N,
# --only cycle|qr|requests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
cd "$root"
./scripts/install-deps.sh bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_BUILD_SHELL=OFF \
  -DQUILLMARK_BUILD_TESTS=OFF -DQUILLMARK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target quillmark-bench quillmark-load -- -j2
exec "$build/bench/quillmark-bench" "$@"
