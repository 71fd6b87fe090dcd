// The relay with scripted peers: bytes pass exactly, bad input never breaks the session,
// the child's life ends as it should.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fakePeer, lines, proxy, runProxy } from "./helpers.mjs";

const tmp = mkdtempSync(join(tmpdir(), "tavisk-relay-"));
const call = (id, name = "search", args = { q: "x" }) =>
  JSON.stringify({ jsonrpc: "2.0", id, method: "tools/call", params: { name, arguments: args } }) + "\n";

test("lines that are not rewritten pass byte for byte, in order, both ways", async () => {
  const input = Buffer.concat([
    Buffer.from("not json at all\n"),
    Buffer.from('{"id" : 1.50e+3, "x":"\\u00e9\\/", "y":[ ]}\r\n'),
    Buffer.from('[{"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"a"}},{"jsonrpc":"2.0","method":"x"}]\n'),
    Buffer.from([0x7b, 0x22, 0x61, 0x22, 0x3a, 0x22, 0xff, 0xfe, 0x22, 0x7d, 0x0a]), // invalid UTF-8
    Buffer.from("\n"),
    Buffer.from(call(3)),
    Buffer.from('{"jsonrpc":"2.0","id":3}\n'), // neither result nor error
    Buffer.from('{"jsonrpc":"2.0","id":3,"result":{"content":"not an array"}}\n'),
    Buffer.from('{"a":1}{"b":2}\n'),
    Buffer.from('{"jsonrpc":"2.0","id":9,"result":{"content":[{"type":"text","text":"unasked'),
  ]);
  const r = await runProxy(["--max-chars", "5", "--", "node", fakePeer, "echo"], input);
  assert.equal(r.code, 0, r.stderr);
  assert.equal(r.stdout.toString("latin1"), input.toString("latin1"));
});

test("matched results are shrunk and everything else in the line keeps its text", async () => {
  const big = JSON.stringify(Array.from({ length: 400 }, (_, i) => ({ id: i, name: `n${i}` })));
  const reply = `{"jsonrpc":"2.0","extra":[1.50,-0.0,1E+2],"id":$ID,"result":{"_meta":{"k":1.0},"content":[{"type":"text","text":${JSON.stringify(big)}},{"type":"image","data":"AAAA","mimeType":"image/png"}],"isError":false}}`;
  writeFileSync(join(tmp, "reply.json"), reply);
  const cases = [
    { name: "number id", id: 5, shrunk: true },
    { name: "string id", id: "a-1", shrunk: true },
    { name: "id never asked", id: 5, answer: 6, shrunk: false },
    { name: "a method other than tools/call", id: 4, method: "resources/read", shrunk: false },
  ];
  for (const c of cases) {
    const req = c.method
      ? JSON.stringify({ jsonrpc: "2.0", id: c.id, method: c.method, params: {} }) + "\n"
      : call(c.id);
    const expectedId = JSON.stringify(c.answer ?? c.id);
    writeFileSync(join(tmp, "reply.json"), c.answer ? reply.replaceAll("$ID", expectedId) : reply);
    const r = await runProxy(["--max-chars", "600", "--", "node", fakePeer, "reply", join(tmp, "reply.json")], req);
    assert.equal(r.code, 0, r.stderr);
    const out = lines(r.stdout);
    assert.equal(out.length, 1, c.name);
    const original = reply.replaceAll("$ID", expectedId);
    if (!c.shrunk) {
      assert.equal(out[0], original, c.name);
      continue;
    }
    const msg = JSON.parse(out[0]);
    assert.ok(out[0].startsWith(`{"jsonrpc":"2.0","extra":[1.50,-0.0,1E+2],"id":${expectedId},"result":{"_meta":{"k":1.0,"tavisk/report":[`), c.name);
    assert.ok(out[0].endsWith(`{"type":"image","data":"AAAA","mimeType":"image/png"},{"type":"text","text":${JSON.stringify(msg.result.content[2].text)}}],"isError":false}}`), c.name);
    const text = msg.result.content[0].text;
    assert.ok([...text].length <= 600, `${c.name}: ${text.length}`);
    assert.ok(Array.isArray(JSON.parse(text)), c.name);
    assert.match(msg.result.content[2].text, /^\[tavisk\] shrunk from \d+ to \d+ characters: \d+ items omitted/);
    assert.equal(msg.result._meta["tavisk/report"][0].path, "/content/0/text");
    assert.equal(msg.result._meta["tavisk/report"][0].report.pruned, true);
  }
});

