#include "mcp_proxy.h"

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli_options.h"
#include "mcp_relay.h"
#include "tavisk.h"

namespace mcp {

namespace {

constexpr int exit_usage = 2;

// The proxy's own flags; the library's come from the command's shared table.
constexpr cli::ToolFlag proxy_flags[] = {
    {"tool", 0, cli::Arg::Required, "NAME=N", "character budget of one tool's results (repeatable)"},
    {"spill-dir", 0, cli::Arg::Required, "DIR", "write each shrunk result's original to a private file in DIR"},
    {"no-note", 0, cli::Arg::None, "", "do not add the one-line note item to shrunk results"},
    {"no-focus", 0, cli::Arg::None, "", "do not rank what the call's arguments name first"},
    {"no-structured", 0, cli::Arg::None, "", "leave structuredContent as the server sent it"},
    {"grace-ms", 0, cli::Arg::Required, "N", "wait before SIGTERM and again before SIGKILL at the end (2000)"},
    {"max-message-bytes", 0, cli::Arg::Required, "N", "longer lines pass through unread (268435456)"},
    {"help", 'h', cli::Arg::None, "", "show this help and exit"},
};
enum ProxyFlag { Tool, SpillDir, NoNote, NoFocus, NoStructured, GraceMs, MaxMessageBytes, Help };

// The library flags of the plain command, less --arguments: each call brings its own.
std::span<const cli::OptionFlag> library_flags() {
  static const std::vector<cli::OptionFlag> table = [] {
    std::vector<cli::OptionFlag> t;
    for (cli::OptionFlag f : cli::option_flags()) {
      if (f.key == "arguments") continue;
      if (f.key == "max_chars") f.help = "character budget of one tool result (default 20000)";
      t.push_back(f);
    }
    return t;
  }();
  return table;
}

std::string help_text() {
  return "Usage: tavisk mcp-proxy [OPTIONS] -- COMMAND [ARGS...]\n"
         "Start the MCP server COMMAND and relay its stdio transport, shrinking tool results\n"
         "over the budget (--max-chars, default 20000 per result). Put it in a host's server\n"
         "configuration in place of COMMAND.\n\nOptions:\n" +
         cli::flags_help(proxy_flags, library_flags()) +
         "\nExit status: the server's; 128+N when signal N ended it; 127 when it cannot be\n"
         "started; 2 on a usage error.\n";
}

struct UsageError {
  std::string message;
};

bool parse_count(std::string_view s, std::uint64_t& out) {
  if (s.empty() || s.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

bool root_only(const std::vector<std::string_view>& path) { return path.empty(); }

// Takes the budget and the protect patterns out of the options object; the rest goes to the
// library with every call.
std::optional<UsageError> split_options(const std::string& options, Settings& s) {
  auto root = mcp::parse(options, root_only);
  if (!root || !root->is(Node::Kind::Object)) return UsageError{"unreadable options"};
  std::string members;
  for (const auto& [key, value] : root->members) {
    std::string raw(value.span.of(options));
    if (key == "max_chars") {
      if (!parse_count(raw, s.max_chars)) return UsageError{"max_chars must be a non-negative integer"};
      continue;
    }
    if (key == "protect") {
      auto list = mcp::parse(raw, expand_all);
      s.protect.clear();
      if (list && list->is(Node::Kind::String)) {
        s.protect.emplace_back(list->text);
        continue;
      }
      if (!list || !list->is(Node::Kind::Array)) return UsageError{"protect must be a list of strings"};
      for (const Node& item : list->items) {
        if (!item.is(Node::Kind::String)) return UsageError{"protect must be a list of strings"};
        s.protect.emplace_back(item.text);
      }
      continue;
    }
    if (key == "arguments") continue;  // each call brings its own
    if (key == "indent") s.has_indent = true;
    if (key == "input_format") s.has_input_format = true;
    if (key == "format") s.has_format = true;
    if (!members.empty()) members += ',';
    members += value.key.of(options);
    members += ':';
    members += raw;
  }
  s.options = std::move(members);
  // The library checks the options once here, so that a bad value is a usage error rather
  // than a session whose results are never shrunk.
  std::string probe = "{" + s.options + (s.options.empty() ? "" : ",") + "\"max_chars\":1}";
  uint64_t len = 0;
  uint8_t* env = tavisk_shrink(reinterpret_cast<const uint8_t*>("1"), 1,
                               reinterpret_cast<const uint8_t*>(probe.data()), probe.size(), &len);
  std::string envelope(reinterpret_cast<const char*>(env), static_cast<std::size_t>(len));
  tavisk_free(env, len);
  auto answer = mcp::parse(envelope, root_only);
  const Node* error = answer ? answer->get("error") : nullptr;
  if (error && error->text.starts_with("invalid options")) return UsageError{std::string(error->text)};
  return std::nullopt;
}

std::optional<UsageError> apply(const cli::ToolUse& use, RelayConfig& config, bool& help) {
  Settings& s = config.settings;
  std::string_view value = use.arg ? std::string_view(*use.arg) : std::string_view();
  std::string name = "--" + std::string(proxy_flags[use.flag].name);
  std::uint64_t n = 0;
  switch (static_cast<ProxyFlag>(use.flag)) {
    case Tool: {
      std::size_t eq = value.rfind('=');
      if (eq == std::string_view::npos || eq == 0 || !parse_count(value.substr(eq + 1), n))
        return UsageError{"--tool needs NAME=N, not '" + std::string(value) + "'"};
      s.tool_max_chars.emplace_back(std::string(value.substr(0, eq)), n);
      break;
    }
    case SpillDir:
      if (value.empty()) return UsageError{"--spill-dir needs a directory"};
      s.spill_dir = std::string(value);
      break;
    case NoNote: s.note = false; break;
    case NoFocus: s.focus = false; break;
    case NoStructured: s.structured = false; break;
    case GraceMs:
      if (!parse_count(value, n) || n > 3600000)
        return UsageError{name + " needs a number of milliseconds up to 3600000, not '" + std::string(value) + "'"};
      config.grace_ms = static_cast<int>(n);
      break;
    case MaxMessageBytes:
      if (!parse_count(value, n) || n == 0)
        return UsageError{name + " needs a positive integer, not '" + std::string(value) + "'"};
      config.max_message_bytes = static_cast<std::size_t>(n);
      break;
    case Help: help = true; break;
  }
  return std::nullopt;
}

// Everything after the first "--" is the server's command line, never our flags.
std::optional<UsageError> parse(int argc, char** argv, RelayConfig& config, bool& help) {
  int split = 1;
  while (split < argc && std::string_view(argv[split]) != "--") ++split;
  std::string error;
  auto line = cli::parse_command_line(split, argv, proxy_flags, error, library_flags());
  if (!line) return UsageError{error};
  for (const cli::ToolUse& use : line->tool) {
    if (auto err = apply(use, config, help)) return err;
  }
  if (help) return std::nullopt;
  if (!line->operands.empty())
    return UsageError{"unexpected argument '" + line->operands.front() + "' (put the server command after --)"};
  for (int i = split + 1; i < argc; ++i) config.command.emplace_back(argv[i]);
  if (config.command.empty()) return UsageError{"no server command given after --"};
  return split_options(line->options, config.settings);
}

}  // namespace

int proxy_main(int argc, char** argv) {
  RelayConfig config;
  bool help = false;
  if (auto err = parse(argc, argv, config, help)) {
    std::fprintf(stderr, "tavisk mcp-proxy: %s\nTry 'tavisk mcp-proxy --help' for more information.\n",
                 err->message.c_str());
    return exit_usage;
  }
  if (help) {
    std::string text = help_text();
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
  }
  config.settings.library = LibraryFeatures::probe();
  return run_relay(config);
}

}  // namespace mcp
