#!/bin/sh
# The tavisk command end to end: input sources, flags, exit codes, output.
# Usage: cli_test.sh path/to/tavisk
set -u
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
repo=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }

# run ARGS...: runs the tool with stdin from $tmp/in, leaves out/err/rc.
run() {
  "$tool" "$@" <"$tmp/in" >"$tmp/out" 2>"$tmp/err"
  rc=$?
}
expect_rc() { [ "$rc" -eq "$1" ] && ok || bad "$2: exit $rc, want $1 (stderr: $(cat "$tmp/err"))"; }
expect_out() { [ "$(cat "$tmp/out")" = "$1" ] && ok || bad "$2: stdout '$(cat "$tmp/out")', want '$1'"; }
expect_err_has() { grep -qF -- "$1" "$tmp/err" && ok || bad "$2: stderr lacks '$1': $(cat "$tmp/err")"; }
expect_empty() { [ ! -s "$tmp/$1" ] && ok || bad "$2: $1 not empty: $(cat "$tmp/$1")"; }

printf '{"a": [1, 2], "b": "x"}' >"$tmp/doc.json"
: >"$tmp/in"

# A file, read and printed with one final line feed.
run --indent 0 "$tmp/doc.json"
expect_rc 0 "file"
expect_out '{"a":[1,2],"b":"x"}' "file"
[ "$(od -An -c "$tmp/out" | tr -d ' \n')" = '{"a":[1,2],"b":"x"}\n' ] && ok || bad "exactly one final line feed"
expect_empty err "file"

# Standard input, with '-' and with no FILE at all.
cp "$tmp/doc.json" "$tmp/in"
run --indent=0 -
expect_out '{"a":[1,2],"b":"x"}' "stdin via -"
run --indent 0
expect_out '{"a":[1,2],"b":"x"}' "stdin without FILE"

# Default indent 2; --indent 4.
run
expect_out "$(printf '{\n  "a": [\n    1,\n    2\n  ],\n  "b": "x"\n}')" "default indent"
run --indent 4
expect_out "$(printf '{\n    "a": [\n        1,\n        2\n    ],\n    "b": "x"\n}')" "indent 4"

