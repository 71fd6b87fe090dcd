// tavisk: the command-line front end. Reads a document from a file or standard
// input, shrinks it with the library and prints the result text.
#include "tavisk.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_reader.h"
#include "mcp_proxy.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

enum class Arg { Number, Text, True, False, List };

struct Flag {
  std::string_view name;
  std::string_view key;  // option key sent to the library; empty for the tool's own flags
  Arg arg;
  std::string_view meta;
  std::string_view help;
};

constexpr Flag option_flags[] = {
    {"--max-chars", "max_chars", Arg::Number, "N", "character budget of the result (default 10000)"},
    {"--indent", "indent", Arg::Number, "N", "spaces per level; 0 gives compact JSON (default 2)"},
    {"--format", "format", Arg::Text, "F", "output format: auto, json or yaml (default auto: as the input)"},
    {"--input-format", "input_format", Arg::Text, "F", "input format: auto, json or yaml (default auto)"},
    {"--scorer", "field_scorer", Arg::Text, "S", "key ranking: heuristic, compact or key_order"},
    {"--strategy", "array_strategy", Arg::Text, "S", "arrays: sample or condense (default sample)"},
    {"--protect", "protect", Arg::List, "PATTERN", "never shorten nodes at this path (repeatable), e.g. /items/*/id"},
    {"--arguments", "arguments", Arg::Text, "TEXT", "words of the request; keys and values matching them rank higher"},
    {"--explain", "explain", Arg::True, "", "record every condensing decision in the report"},
    {"--no-keep-last-item", "keep_last_item", Arg::False, "", "do not prefer keeping the last item of arrays"},
    {"--max-samples", "max_samples", Arg::Number, "N", "items of distinct shape kept when none fits whole (3)"},
    {"--min-partial-chars", "min_partial_chars", Arg::Number, "N", "least room to keep an array item in part (40)"},
    {"--string-head-chars", "string_head_chars", Arg::Number, "N", "long strings: head size (500)"},
    {"--string-section-chars", "string_section_chars", Arg::Number, "N", "long strings: section size (100)"},
    {"--string-min-section-chars", "string_min_section_chars", Arg::Number, "N",
     "long strings: smallest section preview (16)"},
};

constexpr Flag tool_flags[] = {
    {"--options", "", Arg::Text, "JSON", "options as a JSON object; the flags above override its keys"},
    {"--report", "", Arg::True, "", "print a summary of what was left out on standard error"},
    {"--envelope", "", Arg::True, "", "print the library's raw JSON envelope instead of the text"},
    {"--help", "", Arg::True, "", "show this help and exit"},
    {"--version", "", Arg::True, "", "show the version and exit"},
};

struct Command {
  std::vector<std::pair<std::string_view, std::string>> options;  // key, JSON value text
  std::optional<std::string> options_json;
  std::string file = "-";
  bool file_given = false;
  bool report = false;
  bool envelope = false;
  bool help = false;
  bool version = false;
};

struct UsageError {
  std::string message;
};

std::string help_text() {
  std::string out =
      "Usage: tavisk [OPTIONS] [FILE]\n"
      "Shrink a JSON, YAML or prose document so that its rendering fits a character budget.\n"
      "Reads FILE, or standard input when FILE is '-' or absent, and prints the result.\n"
      "\nOptions (also accepted as --flag=value):\n";
  auto add = [&out](const Flag& f) {
    std::string left = "  " + std::string(f.name);
    if (!f.meta.empty()) left += " " + std::string(f.meta);
    if (left.size() < 34)
      left.resize(34, ' ');
    else
      left += "  ";
    out += left + std::string(f.help) + "\n";
  };
  for (const Flag& f : option_flags) add(f);
  for (const Flag& f : tool_flags) add(f);
  out +=
      "\nExit status: 0 on success, 1 when the library reports an error or a file cannot be\n"
      "read or written, 2 on a usage error.\n";
  return out;
}

