'use strict';
// The tavisk package end to end: the same answers as the command's envelope (the
// C call), typed frozen results, error kinds, token budgets, large documents, many
// concurrent promises and a free event loop. TAVISK_CLI names the command.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const tavisk = require('tavisk');

const CLI = process.env.TAVISK_CLI || '';
const CHECKOUT = process.env.TAVISK_CHECKOUT || path.resolve(__dirname, '..', '..', '..');
const EXAMPLE = path.join(CHECKOUT, 'examples', 'github-issues.json');
const SHARED = path.join(CHECKOUT, '..', 'shared', 'corpus', 'real');
const REPORT_KEYS = [
  'input_chars', 'output_chars', 'max_chars', 'format', 'input_format', 'pruned', 'fits',
  'strings_truncated', 'arrays_sampled', 'items_omitted', 'objects_trimmed', 'keys_omitted',
  'containers_collapsed', 'arrays_condensed', 'protected_omitted', 'field_decisions',
  'fields_dropped', 'dropped_fields',
];

function cliEnvelope(bytes, options, extraArgs = []) {
  const run = spawnSync(CLI, ['--envelope', '--options', JSON.stringify(options), ...extraArgs, '-'],
    { input: bytes, maxBuffer: 1 << 30 });
  return JSON.parse(run.stdout.toString('utf8'));
}

function outcome(fn) {
  try {
    const r = fn();
    return { ok: true, text: r.text, report: r.report };
  } catch (e) {
    if (!(e instanceof tavisk.TaviskError)) throw e;
    return { ok: false, error: e.message };
  }
}

async function outcomeAsync(promise) {
  try {
    const r = await promise;
    return { ok: true, text: r.text, report: r.report };
  } catch (e) {
    if (!(e instanceof tavisk.TaviskError)) throw e;
    return { ok: false, error: e.message };
  }
}

function cases() {
  const example = fs.readFileSync(EXAMPLE);
  const list = [
    ['example fits', example, { max_chars: 1000000 }],
    ['example pruned', example, { max_chars: 2000, protect: ['/*/number'] }],
    ['example condensed, explained', example,
      { max_chars: 3000, array_strategy: 'condense', explain: true, arguments: { q: 'open bugs' } }],
    ['example as yaml', example, { max_chars: 1500, format: 'yaml', indent: 4 }],
    ['unicode', Buffer.from(`{"n\u00e4me": "Zo\u00eb \u{1F600} \u2026 \uD7FF\uE000\uFFFD\u{10FFFF}\u007F\u0080\u07FF\u0800", "s": "${'\u00e9'.repeat(900)}"}`),
      { max_chars: 120 }],
    ['yaml input', Buffer.from('a: 1\nb: [x, y]\nc: |\n  line\n'), {}],
    ['bad json', Buffer.from('{"a": 1,}'), { input_format: 'json' }],
    ['bad utf-8', Buffer.from([0xff, 0xfe]), {}],
    ['bad option', Buffer.from('{}'), { max_chars: '10' }],
    ['log text', Buffer.from('2024-05-01 INFO start\n\x1b[31mERROR\x1b[0m x: y\n'.repeat(300)),
      { max_chars: 400, strip_ansi: true }],
  ];
  return list;
}

function corpusCases() {
  const list = [];
  for (const name of fs.readdirSync(SHARED).sort()) {
    const file = path.join(SHARED, name);
    if (name !== 'MANIFEST.tsv' && fs.statSync(file).size < 600000) {
      list.push([name, fs.readFileSync(file), { max_chars: 1200 }]);
    }
  }
  return list;
}

async function checkAgainstCommand(list) {
  for (const [name, bytes, options] of list) {
    const want = cliEnvelope(bytes, { input_format: 'detect', ...options });
    // Later library versions may add report keys after these eighteen.
    if (want.ok) assert.deepEqual(Object.keys(want.report).slice(0, 18), REPORT_KEYS, name);
    assert.deepEqual(outcome(() => tavisk.shrink(bytes, options)), want, name);
    assert.deepEqual(await outcomeAsync(tavisk.shrinkAsync(bytes, options)), want, name);
    if (name !== 'bad utf-8') {
      assert.deepEqual(outcome(() => tavisk.shrink(bytes.toString('utf8'), options)), want, name);
    }
  }
}