# --options lies under the flags: its keys apply unless a flag sets the same key.
run --options '{"indent":0}'
expect_out '{"a":[1,2],"b":"x"}' "--options alone"
run --options '{"indent":0}' --indent 1
expect_out "$(printf '{\n "a": [\n  1,\n  2\n ],\n "b": "x"\n}')" "flag wins over --options"
run --options '{"protect":5}'
expect_rc 1 "bad protect in --options"
expect_err_has "invalid options: protect must be a list of strings" "bad protect in --options"
run --options '{"protect":5}' --protect /a --protect=/b/* --indent 0
expect_rc 0 "--protect replaces the --options value"

# The library's own option messages come through with exit 1.
run --max-chars 18446744073709551616
expect_rc 1 "u64 overflow"
expect_err_has "invalid options: max_chars must be a non-negative integer" "u64 overflow"
# Enumeration flags are checked before the library is called: exit 2, naming the flag and the value.
for args in "--format xml" "-f xml" "--input-format toml" "--scorer nope" "--strategy columns" "-s columns"; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 2 "bad value '$args'"
  expect_err_has "${args%% *} must be one of " "bad value '$args'"
  expect_err_has "not '${args##* }'" "bad value '$args'"
  expect_empty out "bad value '$args'"
done
# ... in every spelling the library accepts.
for args in "-f YML" "--input-format Json" "--scorer Key-Order" "--scorer keyorder" "-s CONDENSE"; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 0 "accepted value '$args'"
done
# The same names inside --options reach the library, whose message comes through with exit 1.
run --options '{"format":"xml"}'
expect_rc 1 "bad format in --options"
expect_err_has 'invalid options: format must be "auto", "json" or "yaml"' "bad format in --options"
run --options '{"field_scorer":"nope"}'
expect_err_has 'field_scorer must be one of ["heuristic", "compact", "key_order"]' "bad scorer in --options"
run --options '{"array_strategy":"columns"}'
expect_err_has 'array_strategy must be "sample" or "condense"' "bad strategy in --options"
run --options '{"indent":0,"mystery":true}'
expect_err_has "invalid options: unknown option: mystery" "unknown key in --options"

# Error envelopes: message on stderr, nothing on stdout, exit 1.
printf '{"a": 1,,}' >"$tmp/in"
run
expect_rc 1 "invalid JSON"
expect_err_has "tavisk: invalid JSON input: " "invalid JSON"
expect_empty out "invalid JSON"
printf '\377\376' >"$tmp/in"
run
expect_rc 1 "bad UTF-8"
expect_err_has "input is not valid UTF-8" "bad UTF-8"
run "$tmp/does-not-exist.json"
expect_rc 1 "missing file"
expect_err_has "does-not-exist.json" "missing file"

# Usage errors exit 2 and say what was wrong.
cp "$tmp/doc.json" "$tmp/in"
for args in "--bogus" "--max-chars" "--max-chars -5" "--max-chars 1e3" "--indent=" "--explain=yes" \
  "--report=1" "--options [1]" "--options {bad" "- -" "-n" "-x" "--max 5" "--strict=1" "--report-json"; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 2 "usage error for '$args'"
  expect_empty out "usage error for '$args'"
done
run --bogus
expect_err_has "unknown option '--bogus'" "bogus flag message"
run -x
expect_err_has "unknown option '-x'" "unknown short flag message"
run --max 5
expect_err_has "ambiguous option '--max' (--max-chars, --max-tokens, --max-samples)" "ambiguous prefix message"
run --strict=1
expect_err_has "--strict takes no value" "value for a plain flag"
run "$tmp/doc.json" -n
expect_err_has "-n needs a value" "missing value of a short flag"
run --max-chars=1e3
expect_err_has "--max-chars needs a non-negative integer, not '1e3'" "number flag message"

# A file whose name starts with a dash, after '--'.
cp "$tmp/doc.json" "$tmp/-dash.json"
(cd "$tmp" && "$tool" --indent 0 -- -dash.json >out 2>err)
rc=$?
expect_rc 0 "-- before a dashed file name"
expect_out '{"a":[1,2],"b":"x"}' "-- before a dashed file name"

# Strings with escapes and characters beyond the BMP come back exactly.
printf '["tab\\there", "quote\\"", "\\u00e9\\ud83d\\ude00", "nl\\n", "ctl\\u0001"]' >"$tmp/in"
run --indent 0
expect_out '["tab\there","quote\"","é😀","nl\n","ctl\u0001"]' "escapes"

# --envelope prints the raw envelope.
printf '[1]' >"$tmp/in"
run --envelope --indent 0
expect_out '{"ok":true,"text":"[1]","report":{"input_chars":3,"output_chars":3,"max_chars":10000,"format":"json","input_format":"json","pruned":false,"fits":true,"strings_truncated":0,"arrays_sampled":0,"items_omitted":0,"objects_trimmed":0,"keys_omitted":0,"containers_collapsed":0,"arrays_condensed":0,"protected_omitted":0,"field_decisions":[],"fields_dropped":0,"dropped_fields":[]}}' "--envelope"

# --report summarises on stderr, counting characters, and leaves stdout alone.
printf '["\303\251\303\251"]' >"$tmp/in"
run --report --indent 0 --max-chars 100
expect_rc 0 "--report"
expect_out '["éé"]' "--report stdout"
expect_err_has "input chars: 6" "--report input chars"
expect_err_has "output chars: 6 (max 100)" "--report output chars"
expect_err_has "fits: yes, pruned: no" "--report fits"

# --report after pruning: a line for each non-zero counter of the envelope's report, none for
# the zero ones, and one line per dropped field.
cp "$repo/examples/github-issues.json" "$tmp/in"
run --report --envelope --max-chars 2000 --strategy condense
expect_rc 0 "--report pruned"
expect_err_has "fits: yes, pruned: yes" "--report pruned"
nonzero=0
for pair in $(grep -o '"report":{.*' "$tmp/out" | grep -o '"[a-z_]*":[0-9][0-9]*[,}]' | tr -d '",}'); do
  key=${pair%%:*}
  value=${pair#*:}
  case $key in input_chars | output_chars | max_chars | items | score | relevance) continue ;; esac
  line="$(echo "$key" | tr _ ' '): $value"
  if [ "$value" = 0 ]; then
    grep -q "^$(echo "$key" | tr _ ' '):" "$tmp/err" && bad "--report shows zero counter $key" || ok
  else
    nonzero=$((nonzero + 1))
    grep -qx -- "$line" "$tmp/err" && ok || bad "--report lacks '$line': $(cat "$tmp/err")"
  fi
done
[ "$nonzero" -gt 0 ] && ok || bad "--report pruned: no non-zero counter in $(cat "$tmp/out")"
for entry in $(grep -o '{"path":"[^"]*","items":[0-9]*}' "$tmp/out" | tr -d '{}"' | tr ' ' '?'); do
  path=$(echo "$entry" | sed 's/^path:\(.*\),items:.*/\1/' | tr '?' ' ')
  items=${entry##*items:}
  grep -qxF -- "  $path: $items items" "$tmp/err" && ok || bad "--report lacks dropped field $path: $(cat "$tmp/err")"
done

# YAML in and out: one final line feed only; a YAML error is a failure with its message.
printf 'a: [1, 0x1F]\nb: "x"\n' >"$tmp/in"
run
expect_rc 0 "yaml input"
expect_out "$(printf 'a:\n  - 1\n  - 31\nb: x')" "yaml output"
[ "$(od -An -c "$tmp/out" | tr -d ' \n')" = 'a:\n-1\n-31\nb:x\n' ] && ok || bad "yaml output: $(od -c "$tmp/out")"
expect_empty err "yaml input"
printf 'a: [1, 2\n' >"$tmp/in"
run --input-format yaml
expect_rc 1 "yaml error"
expect_err_has "tavisk: invalid YAML input: flow sequence without a closing bracket at byte 9 line 2 column 1" "yaml error"
expect_empty out "yaml error"

# Over budget: whatever the outcome, exit status and envelope agree.
printf '{"text": "%s"}' "$(printf '%0500d' 0)" >"$tmp/in"
run --envelope --max-chars 60
case "$(cat "$tmp/out")" in
  '{"ok":true,'*) [ "$rc" -eq 0 ] && ok || bad "over budget: ok envelope but exit $rc" ;;
  '{"ok":false,"error":'*) [ "$rc" -eq 1 ] && ok || bad "over budget: error envelope but exit $rc" ;;
  *) bad "over budget: no envelope: $(cat "$tmp/out")" ;;
