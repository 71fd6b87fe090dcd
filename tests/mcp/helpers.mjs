// Shared pieces of the MCP proxy tests: where things are, and clients through the proxy or
// straight to a server.
import { spawn } from "node:child_process";
import { existsSync } from "node:fs";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

export const here = dirname(fileURLToPath(import.meta.url));
export const proxy = process.env.TAVISK_BIN ?? resolve(here, "../../build/tavisk");
export const shared = resolve(here, "../../../shared");
export const corpus = join(shared, "corpus/real");
export const haveCorpus = existsSync(corpus);
export const skipNoCorpus = haveCorpus ? false : "../shared/corpus/real is not there";
const modules = join(here, "node_modules/@modelcontextprotocol");
export const everything = [join(modules, "server-everything/dist/index.js"), "stdio"];
export const filesystem = [join(modules, "server-filesystem/dist/index.js")];
export const corpusServer = [join(here, "corpus_server.mjs")];
export const fakePeer = join(here, "fake_peer.mjs");

// A client with the capabilities that let servers ask back (sampling, elicitation, roots).
export async function connect(command, args, { proxyArgs = null, handlers = true } = {}) {
  const transport = proxyArgs
    ? new StdioClientTransport({ command: proxy, args: ["mcp-proxy", ...proxyArgs, "--", command, ...args], stderr: "pipe" })
    : new StdioClientTransport({ command, args, stderr: "pipe" });
  const client = new Client(
    { name: "tavisk-test", version: "1.0.0" },
    { capabilities: handlers ? { sampling: {}, elicitation: { form: {} }, roots: { listChanged: false } } : {} },
  );
  if (handlers) {
    const { CreateMessageRequestSchema, ElicitRequestSchema, ListRootsRequestSchema } = await import(
      "@modelcontextprotocol/sdk/types.js"
    );
    client.setRequestHandler(CreateMessageRequestSchema, async () => ({
      model: "test-model",
      role: "assistant",
      content: { type: "text", text: "sampled through the proxy" },
    }));
    client.setRequestHandler(ElicitRequestSchema, async () => ({ action: "decline" }));
    client.setRequestHandler(ListRootsRequestSchema, async () => ({ roots: [{ uri: "file:///tmp", name: "tmp" }] }));
  }
  await client.connect(transport);
  return client;
}

// Characters (code points) of the texts and the structured content of a result.
export function resultChars(result) {
  let n = 0;
  for (const item of result.content ?? []) if (item.type === "text") n += [...item.text].length;
  if (result.structuredContent !== undefined) n += [...JSON.stringify(result.structuredContent)].length;
  return n;
}

// Runs the proxy with raw stdio: writes `input` (string or Buffer chunks), collects output.
export function runProxy(args, input, { timeoutMs = 30000, closeInput = true } = {}) {
  return new Promise((resolvePromise, reject) => {
    const child = spawn(proxy, ["mcp-proxy", ...args], { stdio: ["pipe", "pipe", "pipe"] });
    const out = [];
    let err = "";
    child.stdout.on("data", (d) => out.push(d));
    child.stderr.on("data", (d) => (err += d));
    const timer = setTimeout(() => {
      child.kill("SIGKILL");
      reject(new Error(`proxy did not finish in ${timeoutMs} ms; stderr: ${err}`));
    }, timeoutMs);
    child.on("close", (code, signal) => {
      clearTimeout(timer);
      resolvePromise({ code, signal, stdout: Buffer.concat(out), stderr: err });
    });
    child.stdin.on("error", () => {});
    for (const chunk of [].concat(input)) child.stdin.write(chunk);
    if (closeInput) child.stdin.end();
  });
}

export function lines(buffer) {
  return buffer.toString("utf8").split("\n").filter((l) => l.length > 0);
}
