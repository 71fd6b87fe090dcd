// Large results through the proxy: our own server over ../shared/corpus/real and generated
// data, and server-filesystem over a generated directory.
import { test, after, before } from "node:test";
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { parse as parseYaml } from "yaml";
import { connect, corpus, corpusServer, filesystem, haveCorpus, proxy, resultChars, skipNoCorpus } from "./helpers.mjs";

const budget = 4000;
const tmp = mkdtempSync(join(tmpdir(), "tavisk-shrink-"));
const spillDir = join(tmp, "spill");
mkdirSync(spillDir);
// Whether the linked library ranks what the arguments name first (focus "auto").
const focus =
  spawnSync(proxy, ["--options", '{"focus":"auto"}'], { input: "1" }).status === 0 ? false : "the library has no focus option yet";

let own;
before(async () => {
  own = await connect("node", [...corpusServer, haveCorpus ? corpus : tmp], { proxyArgs: ["--max-chars", String(budget)] });
});
after(async () => own?.close());

const manifest = haveCorpus
  ? readFileSync(join(corpus, "MANIFEST.tsv"), "utf8").trim().split("\n").slice(1).map((l) => l.split("\t"))
  : [];

test("corpus files come back within budget and still read in their format", { skip: skipNoCorpus }, async () => {
  let shrunk = 0;
  for (const [file, bytes, kind] of manifest) {
    const r = await own.callTool({ name: "read_file", arguments: { name: file } });
    const original = readFileSync(join(corpus, file), "utf8");
    if ([...original].length <= budget) {
      assert.equal(r.content[0].text, original, file);
      continue;
    }
    shrunk++;
    assert.ok(resultChars(r) <= budget, `${file}: ${resultChars(r)} characters from ${bytes} bytes`);
    const [entry] = r._meta["tavisk/report"];
    const text = r.content[0].text;
    if (kind === "json") {
      assert.doesNotThrow(() => JSON.parse(text), file);
    } else if (entry.report.input_format === "yaml") {
      assert.doesNotThrow(() => parseYaml(text), file);
    }
    if (kind === "text") {
      // The first line survives whole.
      assert.ok(text.startsWith(original.split("\n")[0].slice(0, 40)), file);
    }
    assert.match(r.content.at(-1).text, /^\[tavisk\] shrunk from \d+ to \d+ characters/, file);
  }
  assert.ok(shrunk >= 20, `${shrunk} files shrunk`);
});

test("a record named by the call's arguments is kept from the middle of a large array", { skip: focus }, async () => {
  const r = await own.callTool({ name: "list_records", arguments: { count: 3000, name: "customer-001517" } });
  assert.ok(resultChars(r) <= budget);
  const records = JSON.parse(r.content[0].text).records.filter((x) => typeof x === "object");
  assert.ok(records.some((x) => x.name === "customer-001517"));
});

test("structuredContent stays valid against the tool's output schema", async () => {
  // The SDK client validates structuredContent against outputSchema and throws when it fails.
  const { tools } = await own.listTools();
  for (const count of [10, 3000]) {
    const r = await own.callTool({ name: "list_records", arguments: { count } });
    const records = r.structuredContent.records;
    assert.equal(r.structuredContent.total, count);
    assert.ok(records.every((x) => typeof x === "object" && typeof x.name === "string"));
    if (count === 3000) {
      assert.ok(resultChars(r) <= budget, `${resultChars(r)} characters`);
      assert.ok(records.length > 2 && records.length < 100);
      // The gap markers the schema cannot take are gone; the report still counts the items.
      const structured = r._meta["tavisk/report"].find((e) => e.path === "/structuredContent");
      assert.ok(structured.report.items_omitted > 2900 && structured.report.items_omitted <= 3000 - records.length);
    } else {
      assert.equal(records.length, 10);
      assert.equal(r._meta, undefined);
    }
  }
  assert.ok(tools.find((t) => t.name === "list_records").outputSchema);
});

test("an error result keeps its closing lines", async () => {
  const r = await own.callTool({ name: "build", arguments: { lines: 5000 } });
  assert.equal(r.isError, true);
  assert.ok(resultChars(r) <= budget, `${resultChars(r)} characters`);
  const text = r.content[0].text;
  assert.ok(text.startsWith("[00001] compiling module_1.c ... ok"));
  assert.ok(text.endsWith("src/parser.c:412:17: error: 'token' undeclared (first use in this function)\nmake: *** [Makefile:88: build/parser.o] Error 1"));
  assert.ok(text.includes("[05000] compiling module_5000.c ... ok"));
});