const Flag* find_flag(std::string_view name) {
  for (const Flag& f : option_flags) {
    if (f.name == name) return &f;
  }
  for (const Flag& f : tool_flags) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string quoted(std::string_view s) {
  std::string out;
  cli::write_json_string(out, s);
  return out;
}

void set_option(Command& cmd, std::string_view key, std::string json, bool append) {
  for (auto& [k, v] : cmd.options) {
    if (k != key) continue;
    if (append) {
      v.insert(v.size() - 1, "," + json);
    } else {
      v = std::move(json);
    }
    return;
  }
  cmd.options.emplace_back(key, append ? "[" + json + "]" : std::move(json));
}

std::optional<UsageError> apply_tool_flag(Command& cmd, const Flag& f, std::string_view value) {
  if (f.name == "--options") {
    cmd.options_json = std::string(value);
  } else if (f.name == "--report") {
    cmd.report = true;
  } else if (f.name == "--envelope") {
    cmd.envelope = true;
  } else if (f.name == "--help") {
    cmd.help = true;
  } else {
    cmd.version = true;
  }
  return std::nullopt;
}

std::optional<UsageError> apply_flag(Command& cmd, const Flag& f, std::string_view value) {
  if (f.key.empty()) return apply_tool_flag(cmd, f, value);
  switch (f.arg) {
    case Arg::Number:
      if (!all_digits(value)) {
        return UsageError{std::string(f.name) + " needs a non-negative integer, not '" + std::string(value) + "'"};
      }
      set_option(cmd, f.key, std::string(value), false);
      break;
    case Arg::Text: set_option(cmd, f.key, quoted(value), false); break;
    case Arg::List: set_option(cmd, f.key, quoted(value), true); break;
    case Arg::True: set_option(cmd, f.key, "true", false); break;
    case Arg::False: set_option(cmd, f.key, "false", false); break;
  }
  return std::nullopt;
}

bool takes_value(const Flag& f) { return f.arg == Arg::Number || f.arg == Arg::Text || f.arg == Arg::List; }

std::optional<UsageError> parse_args(int argc, char** argv, Command& cmd) {
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (only_files || a == "-" || a.substr(0, 1) != "-") {
      if (cmd.file_given)
        return UsageError{"more than one FILE given ('" + cmd.file + "' and '" + std::string(a) + "')"};
      cmd.file = std::string(a);
      cmd.file_given = true;
      continue;
    }
    if (a == "--") {
      only_files = true;
      continue;
    }
    if (a == "-h") a = "--help";
    if (a == "-V") a = "--version";
    std::size_t eq = a.find('=');
    std::string_view name = a.substr(0, eq);
    const Flag* f = find_flag(name);
    if (!f) return UsageError{"unknown option '" + std::string(name) + "'"};
    std::string_view value;
    if (eq != std::string_view::npos) {
      if (!takes_value(*f)) return UsageError{std::string(name) + " takes no value"};
      value = a.substr(eq + 1);
    } else if (takes_value(*f)) {
      if (i + 1 >= argc) return UsageError{std::string(name) + " needs a value"};
      value = argv[++i];
    }
    if (auto err = apply_flag(cmd, *f, value)) return err;
  }
  return std::nullopt;
}

// The options object: the members of --options whose keys no flag sets, then the flags.
std::optional<UsageError> options_text(const Command& cmd, std::string& out) {
  out = "{";
  bool first = true;
  auto add = [&](std::string_view key, std::string_view json) {
    if (!first) out.push_back(',');
    first = false;
    cli::write_json_string(out, key);
    out.push_back(':');
    out.append(json);
  };
  if (cmd.options_json) {
    cli::JsonError error;
    auto base = cli::parse_json(*cmd.options_json, error);
    if (!base)
      return UsageError{"--options is not valid JSON: " + error.message + " at byte " + std::to_string(error.offset)};
    if (base->kind != cli::Json::Kind::Object) return UsageError{"--options must be a JSON object"};
    for (const cli::JsonMember& m : base->members) {
      bool overridden = false;
      for (const auto& [k, v] : cmd.options) overridden = overridden || k == m.key;
      if (!overridden) add(m.key, m.value.raw);
    }
  }
  for (const auto& [k, v] : cmd.options) add(k, v);
  out.push_back('}');
  return std::nullopt;
}

bool read_all(std::FILE* in, std::string& out) {
  char buf[65536];
  for (;;) {
    std::size_t n = std::fread(buf, 1, sizeof buf, in);
    out.append(buf, n);
    if (n < sizeof buf) return !std::ferror(in);
  }
}

std::optional<std::string> read_input(const std::string& file) {
  std::string text;
  if (file == "-") {
    if (!read_all(stdin, text)) {
      std::fprintf(stderr, "tavisk: cannot read standard input: %s\n", std::strerror(errno));
      return std::nullopt;
    }
    return text;
  }
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "tavisk: cannot open '%s': %s\n", file.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  bool ok = read_all(in, text);
  int read_errno = errno;
  std::fclose(in);
  if (!ok) {
    std::fprintf(stderr, "tavisk: cannot read '%s': %s\n", file.c_str(), std::strerror(read_errno));
    return std::nullopt;
  }
  return text;
}