test('results equal the command envelope, sync and async, from a string or a Buffer',
  { skip: !CLI && 'TAVISK_CLI is not set' }, () => checkAgainstCommand(cases()));

test('corpus results equal the command envelope',
  { skip: (!CLI && 'TAVISK_CLI is not set') || (!fs.existsSync(SHARED) && '../shared/corpus/real is not beside the checkout') },
  () => checkAgainstCommand(corpusCases()));

test('JSON values are sent as their JSON and read as JSON', { skip: !CLI && 'TAVISK_CLI is not set' }, () => {
  const value = { items: Array.from({ length: 300 }, (_, i) => ({ id: i, title: `t\u00eftle ${i}`, ok: i % 2 === 0, x: null })) };
  for (const options of [{ max_chars: 500 }, { max_chars: 500, input_format: 'yaml' }]) {
    const want = cliEnvelope(Buffer.from(JSON.stringify(value)), { input_format: 'json', ...options });
    assert.deepEqual(outcome(() => tavisk.shrink(value, options)), want);
  }
});

test('every way of passing the same bytes gives the same result', async () => {
  const text = '{"name": "Zo\u00eb \u{1F600}", "n": [1, 2, 3]}';
  const bytes = Buffer.from(text);
  const padded = Buffer.concat([Buffer.from('xxxx'), bytes, Buffer.from('yyyy')]);
  const want = tavisk.shrink(text, { indent: 0 });
  const inputs = {
    Buffer: bytes,
    'Uint8Array view with an offset': new Uint8Array(padded.buffer, padded.byteOffset + 4, bytes.length),
    ArrayBuffer: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length),
    DataView: new DataView(padded.buffer, padded.byteOffset + 4, bytes.length),
    'JSON value': JSON.parse(text),
  };
  for (const [kind, input] of Object.entries(inputs)) {
    assert.deepEqual(tavisk.shrink(input, { indent: 0 }), want, kind);
    assert.deepEqual(await tavisk.shrinkAsync(input, { indent: 0 }), want, kind);
  }
  assert.equal(tavisk.shrink(['a: 1'], { indent: 0 }).text, '["a: 1"]');
  assert.equal(tavisk.shrink(null).text, 'null');
});

test('text is read by the reader that fits unless one is named; values are JSON', () => {
  const table = [
    ['{"a": 1}', {}, 'json'],
    ['a: 1\nb: [x, y]\n', {}, 'yaml'],
    ['2024-05-01 INFO start\n2024-05-01 ERROR x: y\n', {}, 'text'],
    [Buffer.from('[1, 2'), {}, 'text'],
    ['plain words', {}, 'text'],
    [{ a: 'b: c' }, {}, 'json'],
    ['a: 1', { input_format: 'text' }, 'text'],
    ['a: 1', { input_format: 'auto' }, 'yaml'],
    [{ a: 1 }, { input_format: 'yaml' }, 'yaml'],
  ];
  for (const [doc, options, reader] of table) {
    assert.equal(tavisk.shrink(doc, options).report.input_format, reader, JSON.stringify([doc, options]));
  }
});

test('results are frozen and the report is typed and complete', () => {
  const r = tavisk.shrink(fs.readFileSync(EXAMPLE), { max_chars: 3000, array_strategy: 'condense', explain: true });
  assert.deepEqual(Object.keys(r.report).slice(0, 18), REPORT_KEYS);
  assert.equal(r.report.output_chars, [...r.text].length);
  assert.ok(r.report.pruned && r.report.fits);
  assert.ok(r.report.field_decisions.length > 0);
  for (const d of r.report.field_decisions) {
    assert.deepEqual(Object.keys(d), ['path', 'score', 'kept', 'relevance']);
    assert.equal(typeof d.score, 'number');
  }
  assert.ok(Object.isFrozen(r) && Object.isFrozen(r.report) && Object.isFrozen(r.report.field_decisions));
  assert.throws(() => { 'use strict'; r.report.fits = false; }, TypeError);
  assert.throws(() => { r.report.field_decisions.push({}); }, TypeError);
});

