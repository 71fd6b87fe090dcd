#!/bin/sh
# Builds the addon and the library with CMake and places both in native/, so the
# packed tarball installs without a compiler or network. TAVISK_BUILD_DIR may name
# a configured build directory of this checkout to reuse; otherwise build/cmake here.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(dirname "$(dirname "$here")")
build="${TAVISK_BUILD_DIR:-$here/build/cmake}"
[ -e "$here/node_modules/node-addon-api/napi.h" ] || { echo "tavisk: run 'npm ci' in $here first" >&2; exit 1; }
if [ ! -e "$build/CMakeCache.txt" ]; then
  generator=""
  command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
  # shellcheck disable=SC2086
  cmake -S "$checkout" -B "$build" $generator -DCMAKE_BUILD_TYPE=Release -DTAVISK_TESTS=OFF
elif [ ! -d "$build/bindings/node" ]; then
  # Configure again so a build directory made before 'npm ci' finds node-addon-api.
  cmake -S "$checkout" -B "$build" >/dev/null
fi
if grep -q '^TAVISK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "tavisk: $build is a sanitizer build; the package needs a plain one" >&2
  exit 1
fi
cmake --build "$build" --target tavisk_node
mkdir -p "$here/native"
# Real files, not the soname links; debug sections are dropped from the copies.
cp "$build/node/tavisk.node" "$here/native/tavisk.node"
cp "$(readlink -f "$build/libtavisk.so.0")" "$here/native/libtavisk.so.0"
if command -v strip >/dev/null 2>&1; then
  strip --strip-unneeded "$here/native/tavisk.node" "$here/native/libtavisk.so.0"
fi
