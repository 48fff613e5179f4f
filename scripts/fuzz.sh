#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for SECONDS (default
# 60), one process each, with its dictionary (fuzz/dict/<target>.dict) on a copy of its
# seed corpus (fuzz/corpus/<target>) kept in the
# build tree, so that the committed seeds never change and a local tree's corpus keeps
# growing from run to run. Exits non-zero when any target finds a crash, a leak, a
# timeout or a failed property; the input that did it is kept under build/fuzz/findings.
#
#   scripts/fuzz.sh [SECONDS]
#   QUILLMARK_FUZZ_BUILD_DIR=/elsewhere scripts/fuzz.sh 10
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]* | 0) echo "usage: $0 [SECONDS] (a positive whole number)" >&2; exit 2 ;;
esac
build=${QUILLMARK_FUZZ_BUILD_DIR:-$root/build/fuzz}
cd "$root"

./scripts/install-deps.sh fuzz

echo "== Building the fuzz targets with clang ($build)"
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMARK_FUZZ=ON -DQUILLMARK_BUILD_SHELL=OFF -DQUILLMARK_BUILD_TESTS=OFF \
  -DQUILLMARK_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" --target quillmark_fuzzers -- -j2

findings="$build/findings"
mkdir -p "$findings" "$build/logs"
failed=()
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  binary="$build/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "$target: seeds exist but the target was not built" >&2
    failed+=("$target")
    continue
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$seeds"* "$corpus"/ 2>/dev/null || true
  log="$build/logs/$target.log"
  # -timeout: one input taking this long is a finding (a hang), not a slow machine.
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$findings/$target-")
  # Tokens that random mutation would take far longer to stumble on (markup, multi-byte
  # sequences at the edges of the tables).
  [ -f "fuzz/dict/$target.dict" ] && options+=(-dict="fuzz/dict/$target.dict")
  echo "== $target: ${seconds}s"
  set +e
  "$binary" "$corpus" "${options[@]}" >"$log" 2>&1
  status=$?
  set -e
  summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n1 || true)
  echo "   ${summary:-no summary line}"
  if [ "$status" -ne 0 ]; then
    echo "$target FAILED (exit status $status); log: $log" >&2
    grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" | head -n 20 >&2 || true
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Fuzzing found problems in: ${failed[*]}" >&2
  echo "Reproduce one with: $build/fuzz/<target> $findings/<file>" >&2
  exit 1
fi
echo "No findings in ${seconds}s per target."