test("results of the newest protocol are shrunk only when complete", async () => {
  const big = "line of build output\n".repeat(500);
  for (const [resultType, shrunk] of [[null, true], ["complete", true], ["input_required", false]]) {
    const result = { content: [{ type: "text", text: big }] };
    if (resultType) result.resultType = resultType;
    const reply = `{"jsonrpc":"2.0","id":$ID,"result":${JSON.stringify(result)}}`;
    writeFileSync(join(tmp, "typed.json"), reply);
    const r = await runProxy(["--max-chars", "1000", "--", "node", fakePeer, "reply", join(tmp, "typed.json")], call(1));
    const out = lines(r.stdout);
    assert.equal(out.length, 1);
    const text = JSON.parse(out[0]).result.content[0].text;
    assert.equal(text.length < big.length, shrunk, String(resultType));
    if (!shrunk) assert.equal(out[0], reply.replace("$ID", "1"));
  }
});

test("a duplicate id is answered twice and cancelled calls pass untouched", async () => {
  const big = JSON.stringify(Array.from({ length: 300 }, (_, i) => ({ id: i })));
  const reply = `{"jsonrpc":"2.0","id":$ID,"result":{"content":[{"type":"text","text":${JSON.stringify(big)}}]}}`;
  writeFileSync(join(tmp, "dup.json"), reply);
  const cancel = '{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2}}\n';
  const r = await runProxy(
    ["--max-chars", "500", "--", "node", fakePeer, "reply", join(tmp, "dup.json")],
    [call(1), call(1), call(2), cancel],
  );
  const out = lines(r.stdout).map((l) => JSON.parse(l));
  assert.deepEqual(out.map((m) => m.id), [1, 1, 2]);
  const sizes = out.map((m) => m.result.content[0].text.length);
  assert.ok(sizes[0] <= 500, `first answer shrunk: ${sizes[0]}`);
  assert.equal(sizes[1], big.length); // the id was taken by the first answer
  // The cancellation reaches the server only after its answer went out, so the answer may or
  // may not be shrunk; either way it is whole JSON and in order.
  assert.ok(sizes[2] === big.length || sizes[2] <= 500);
});

test("the child's end decides the proxy's exit status", async () => {
  const cases = [
    { name: "exit status", args: ["node", fakePeer, "exit", "3"], input: "x\n", code: 3 },
    { name: "half a message", args: ["node", fakePeer, "halfline", "4"], input: "", code: 4, out: '{"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"te' },
    { name: "never starts", args: [join(tmp, "no-such-server")], input: "", code: 127, err: /cannot start .*no-such-server/ },
    { name: "killed by a signal", args: ["sh", "-c", "kill -9 $$"], input: "", code: 137 },
    { name: "input ends", args: ["cat"], input: "a\nb", code: 0, out: "a\nb" },
  ];
  for (const c of cases) {
    const r = await runProxy(["--", ...c.args], c.input, { closeInput: true });
    assert.equal(r.code, c.code, `${c.name}: ${r.stderr}`);
    if (c.out !== undefined) assert.equal(r.stdout.toString(), c.out, c.name);
    if (c.err) assert.match(r.stderr, c.err, c.name);
  }
});

test("a child that ignores the end of input and SIGTERM is killed after two grace periods", async () => {
  const log = join(tmp, "stubborn.log");
  writeFileSync(log, "");
  const started = Date.now();
  const child = spawn(proxy, ["mcp-proxy", "--grace-ms", "300", "--", "node", fakePeer, "stubborn"], {
    stdio: ["pipe", "pipe", "inherit"],
    env: { ...process.env, FAKE_LOG: log },
  });
  await new Promise((r) => setTimeout(r, 500)); // let node start and install its handler
  child.stdin.end();
  const code = await new Promise((r) => child.on("close", (c) => r(c)));
  const took = Date.now() - started - 500;
  assert.equal(code, 137);
  assert.ok(took >= 550 && took < 10000, `took ${took} ms`);
  assert.match(readFileSync(log, "utf8"), /SIGTERM ignored/);
});

