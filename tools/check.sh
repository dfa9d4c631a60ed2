#!/usr/bin/env bash
# Builds the library, its tools and tests twice (plain, and with the address
# and undefined-behaviour sanitizers) and runs every test in both builds,
# the end-to-end tests against real mail servers included. Then the tests
# that drive channels from several threads run under ThreadSanitizer, and
# each fuzz target runs for a short fixed time (KEL_FUZZ_SECONDS, default
# 15) when clang is there.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
for kind in plain asan; do
  dir=build/$kind
  sanitize=OFF; [ "$kind" = asan ] && sanitize=ON
  cmake -S . -B "$dir" -DKEL_SANITIZE=$sanitize >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
done

# ThreadSanitizer: channels driven from several threads while the
# library-wide settings change, and the scripted servers' own threads.
dir=build/tsan
cmake -S . -B "$dir" -DKEL_TSAN=ON >/dev/null
cmake --build "$dir" -j"$jobs" --target threads_test socket_test
TSAN_OPTIONS="halt_on_error=1 exitcode=66" ctest --test-dir "$dir" --output-on-failure -R '^(Threads|SocketLayer)\.' "$@"

# Fuzzing: a short run of every target on its seed corpus.
if command -v clang++ >/dev/null 2>&1; then
  ./fuzz/run.sh "${KEL_FUZZ_SECONDS:-15}" build/fuzz-check
else
  echo "check: clang++ not found, fuzz targets not run" >&2
fi
