#include "mcp_proxy.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "mcp_relay.h"
#include "tavisk.h"

namespace mcp {

namespace {

constexpr int exit_usage = 2;

enum class Arg { Number, Text, List, True, False };

struct LibraryFlag {
  std::string_view name;
  std::string_view key;
  Arg arg;
  std::string_view meta;
  std::string_view help;
};

constexpr LibraryFlag library_flags[] = {
    {"--indent", "indent", Arg::Number, "N", "spaces per level of shrunk JSON (default: as the text, 0 or 2)"},
    {"--format", "format", Arg::Text, "F", "output format of shrunk texts: auto, json or yaml (default auto)"},
    {"--input-format", "input_format", Arg::Text, "F", "how texts are read (default: detected per text)"},
    {"--scorer", "field_scorer", Arg::Text, "S", "key ranking: heuristic, compact or key_order"},
    {"--strategy", "array_strategy", Arg::Text, "S", "arrays: sample or condense (default sample)"},
    {"--protect", "protect", Arg::List, "PATTERN", "never shorten nodes at this path (repeatable)"},
    {"--explain", "explain", Arg::True, "", "record every condensing decision in the report"},
    {"--no-keep-last-item", "keep_last_item", Arg::False, "", "do not prefer keeping the last item of arrays"},
    {"--max-samples", "max_samples", Arg::Number, "N", "items of distinct shape kept when none fits whole (3)"},
    {"--min-partial-chars", "min_partial_chars", Arg::Number, "N", "least room to keep an array item in part (40)"},
    {"--string-head-chars", "string_head_chars", Arg::Number, "N", "long strings: head size (500)"},
    {"--string-section-chars", "string_section_chars", Arg::Number, "N", "long strings: section size (100)"},
    {"--string-min-section-chars", "string_min_section_chars", Arg::Number, "N",
     "long strings: smallest section preview (16)"},
};

struct ProxyFlag {
  std::string_view name;
  bool value;
  std::string_view meta;
  std::string_view help;
};

constexpr ProxyFlag proxy_flags[] = {
    {"--max-chars", true, "N", "character budget of one tool result (default 20000)"},
    {"--max-tokens", true, "N", "budget in tokens instead: N times --chars-per-token characters"},
    {"--chars-per-token", true, "R", "characters per token for --max-tokens (default 3.5)"},
    {"--tool", true, "NAME=N", "budget of one tool, in the unit of the budget (repeatable)"},
    {"--spill-dir", true, "DIR", "write each shrunk result's original to a private file in DIR"},
    {"--no-note", false, "", "do not add the one-line note item to shrunk results"},
    {"--no-focus", false, "", "do not rank what the call's arguments name first"},
    {"--no-structured", false, "", "leave structuredContent as the server sent it"},
    {"--options", true, "JSON", "library options as a JSON object; the flags override its keys"},
    {"--grace-ms", true, "N", "wait before SIGTERM and again before SIGKILL at the end (2000)"},
    {"--max-message-bytes", true, "N", "longer lines pass through unread (268435456)"},
    {"--help", false, "", "show this help and exit"},
};

std::string help_text() {
  std::string out =
      "Usage: tavisk mcp-proxy [OPTIONS] -- COMMAND [ARGS...]\n"
      "Start the MCP server COMMAND and relay its stdio transport, shrinking tool results\n"
      "that exceed the budget. Put it in a host's server configuration in place of COMMAND.\n"
      "\nProxy options:\n";
  auto line = [&out](std::string_view name, std::string_view meta, std::string_view help) {
    std::string left = "  " + std::string(name);
    if (!meta.empty()) left += " " + std::string(meta);
    left.resize(std::max<std::size_t>(left.size() + 2, 32), ' ');
    out += left + std::string(help) + "\n";
  };
  for (const ProxyFlag& f : proxy_flags) line(f.name, f.meta, f.help);
  out += "\nLibrary options (as in the plain command):\n";
  for (const LibraryFlag& f : library_flags) line(f.name, f.meta, f.help);
  out +=
      "\nExit status: the server's; 128+N when a signal N ended it; 127 when it cannot be\n"
      "started; 2 on a usage error.\n";
  return out;
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

class Parser {
 public:
  explicit Parser(RelayConfig& config) : config_(config) {}

  std::optional<UsageError> parse(int argc, char** argv) {
    int i = 1;
    for (; i < argc; ++i) {
      std::string_view a = argv[i];
      if (a == "--") {
        ++i;
        break;
      }
      if (a == "-h") a = "--help";
      if (!a.starts_with("--")) return UsageError{"unexpected argument '" + std::string(a) + "' (put the server command after --)"};
      std::size_t eq = a.find('=');
      std::string_view name = a.substr(0, eq);
      std::optional<std::string_view> value;
      if (eq != std::string_view::npos) value = a.substr(eq + 1);
      bool needs = takes_value(name);
      if (!known(name)) return UsageError{"unknown option '" + std::string(name) + "'"};
      if (needs && !value) {
        if (i + 1 >= argc) return UsageError{std::string(name) + " needs a value"};
        value = argv[++i];
      }
      if (!needs && value) return UsageError{std::string(name) + " takes no value"};
      if (auto err = apply(name, value.value_or(""))) return err;
    }
    if (help) return std::nullopt;
    for (; i < argc; ++i) config_.command.emplace_back(argv[i]);
    if (config_.command.empty()) return UsageError{"no server command given after --"};
    return finish();
  }

  bool help = false;

 private:
  static bool known(std::string_view name) {
    for (const auto& f : library_flags)
      if (f.name == name) return true;
    for (const auto& f : proxy_flags)
      if (f.name == name) return true;
    return false;
  }
  static bool takes_value(std::string_view name) {
    for (const auto& f : library_flags)
      if (f.name == name) return f.arg == Arg::Number || f.arg == Arg::Text || f.arg == Arg::List;
    for (const auto& f : proxy_flags)
      if (f.name == name) return f.value;
    return false;
  }

  void set(std::string_view key, std::string json) {
    for (auto& [k, v] : library_)
      if (k == key) {
        v = std::move(json);
        return;
      }
    library_.emplace_back(std::string(key), std::move(json));
  }

  std::optional<UsageError> apply(std::string_view name, std::string_view value) {
    Settings& s = config_.settings;
    for (const auto& f : library_flags) {
      if (f.name != name) continue;
      std::string quoted;
      write_string(quoted, value);
      switch (f.arg) {
        case Arg::Number: {
          std::uint64_t n;
          if (!parse_count(value, n))
            return UsageError{std::string(name) + " needs a non-negative integer, not '" + std::string(value) + "'"};
          set(f.key, std::to_string(n));
          break;
        }
        case Arg::Text: set(f.key, quoted); break;
        case Arg::List: s.protect.emplace_back(value); break;
        case Arg::True: set(f.key, "true"); break;
        case Arg::False: set(f.key, "false"); break;
      }
      return std::nullopt;
    }
    std::uint64_t n = 0;
    auto count = [&](std::uint64_t& out) -> std::optional<UsageError> {
      if (!parse_count(value, n))
        return UsageError{std::string(name) + " needs a non-negative integer, not '" + std::string(value) + "'"};
      out = n;
      return std::nullopt;
    };
    if (name == "--max-chars") return count(max_chars_.emplace());
    if (name == "--max-tokens") return count(max_tokens_.emplace());
    if (name == "--chars-per-token") {
      char* end = nullptr;
      std::string text(value);
      double r = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !std::isfinite(r) || r <= 0)
        return UsageError{"--chars-per-token needs a positive number, not '" + text + "'"};
      chars_per_token_ = r;
      return std::nullopt;
    }
    if (name == "--tool") {
      std::size_t eq = value.rfind('=');
      if (eq == std::string_view::npos || eq == 0 || !parse_count(value.substr(eq + 1), n))
        return UsageError{"--tool needs NAME=N, not '" + std::string(value) + "'"};
      tools_.emplace_back(std::string(value.substr(0, eq)), n);
      return std::nullopt;
    }
    if (name == "--spill-dir") {
      if (value.empty()) return UsageError{"--spill-dir needs a directory"};
      s.spill_dir = std::string(value);
      return std::nullopt;
    }
    if (name == "--no-note") s.note = false;
    if (name == "--no-focus") s.focus = false;
    if (name == "--no-structured") s.structured = false;
    if (name == "--help") help = true;
    if (name == "--options") options_json_ = std::string(value);
    if (name == "--grace-ms") {
      std::uint64_t ms = 0;
      if (auto err = count(ms)) return err;
      if (ms > 3600000) return UsageError{"--grace-ms is at most 3600000"};
      config_.grace_ms = static_cast<int>(ms);
    }
    if (name == "--max-message-bytes") {
      std::uint64_t bytes = 0;
      if (auto err = count(bytes)) return err;
      config_.max_message_bytes = static_cast<std::size_t>(std::max<std::uint64_t>(bytes, 1));
    }
    return std::nullopt;
  }

  std::uint64_t to_chars(std::uint64_t n) const {
    if (!max_tokens_) return n;
    double chars = std::floor(static_cast<double>(n) * chars_per_token_);
    return chars >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(chars);
  }

  std::optional<UsageError> finish() {
    Settings& s = config_.settings;
    if (max_chars_ && max_tokens_) return UsageError{"--max-chars and --max-tokens exclude each other"};
    if (max_chars_) s.max_chars = *max_chars_;
    if (max_tokens_) s.max_chars = to_chars(*max_tokens_);
    for (const auto& [tool, n] : tools_) s.tool_max_chars.emplace_back(tool, to_chars(n));
    std::string members;
    auto add = [&members](std::string_view key, std::string_view json) {
      if (!members.empty()) members += ',';
      write_string(members, key);
      members += ':';
      members += json;
    };
    if (options_json_) {
      auto root = mcp::parse(*options_json_, [](const std::vector<std::string_view>& p) { return p.empty(); });
      if (!root || !root->is(Node::Kind::Object)) return UsageError{"--options must be a JSON object"};
      for (const auto& [k, v] : root->members) {
        bool flagged = false;
        for (const auto& [fk, fv] : library_) flagged = flagged || fk == k;
        if (flagged || k == "max_chars") continue;  // the budget is the proxy's own
        if (k == "protect") {
          auto list = mcp::parse(std::string(v.span.of(*options_json_)), expand_all);
          if (list && list->is(Node::Kind::String)) s.protect.insert(s.protect.begin(), list->text);
          bool strings = list && list->is(Node::Kind::Array);
          if (strings) {
            for (const Node& item : list->items) strings = strings && item.is(Node::Kind::String);
          }
          if (!strings && !(list && list->is(Node::Kind::String)))
            return UsageError{"--options: protect must be a list of strings"};
          if (strings) {
            std::vector<std::string> patterns;
            for (const Node& item : list->items) patterns.push_back(item.text);
            s.protect.insert(s.protect.begin(), patterns.begin(), patterns.end());
          }
          continue;
        }
        add(k, v.span.of(*options_json_));
        mark(k);
      }
    }
    for (const auto& [k, v] : library_) {
      add(k, v);
      mark(k);
    }
    s.options = std::move(members);
    // The library checks the options once here, so a bad value is a usage error, not a
    // silently unshrunk session.
    std::string probe = "{" + s.options + (s.options.empty() ? "" : ",") + "\"max_chars\":1}";
    uint64_t len = 0;
    uint8_t* env = tavisk_shrink(reinterpret_cast<const uint8_t*>("1"), 1, reinterpret_cast<const uint8_t*>(probe.data()),
                                 probe.size(), &len);
    std::string envelope(reinterpret_cast<const char*>(env), static_cast<std::size_t>(len));
    tavisk_free(env, len);
    if (!envelope.starts_with("{\"ok\":true")) {
      auto root = mcp::parse(envelope, [](const std::vector<std::string_view>& p) { return p.empty(); });
      const Node* error = root ? root->get("error") : nullptr;
      // A reader option the document "1" cannot satisfy is not an options error.
      if (error && error->text.starts_with("invalid options")) return UsageError{error->text};
    }
    return std::nullopt;
  }

  void mark(std::string_view key) {
    Settings& s = config_.settings;
    if (key == "indent") s.has_indent = true;
    if (key == "input_format") s.has_input_format = true;
    if (key == "format") s.has_format = true;
  }

  RelayConfig& config_;
  std::vector<std::pair<std::string, std::string>> library_;  // key, JSON value
  std::optional<std::string> options_json_;
  std::optional<std::uint64_t> max_chars_, max_tokens_;
  double chars_per_token_ = 3.5;
  std::vector<std::pair<std::string, std::uint64_t>> tools_;
};

}  // namespace

int proxy_main(int argc, char** argv) {
  RelayConfig config;
  Parser parser(config);
  if (auto err = parser.parse(argc, argv)) {
    std::fprintf(stderr, "tavisk mcp-proxy: %s\nTry 'tavisk mcp-proxy --help' for more information.\n",
                 err->message.c_str());
    return exit_usage;
  }
  if (parser.help) {
    std::string text = help_text();
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
  }
  config.settings.library = LibraryFeatures::probe();
  return run_relay(config);
}

}  // namespace mcp
