#!/bin/sh
# Installs the build into a temporary prefix and builds a small C host against
# it twice: once through pkg-config and once through find_package(tavisk).
# Usage: install_check.sh BUILD_DIR C_COMPILER [EXTRA_C_FLAGS]
set -eu
build="$1"
cc="$2"
extra="${3:-}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/inst"

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"

# The command with its manual page and completions; everything stripped unless asked otherwise.
for f in bin/tavisk share/man/man1/tavisk.1 share/bash-completion/completions/tavisk \
  share/zsh/vendor-completions/_tavisk; do
  [ -s "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
grep -q '^\.TH TAVISK 1' "$prefix/share/man/man1/tavisk.1" || { echo "tavisk.1 is not a manual page" >&2; exit 1; }
[ "$("$prefix/bin/tavisk" --version)" = "tavisk 0.2.1" ] || { echo "installed command does not run" >&2; exit 1; }
lib=$(find "$prefix" -name 'libtavisk.so.0.*' -type f)
if readelf -S "$lib" | grep -q '\.debug_info\|\.symtab'; then
  echo "installed library is not stripped" >&2
  exit 1
fi
echo "command, manual page, completions, stripping: ok"

cat >"$tmp/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <tavisk.h>

int main(void) {
  const char* doc = "[1, 2]";
  const char* opts = "{\"indent\":0}";
  const char* want = "{\"ok\":true,\"text\":\"[1,2]\",";
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink((const uint8_t*)doc, strlen(doc), (const uint8_t*)opts, strlen(opts), &len);
  int good = len > strlen(want) && memcmp(out, want, strlen(want)) == 0;
  tavisk_free(out, len);
  if (!good || strcmp(tavisk_version(), "0.2.1") != 0) return 1;
  puts("host ok");
  return 0;
}
C

# pkg-config, from wherever the .pc file landed.
pcdir=$(dirname "$(find "$prefix" -name tavisk.pc)")
export PKG_CONFIG_PATH="$pcdir"
[ "$(pkg-config --modversion tavisk)" = "0.2.1" ] || { echo "pkg-config version wrong" >&2; exit 1; }
libdir=$(pkg-config --variable=libdir tavisk)
[ -e "$libdir/libtavisk.so.0" ] || { echo "pkg-config libdir $libdir has no libtavisk.so.0" >&2; exit 1; }
# shellcheck disable=SC2046,SC2086
"$cc" $extra "$tmp/host.c" -o "$tmp/host_pc" $(pkg-config --cflags --libs tavisk)
[ "$(LD_LIBRARY_PATH="$libdir" "$tmp/host_pc")" = "host ok" ] || { echo "pkg-config host failed" >&2; exit 1; }
echo "pkg-config: ok"

# find_package in a CMake project.
mkdir "$tmp/proj"
cp "$tmp/host.c" "$tmp/proj/host.c"
cat >"$tmp/proj/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(host LANGUAGES C)
find_package(tavisk 0.2 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE tavisk::tavisk)
CMAKE
cmake -S "$tmp/proj" -B "$tmp/proj/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >"$tmp/configure.log" ||
  { cat "$tmp/configure.log" >&2; exit 1; }
cmake --build "$tmp/proj/build" >"$tmp/build.log" || { cat "$tmp/build.log" >&2; exit 1; }
[ "$("$tmp/proj/build/host")" = "host ok" ] || { echo "find_package host failed" >&2; exit 1; }
echo "find_package: ok"

# The installed command runs against the installed library.
out=$(printf '[1, 2]' | LD_LIBRARY_PATH="$libdir" "$prefix/bin/tavisk" --indent 0)
[ "$out" = "[1,2]" ] || { echo "installed tavisk printed '$out'" >&2; exit 1; }
echo "installed command: ok"
