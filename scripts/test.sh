#!/usr/bin/env bash
# Sets up the machine, builds everything in a fresh folder, checks format and function limits
# (scripts/lint.sh), runs every test through CTest,
# then builds the unit tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them again,
# then the session and service concurrency tests with ThreadSanitizer, then every fuzz target
# (clang, libFuzzer) for FUZZ_SECONDS (default 20) each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

# As root the tests run in a network namespace of their own: only its loopback, and client
# sockets take their ports below the service's fixed ones (56482, 56582, 56682), so no test's
# connection can hold a port the next test's service must bind.
in_test_network() {
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    unshare -n bash -c 'ip link set lo up && sysctl -qw net.ipv4.ip_local_port_range="20000 49999" && "$@"' \
      test-network "$@"
  else
    "$@"
  fi
}

rm -rf build-test build-test-asan build-test-tsan build-fuzz
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAROLL_WERROR=$werror
cmake --build build-test -j "$jobs"
bash scripts/lint.sh build-test
in_test_network ctest --test-dir build-test --output-on-failure -j "$jobs" --timeout 300

cmake -S . -B build-test-asan -DCMAKE_BUILD_TYPE=Debug -DTESSAROLL_SANITIZE=ON \
      -DTESSAROLL_BENCHMARKS=OFF -DTESSAROLL_WERROR=$werror
cmake --build build-test-asan --target unit_tests -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  in_test_network ctest --test-dir build-test-asan -L unit --output-on-failure -j "$jobs" --timeout 300

# The sessions run side by side: their tests, and the service under load with slow calls,
# once more with ThreadSanitizer (a race ends the program that has it).
cmake -S . -B build-test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAROLL_TSAN=ON \
      -DTESSAROLL_BENCHMARKS=OFF -DTESSAROLL_WERROR=$werror
cmake --build build-test-tsan -j "$jobs" --target TessarollSession_tests Tessaroll_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan-suppressions.txt" \
  in_test_network ctest --test-dir build-test-tsan --output-on-failure -j "$jobs" --timeout 300 \
  -R '^(SessionTest|ConcurrentSessionTest|ValueStoreTest|LoadTest|SlowCallTest)\.'

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAROLL_FUZZ=ON \
      -DBUILD_TESTING=OFF -DTESSAROLL_BENCHMARKS=OFF
cmake --build build-fuzz --target fuzz_targets -j "$jobs"
for target in build-fuzz/fuzz/fuzz_*; do
  corpus=$(mktemp -d)
  "$target" -max_total_time="${FUZZ_SECONDS:-20}" -max_len=20000 "$corpus"
  rm -rf "$corpus"
done
