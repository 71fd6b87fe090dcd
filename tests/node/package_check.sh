#!/bin/sh
# Packs the Node.js package the way the README says, installs the tarball into a
# fresh folder with npm offline, runs a require() script and an import script
# there with no tavisk environment variables, type-checks a TypeScript use of it,
# then runs the package's tests (node --test) against that install.
# Usage: package_check.sh BUILD_DIR [TAVISK_COMMAND]
set -eu
build="$1"
cli="${2:-}"
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(dirname "$(dirname "$here")")
pkg="$checkout/bindings/node"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Reuse this build's addon and library instead of compiling them again.
(cd "$pkg" && TAVISK_BUILD_DIR="$build" npm pack --pack-destination "$tmp") >"$tmp/pack.log" 2>&1 ||
  { cat "$tmp/pack.log"; exit 1; }
mkdir "$tmp/app"
cd "$tmp/app"
printf '{"name": "app", "version": "1.0.0", "private": true}\n' >package.json
npm install --offline --no-audit --no-fund "$tmp"/tavisk-*.tgz >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; exit 1; }

cat >require.js <<'JS'
const tavisk = require('tavisk');
const fs = require('fs');
tavisk.shrinkAsync(fs.readFileSync(process.argv[2]), { max_tokens: 500 }).then((r) => {
  if (!r.report.fits || !r.report.pruned || r.report.max_chars !== 1750) throw new Error(JSON.stringify(r.report));
  if (!require.resolve('tavisk').startsWith(process.cwd())) throw new Error(require.resolve('tavisk'));
  console.log('require ok');
});
JS
cat >import.mjs <<'JS'
import { shrinkAsync, OptionsError } from 'tavisk';
import { readFile } from 'node:fs/promises';
const r = await shrinkAsync(JSON.parse(await readFile(process.argv[2], 'utf8')), { max_chars: 1200 });
if (!r.report.fits || r.report.input_format !== 'json') throw new Error(JSON.stringify(r.report));
await shrinkAsync('{}', { bogus: 1 }).then(() => { throw new Error('no error'); }, (e) => {
  if (!(e instanceof OptionsError)) throw e;
});
console.log('import ok');
JS
nodedir=$(dirname "$(command -v node)")
env -i PATH="$nodedir:/usr/bin:/bin" node require.js "$checkout/examples/github-issues.json"
env -i PATH="$nodedir:/usr/bin:/bin" node import.mjs "$checkout/examples/github-issues.json"

cp "$pkg/typecheck/usage.ts" usage.ts
"$pkg/node_modules/.bin/tsc" --noEmit --strict --target es2022 --lib es2022 --module nodenext \
  --moduleResolution nodenext usage.ts
echo "typescript ok"

cp -r "$pkg/test" test
TAVISK_CLI="$cli" TAVISK_CHECKOUT="$checkout" node --test test/
