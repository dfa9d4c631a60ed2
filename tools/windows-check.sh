#!/usr/bin/env bash
# The Windows build: installs the MinGW-w64 cross compilers and Wine when
# they are missing, cross-builds KEL32.dll with its import library and the
# Windows test programs, checks the DLL's export table, and runs the tests
# under Wine against scripted servers on 127.0.0.1.
#
#   tools/windows-check.sh            (build directory: build/windows)
#   KEL_WINDOWS_BUILD=dir tools/windows-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KEL_WINDOWS_BUILD:-build/windows}
jobs=$(nproc 2>/dev/null || echo 2)
export DEBIAN_FRONTEND=noninteractive

# ---- Tools (each step only when something is missing) ----------------------
start=$(date +%s)
need=()
# Wine's Schannel (secur32) does its TLS through GnuTLS, which wine32 only recommends.
for p in cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 libgnutls30:i386 python3 openssl; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
echo "windows-check: tools ready in $(( $(date +%s) - start )) s"

# ---- Build --------------------------------------------------------------------
start=$(date +%s)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$jobs"
echo "windows-check: built in $(( $(date +%s) - start )) s"

# ---- The export table: every function of kel32.h under its plain name -------
dump=$(i686-w64-mingw32-objdump -p "$build/KEL32.dll")
exported=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
           sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
declared=$(grep -o 'KEL_CALL kel[A-Za-z0-9]*' include/kel32.h | sed 's/KEL_CALL //' | sort -u)
if [ "$exported" != "$declared" ]; then
  echo "windows-check: the export table differs from kel32.h" >&2
  diff <(printf '%s\n' "$declared") <(printf '%s\n' "$exported") >&2 || true
  exit 1
fi
echo "windows-check: KEL32.dll exports $(printf '%s\n' "$exported" | wc -l) functions by plain name"
# Only system DLLs: the compiler's run-time libraries are linked in.
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
if [ "$imports" != "crypt32.dll kernel32.dll msvcrt.dll secur32.dll user32.dll wsock32.dll " ]; then
  echo "windows-check: KEL32.dll imports unexpected DLLs: $imports" >&2
  exit 1
fi

# ---- Tests under Wine -----------------------------------------------------------
# Wine runs the 32-bit DLL in a 32-bit Linux process; a kernel built or booted
# without 32-bit support refuses every such program ("Exec format error").
# There the build and the table checks above are all that can be done.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "windows-check: this kernel cannot run 32-bit programs, so Wine cannot start here;"
  echo "windows-check: the DLL was built and its export and import tables checked, its tests not run"
  exit 0
fi
# ctest makes the Wine prefix first and stops wineserver last; the trap stops
# it too if the run is cut short.
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir "$build" --output-on-failure
