#include "yaml.h"

#include <stdexcept>

#include "unicode.h"
#include "utf8.h"
#include "yaml_scalar.h"

namespace tavisk::yaml {

namespace {

// Longest key written in implicit form; YAML readers refuse longer implicit keys.
constexpr std::uint64_t max_implicit_key = 1024;

bool reserved_word(std::string_view t) {
  if (t.size() > 5) return false;
  std::string low(t);
  for (char& c : low)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  static constexpr std::string_view words[] = {"n",  "y",   "~",   "=",    "no",   "on",
                                               "<<", "yes", "off", "null", "true", "false"};
  for (std::string_view w : words)
    if (low == w) return true;
  return false;
}

bool needs_quotes(std::string_view t) {
  if (t.empty()) return true;
  std::size_t i = 0;
  char32_t first = utf8::next(t, i);
  if (yaml_in::indicator(first) || unicode::white_space(first)) return true;
  char32_t second = i < t.size() ? utf8::next(t, i) : 0;
  if (first == '.' || unicode::decimal_digit(first)) return true;
  if ((first == '+' || first == '-') && (second == '.' || (second && unicode::decimal_digit(second)))) return true;
  char32_t last = first;
  for (std::size_t j = 0; j < t.size();) {
    last = utf8::next(t, j);
    if (!printable(last)) return true;
  }
  if (unicode::white_space(last) || last == ':') return true;
  if (t.find(": ") != std::string_view::npos || t.find(" #") != std::string_view::npos) return true;
  return reserved_word(t);
}

bool escaped_as_code(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0xFEFF || c == 0xFFFE ||
         c == 0xFFFF;
}

void append_code(std::string& out, char32_t c) {
  static constexpr char digits[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
}

std::string quoted(std::string_view t) {
  std::string out;
  out.reserve(t.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < t.size();) {
    std::size_t start = i;
    char32_t c = utf8::next(t, i);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (escaped_as_code(c)) {
          append_code(out, c);
        } else {
          out.append(t.substr(start, i - start));
        }
    }
  }
  out.push_back('"');
  return out;
}

bool literal_char(char32_t c) {
  if (c == '\t') return true;
  if (c == 0x85 || c == 0x2028 || c == 0x2029 || c == 0xFEFF) return false;
  return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
}

bool nonempty_container(const Value& v) {
  return (v.is_array() && !v.items().empty()) || (v.is_object() && !v.members().empty());
}

bool literal_string(const Value& v) { return v.is_string() && literal_ok(v.text()); }

// Writes a container or literal value after its "- " or "key:" line head.
void child_lines(const Value& v, std::string head, std::uint64_t level, std::uint64_t indent, Lines& lines) {
  if (literal_string(v)) {
    head += ' ';
    head += literal_header(v.text());
    lines.push_back(std::move(head));
    literal_body_at(v.text(), level + 1, indent, lines);
  } else {
    head += ' ';
    head += inline_(v);
    lines.push_back(std::move(head));
  }
}

void array_lines(const Value& v, std::uint64_t level, std::uint64_t indent, Lines& lines) {
  const std::string pad(level * indent, ' ');
  for (const Value& item : v.items()) {
    if (nonempty_container(item)) {
      std::size_t first = lines.size();
      block(item, level + 1, indent, lines);
      std::string head = pad + "-" + std::string(indent - 1, ' ');
      lines[first].replace(0, (level + 1) * indent, head);
    } else {
      child_lines(item, pad + "-", level, indent, lines);
    }
  }
}

void object_lines(const Value& v, std::uint64_t level, std::uint64_t indent, Lines& lines) {
  const std::string pad(level * indent, ' ');
  for (const Member& m : v.members()) {
    std::string key = scalar_string(m.key);
    std::string head;
    if (utf8::count(key) > max_implicit_key) {
      // Too long for an implicit key: an explicit "? key" line, then ":" with the value.
      lines.push_back(pad + "? " + key);
      head = pad + ":";
    } else {
      head = pad + key + ":";
    }
    if (nonempty_container(m.value)) {
      lines.push_back(std::move(head));
      block(m.value, level + 1, indent, lines);
    } else {
      child_lines(m.value, std::move(head), level, indent, lines);
    }
  }
}

// Characters of what the writer produces, counted without producing it; each
// line counts its line feed.

std::uint64_t quoted_chars(std::string_view t) {
  std::uint64_t n = 2;
  for (std::size_t i = 0; i < t.size();) {
    const char32_t c = utf8::next(t, i);
    if (c == '\\' || c == '"' || c == '\t' || c == '\n' || c == '\r')
      n += 2;
    else
      n += escaped_as_code(c) ? 6 : 1;
  }
  return n;
}

std::uint64_t scalar_chars(std::string_view t) { return needs_quotes(t) ? quoted_chars(t) : utf8::count(t); }

std::uint64_t inline_chars(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return 4;
    case Kind::Bool: return v.as_bool() ? 4 : 5;
    case Kind::Number: return utf8::count(v.text());
    case Kind::String: return scalar_chars(v.text());
    default: return 2;  // "[]" or "{}"
  }
}

std::uint64_t literal_body_chars(std::string_view text, std::uint64_t level, std::uint64_t indent) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::uint64_t n = 0;
  for (;;) {
    const std::size_t end = text.find('\n');
    const std::string_view piece = text.substr(0, end);
    n += piece.empty() ? 1 : level * indent + utf8::count(piece) + 1;
    if (end == std::string_view::npos) return n;
    text.remove_prefix(end + 1);
  }
}

