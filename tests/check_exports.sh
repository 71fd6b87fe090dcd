#!/bin/sh
# The shared library exports exactly the four tavisk_* functions and has soname libtavisk.so.0.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | grep -v '^_' | sort | tr '\n' ' ')
want="tavisk_alloc tavisk_free tavisk_shrink tavisk_version "
if [ "$syms" != "$want" ]; then
  echo "exported symbols: '$syms', want '$want'" >&2
  exit 1
fi
others=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^tavisk_(alloc|free|shrink|version)$' | grep -v -E '^(LIBTAVISK|_init$|_fini$)' || true)
if [ -n "$others" ]; then
  echo "unexpected exports: $others" >&2
  exit 1
fi
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
if [ "$soname" != "libtavisk.so.0" ]; then
  echo "soname '$soname', want libtavisk.so.0" >&2
  exit 1
fi
echo "exports and soname ok"
