// server-everything through the proxy and directly: the same answers under budget, and the
// protocol's other traffic (progress, cancellation, requests from the server, tasks) passes.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { connect, everything, lines, proxy, resultChars } from "./helpers.mjs";

// Arguments for every tool; tools not named here take none.
const calls = {
  echo: { message: "hello through the proxy" },
  "get-annotated-message": { messageType: "error", includeImage: true },
  "get-resource-links": { count: 4 },
  "get-resource-reference": { resourceType: "Text", resourceId: 2 },
  "get-structured-content": { location: "Chicago" },
  "get-sum": { a: 19, b: 23.5 },
  "gzip-file-as-resource": { name: "hello.gz", data: "data:text/plain;base64,aGVsbG8gd29ybGQ=", outputType: "resource" },
  "trigger-long-running-operation": { duration: 0.2, steps: 2 },
  "trigger-sampling-request": { prompt: "say something", maxTokens: 5 },
};
const skipped = new Set(["simulate-research-query"]); // needs a task; tested on its own below

const direct = await connect("node", everything);
const proxied = await connect("node", everything, { proxyArgs: [] });
after(async () => {
  await direct.close();
  await proxied.close();
});

test("every tool answers the same through the proxy as directly when under budget", async () => {
  const listed = await direct.listTools();
  assert.deepEqual(await proxied.listTools(), listed);
  let compared = 0;
  for (const tool of listed.tools) {
    if (skipped.has(tool.name)) continue;
    const args = calls[tool.name] ?? {};
    // Some tools put the time of day in their answer: a pair of calls that straddles a second
    // differs in it, so a difference must show up in three pairs in a row to count.
    let a, b;
    for (let attempt = 0; attempt < 3; attempt++) {
      a = await direct.callTool({ name: tool.name, arguments: args });
      b = await proxied.callTool({ name: tool.name, arguments: args });
      if (JSON.stringify(b) === JSON.stringify(a)) break;
    }
    assert.equal(JSON.stringify(b), JSON.stringify(a), tool.name);
    compared++;
  }
  assert.ok(compared >= 15, `${compared} tools compared`);
});

test("requests from the server are answered through the proxy", async () => {
  const sampled = await proxied.callTool({ name: "trigger-sampling-request", arguments: { prompt: "hi" } });
  assert.match(JSON.stringify(sampled.content), /sampled through the proxy/);
  const roots = await proxied.callTool({ name: "get-roots-list", arguments: {} });
  assert.match(JSON.stringify(roots.content), /file:\/\/\/tmp/);
});

test("progress notifications and a cancellation pass", async () => {
  const seen = [];
  await proxied.callTool({ name: "trigger-long-running-operation", arguments: { duration: 0.5, steps: 5 } }, undefined, {
    onprogress: (p) => seen.push(p.progress),
  });
  // The server sends its last notification without waiting for it, so it may arrive after the result; those
  // that arrive must come in order.
  assert.ok(seen.length >= 4, `progress seen: ${seen}`);
  assert.deepEqual(seen, [1, 2, 3, 4, 5].slice(0, seen.length));

  const controller = new AbortController();
  const started = Date.now();
  const pending = proxied.callTool(
    { name: "trigger-long-running-operation", arguments: { duration: 30, steps: 30 } },
    undefined,
    { signal: controller.signal },
  );
  setTimeout(() => controller.abort("enough"), 300);
  await assert.rejects(pending);
  assert.ok(Date.now() - started < 5000);
  // The session goes on.
  const echo = await proxied.callTool({ name: "echo", arguments: { message: "still here" } });
  assert.equal(echo.content[0].text, "Echo: still here");
});

test("a large echo comes back within budget with the report and the note", async () => {
  const message = Array.from({ length: 4000 }, (_, i) => `word${i}`).join(" ");
  const client = await connect("node", everything, { proxyArgs: ["--max-chars", "3000"] });
  try {
    const r = await client.callTool({ name: "echo", arguments: { message } });
    assert.ok(resultChars(r) <= 3000, `${resultChars(r)} characters`);
    assert.ok(r.content[0].text.startsWith("Echo: word0 word1"));
    assert.match(r.content.at(-1).text, /^\[tavisk\] shrunk from 3\d{4} to \d{4} characters/);
    assert.equal(r._meta["tavisk/report"][0].path, "/content/0/text");
  } finally {
    await client.close();
  }
});

test("a task's result is matched back to its call and shrunk", async () => {
  const client = await connect("node", everything, { proxyArgs: ["--tool", "simulate-research-query=400"] });
  try {
    let result = null;
    let created = false;
    const stream = client.experimental.tasks.callToolStream(
      { name: "simulate-research-query", arguments: { topic: "tides" } },
      undefined,
      { task: { ttl: 60000 } },
    );
    for await (const message of stream) {
      if (message.type === "taskCreated") created = true;
      if (message.type === "result") result = message.result;
      if (message.type === "error") throw message.error;
    }
    assert.ok(created);
    assert.ok(resultChars(result) <= 400, `${resultChars(result)} characters`);
    assert.equal(result._meta["tavisk/report"][0].report.pruned, true);
  } finally {
    await client.close();
  }
});

// The SDK client always offers its newest version, so an older one is spoken by hand.
test("a session of protocol version 2025-06-18 is relayed byte for byte", async () => {
  const script = [
    { jsonrpc: "2.0", id: 0, method: "initialize", params: { protocolVersion: "2025-06-18", capabilities: {}, clientInfo: { name: "raw", version: "1" } } },
    { jsonrpc: "2.0", method: "notifications/initialized" },
    { jsonrpc: "2.0", id: 1, method: "tools/list" },
    { jsonrpc: "2.0", id: 2, method: "tools/call", params: { name: "get-sum", arguments: { a: 1.5, b: 2 } } },
    { jsonrpc: "2.0", id: "s", method: "tools/call", params: { name: "get-structured-content", arguments: { location: "New York" } } },
  ];
  const session = async (command, args) => {
    const child = spawn(command, args, { stdio: ["pipe", "pipe", "ignore"] });
    const out = [];
    child.stdout.on("data", (d) => out.push(d));
    for (const m of script) {
      child.stdin.write(JSON.stringify(m) + "\n");
      await new Promise((r) => setTimeout(r, 150));
    }
    // Wait for the four answers (a loaded machine may be slow to start the server).
    const answered = () => lines(Buffer.concat(out)).filter((l) => l.includes('"id"')).length >= 4;
    for (let waited = 0; !answered() && waited < 30000; waited += 100) await new Promise((r) => setTimeout(r, 100));
    child.stdin.end();
    await new Promise((r) => child.on("close", r));
    return lines(Buffer.concat(out));
  };
  const plain = await session("node", everything);
  const relayed = await session(proxy, ["mcp-proxy", "--", "node", ...everything]);
  assert.ok(plain.some((l) => l.includes('"protocolVersion":"2025-06-18"')));
  assert.deepEqual(relayed, plain);
});
