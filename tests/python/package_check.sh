#!/bin/sh
# Builds the Python wheel the way the README says, installs it into a fresh
# virtual environment outside the checkout, runs a script there with no tavisk
# environment variables, then runs the binding's tests against that install.
# Usage: package_check.sh BUILD_DIR PYTHON [TAVISK_COMMAND]
set -eu
build="$1"
python="$2"
cli="${3:-}"
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(dirname "$(dirname "$here")")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Reuse this build's library instead of compiling a second one.
TAVISK_BUILD_DIR="$build" "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$tmp/dist" \
  "$checkout/bindings/python" >"$tmp/wheel.log" 2>&1 || { cat "$tmp/wheel.log"; exit 1; }
# System site packages give the venv Debian's setuptools and wheel; the package itself comes only from the wheel.
"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --no-index "$tmp"/dist/tavisk-*.whl

cd "$tmp"
env -i PATH=/usr/bin:/bin "$tmp/venv/bin/python" - "$checkout/examples/github-issues.json" <<'PY'
import sys
import tavisk

result = tavisk.shrink(open(sys.argv[1], encoding="utf-8").read(), max_tokens=500)
assert result.report.fits and result.report.pruned, result.report
assert result.report.max_chars == 1750 and len(result.text) <= 1750
assert tavisk.__file__.startswith(sys.prefix), tavisk.__file__
print("installed package ok:", tavisk.__file__)
PY
TAVISK_CLI="$cli" "$tmp/venv/bin/python" -m unittest discover -s "$here" -p 'test_*.py' -v
