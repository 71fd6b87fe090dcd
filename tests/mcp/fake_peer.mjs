#!/usr/bin/env node
// A scripted stdio peer for the relay tests: behaves badly on purpose.
//   echo            send every received byte straight back
//   reply FILE      answer each request with FILE's text, "$ID" replaced by the request id
//   big N           answer tools/call with a JSON array text of about N bytes
//   halfline CODE   send half a message, then exit with CODE
//   exit CODE       exit with CODE after the first line
//   stubborn        ignore SIGTERM and the end of input
// Every received line is appended to $FAKE_LOG (with a millisecond time) when set.
import { appendFileSync, readFileSync } from "node:fs";
import { createInterface } from "node:readline";

const [mode, arg] = process.argv.slice(2);
const log = process.env.FAKE_LOG;

function record(line) {
  if (log) appendFileSync(log, `${Date.now()} ${line.slice(0, 200)}\n`);
}

function bigArray(bytes) {
  const parts = [];
  let size = 2;
  for (let i = 0; size < bytes; i++) {
    const item = JSON.stringify({ id: i, name: `item-${i}`, payload: "p".repeat(80) });
    parts.push(item);
    size += item.length + 1;
  }
  return `[${parts.join(",")}]`;
}

if (mode === "stubborn") {
  process.on("SIGTERM", () => record("SIGTERM ignored"));
  setInterval(() => {}, 1000);
}
if (mode === "halfline") {
  process.stdout.write('{"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"te', () => process.exit(Number(arg)));
}

if (mode === "echo") process.stdin.pipe(process.stdout);

const rl = createInterface({ input: process.stdin, crlfDelay: Infinity });
rl.on("line", (line) => {
  record(line);
  let msg = null;
  try {
    msg = JSON.parse(line);
  } catch {}
  if (mode === "exit") process.exit(Number(arg));
  else if (mode === "reply" && msg && msg.id !== undefined && msg.method) {
    const text = readFileSync(arg, "utf8").trimEnd().replaceAll("$ID", JSON.stringify(msg.id));
    process.stdout.write(text + "\n");
  } else if (mode === "big" && msg && msg.method === "tools/call") {
    const text = bigArray(Number(arg));
    const result = { content: [{ type: "text", text }] };
    process.stdout.write(JSON.stringify({ jsonrpc: "2.0", id: msg.id, result }) + "\n", () => record("sent big"));
  }
});
rl.on("close", () => {
  if (mode !== "stubborn" && mode !== "echo") process.stdout.write("", () => process.exit(0));
});