// A line head of `head` characters followed by a scalar, empty container or literal block.
std::uint64_t child_chars(const Value& v, std::uint64_t head, std::uint64_t level, std::uint64_t indent) {
  if (literal_string(v))
    return head + 1 + literal_header(v.text()).size() + 1 + literal_body_chars(v.text(), level + 1, indent);
  return head + 1 + inline_chars(v) + 1;
}

std::uint64_t block_chars(const Value& v, std::uint64_t level, std::uint64_t indent) {
  const std::uint64_t pad = level * indent;
  std::uint64_t n = 0;
  if (v.is_array()) {
    for (const Value& item : v.items())
      n += nonempty_container(item) ? block_chars(item, level + 1, indent) : child_chars(item, pad + 1, level, indent);
    return n;
  }
  for (const Member& m : v.members()) {
    const std::uint64_t key = scalar_chars(m.key);
    std::uint64_t head = pad + key + 1;
    if (key > max_implicit_key) {
      n += pad + 2 + key + 1;
      head = pad + 1;
    }
    n += nonempty_container(m.value) ? head + 1 + block_chars(m.value, level + 1, indent)
                                     : child_chars(m.value, head, level, indent);
  }
  return n;
}

}  // namespace

std::uint64_t document_chars(const Value& v, std::uint64_t indent) {
  if (indent < 2) indent = 2;
  if (literal_string(v)) return literal_header(v.text()).size() + 1 + literal_body_chars(v.text(), 1, indent);
  if (nonempty_container(v)) return block_chars(v, 0, indent);
  return inline_chars(v) + 1;
}

void block(const Value& v, std::uint64_t level, std::uint64_t indent, Lines& lines) {
  if (!nonempty_container(v)) throw std::logic_error("yaml::block needs a non-empty array or object");
  if (v.is_array()) {
    array_lines(v, level, indent, lines);
  } else {
    object_lines(v, level, indent, lines);
  }
}

std::string inline_(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return "null";
    case Kind::Bool: return v.as_bool() ? "true" : "false";
    case Kind::Number: return std::string(v.text());
    case Kind::String: return scalar_string(v.text());
    case Kind::Array:
      if (!v.items().empty()) throw std::logic_error("yaml::inline_ of a non-empty array");
      return "[]";
    case Kind::Object:
      if (!v.members().empty()) throw std::logic_error("yaml::inline_ of a non-empty object");
      return "{}";
  }
  return "null";
}

std::string scalar_string(std::string_view text) { return needs_quotes(text) ? quoted(text) : std::string(text); }

bool printable(char32_t c) {
  if (c == 0x2028 || c == 0x2029 || c == 0xFEFF) return false;
  return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
}

bool literal_ok(std::string_view text) {
  if (text.find('\n') == std::string_view::npos) return false;
  bool content_seen = false;
  bool piece_empty = true;
  bool piece_blank = true;
  for (std::size_t i = 0;;) {
    if (i == text.size() || text[i] == '\n') {
      if (!piece_empty && piece_blank) return false;
      if (i == text.size()) break;
      piece_empty = piece_blank = true;
      ++i;
      continue;
    }
    char32_t c = utf8::next(text, i);
    if (!literal_char(c)) return false;
    if (piece_empty && !content_seen && (c == ' ' || c == '\t')) return false;
    content_seen = true;
    piece_empty = false;
    if (!unicode::white_space(c)) piece_blank = false;
  }
  return content_seen;
}

void literal_body_at(std::string_view text, std::uint64_t level, std::uint64_t indent, Lines& lines) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::string pad(level * indent, ' ');
  while (true) {
    std::size_t end = text.find('\n');
    std::string_view piece = text.substr(0, end);
    if (piece.empty()) {
      lines.emplace_back();
    } else {
      lines.push_back(pad + std::string(piece));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::string_view literal_header(std::string_view text) {
  std::size_t feeds = 0;
  while (feeds < text.size() && text[text.size() - 1 - feeds] == '\n') ++feeds;
  if (feeds == 0) return "|-";
  return feeds == 1 ? "|" : "|+";
}

}  // namespace tavisk::yaml
