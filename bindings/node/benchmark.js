'use strict';
// Times the package against the bare addon call (tavisk_shrink with the envelope
// handed back as a string, unparsed), and four concurrent shrinkAsync promises
// against one call after another. Run from bindings/node after `npm pack` (or
// with native/ built): node benchmark.js

const tavisk = require('tavisk');
const native = require('./native/tavisk.node');

function records(n, salt) {
  return JSON.stringify(Array.from({ length: n }, (_, i) => ({
    id: i, name: `item ${i} ${salt}`, state: i % 2 ? 'closed' : 'open', body: `word${salt} `.repeat(20),
  })));
}

const median = (xs) => xs.slice().sort((a, b) => a - b)[xs.length >> 1];
const now = () => Number(process.hrtime.bigint()) / 1e3; // microseconds

function perCall(fns, repeat) {
  const times = fns.map(() => []);
  for (let r = 0; r < repeat; r++) {
    fns.forEach((fn, i) => {
      const start = now();
      fn();
      times[i].push(now() - start);
    });
  }
  return times.map(median);
}

async function main() {
  const small = '{"id": 7, "title": "Crash on start", "tags": ["bug", "p1"], "state": "open"}';
  const big = records(70000, 'x');
  console.log(`node ${process.version}, library ${tavisk.libraryVersion()}`);
  console.log('document'.padEnd(28), 'C call'.padStart(14), 'tavisk.shrink'.padStart(14), 'overhead'.padStart(14));
  for (const [name, doc, repeat] of [[`small (${small.length} B)`, small, 20000], [`10 MB (${big.length} B)`, big, 15]]) {
    const bytes = Buffer.from(doc);
    const options = JSON.stringify({ max_chars: 4000 });
    const [c, p] = perCall([() => native.shrink(bytes, options), () => tavisk.shrink(doc, { max_chars: 4000 })], repeat);
    console.log(name.padEnd(28), `${c.toFixed(1)} us`.padStart(14), `${p.toFixed(1)} us`.padStart(14),
      `${(p - c).toFixed(1)} us`.padStart(14));
  }

  const docs = ['a', 'b', 'c', 'd'].map((salt) => records(25000, salt));
  const ways = {
    'one after another': async () => { for (const d of docs) await tavisk.shrinkAsync(d, { max_chars: 4000 }); },
    'four promises': () => Promise.all(docs.map((d) => tavisk.shrinkAsync(d, { max_chars: 4000 }))),
  };
  const runs = { 'one after another': [], 'four promises': [] };
  for (let round = 0; round < 5; round++) {
    for (const [name, way] of Object.entries(ways)) {
      const start = now();
      const cpu = process.cpuUsage();
      await way();
      const used = process.cpuUsage(cpu);
      const wall = now() - start;
      runs[name].push([wall, (used.user + used.system) / wall]);
    }
  }
  console.log(`four ${(docs[0].length / 1e6).toFixed(1)} MB documents (median of 5):`);
  for (const [name, samples] of Object.entries(runs)) {
    const wall = median(samples.map(([w]) => w)) / 1e3;
    const busy = median(samples.map(([, b]) => b));
    console.log(`  ${name.padEnd(18)} ${wall.toFixed(0).padStart(6)} ms wall, ${busy.toFixed(2)} cores busy`);
  }

  // The event loop while one 50 MB document is shrunk: the longest gap between 1 ms timer ticks.
  const huge = records(260000, 'h');
  for (const [label, input] of [['string', huge], ['Buffer', Buffer.from(huge)]]) {
    let last = now();
    let worst = 0;
    const timer = setInterval(() => { const t = now(); worst = Math.max(worst, t - last); last = t; }, 1);
    await new Promise((resolve) => setTimeout(resolve, 20));
    const start = now();
    worst = 0;
    last = start;
    await tavisk.shrinkAsync(input, { max_chars: 4000 });
    const total = now() - start;
    clearInterval(timer);
    console.log(`shrinkAsync of a ${(huge.length / 1e6).toFixed(0)} MB ${label}: ${(total / 1e3).toFixed(0)} ms, ` +
      `longest event loop stall ${(worst / 1e3).toFixed(1)} ms`);
  }
}

main();