test("signals to the proxy reach the child", async () => {
  const child = spawn(proxy, ["mcp-proxy", "--", "node", fakePeer, "echo"], { stdio: ["pipe", "pipe", "inherit"] });
  const first = new Promise((r) => child.stdout.once("data", r));
  child.stdin.write("ping\n");
  await first; // the child runs and relays
  child.kill("SIGTERM");
  const code = await new Promise((r) => child.on("close", (c) => r(c)));
  assert.equal(code, 128 + 15);
});

test("100 MB lines pass: untouched when unasked, shrunk when a tool result", async () => {
  const huge = Buffer.alloc(100 * 1024 * 1024, "a");
  huge[huge.length - 1] = 0x0a;
  const r = await runProxy(["--grace-ms", "30000", "--", "node", fakePeer, "echo"], huge, { timeoutMs: 120000 });
  assert.equal(r.code, 0);
  assert.equal(r.stdout.length, huge.length);
  assert.equal(createHash("sha1").update(r.stdout).digest("hex"), createHash("sha1").update(huge).digest("hex"));

  const s = await runProxy(["--max-chars", "20000", "--grace-ms", "30000", "--", "node", fakePeer, "big", String(100 * 1024 * 1024)], call(1), {
    timeoutMs: 120000,
  });
  const msg = JSON.parse(s.stdout.toString());
  const text = msg.result.content[0].text;
  assert.ok(text.length <= 20000 && text.length > 10000, `shrunk to ${text.length}`);
  assert.ok(JSON.parse(text).length > 10);
  assert.ok(msg.result._meta["tavisk/report"][0].report.input_chars > 100e6);
});

test("while a large result is shrunk, the client's messages still reach the server", async () => {
  const log = join(tmp, "cancel.log");
  writeFileSync(log, "");
  const child = spawn(proxy, ["mcp-proxy", "--", "node", fakePeer, "big", String(150 * 1024 * 1024)], {
    stdio: ["pipe", "pipe", "inherit"],
    env: { ...process.env, FAKE_LOG: log },
  });
  let received = 0;
  const chunks = [];
  const done = new Promise((r) =>
    child.stdout.on("data", (d) => {
      chunks.push(d);
      if (d.includes(0x0a)) r((received = Date.now()));
    }),
  );
  child.stdin.write(call(1));
  let n = 0;
  const timer = setInterval(() => {
    child.stdin.write(`{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":${100 + n++}}}\n`);
  }, 20);
  await done;
  clearInterval(timer);
  child.stdin.end();
  await new Promise((r) => child.on("close", r));
  const entries = readFileSync(log, "utf8").trim().split("\n").map((l) => [Number(l.split(" ")[0]), l]);
  const sent = entries.find(([, l]) => l.includes("sent big"))[0];
  const during = entries.filter(([t, l]) => l.includes("cancelled") && t > sent && t < received);
  assert.ok(received - sent > 100, `the shrink took ${received - sent} ms`);
  assert.ok(during.length >= 3, `${during.length} notifications reached the server during the shrink`);
  assert.ok(JSON.parse(Buffer.concat(chunks).toString().split("\n")[0]).result.content[0].text.length <= 20000);
});

test("usage errors exit with 2 and a message", async () => {
  for (const args of [["--", ], ["--max-chars", "x", "--", "cat"], ["--tool", "noequals", "--", "cat"], ["--bogus", "--", "cat"], ["--strategy", "nonsense", "--", "cat"]]) {
    const r = await runProxy(args, "");
    assert.equal(r.code, 2, args.join(" "));
    assert.match(r.stderr, /^tavisk mcp-proxy: /, args.join(" "));
  }
});
