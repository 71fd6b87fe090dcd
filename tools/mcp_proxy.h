// `tavisk mcp-proxy`: a stdio proxy in front of an MCP server that shrinks its tool results.
#pragma once

namespace mcp {

// Runs the subcommand; argv[0] is "mcp-proxy". Returns the process exit status.
int proxy_main(int argc, char** argv);

}  // namespace mcp
