#include "options.h"

#include <string>
#include <string_view>

#include "unicode.h"

namespace tavisk {

namespace {

bool parse_unsigned(const Value& v, std::uint64_t& out) {
  if (!v.is_number() || v.text().empty()) return false;
  std::uint64_t n = 0;
  for (char c : v.text()) {
    if (c < '0' || c > '9') return false;
    auto d = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  out = n;
  return true;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool parse_format(const Value& v, Format& out, bool input) {
  if (!v.is_string()) return false;
  std::string s = ascii_lower(v.text());
  if (s == "auto")
    out = Format::Auto;
  else if (s == "json")
    out = Format::Json;
  else if (s == "yaml" || s == "yml")
    out = Format::Yaml;
  else if (s == "text")
    out = Format::Text;
  else if (s == "jsonl")
    out = Format::Jsonl;
  else if (s == "detect" && input)
    out = Format::Detect;
  else
    return false;
  return true;
}

std::uint64_t* unsigned_field(Options& o, std::string_view key) {
  if (key == "max_chars") return &o.max_chars;
  if (key == "indent") return &o.indent;
  if (key == "string_head_chars") return &o.string_head_chars;
  if (key == "string_section_chars") return &o.string_section_chars;
  if (key == "string_min_section_chars") return &o.string_min_section_chars;
  if (key == "max_samples") return &o.max_samples;
  if (key == "min_partial_chars") return &o.min_partial_chars;
  return nullptr;
}

// Applies one pair; returns an error message or an empty string.
std::string apply(Options& o, const std::string& key, const Value& v) {
  if (std::uint64_t* field = unsigned_field(o, key)) {
    if (!parse_unsigned(v, *field)) return key + " must be a non-negative integer";
    if (field == &o.indent && o.indent > max_indent) return "indent must be at most " + std::to_string(max_indent);
    return "";
  }
  if (key == "keep_last_item" || key == "explain" || key == "strip_ansi") {
    if (!v.is_bool()) return key + " must be a boolean";
    (key == "explain" ? o.explain : key == "strip_ansi" ? o.strip_ansi : o.keep_last_item) = v.as_bool();
    return "";
  }
  // The messages name only the first three values, as they always have.
  if (key == "format")
    return parse_format(v, o.format, false) ? "" : "format must be \"auto\", \"json\" or \"yaml\"";
  if (key == "input_format")
    return parse_format(v, o.input_format, true) ? "" : "input_format must be \"auto\", \"json\" or \"yaml\"";
  if (key == "array_strategy") {
    std::string s = v.is_string() ? ascii_lower(v.text()) : "";
    if (s == "sample")
      o.array_strategy = ArrayStrategy::Sample;
    else if (s == "condense")
      o.array_strategy = ArrayStrategy::Condense;
    else
      return "array_strategy must be \"sample\" or \"condense\"";
    return "";
  }
  if (key == "focus") {
    std::string s = v.is_string() ? ascii_lower(v.text()) : "";
    if (s == "none")
      o.focus = Focus::None;
    else if (s == "auto")
      o.focus = Focus::Auto;
    else
      return "focus must be \"none\" or \"auto\"";
    return "";
  }
  if (key == "field_scorer") {
    if (!v.is_string()) return "field_scorer must be a string";
    std::string s = ascii_lower(v.text());
    for (char& c : s)
      if (c == '-') c = '_';
    if (s == "heuristic")
      o.field_scorer = ScorerKind::Heuristic;
    else if (s == "compact")
      o.field_scorer = ScorerKind::Compact;
    else if (s == "key_order" || s == "keyorder")
      o.field_scorer = ScorerKind::KeyOrder;
    else
      return "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]";
    return "";
  }
  if (key == "protect") {
    std::vector<std::string> list;
    if (v.is_string()) {
      list.emplace_back(v.text());
    } else if (v.is_array()) {
      list.reserve(v.items().size());
      for (const Value& item : v.items()) {
        if (!item.is_string()) return "protect must be a list of strings";
        list.emplace_back(item.text());
      }
    } else {
      return "protect must be a list of strings";
    }
    o.protect = std::move(list);
    return "";
  }
  if (key == "arguments") {
    o.arguments = arguments_from(v);
    return "";
  }
  return "unknown option: " + key;
}

}  // namespace

namespace arguments_text {
void go(const Value& v, std::vector<std::string>& out) {
  switch (v.kind()) {
    case Kind::Number:
    case Kind::String: out.emplace_back(v.text()); break;
    case Kind::Array:
      for (const Value& item : v.items()) go(item, out);
      break;
    case Kind::Object:
      for (const Member& m : v.members()) go(m.value, out);
      break;
    default: break;
  }
}
}  // namespace arguments_text

std::optional<std::string> arguments_from(const Value& v) {
  std::vector<std::string> parts;
  arguments_text::go(v, parts);
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) joined.push_back(' ');
    joined += parts[i];
  }
  if (unicode::blank(joined)) return std::nullopt;
  return joined;
}

Result<Options> Options::from_value(const Value& v) {
  if (!v.is_object()) return fail("options must be a JSON object");
  Options o;
  for (const Member& m : v.members()) {
    std::string message = apply(o, std::string(m.key), m.value);
    if (!message.empty()) return fail(std::move(message));
  }
  if (o.format == Format::Yaml && o.indent < 2) return fail("YAML indent must be at least 2");
  return o;
}

}  // namespace tavisk
