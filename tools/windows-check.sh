#!/usr/bin/env bash
# The Windows build: installs the MinGW-w64 cross compilers and Wine when
# they are missing, cross-builds KEL32.dll (32-bit) and KEL64.dll (64-bit),
# each with its import library and the Windows test programs, checks each
# DLL's export and import tables, and runs the tests under Wine against
# scripted servers on 127.0.0.1: the 64-bit set always (64-bit Wine needs
# nothing 32-bit from the kernel), the 32-bit set where the kernel runs
# 32-bit programs and 32-bit Wine can be installed. It says plainly which
# sets ran.
#
#   tools/windows-check.sh            (build directories: build/windows, build/windows64)
#   KEL_WINDOWS_BUILD=dir tools/windows-check.sh   (dir and dir64)
set -euo pipefail
cd "$(dirname "$0")/.."

build32=${KEL_WINDOWS_BUILD:-build/windows}
case $build32 in /*) ;; *) build32=$PWD/$build32 ;; esac
build64=${build32}64
jobs=$(nproc 2>/dev/null || echo 2)
export DEBIAN_FRONTEND=noninteractive
say() { echo "windows-check: $*"; }
missing() { local p out=(); for p; do dpkg -s "$p" >/dev/null 2>&1 || out+=("$p"); done; echo "${out[@]}"; }
# Another apt-get at work (a test installing its servers) is waited for.
aptget() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }
as_root() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }
total=$(date +%s)

# ---- Tools for both builds and the 64-bit tests ------------------------------
# Wine's Schannel (secur32) does its TLS through GnuTLS, which Wine only recommends.
start=$(date +%s)
read -r -a need <<<"$(missing cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 libgnutls30 python3 openssl)"
if [ ${#need[@]} -gt 0 ]; then
  if as_root; then
    say "installing ${need[*]}"
    aptget update -q
    aptget install -y -q --no-install-recommends "${need[@]}"
  else
    say "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
fi

# ---- Can this kernel run 32-bit programs? --------------------------------------
# A 96-byte i386 program that exits with 42 through int 0x80: no 32-bit
# library is needed to try it. A kernel without 32-bit support refuses it
# ("Exec format error"), and then 32-bit Wine cannot start either.
mkdir -p "$build32"
probe="$build32/i386-probe"
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'\
'\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00'\
'\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
rc=0; "$probe" 2>/dev/null || rc=$?
rm -f "$probe"
run32=""          # empty: the 32-bit tests run; otherwise why they do not
if [ "$rc" != 42 ]; then
  run32="this kernel cannot run 32-bit programs, so 32-bit Wine cannot start here"
else
  # 32-bit Wine comes from Debian's i386 architecture. It is installed only
  # when every package list updates cleanly with i386 added: a mirror that
  # fails to deliver one would leave every later "apt-get update" failing.
  # An i386 architecture added here for nothing is taken away again.
  read -r -a need <<<"$(missing wine wine32:i386 libgnutls30:i386)"
  if [ ${#need[@]} -gt 0 ]; then
    if ! as_root; then
      run32="32-bit Wine is not installed (${need[*]}; run as root to install it)"
    else
      added=""
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        added=yes
      fi
      say "installing ${need[*]}"
      if ! aptget update -q; then
        run32="the package mirror did not deliver every package list for i386 (see above), so 32-bit Wine was not installed"
      elif ! aptget install -y -q --no-install-recommends "${need[@]}"; then
        run32="32-bit Wine could not be installed (see above)"
      fi
      if [ -n "$run32" ] && [ -n "$added" ] &&
         ! dpkg-query -W -f '${Architecture} ${db:Status-Abbrev}\n' | grep -q '^i386 .i'; then
        dpkg --remove-architecture i386
      fi
    fi
  fi
fi
say "tools ready in $(( $(date +%s) - start )) s"

# ---- Build ------------------------------------------------------------------------
start=$(date +%s)
cmake -S . -B "$build32" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build32" -j"$jobs"
cmake -S . -B "$build64" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build "$build64" -j"$jobs"
say "built in $(( $(date +%s) - start )) s"

# ---- The tables: every function of kel32.h under its plain name, and only
# system DLLs imported (the compiler's run-time libraries are linked in) ----------
declared=$(grep -o 'KEL_CALL kel[A-Za-z0-9]*' include/kel32.h | sed 's/KEL_CALL //' | sort -u)
check_tables() {  # objdump dll format
  local dump exported imports
  dump=$("$1" -p "$2")
  if ! grep -q "file format $3$" <<<"$dump"; then
    say "$(basename "$2") is not a $3 DLL" >&2
    return 1
  fi
  exported=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
             sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
  if [ "$exported" != "$declared" ]; then
    say "the export table of $(basename "$2") differs from kel32.h" >&2
    diff <(printf '%s\n' "$declared") <(printf '%s\n' "$exported") >&2 || true
    return 1
  fi
  imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
  if [ "$imports" != "crypt32.dll kernel32.dll msvcrt.dll secur32.dll user32.dll wsock32.dll " ]; then
    say "$(basename "$2") imports unexpected DLLs: $imports" >&2
    return 1
  fi
  say "$(basename "$2") ($3) exports $(printf '%s\n' "$exported" | wc -l) functions by plain name and imports only system DLLs"
}
check_tables i686-w64-mingw32-objdump "$build32/KEL32.dll" pei-i386
check_tables x86_64-w64-mingw32-objdump "$build64/KEL64.dll" pei-x86-64

# ---- Tests under Wine -----------------------------------------------------------------
# ctest makes each Wine prefix first and stops its wineserver last; the trap
# stops them too if the run is cut short.
stop_wine() {
  WINEPREFIX="$build64/wineprefix" /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
  if command -v wineserver >/dev/null; then
    WINEPREFIX="$build32/wineprefix" wineserver -k >/dev/null 2>&1 || true
  fi
}
trap stop_wine EXIT
failed=0
start=$(date +%s)
WINEPREFIX="$build64/wineprefix" ctest --test-dir "$build64" --output-on-failure || failed=1
say "64-bit tests (KEL64.dll under 64-bit Wine) ran in $(( $(date +%s) - start )) s"
if [ -z "$run32" ]; then
  start=$(date +%s)
  WINEPREFIX="$build32/wineprefix" ctest --test-dir "$build32" --output-on-failure || failed=1
  say "32-bit tests (KEL32.dll under 32-bit Wine) ran in $(( $(date +%s) - start )) s"
else
  say "$run32:"
  say "KEL32.dll was built and its tables checked; its tests were NOT run"
fi
say "done in $(( $(date +%s) - total )) s"
exit $failed
