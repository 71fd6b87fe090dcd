#include "cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace cli {

namespace {

constexpr OptionFlag option_table[] = {
    {"max-chars", 'n', "max_chars", Kind::Number, "N", "character budget of the result (default 10000)"},
    // These two never reach the library: together they set max_chars (see apply_token_budget).
    {"max-tokens", 0, "max_tokens", Kind::Number, "N",
     "token budget instead: max chars = floor(N * chars per token)"},
    {"chars-per-token", 0, "chars_per_token", Kind::Real, "R", "characters per token for --max-tokens (3.5)"},
    {"indent", 0, "indent", Kind::Number, "N", "spaces per level; 0 gives compact JSON (default 2)"},
    {"format", 'f', "format", Kind::Choice, "F", "output format: auto, json or yaml (default auto: as the input)",
     "auto json yaml yml"},
    {"input-format", 0, "input_format", Kind::Choice, "F",
     "input format: detect, auto, json, yaml, text or jsonl (default: by file extension, else detect)",
     "detect auto json yaml yml text jsonl"},
    {"strip-ansi", 0, "strip_ansi", Kind::True, "", "remove terminal colour and control sequences from text input"},
    {"scorer", 0, "field_scorer", Kind::Choice, "S", "key ranking: heuristic, compact or key_order",
     "heuristic compact key_order keyorder"},
    {"strategy", 's', "array_strategy", Kind::Choice, "S", "arrays: sample or condense (default sample)",
     "sample condense"},
    {"protect", 'p', "protect", Kind::List, "PATTERN",
     "never shorten nodes at this path (repeatable), e.g. /items/*/id"},
    {"arguments", 'a', "arguments", Kind::Text, "TEXT",
     "words of the request; keys and values matching them rank higher"},
    {"focus", 0, "focus", Kind::Choice, "MODE",
     "keep what the request asks for: none or auto (default none; bare --focus means auto)", "none auto", "auto"},
    {"explain", 0, "explain", Kind::True, "", "record every condensing decision in the report"},
    {"no-keep-last-item", 0, "keep_last_item", Kind::False, "", "do not prefer keeping the last item of arrays"},
    {"max-samples", 0, "max_samples", Kind::Number, "N", "items of distinct shape kept when none fits whole (3)"},
    {"min-partial-chars", 0, "min_partial_chars", Kind::Number, "N", "least room to keep an array item in part (40)"},
    {"string-head-chars", 0, "string_head_chars", Kind::Number, "N", "long strings: head size (500)"},
    {"string-section-chars", 0, "string_section_chars", Kind::Number, "N", "long strings: section size (100)"},
    {"string-min-section-chars", 0, "string_min_section_chars", Kind::Number, "N",
     "long strings: smallest section preview (16)"},
};

constexpr std::string_view options_flag = "options";
constexpr int first_long_only = 256;  // getopt values of flags without a short letter start here

bool takes_arg(const OptionFlag& f) { return f.kind != Kind::True && f.kind != Kind::False; }

int has_arg(const OptionFlag& f) {
  if (!takes_arg(f)) return no_argument;
  return f.implicit.empty() ? required_argument : optional_argument;
}

int has_arg(const ToolFlag& f) {
  switch (f.arg) {
    case Arg::None: return no_argument;
    case Arg::Required: return required_argument;
    case Arg::Optional: return optional_argument;
  }
  return no_argument;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

char folded(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c == '-' ? '_' : c;
}

std::string choice_list(std::string_view choices) {
  std::string out;
  for (char c : choices) out += c == ' ' ? std::string(", ") : std::string(1, c);
  return out;
}

// One row of either table, as getopt_long sees it.
struct Entry {
  std::string_view name;
  char short_name;
  int has_arg;
  const OptionFlag* option;  // null for --options and tool flags
  std::size_t tool_index;
  bool is_base;  // --options
};

std::vector<Entry> entries(std::span<const ToolFlag> tool, std::span<const OptionFlag> table) {
  std::vector<Entry> out;
  for (const OptionFlag& f : table) out.push_back({f.name, f.short_name, has_arg(f), &f, 0, false});
  out.push_back({options_flag, 0, required_argument, nullptr, 0, true});
  for (std::size_t i = 0; i < tool.size(); ++i)
    out.push_back({tool[i].name, tool[i].short_name, has_arg(tool[i]), nullptr, i, false});
  return out;
}

// How the user wrote the flag: "--name" or "-x".
std::string spelled(const Entry& e, std::string_view arg) {
  if (e.short_name != 0 && !arg.starts_with("--")) return std::string("-") + e.short_name;
  return "--" + std::string(e.name);
}

std::string ambiguity(std::string_view arg, const std::vector<Entry>& all) {
  std::string_view name = arg.substr(2, arg.find('=') == std::string_view::npos ? arg.npos : arg.find('=') - 2);
  std::string matches;
  for (const Entry& e : all) {
    if (!name.empty() && e.name.starts_with(name)) matches += (matches.empty() ? "--" : ", --") + std::string(e.name);
  }
  if (matches.find(',') == std::string::npos) return "unknown option '" + std::string(arg.substr(0, arg.find('='))) + "'";
  return "ambiguous option '--" + std::string(name) + "' (" + matches + ")";
}

void set_value(std::vector<std::pair<std::string, std::string>>& set, std::string_view key, std::string json,
               bool append) {
  for (auto& [k, v] : set) {
    if (k != key) continue;
    if (append) {
      v.insert(v.size() - 1, "," + json);
    } else {
      v = std::move(json);
    }
    return;
  }
  set.emplace_back(std::string(key), append ? "[" + json + "]" : std::move(json));
}

// The whole of `text` as a finite double, or nothing.
std::optional<double> real_of(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// --max-tokens N with --chars-per-token R (default 3.5) becomes max_chars = floor(N * R), the
// product taken in double precision and saturating at 2^64 - 1: the arithmetic of the Python and
// Node.js packages, so the same numbers give the same budget everywhere.
bool apply_token_budget(std::vector<std::pair<std::string, std::string>>& set, std::string& error) {
  auto find = [&set](std::string_view key) {
    return std::find_if(set.begin(), set.end(), [key](const auto& pair) { return pair.first == key; });
  };
  auto tokens = find("max_tokens");
  auto ratio = find("chars_per_token");
  if (tokens == set.end()) {
    if (ratio == set.end()) return true;
    error = "--chars-per-token needs --max-tokens";
    return false;
  }
  if (find("max_chars") != set.end()) {
    error = "--max-chars and --max-tokens exclude each other";
    return false;
  }
  // Both texts were checked when their flags were read.
  const double per_token = ratio == set.end() ? 3.5 : real_of(ratio->second).value_or(0);
  const double product = real_of(tokens->second).value_or(0) * per_token;
  const std::string chars = product >= 18446744073709551616.0
                                ? std::string("18446744073709551615")
                                : std::to_string(static_cast<std::uint64_t>(std::floor(product)));
  *tokens = {"max_chars", chars};
  if (ratio != set.end()) set.erase(find("chars_per_token"));
  return true;
}

std::optional<std::string> option_value(const OptionFlag& f, const char* optarg_text, const std::string& flag,
                                        std::string& error) {
  std::string_view value = optarg_text ? std::string_view(optarg_text) : f.implicit;
  switch (f.kind) {
    case Kind::Number:
      if (!all_digits(value)) {
        error = flag + " needs a non-negative integer, not '" + std::string(value) + "'";
        return std::nullopt;
      }
      return std::string(value);
    case Kind::Choice:
      if (!is_choice(value, f.choices)) {
        error = flag + " must be one of " + choice_list(f.choices) + ", not '" + std::string(value) + "'";
        return std::nullopt;
      }
      return json_string(value);
    case Kind::Text:
    case Kind::List: return json_string(value);
    case Kind::True: return std::string("true");
    case Kind::False: return std::string("false");
    case Kind::Real: {
      auto real = real_of(value);
      if (!real || *real <= 0) {
        error = flag + " needs a positive number, not '" + std::string(value) + "'";
        return std::nullopt;
      }
      return std::string(value);
    }
  }
  return std::nullopt;
}

// Reads the base options object member by member, keeping each value's text as written (numbers
// arrive as their source text) so that the library sees exactly what the user gave.
class MemberReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, MemberReader> {
 public:
  std::vector<std::pair<std::string, std::string>> members;
  bool root_is_object = true;

  bool Null() { return scalar([this] { return writer_.Null(); }); }
  bool Bool(bool b) { return scalar([&] { return writer_.Bool(b); }); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    return scalar([&] { return writer_.RawValue(s, n, rapidjson::kNumberType); });
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    return scalar([&] { return writer_.String(s, n); });
  }
  bool StartObject() {
    if (depth_++ == 0) return true;
    return writer_.StartObject();
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (depth_ > 1) return writer_.Key(s, n);
    members.emplace_back(std::string(s, n), std::string());
    buffer_.Clear();
    writer_.Reset(buffer_);
    return true;
  }
  bool EndObject(rapidjson::SizeType n) {
    if (--depth_ == 0) return true;
    return writer_.EndObject(n) && ended();
  }
  bool StartArray() {
    if (depth_ == 0) return root_is_object = false;
    ++depth_;
    return writer_.StartArray();
  }
  bool EndArray(rapidjson::SizeType n) {
    --depth_;
    return writer_.EndArray(n) && ended();
  }

 private:
  template <class Write>
  bool scalar(Write write) {
    if (depth_ == 0) return root_is_object = false;
    return write() && ended();
  }
  // After a value: a member of the base object is complete when the nesting is back at its level.
  bool ended() {
    if (depth_ == 1) members.back().second.assign(buffer_.GetString(), buffer_.GetSize());
    return true;
  }

  int depth_ = 0;
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_{buffer_};
};

}  // namespace

std::span<const OptionFlag> option_flags() { return option_table; }

bool is_choice(std::string_view value, std::string_view choices) {
  while (!choices.empty()) {
    std::size_t end = choices.find(' ');
    std::string_view word = choices.substr(0, end);
    choices = end == std::string_view::npos ? std::string_view() : choices.substr(end + 1);
    if (word.size() != value.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < word.size() && same; ++i) same = folded(value[i]) == folded(word[i]);
    if (same) return true;
  }
  return false;
}

std::string_view default_input_format(std::string_view file) {
  std::size_t dot = file.rfind('.');
  std::size_t slash = file.rfind('/');
  if (file == "-" || dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "detect";
  std::string ext;
  for (char c : file.substr(dot + 1)) ext += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  if (ext == "log" || ext == "txt" || ext == "md" || ext == "out") return "text";
  if (ext == "json") return "json";
  if (ext == "yaml" || ext == "yml") return "yaml";
  if (ext == "jsonl" || ext == "ndjson") return "jsonl";
  return "detect";
}

std::string with_input_format(const std::string& options, std::string_view format) {
  rapidjson::Document d;
  d.Parse(options.data(), options.size());
  if (d.HasParseError() || !d.IsObject() || d.HasMember("input_format")) return options;
  std::string out = "{\"input_format\":" + json_string(format);
  if (options.size() > 2) out += ",";
  out.append(options, 1);
  return out;
}

std::string json_string(std::string_view text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<std::string> merge_options(std::string_view base,
                                         const std::vector<std::pair<std::string, std::string>>& set,
                                         std::string& error) {
  std::string out = "{";
  auto add = [&out](std::string_view key, std::string_view json) {
    if (out.size() > 1) out.push_back(',');
    out += json_string(key);
    out.push_back(':');
    out.append(json);
  };
  if (!base.empty()) {
    MemberReader handler;
    rapidjson::Reader reader;
    rapidjson::MemoryStream memory(base.data(), base.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(memory);
    constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                               rapidjson::kParseValidateEncodingFlag;
    rapidjson::ParseResult result = reader.Parse<flags>(in, handler);
    if (!handler.root_is_object) {
      error = "--options must be a JSON object";
      return std::nullopt;
    }
    if (!result) {
      error = std::string("--options is not valid JSON: ") + rapidjson::GetParseError_En(result.Code()) +
              " (at byte " + std::to_string(result.Offset()) + ")";
      return std::nullopt;
    }
    for (const auto& [key, json] : handler.members) {
      bool overridden = false;
      for (const auto& pair : set) overridden = overridden || pair.first == key;
      if (!overridden) add(key, json);
    }
  }
  for (const auto& [key, json] : set) add(key, json);
  out.push_back('}');
  return out;
}

std::optional<CommandLine> parse_command_line(int argc, char** argv, std::span<const ToolFlag> tool,
                                              std::string& error, std::span<const OptionFlag> table) {
  std::vector<Entry> all = entries(tool, table);
  std::vector<option> longs;
  std::string shorts = ":";  // leading ':' tells a missing argument apart from an unknown flag
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Entry& e = all[i];
    int val = e.short_name != 0 ? static_cast<unsigned char>(e.short_name) : first_long_only + static_cast<int>(i);
    longs.push_back({e.name.data(), e.has_arg, nullptr, val});
    if (e.short_name == 0) continue;
    shorts += e.short_name;
    if (e.has_arg == required_argument) shorts += ":";
    if (e.has_arg == optional_argument) shorts += "::";
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  // Long names in the tables are views of string literals, so data() is NUL-terminated.
  auto entry_of = [&all](int val) -> const Entry* {
    if (val >= first_long_only) {
      auto i = static_cast<std::size_t>(val - first_long_only);
      return i < all.size() ? &all[i] : nullptr;
    }
    for (const Entry& e : all) {
      if (e.short_name != 0 && static_cast<unsigned char>(e.short_name) == val) return &e;
    }
    return nullptr;
  };

  CommandLine out;
  std::vector<std::pair<std::string, std::string>> set;
  std::optional<std::string> base;
  opterr = 0;
  optind = 0;  // 0 makes GNU getopt start afresh, so a second parse in one process works
  for (;;) {
    int long_index = -1;
    int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &long_index);
    if (c == -1) break;
    // On an error no value was taken, so the flag is the element just passed.
    std::string_view arg = optind - 1 < argc ? argv[optind - 1] : "";
    if (long_index >= 0) arg = "--";
    if (c == '?' || c == ':') {
      const Entry* e = optopt != 0 ? entry_of(optopt) : nullptr;
      if (c == ':' && e) {
        error = spelled(*e, arg) + " needs a value";
      } else if (e && arg.starts_with("--")) {
        error = "--" + std::string(e->name) + " takes no value";
      } else if (arg.starts_with("--")) {
        error = ambiguity(arg, all);
      } else {
        error = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
      }
      return std::nullopt;
    }
    const Entry* e = entry_of(c);
    if (!e) {
      error = "unknown option '" + std::string(arg) + "'";
      return std::nullopt;
    }
    if (e->is_base) {
      base = std::string(optarg);
    } else if (e->option) {
      auto json = option_value(*e->option, optarg, spelled(*e, arg), error);
      if (!json) return std::nullopt;
      set_value(set, e->option->key, std::move(*json), e->option->kind == Kind::List);
    } else {
      out.tool.push_back({e->tool_index, optarg ? std::optional<std::string>(optarg) : std::nullopt});
    }
  }
  for (int i = optind; i < argc; ++i) out.operands.emplace_back(argv[i]);
  if (!apply_token_budget(set, error)) return std::nullopt;
  auto options = merge_options(base ? std::string_view(*base) : std::string_view(), set, error);
  if (!options) return std::nullopt;
  out.options = std::move(*options);
  return out;
}

std::string flags_help(std::span<const ToolFlag> tool, std::span<const OptionFlag> table) {
  std::string out;
  auto add = [&out](char short_name, std::string_view name, std::string_view meta, bool optional,
                    std::string_view help) {
    std::string left = short_name != 0 ? std::string("  -") + short_name + ", --" : std::string("      --");
    left += name;
    if (!meta.empty()) left += optional ? "[=" + std::string(meta) + "]" : " " + std::string(meta);
    if (left.size() < 34) {
      left.resize(34, ' ');
    } else {
      left += "  ";
    }
    out += left + std::string(help) + "\n";
  };
  for (const OptionFlag& f : table) add(f.short_name, f.name, f.meta, !f.implicit.empty(), f.help);
  add(0, options_flag, "JSON", false, "options as a JSON object; the flags above override its keys");
  for (const ToolFlag& f : tool) add(f.short_name, f.name, f.meta, f.arg == Arg::Optional, f.help);
  return out;
}

}  // namespace cli