esac

# Short flags send the same options as their long forms, and each changes the result.
cp "$repo/examples/github-issues.json" "$tmp/in"
run --envelope --max-chars 1500
default=$(cat "$tmp/out")
for pair in "-n 900|--max-chars 900" "-f yaml|--format yaml" "-s condense|--strategy condense" \
  "-p /*/title|--protect /*/title" "-a crash labels|--arguments crash labels"; do
  # (the arguments change nothing visible in this document; the pair must still agree)
  short=${pair%%|*}
  long=${pair#*|}
  # shellcheck disable=SC2086
  "$tool" --envelope --max-chars 1500 ${short%% *} "${short#* }" <"$tmp/in" >"$tmp/short" 2>&1
  # shellcheck disable=SC2086
  "$tool" --envelope --max-chars 1500 ${long%% *} "${long#* }" <"$tmp/in" >"$tmp/long" 2>&1
  cmp -s "$tmp/short" "$tmp/long" && ok || bad "'$short' differs from '$long'"
  [ "$short" = "-a crash labels" ] || { [ "$(cat "$tmp/short")" != "$default" ] && ok || bad "'$short' changes nothing"; }
done
# Clustered short flags and flags after the FILE.
run "$tmp/doc.json" -rn5 --indent 0
expect_err_has "(max 5)" "clustered -rn5"

# --strict: exit 3 when the result does not fit, 0 when it does; the text is printed either way.
printf '{"a": [1, 2], "b": "x"}' >"$tmp/in"
run --max-chars 5
expect_rc 0 "not fitting without --strict"
run --strict --max-chars 5
expect_rc 3 "--strict not fitting"
[ -s "$tmp/out" ] && ok || bad "--strict not fitting prints no text"
expect_err_has "result does not fit: " "--strict message"
expect_err_has "budget 5" "--strict message"
run --strict --max-chars 500
expect_rc 0 "--strict fitting"
expect_empty err "--strict fitting"
run --strict --max-chars 5 "$tmp/doc.json" "$tmp/does-not-exist.json"
expect_rc 1 "--strict: a failure outranks not fitting"
expect_err_has "$tmp/doc.json: result does not fit" "--strict names the file"

# --report-json: the envelope's report, byte for byte, in a file or on standard error.
cp "$repo/examples/github-issues.json" "$tmp/in"
run --envelope --explain -s condense -n 3000
sed 's/^.*,"report"://; s/}$//' "$tmp/out" >"$tmp/want"
grep -q '"score":[0-9]\.[0-9][0-9][0-9]' "$tmp/want" && ok || bad "no three-digit score to compare in $(cat "$tmp/want")"
run --report-json "$tmp/report.json" --explain -s condense -n 3000
expect_rc 0 "--report-json FILE"
cmp -s "$tmp/report.json" "$tmp/want" && ok || bad "--report-json: $(cat "$tmp/report.json") want $(cat "$tmp/want")"
expect_empty err "--report-json FILE"
run --report-json - --explain -s condense -n 3000
cmp -s "$tmp/err" "$tmp/want" && ok || bad "--report-json -: $(cat "$tmp/err")"
run --report-json "$tmp/no/such/dir/r.json"
expect_rc 1 "--report-json into a missing directory"
expect_err_has "$tmp/no/such/dir/r.json" "--report-json names the file"

# Several files: each under its heading with the whole budget; a failing one does not stop the rest.
printf '{"k": "%s"}' "$(printf '%0300d' 0)" >"$tmp/big1.json"
printf '[%s1]' "$(printf '1,%.0s' $(seq 200))" >"$tmp/big2.json"
printf '{"a": 1,,}' >"$tmp/broken.json"
run -n 80 --indent 0 "$tmp/big1.json" "$tmp/broken.json" "$tmp/big2.json" --report-json "$tmp/r.json"
expect_rc 1 "several files, one broken"
expect_err_has "tavisk: $tmp/broken.json: invalid JSON input: " "several files: error names the file"
for f in big1 big2; do
  "$tool" -n 80 --indent 0 "$tmp/$f.json" >"$tmp/alone" 2>/dev/null
  [ "$(wc -c <"$tmp/alone")" -gt 40 ] && ok || bad "several files: $f alone is too short: $(cat "$tmp/alone")"
  grep -A1 -xF "==> $tmp/$f.json <==" "$tmp/out" | sed -n 2p >"$tmp/section"
  cmp -s "$tmp/section" "$tmp/alone" && ok || bad "several files: section $f '$(cat "$tmp/section")' is not '$(cat "$tmp/alone")'"
done
[ "$(grep -c '^==> ' "$tmp/out")" -eq 2 ] && ok || bad "several files: want exactly two headings: $(cat "$tmp/out")"
[ "$(sed -n 1p "$tmp/out")" = "==> $tmp/big1.json <==" ] && ok || bad "several files: first heading first"
grep -q "\"file\":\"$tmp/big1.json\",\"report\":{\"input_chars\":" "$tmp/r.json" && ok || bad "report array: $(cat "$tmp/r.json")"
grep -q "\"file\":\"$tmp/broken.json\",\"error\":\"invalid JSON input: " "$tmp/r.json" && ok || bad "report array error"
[ "$(grep -o '"file":' "$tmp/r.json" | wc -l)" -eq 3 ] && ok || bad "report array: want 3 entries"
case "$(cat "$tmp/r.json")" in \[*\]) ok ;; *) bad "report array is not an array: $(cat "$tmp/r.json")" ;; esac