std::string call_library(const std::string& input, const std::string& options) {
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                               reinterpret_cast<const uint8_t*>(options.data()), options.size(), &len);
  std::string envelope(reinterpret_cast<const char*>(out), static_cast<std::size_t>(len));
  tavisk_free(out, len);
  return envelope;
}

std::string spaced(std::string_view key) {
  std::string s(key);
  for (char& c : s) {
    if (c == '_') c = ' ';
  }
  return s;
}

std::string text_of(const cli::Json* v) {
  return v ? (v->kind == cli::Json::Kind::Bool ? (v->flag ? "yes" : "no") : v->text) : "?";
}

void print_dropped(const cli::Json& report, std::string& out) {
  const cli::Json* list = report.find("dropped_fields");
  if (!list || list->items.empty()) return;
  out += "dropped fields";
  const cli::Json* total = report.find("fields_dropped");
  if (total && total->text != std::to_string(list->items.size())) {
    out += " (" + std::to_string(list->items.size()) + " of " + total->text + " shown)";
  }
  out += ":\n";
  for (const cli::Json& d : list->items) {
    out += "  " + text_of(d.find("path")) + ": " + text_of(d.find("items")) + " items\n";
  }
}

// A short human-readable account of the report, for standard error.
std::string report_summary(const cli::Json& report) {
  std::string out = "input chars: " + text_of(report.find("input_chars")) + "\n";
  out += "output chars: " + text_of(report.find("output_chars")) + " (max " + text_of(report.find("max_chars")) + ")\n";
  out += "format: " + text_of(report.find("input_format")) + " -> " + text_of(report.find("format")) + "\n";
  out += "fits: " + text_of(report.find("fits")) + ", pruned: " + text_of(report.find("pruned")) + "\n";
  for (const cli::JsonMember& m : report.members) {
    if (m.key == "input_chars" || m.key == "output_chars" || m.key == "max_chars") continue;
    if (m.value.kind == cli::Json::Kind::Number && m.value.text != "0")
      out += spaced(m.key) + ": " + m.value.text + "\n";
  }
  const cli::Json* decisions = report.find("field_decisions");
  if (decisions && !decisions->items.empty()) {
    out += "field decisions: " + std::to_string(decisions->items.size()) + " (see --envelope)\n";
  }
  print_dropped(report, out);
  return out;
}

bool write_out(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
  return std::fflush(stdout) == 0;
}

int finish(const Command& cmd, const std::string& envelope) {
  cli::JsonError error;
  auto parsed = cli::parse_json(envelope, error);
  const cli::Json* ok = parsed ? parsed->find("ok") : nullptr;
  if (!ok || ok->kind != cli::Json::Kind::Bool) {
    std::fprintf(stderr, "tavisk: unreadable answer from the library\n");
    return exit_failure;
  }
  if (!ok->flag) {
    std::fprintf(stderr, "tavisk: %s\n", text_of(parsed->find("error")).c_str());
    if (cmd.envelope && !write_out(envelope + "\n")) return exit_failure;
    return exit_failure;
  }
  const cli::Json* text = parsed->find("text");
  const cli::Json* report = parsed->find("report");
  if (!text || !report) {
    std::fprintf(stderr, "tavisk: unreadable answer from the library\n");
    return exit_failure;
  }
  if (cmd.report) std::fputs(report_summary(*report).c_str(), stderr);
  bool written = cmd.envelope ? write_out(envelope + "\n")
                              : write_out(text->text) && (text->text.ends_with('\n') || write_out("\n"));
  if (!written) {
    std::fprintf(stderr, "tavisk: cannot write the result: %s\n", std::strerror(errno));
    return exit_failure;
  }
  return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "mcp-proxy") return mcp::proxy_main(argc - 1, argv + 1);
  Command cmd;
  std::string options;
  auto err = parse_args(argc, argv, cmd);
  if (!err) err = options_text(cmd, options);
  if (err) {
    std::fprintf(stderr, "tavisk: %s\nTry 'tavisk --help' for more information.\n", err->message.c_str());
    return exit_usage;
  }
  if (cmd.help) return write_out(help_text()) ? exit_ok : exit_failure;
  if (cmd.version) return write_out("tavisk " + std::string(tavisk_version()) + "\n") ? exit_ok : exit_failure;
  auto input = read_input(cmd.file);
  if (!input) return exit_failure;
  return finish(cmd, call_library(*input, options));
}
