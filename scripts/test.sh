#!/usr/bin/env bash
# The whole test run, as CI does it: installs what is missing, builds with warnings as
# errors and runs the tests, installs the programs and runs a cycle between the installed
# ones with the build tree moved away, builds the Windows programs for i686 and x86_64 and
# tests under Wine, against the Linux sandbox, the build this kernel runs (the i686 one where
# it runs 32-bit code, else the x86_64 one under wine64), then builds again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again, and the tests that run
# threads under ThreadSanitizer; then one cycle under valgrind, a short
# load run on the sandbox, and each fuzz target for QUILLMARK_FUZZ_SECONDS (default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

./scripts/install-deps.sh test

step() { printf '\n== %s\n' "$*"; }

step "Build with warnings as errors (build/werror)"
cmake -S . -B build/werror -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_WERROR=ON
cmake --build build/werror
step "Tests"
# The payer page's browser test registers itself only where Chromium and Selenium are found;
# here they have just been installed, so a missing test is a fault, not a skip.
if ! ctest --test-dir build/werror -N -R '^browser_payer_page$' | grep -q 'Total Tests: 1'; then
  echo "the browser test of the payer page is not registered (see tests/sandbox/browser)" >&2
  exit 1
fi
ctest --test-dir build/werror --output-on-failure -j2

step "Installed, away from the build tree: a cycle between the installed programs, and the package"
./scripts/install-check.sh build/werror

step "Windows: the i686 and x86_64 programs with mingw-w64 (build/windows, build/windows-x86_64), tested under Wine"
# The first run on a machine cross-builds the libraries from Debian's sources for both
# targets (about 20 min on two cores) into the per-user cache; later runs, from any clone,
# reuse them. The tests take a few minutes.
./scripts/build-windows.sh
./scripts/test-windows.sh build/werror

step "Build with AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_WERROR=ON \
  -DQUILLMARK_SANITIZE=ON -DQUILLMARK_BUILD_BENCH=OFF
cmake --build build/sanitize
step "Tests under the sanitizers"
ctest --test-dir build/sanitize --output-on-failure -j2

step "ThreadSanitizer: the tests that run threads of their own (build/tsan)"
# The listener, the notifier, the server, the state file's commit thread and the cycle
# worker (with the runner they start), and nothing else: the other tests run one thread.
tsan_tests=(notify_listener_test sandbox_notifier_test sandbox_server_test sandbox_connections_test
  sandbox_state_store_test shell_core_test cycle_test)
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARK_WERROR=ON \
  -DQUILLMARK_TSAN=ON -DQUILLMARK_BUILD_BENCH=OFF
cmake --build build/tsan --target "${tsan_tests[@]}"
# gcc 12's ThreadSanitizer cannot place its shadow memory where the kernel randomises
# mappings with more bits than it knows: such a kernel runs the tests with ASLR off.
tsan_run=()
if ! build/tsan/tests/shell/core/shell_core_test --gtest_list_tests >/dev/null 2>&1; then
  tsan_run=(setarch "$(uname -m)" -R)
fi
# Each test is labelled with its executable: only those built here run.
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/support/tsan.supp ${TSAN_OPTIONS:-}" \
  "${tsan_run[@]}" ctest --test-dir build/tsan --output-on-failure -j2 \
  -L "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"

step "One order cycle under valgrind (no invalid access, no definite or indirect leak)"
./scripts/valgrind-cycle.sh build/werror

step "Load on the sandbox: concurrent cycles, new and kept-alive connections, nothing lost or duplicated, flat memory"
./scripts/load.sh build/werror --workers 4 --cycles 100 --seconds 30
./scripts/load.sh build/werror --workers 4 --cycles 100 --seconds 30 --keep-alive

step "Fuzz every target for a bounded time (clang, libFuzzer)"
./scripts/fuzz.sh "${QUILLMARK_FUZZ_SECONDS:-60}"