# -o writes the results to a file; write failures are exit 1 and name the target.
run -o "$tmp/result.json" --indent 0 "$tmp/doc.json"
expect_rc 0 "-o FILE"
expect_empty out "-o FILE"
[ "$(cat "$tmp/result.json")" = '{"a":[1,2],"b":"x"}' ] && ok || bad "-o FILE content: $(cat "$tmp/result.json")"
run -o "$tmp/no/such/dir/out.json" "$tmp/doc.json"
expect_rc 1 "-o into a missing directory"
expect_err_has "$tmp/no/such/dir/out.json" "-o names the file"
if [ -w /dev/full ]; then
  "$tool" "$tmp/doc.json" >/dev/full 2>"$tmp/err"
  rc=$?
  expect_rc 1 "stdout on a full device"
  expect_err_has "cannot write" "stdout on a full device"
fi

# --options keeps numbers as written, so the library judges 1.0 itself; deep nesting is refused cleanly.
run --options '{"max_chars":1.0}'
expect_rc 1 "--options number text kept"
expect_err_has "max_chars must be a non-negative integer" "--options number text kept"
run --options "$(printf '%0100000d' 0 | tr 0 '[')"
expect_rc 2 "--options nested deeply"

# A terminal on standard input is refused at once; with a FILE the terminal is not read.
if command -v script >/dev/null 2>&1 && script -qec true /dev/null </dev/null >/dev/null 2>&1; then
  script -qec "'$tool' -n 50; echo rc=\$?" /dev/null </dev/null >"$tmp/tty" 2>&1
  grep -q "reading from a terminal; give a FILE or pipe input" "$tmp/tty" && ok || bad "terminal: $(cat "$tmp/tty")"
  grep -q "rc=2" "$tmp/tty" && ok || bad "terminal: want exit 2: $(cat "$tmp/tty")"
  script -qec "'$tool' --indent 0 '$tmp/doc.json'; echo rc=\$?" /dev/null </dev/null >"$tmp/tty" 2>&1
  grep -q "rc=0" "$tmp/tty" && ok || bad "terminal with a FILE: $(cat "$tmp/tty")"