test('report keys after the eighteen come through', () => {
  const doc = fs.readFileSync(EXAMPLE);
  const plain = tavisk.shrink(doc, { max_chars: 2000, arguments: 'crash' });
  const focused = tavisk.shrink(doc, { max_chars: 2000, arguments: 'crash', focus: 'auto' });
  assert.deepEqual(Object.keys(plain.report), REPORT_KEYS);
  const extra = Object.keys(focused.report).slice(18);
  assert.ok(extra.length > 0);
  assert.deepEqual(Object.keys(focused.report).slice(0, 18), REPORT_KEYS);
  for (const key of extra) assert.equal(typeof focused.report[key], 'number', key);
});

test('errors carry their kind and the library message', async () => {
  const table = [
    ['{}', { bogus: 1 }, tavisk.OptionsError, 'invalid options: unknown option: bogus'],
    ['{}', { max_chars: -1 }, tavisk.OptionsError, 'invalid options: max_chars must be a non-negative integer'],
    ['{}', { max_chars: 1.5 }, tavisk.OptionsError, 'invalid options: max_chars must be a non-negative integer'],
    ['{}', { protect: 5 }, tavisk.OptionsError, 'invalid options: protect must be a list of strings'],
    ['{}', { format: 'yaml', indent: 1 }, tavisk.OptionsError, 'invalid options: YAML indent must be at least 2'],
    [Buffer.from([0xff]), { bogus: 1 }, tavisk.InputError, 'input is not valid UTF-8'],
    ['', { input_format: 'auto' }, tavisk.InputError, 'invalid JSON input: unexpected end of input at line 1, column 1'],
    ['[1, 2', { input_format: 'auto' }, tavisk.InputError, 'invalid JSON input: '],
    ['a: [1', { input_format: 'yaml' }, tavisk.InputError, 'invalid YAML input: '],
    ['{"a": 1,}', { input_format: 'json' }, tavisk.InputError, 'invalid JSON input: '],
  ];
  // Strings with lone surrogates are refused where the engine can tell (String.prototype.isWellFormed).
  if (typeof ''.isWellFormed === 'function') {
    table.push(['"x\ud800y"', {}, tavisk.InputError, 'input is not valid UTF-8']);
    table.push(['"\udc00"', {}, tavisk.InputError, 'input is not valid UTF-8']);
  }
  const kinds = new Map([[tavisk.OptionsError, 'options'], [tavisk.InputError, 'input']]);
  for (const [doc, options, Kind, message] of table) {
    const check = (e) => {
      assert.equal(e.constructor, Kind, message);
      assert.ok(e instanceof tavisk.TaviskError && e instanceof Error);
      assert.equal(e.kind, kinds.get(Kind));
      assert.equal(e.name, Kind.name);
      assert.ok(e.message.startsWith(message), e.message);
      return true;
    };
    assert.throws(() => tavisk.shrink(doc, options), check);
    await assert.rejects(tavisk.shrinkAsync(doc, options), check);
  }
});

test('arguments that are no document or no options object are type errors', async () => {
  for (const [doc, options] of [[undefined, {}], [() => 1, {}], [1n, {}], ['{}', 'max_chars=5'], ['{}', [1]],
    ['{}', { max_chars: 1, indent: 2n }]]) {
    assert.throws(() => tavisk.shrink(doc, options), TypeError);
    await assert.rejects(tavisk.shrinkAsync(doc, options), TypeError);
  }
});

test('token budgets become character budgets', () => {
  const table = [
    [{ max_tokens: 1000 }, 3500],
    [{ max_tokens: 1001 }, 3503],
    [{ max_tokens: 10, chars_per_token: 0.7 }, 7],
    [{ max_tokens: 3, chars_per_token: 0.1 }, 0],
    [{ max_tokens: 7, chars_per_token: 1 }, 7],
    [{ max_tokens: 0 }, 0],
    [{ max_tokens: 5, chars_per_token: 4.25 }, 21],
  ];
  for (const [options, chars] of table) {
    assert.equal(tavisk.shrink('[1]', options).report.max_chars, chars, JSON.stringify(options));
    assert.equal(tavisk.charsForTokens(options.max_tokens, options.chars_per_token), chars);
  }
  // Budgets past 2^53 are sent digit for digit; past 2^64 the budget saturates.
  for (const [tokens, chars] of [[5270498306774156000, 18446744073709547520n], [5270498306774157000, 18446744073709551615n],
    [2 ** 62 * 8, 18446744073709551615n]]) {
    assert.equal(tavisk.charsForTokens(tokens), chars);
    assert.equal(tavisk._optionsText({ max_tokens: tokens, indent: 0 }, false),
      `{"max_chars":${chars},"indent":0,"input_format":"detect"}`);
    // JSON.parse reads the report's number back as the nearest double.
    assert.equal(tavisk.shrink('[1]', { max_tokens: tokens }).report.max_chars, Number(chars));
  }
  for (const bad of [{ max_tokens: -1 }, { max_tokens: 1.5 }, { max_tokens: '10' }, { max_tokens: true },
    { max_tokens: 10, chars_per_token: 0 }, { max_tokens: 10, chars_per_token: -2 },
    { max_tokens: 10, chars_per_token: NaN }, { max_tokens: 10, chars_per_token: Infinity },
    { max_tokens: 10, max_chars: 100 }, { chars_per_token: 4 }]) {
    assert.throws(() => tavisk.shrink('[1]', bad), tavisk.OptionsError, JSON.stringify(bad));
  }
});