test("text items share the budget fairly; other items pass unchanged", async () => {
  const r = await own.callTool({ name: "mixed", arguments: { size: 400 } });
  assert.ok(resultChars(r) <= budget);
  const [small, records, image, link, filler, note] = r.content;
  assert.deepEqual(small, { type: "text", text: "summary: all good" });
  assert.deepEqual(image, { type: "image", data: Buffer.from("tiny").toString("base64"), mimeType: "image/png" });
  assert.deepEqual(link, { type: "resource_link", uri: "file:///tmp/x.json", name: "x.json" });
  assert.ok(Math.abs(records.text.length - filler.text.length) < budget / 10, `${records.text.length} vs ${filler.text.length}`);
  assert.ok(records.text.length > budget / 3);
  assert.match(note.text, /^\[tavisk\] shrunk/);
  assert.deepEqual(r._meta["tavisk/report"].map((e) => e.path), ["/content/1/text", "/content/4/text"]);
});

test("budget flags, the note switch and the spill file", async () => {
  const cases = [
    { args: ["--max-tokens", "500", "--chars-per-token", "4"], limit: 2000, note: true },
    { args: ["--max-chars", "9000", "--tool", "list_records=1500"], limit: 1500, note: true },
    { args: ["--max-chars", "1500", "--no-note"], limit: 1500, note: false },
    { args: ["--max-chars", "1500", "--spill-dir", spillDir], limit: 1500, note: true, spill: true },
  ];
  for (const c of cases) {
    const client = await connect("node", [...corpusServer, tmp], { proxyArgs: c.args });
    try {
      const r = await client.callTool({ name: "list_records", arguments: { count: 400 } });
      const chars = resultChars(r);
      assert.ok(chars <= c.limit && chars > c.limit * 0.6, `${c.args.join(" ")}: ${chars}`);
      const last = r.content.at(-1).text;
      assert.equal(/^\[tavisk\]/.test(last), c.note, c.args.join(" "));
      if (c.spill) {
        const path = last.match(/the full result is in (\S+)\.$/)[1];
        assert.equal(statSync(path).mode & 0o777, 0o600);
        const full = JSON.parse(readFileSync(path, "utf8"));
        assert.equal(full.records.length, 400);
        assert.deepEqual(readdirSync(spillDir), [path.split("/").at(-1)]);
      }
    } finally {
      await client.close();
    }
  }
});

test("server-filesystem: a large tree and a large file come back within budget", async () => {
  const root = join(tmp, "tree");
  for (let i = 0; i < 60; i++) {
    mkdirSync(join(root, `pkg-${i}`, "src"), { recursive: true });
    for (let j = 0; j < 8; j++) writeFileSync(join(root, `pkg-${i}`, "src", `file_${j}.ts`), "x");
  }
  const log = Array.from({ length: 6000 }, (_, i) => `2026-01-01T00:00:${String(i % 60).padStart(2, "0")} worker ${i} done`);
  log.push("FATAL: disk full on /var/lib/data");
  writeFileSync(join(root, "service.log"), log.join("\n"));
  const client = await connect("node", [...filesystem, root], { proxyArgs: ["--max-chars", String(budget)] });
  try {
    const tree = await client.callTool({ name: "directory_tree", arguments: { path: root } });
    assert.ok(resultChars(tree) <= budget, `${resultChars(tree)} characters`);
    const parsed = JSON.parse(tree.content[0].text);
    assert.ok(Array.isArray(parsed) && parsed.length > 0);
    const file = await client.callTool({ name: "read_text_file", arguments: { path: join(root, "service.log") } });
    // read_text_file sends the file twice (text and structuredContent); both shrink and the
    // client's schema check passes.
    assert.ok(resultChars(file) <= budget, `${resultChars(file)} characters`);
    assert.equal(typeof file.structuredContent.content, "string");
    assert.ok(file.content[0].text.startsWith("2026-01-01T00:00:00 worker 0 done"));
  } finally {
    await client.close();
  }
});
