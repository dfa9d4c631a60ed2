#!/usr/bin/env bash
# Builds the library, its tools and tests twice (plain, and with the address
# and undefined-behaviour sanitizers) and runs every test in both builds,
# the end-to-end tests against real mail servers included.
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
