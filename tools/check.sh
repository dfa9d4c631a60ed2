#!/usr/bin/env bash
# Builds the library, its tools and tests twice (plain, and with the address
# and undefined-behaviour sanitizers) and runs every test in both builds,
# the end-to-end tests against real mail servers included. Then the tests
# that drive channels from several threads run under ThreadSanitizer, and
# each fuzz target runs for a short fixed time (KEL_FUZZ_SECONDS, default
# 15) when clang is there. Run as root on Debian, it first installs what the
# build and the tests need.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the build and the tests need from Debian; the end-to-end tests
# install the mail servers themselves (tests/e2e/mailstack.sh).
# libssl-dev: the library's TLS (the openssl program makes the tests'
# certificates); libpython3.11-testsuite: the email package's test messages,
# for the corpus test; clang: the fuzz targets; libidn2-dev: international
# domain names; python3-pytest, -venv, -setuptools and -wheel: the Python
# package's tests and its pip install without an index.
packages=(cmake g++ make libgtest-dev libgmock-dev pkg-config curl python3 ca-certificates
          libssl-dev libidn2-dev openssl libpython3.11-testsuite clang
          python3-pytest python3-venv python3-setuptools python3-wheel)
need=()
if command -v dpkg >/dev/null; then
  for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "check: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
  else
    echo "check: missing packages: ${need[*]} (run as root to install them)" >&2
  fi
fi

# The layer rule: a file under src/ includes only from its own room and the
# rooms below it.
tools/layers.sh

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
