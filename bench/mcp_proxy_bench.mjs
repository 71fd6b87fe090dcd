#!/usr/bin/env node
// Relay cost of `tavisk mcp-proxy`: 10,000 small tool calls through the proxy and straight
// to the server (messages per second, pipelined; added latency per message, one at a time),
// and a 50 MB result shrunk through the proxy beside the plain command on the same document.
//   node bench/mcp_proxy_bench.mjs [path/to/tavisk]      (default build/tavisk)
import { spawn, spawnSync } from "node:child_process";
import { mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const root = resolve(dirname(fileURLToPath(import.meta.url)), "..");
const tavisk = resolve(process.argv[2] ?? join(root, "build/tavisk"));
const tmp = mkdtempSync(join(tmpdir(), "tavisk-mcp-bench-"));

// A server that answers every tools/call at once: a tiny result, or the document file whole.
const server = join(tmp, "server.mjs");
writeFileSync(
  server,
  `import { createInterface } from "node:readline";
import { readFileSync } from "node:fs";
const big = process.argv[2] ? readFileSync(process.argv[2], "utf8") : null;
const rl = createInterface({ input: process.stdin, crlfDelay: Infinity });
rl.on("line", (line) => {
  const m = JSON.parse(line);
  const text = big ?? "ok " + m.id;
  process.stdout.write(JSON.stringify({ jsonrpc: "2.0", id: m.id, result: { content: [{ type: "text", text }] } }) + "\\n");
});
rl.on("close", () => process.stdout.write("", () => process.exit(0)));
`,
);

function session(viaProxy, serverArgs) {
  const args = viaProxy ? ["mcp-proxy", "--max-chars", "20000", "--", "node", server, ...serverArgs] : [server, ...serverArgs];
  const child = spawn(viaProxy ? tavisk : "node", args, { stdio: ["pipe", "pipe", "inherit"] });
  // Chunks of the current line; only each new chunk is searched for the line feed.
  let pending = [];
  const waiting = [];
  child.stdout.on("data", (d) => {
    let nl;
    while ((nl = d.indexOf(0x0a)) >= 0) {
      pending.push(d.subarray(0, nl));
      waiting.shift()(Buffer.concat(pending).toString("utf8"));
      pending = [];
      d = d.subarray(nl + 1);
    }
    if (d.length) pending.push(d);
  });
  let id = 0;
  const call = () =>
    new Promise((r) => {
      waiting.push(r);
      child.stdin.write(
        JSON.stringify({ jsonrpc: "2.0", id: ++id, method: "tools/call", params: { name: "t", arguments: { q: "x" } } }) + "\n",
      );
    });
  const close = () => new Promise((r) => (child.stdin.end(), child.on("close", r)));
  return { call, close };
}

async function smallMessages(viaProxy) {
  const s = session(viaProxy, []);
  await s.call(); // started
  let t = process.hrtime.bigint();
  await Promise.all(Array.from({ length: 10000 }, () => s.call()));
  const pipelined = Number(process.hrtime.bigint() - t) / 1e9;
  t = process.hrtime.bigint();
  for (let i = 0; i < 2000; i++) await s.call();
  const oneByOne = Number(process.hrtime.bigint() - t) / 1e6 / 2000;
  await s.close();
  return { perSecond: 10000 / pipelined, roundTripMs: oneByOne };
}

const direct = await smallMessages(false);
const proxied = await smallMessages(true);
console.log(`10,000 small messages: direct ${direct.perSecond.toFixed(0)}/s, through the proxy ${proxied.perSecond.toFixed(0)}/s`);
console.log(
  `round trip one at a time: direct ${direct.roundTripMs.toFixed(3)} ms, proxy ${proxied.roundTripMs.toFixed(3)} ms, added ${(proxied.roundTripMs - direct.roundTripMs).toFixed(3)} ms per message`,
);

const items = [];
let size = 2;
for (let i = 0; size < 50 * 1024 * 1024; i++) {
  const item = JSON.stringify({ id: i, name: `record-${i}`, status: i % 7 ? "ok" : "failed", payload: "x".repeat(60) });
  items.push(item);
  size += item.length + 1;
}
const doc = join(tmp, "doc.json");
const text = `[${items.join(",")}]`;
writeFileSync(doc, text);
// The server's answer is prepared, so both sides time reading the same bytes and shrinking them.
const message = join(tmp, "answer.json");
writeFileSync(message, JSON.stringify({ jsonrpc: "2.0", id: 1, result: { content: [{ type: "text", text }] } }) + "\n");
const request = JSON.stringify({ jsonrpc: "2.0", id: 1, method: "tools/call", params: { name: "t", arguments: {} } }) + "\n";
function timed(command, args, input) {
  const t = process.hrtime.bigint();
  const r = spawnSync(command, args, { input, maxBuffer: 1 << 26 });
  if (r.status !== 0) throw new Error(`${command} failed: ${r.stderr}`);
  return { seconds: Number(process.hrtime.bigint() - t) / 1e9, bytes: r.stdout.length };
}
// The proxy's own part: from the server's last byte written to the client's first byte of the
// shrunk answer (the time a direct connection would spend receiving the same bytes excluded).
// The server stamps the wall clock once its last write has returned.
function proxyLatency() {
  return new Promise((done, fail) => {
    const child = spawn(
      tavisk,
      ["mcp-proxy", "--max-chars", "20000", "--", "bash", "-c", `read l; cat '${message}'; echo "$EPOCHREALTIME" >&2`],
      { stdio: ["pipe", "pipe", "pipe"] },
    );
    let first = null;
    let stamp = "";
    child.stdout.on("data", () => (first ??= performance.timeOrigin + performance.now()));
    child.stderr.on("data", (d) => (stamp += d));
    child.on("close", (status) => {
      const written = Number(stamp.trim()) * 1000;
      if (status !== 0 || first === null || !Number.isFinite(written)) fail(new Error(`proxy run failed: ${stamp}`));
      else done((first - written) / 1000);
    });
    child.stdin.end(request);
  });
}

// Rounds alternate: the plain command on the file, the same reading the document from a pipe
// (as a host would from a server, without the proxy), the proxy, and the proxy's own part.
// Wall times vary a lot on shared machines, so the median and the best of seven are both given.
const runs = { plain: [], piped: [], proxy: [], own: [] };
for (let i = 0; i < 7; i++) {
  runs.plain.push(timed(tavisk, ["--max-chars", "19860", "--indent", "0", doc]).seconds);
  runs.piped.push(timed("sh", ["-c", `cat '${doc}' | '${tavisk}' --max-chars 19860 --indent 0`]).seconds);
  runs.proxy.push(
    timed(tavisk, ["mcp-proxy", "--max-chars", "20000", "--", "sh", "-c", `read l; cat '${message}'`], request).seconds,
  );
  runs.own.push(await proxyLatency());
}
const best = (xs) => Math.min(...xs);
const median = (xs) => [...xs].sort((a, b) => a - b)[xs.length >> 1];
const over = (a, b) => `${(((a - b) / b) * 100).toFixed(1)} %`;
for (const [name, pick] of [["median", median], ["best", best]]) {
  const [plain, piped, proxy] = [pick(runs.plain), pick(runs.piped), pick(runs.proxy)];
  console.log(
    `50 MB result (${name} of 7): plain command on the file ${plain.toFixed(3)} s, from a pipe ${piped.toFixed(3)} s, ` +
      `through the proxy ${proxy.toFixed(3)} s`,
  );
  console.log(`  proxy over the plain command: ${over(proxy, plain)}; over the plain command from a pipe: ${over(proxy, piped)}`);
  const own = pick(runs.own);
  console.log(
    `  the proxy's own part (server's last byte to the answer's first): ${own.toFixed(3)} s, ` +
      `${over(own, plain)} beside the plain command on the file`,
  );
}
