#!/bin/sh
# The installed package works for a program that knows only the installed
# files: install into a scratch prefix, build a small C program with
# pkg-config and another with find_package(kel32), and run them.
#   installed_package_test.sh BUILD_DIR WORK_DIR C_COMPILER CMAKE [EXTRA_CFLAGS]
set -eu
build=$1 work=$2 cc=$3 cmake=$4 extra=${5:-}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# What must be in place.
libdir=$(dirname "$(find "$prefix" -name 'libkel32.so.3.4.1' | head -n 1)")
[ -f "$libdir/libkel32.so.3.4.1" ] || fail "libkel32.so.3.4.1 not installed"
[ "$(readlink "$libdir/libkel32.so.3")" = libkel32.so.3.4.1 ] || fail "soname link libkel32.so.3"
[ -L "$libdir/libkel32.so" ] || fail "development link libkel32.so"
[ -f "$prefix/include/kel32.h" ] || fail "kel32.h not installed"
[ -x "$prefix/bin/kelmail" ] || fail "kelmail not installed"
[ -f "$libdir/pkgconfig/kel32.pc" ] || fail "kel32.pc not installed"
[ -f "$libdir/cmake/kel32/kel32Config.cmake" ] || fail "kel32Config.cmake not installed"
[ -f "$libdir/cmake/kel32/kel32ConfigVersion.cmake" ] || fail "kel32ConfigVersion.cmake not installed"
if command -v readelf >/dev/null 2>&1; then
  readelf -d "$libdir/libkel32.so.3.4.1" | grep -q 'SONAME.*\[libkel32\.so\.3\]' || fail "soname is not libkel32.so.3"
fi

# The installed program finds the installed library by itself.
"$prefix/bin/kelmail" --version | grep -q 'KEL32 library 3.4.1' || fail "installed kelmail --version"

# man kelmail finds the installed page, which formats without warnings.
[ -f "$prefix/share/man/man1/kelmail.1" ] || fail "kelmail.1 not installed"
if command -v man >/dev/null 2>&1; then
  [ "$(MANPATH="$prefix/share/man" man -w kelmail)" = "$prefix/share/man/man1/kelmail.1" ] || fail "man -w kelmail"
fi
if command -v groff >/dev/null 2>&1; then
  warnings=$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/kelmail.1" 2>&1)
  [ -z "$warnings" ] || fail "kelmail.1: $warnings"
fi

cat >"$work/tiny.c" <<'C'
#include <stdio.h>
#include <kel32.h>

int main(void) {
  if (kelAttach(1, 0) < 1) return 1;
  int version = kelStatistics(0, KEL_STAT_VERSION);
  kelRelease();
  printf("version %d\n", version);
  return version == 833 ? 0 : 2;
}
C

# With pkg-config, the way the README shows.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kel32)" = 3.4.1 ] || fail "pkg-config --modversion"
# shellcheck disable=SC2046
"$cc" $extra -o "$work/tiny" "$work/tiny.c" $(pkg-config --cflags --libs kel32) -Wl,-rpath,"$libdir" ||
  fail "building against pkg-config kel32"
[ "$("$work/tiny")" = "version 833" ] || fail "the pkg-config program"

# With CMake's find_package and the exported target.
mkdir -p "$work/consumer"
cp "$work/tiny.c" "$work/consumer/tiny.c"
cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(kel32 3.4 REQUIRED)
add_executable(tiny tiny.c)
target_link_libraries(tiny PRIVATE kel32::kel32)
CM
"$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" \
  >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "find_package(kel32)"; }
"$cmake" --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "building the CMake consumer"; }
[ "$("$work/consumer/build/tiny")" = "version 833" ] || fail "the CMake consumer program"

echo "installed package OK: $prefix"
rm -rf "$work"
