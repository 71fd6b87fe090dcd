#!/bin/sh
# The first command on a bare Debian machine: installs make when it is missing, then runs the given
# make targets (default: check, which installs the rest of the Makefile's Debian packages, builds,
# and runs every test plainly and under ASan+UBSan). Needs root, or sudo, for apt-get.
# Usage: sh bootstrap.sh [TARGET...]
set -eu
cd "$(dirname "$0")"
as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "bootstrap.sh: installing packages needs root; run it as root or install sudo" >&2
    exit 1
  fi
}
if ! command -v make >/dev/null 2>&1; then
  echo "bootstrap.sh: installing make"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends make
fi
[ $# -gt 0 ] || set -- check
exec make "$@"