else
  echo "SKIP: terminal on standard input (no working 'script' command)"
fi

# --help lists every flag; --version prints the library version.
run --help
expect_rc 0 "--help"
for flag in --max-chars --indent --format --input-format --scorer --strategy --protect --arguments --explain \
  --no-keep-last-item --max-samples --min-partial-chars --string-head-chars --string-section-chars \
  --string-min-section-chars --options --report --report-json --envelope --strict --output --help --version; do
  grep -qE -- "^ +(-[a-zA-Z], )?$flag( |$)" "$tmp/out" && ok || bad "--help does not list $flag"
done
run --version
expect_out "tavisk 0.2.1" "--version"

# --help ends with three examples; every flag it lists is documented in docs/cli.md.
run --help
[ "$(sed -n '/^Examples:$/,$p' "$tmp/out" | grep -c '^  tavisk \|| tavisk ')" -eq 3 ] && ok || bad "--help: want three examples at the end"
[ "$(tail -n 1 "$tmp/out" | grep -c 'tavisk ')" -eq 1 ] && ok || bad "--help does not end with an example"
for flag in $(sed -n 's/^ *\(-[a-zA-Z], \)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p' "$tmp/out"); do
  grep -qF -- "**$flag**" "$repo/docs/cli.md" && ok || bad "docs/cli.md does not document $flag"
done

