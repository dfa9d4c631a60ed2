#!/usr/bin/env bash
# Builds the library, its tools and tests twice (plain, and with the address
# and undefined-behaviour sanitizers) and runs every test in both builds,
# the end-to-end tests against real mail servers included.
set -euo pipefail
cd "$(dirname "$0")/.."
# TLS: the library links OpenSSL; the tests make their certificates with
# the openssl program.
need=()
for p in libssl-dev openssl; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
if [ ${#need[@]} -gt 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" ||
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"; }
fi
jobs=$(nproc 2>/dev/null || echo 2)
for kind in plain asan; do
  dir=build/$kind
  sanitize=OFF; [ "$kind" = asan ] && sanitize=ON
  cmake -S . -B "$dir" -DKEL_SANITIZE=$sanitize >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
done