test('the command agrees on token budgets', { skip: !CLI && 'TAVISK_CLI is not set' }, (t) => {
  const help = spawnSync(CLI, ['--help']).stdout.toString();
  if (!help.includes('--max-tokens')) return t.skip('the command has no --max-tokens flag');
  for (const [tokens, ratio] of [[1000, null], [10, '0.7'], [3, '0.1'], [5, '4.25'], [123457, '2.9']]) {
    const args = ['--max-tokens', String(tokens), ...(ratio ? ['--chars-per-token', ratio] : [])];
    const want = cliEnvelope(Buffer.from('[1]'), {}, args).report.max_chars;
    const options = ratio ? { max_tokens: tokens, chars_per_token: Number(ratio) } : { max_tokens: tokens };
    assert.equal(tavisk.shrink('[1]', options).report.max_chars, want, args.join(' '));
  }
});

const big = JSON.stringify(Array.from({ length: 70000 }, (_, i) => ({ id: i, name: `item ${i}`, body: 'word '.repeat(24) })));

test('a very large document shrinks and round-trips', async () => {
  assert.ok(big.length > 10e6);
  const r = await tavisk.shrinkAsync(big, { max_chars: 2000, protect: '/*/id' });
  assert.ok(r.report.fits && r.report.pruned && r.report.input_chars > 10e6);
  assert.equal(r.report.output_chars, r.text.length);
  const whole = tavisk.shrink(Buffer.from(big), { max_chars: 1e9, indent: 0 });
  assert.equal(whole.text, big);
});

test('the event loop keeps running while shrinkAsync works', async () => {
  // The document is doubled until one call lasts long enough to tell, however fast the machine.
  let bytes = Buffer.from(big);
  let ticks = 0;
  let ms = 0;
  for (let round = 0; round < 6 && ms <= 40; round += 1) {
    if (round > 0) bytes = Buffer.concat([Buffer.from('['), bytes, Buffer.from(','), bytes, Buffer.from(']')]);
    ticks = 0;
    const timer = setInterval(() => { ticks += 1; }, 1);
    const start = process.hrtime.bigint();
    const r = await tavisk.shrinkAsync(bytes, { max_chars: 2000 });
    ms = Number(process.hrtime.bigint() - start) / 1e6;
    clearInterval(timer);
    assert.ok(r.report.fits);
  }
  assert.ok(ms > 40, `the call took only ${ms} ms`);
  assert.ok(ticks >= 5, `only ${ticks} timer ticks in ${ms.toFixed(0)} ms`);
});

test('many concurrent promises give the same answers as one call after another', async () => {
  const docs = [0, 1, 2, 3].map((n) => JSON.stringify(Array.from({ length: 20000 },
    (_, i) => ({ [`k${i % (n + 2)}`]: 'v'.repeat(i % 50), i }))));
  const options = { max_chars: 3000, array_strategy: 'condense' };
  const sequential = docs.map((d) => tavisk.shrink(d, options));
  assert.equal(new Set(sequential.map((r) => r.text)).size, 4);
  const parallel = await Promise.all(Array.from({ length: 16 }, (_, i) => tavisk.shrinkAsync(docs[i % 4], options)));
  parallel.forEach((r, i) => assert.deepEqual(r, sequential[i % 4]));
});
