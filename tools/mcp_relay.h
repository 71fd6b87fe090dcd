// The MCP proxy's relay: starts the server as a child, passes the stdio transport both ways
// and hands matched tool results to a worker thread that shrinks them, so the client's
// direction keeps flowing while a large result is being shrunk.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mcp_shrink.h"

namespace mcp {

struct RelayConfig {
  Settings settings;
  std::vector<std::string> command;
  int grace_ms = 2000;                              // before SIGTERM, and again before SIGKILL
  std::size_t max_message_bytes = 256u << 20;       // longer lines pass through unread
  std::size_t queue_limit = 64u << 20;              // reading pauses while this much waits
};

// Runs the proxy until the child ends; returns the exit status for the process.
int run_relay(const RelayConfig& config);

}  // namespace mcp