# Completions, generated at build time from the command's flags and enumeration words.
comp="$(dirname "$tool")/completions/tavisk"
if [ -f "$comp" ] && command -v bash >/dev/null 2>&1; then
  completes() {
    bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tavisk; echo "${COMPREPLY[*]}"' _ "$comp" "$@"
  }
  for case in "--stri|--strip-ansi --string-head-chars --string-section-chars --string-min-section-chars --strict" "--stra|--strategy" "-f y|yaml yml" "--scorer k|key_order keyorder" "--input-format J|" \
    "-s c|condense" "--max-c|--max-chars" "-n 1|" "--report-j|--report-json"; do
    words=${case%%|*}
    # shellcheck disable=SC2086
    got=$(completes tavisk $words)
    [ "$got" = "${case#*|}" ] && ok || bad "completing '$words': '$got', want '${case#*|}'"
  done
  got=$(cd "$tmp" && completes tavisk -o "big")
  [ "$got" = "big1.json big2.json" ] && ok || bad "completing a file after -o: '$got'"
  for flag in $(sed -n 's/^ *\(-[a-zA-Z], \)\{0,1\}--\([a-z][a-z-]*\).*/\2/p' "$tmp/out"); do
    grep -qF -- "'*--$flag" "$(dirname "$tool")/completions/_tavisk" && ok || bad "zsh completion lacks --$flag"
  done
else
  echo "SKIP: completions (not built beside the command, or no bash)"
fi

# Input formats: detection by default, text for .log/.txt/.md/.out, --input-format over both.
printf 'status: ok\ncount: 2\n' >"$tmp/build.log"
cp "$tmp/build.log" "$tmp/build.yaml"
cp "$tmp/build.log" "$tmp/build.OUT"
run -r "$tmp/build.log"
expect_out "$(printf 'status: ok\ncount: 2')" ".log read as text"
expect_err_has "format: text -> text" ".log read as text"
run -r "$tmp/build.OUT"
expect_err_has "format: text -> text" ".OUT read as text"
run -r "$tmp/build.yaml"
expect_err_has "format: yaml -> yaml" ".yaml read as YAML"
run -r --input-format yaml "$tmp/build.log"
expect_err_has "format: yaml -> yaml" "--input-format over the extension"
printf '# Notes\n\n- one\n- two\n' >"$tmp/in"
run -r
expect_out "$(printf '# Notes\n\n- one\n- two')" "Markdown on standard input detected as text"
expect_err_has "format: text -> text" "Markdown on standard input detected as text"
run -r --input-format auto
expect_err_has "format: yaml -> yaml" "--input-format auto keeps the library's detection"
printf 'name: x\nlist: [1, 2]\n' >"$tmp/in"
run -r
expect_err_has "format: yaml -> yaml" "YAML on standard input detected"
printf '\033[31mred\033[0m line\n' >"$tmp/in"
run --strip-ansi
expect_out "red line" "--strip-ansi"
run --help
grep -qE -- "^ +--strip-ansi +remove" "$tmp/out" && ok || bad "--help does not list --strip-ansi"
run
[ "$(od -An -c "$tmp/out" | tr -d ' \n')" = '033[31mred033[0mline\n' ] && ok || bad "escapes kept without --strip-ansi"
printf '{"a":1}\n{"a":2}\n' >"$tmp/in"
run -r
expect_out "$(printf '{"a":1}\n{"a":2}')" "JSON Lines on standard input"
expect_err_has "format: jsonl -> jsonl" "JSON Lines on standard input"
for i in $(seq 400); do echo "line $i of the log"; done >"$tmp/long.txt"
run -n 200 "$tmp/long.txt"
expect_rc 0 "long .txt"
[ "$(head -1 "$tmp/out")" = "line 1 of the log" ] && ok || bad "long .txt: first line: $(head -1 "$tmp/out")"
[ "$(tail -1 "$tmp/out")" = "line 400 of the log" ] && ok || bad "long .txt: last line: $(tail -1 "$tmp/out")"
grep -qE '^…\[\+[0-9]+ lines, [0-9]+ chars\]$' "$tmp/out" && ok || bad "long .txt: no lines marker: $(cat "$tmp/out")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
