#!/usr/bin/env node
// A small MCP server (official SDK, stdio) whose tools return large results: files of a
// directory given as the first argument, generated records with an output schema, and a
// failing build log.
import { readFile } from "node:fs/promises";
import { join, basename } from "node:path";
import { McpServer } from "@modelcontextprotocol/sdk/server/mcp.js";
import { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";
import { z } from "zod";

const dir = process.argv[2] ?? ".";
const server = new McpServer({ name: "tavisk-corpus", version: "1.0.0" });

server.registerTool(
  "read_file",
  {
    description: "Return a file of the corpus as text",
    inputSchema: { name: z.string(), query: z.string().optional() },
  },
  async ({ name }) => ({ content: [{ type: "text", text: await readFile(join(dir, basename(name)), "utf8") }] }),
);

// Records like a listing API returns: every one distinct, the one asked for in the middle.
export function makeRecords(count) {
  const cities = ["Lisbon", "Oslo", "Quito", "Hanoi", "Perth", "Accra", "Lima", "Turin"];
  return Array.from({ length: count }, (_, i) => ({
    id: i + 1,
    name: `customer-${String(i + 1).padStart(6, "0")}`,
    city: cities[i % cities.length],
    balance: Math.round(((i * 7919) % 100000) * 1.37) / 100,
    tags: [`tier-${i % 5}`, i % 3 === 0 ? "active" : "dormant"],
    note: `Account opened in branch ${i % 97} after referral ${(i * 31) % 1009}.`,
  }));
}

server.registerTool(
  "list_records",
  {
    description: "List generated customer records",
    inputSchema: { count: z.number().int(), name: z.string().optional() },
    outputSchema: {
      total: z.number().int(),
      records: z.array(
        z.object({
          id: z.number().int(),
          name: z.string(),
          city: z.string(),
          balance: z.number(),
          tags: z.array(z.string()),
          note: z.string(),
        }),
      ),
    },
  },
  async ({ count }) => {
    const structured = { total: count, records: makeRecords(count) };
    return { content: [{ type: "text", text: JSON.stringify(structured) }], structuredContent: structured };
  },
);

server.registerTool(
  "build",
  {
    description: "Run a build that fails after a long log",
    inputSchema: { lines: z.number().int() },
  },
  async ({ lines }) => {
    const log = [];
    for (let i = 1; i <= lines; i++) log.push(`[${String(i).padStart(5, "0")}] compiling module_${i}.c ... ok`);
    log.push("src/parser.c:412:17: error: 'token' undeclared (first use in this function)");
    log.push("make: *** [Makefile:88: build/parser.o] Error 1");
    return { content: [{ type: "text", text: log.join("\n") }], isError: true };
  },
);

server.registerTool(
  "mixed",
  {
    description: "Several text items of different sizes, an image and a resource link",
    inputSchema: { size: z.number().int() },
  },
  async ({ size }) => ({
    content: [
      { type: "text", text: "summary: all good" },
      { type: "text", text: JSON.stringify(makeRecords(size)) },
      { type: "image", data: Buffer.from("tiny").toString("base64"), mimeType: "image/png" },
      { type: "resource_link", uri: "file:///tmp/x.json", name: "x.json" },
      { type: "text", text: "x".repeat(size * 40) },
    ],
  }),
);

await server.connect(new StdioServerTransport());
