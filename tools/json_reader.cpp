#include "json_reader.h"

#include <cstdint>

namespace cli {
namespace {

class Reader {
 public:
  Reader(std::string_view text, JsonError& error) : s_(text), error_(error) {}

  std::optional<Json> document() {
    Json v;
    skip_space();
    if (!value(v, 0)) return std::nullopt;
    skip_space();
    if (i_ != s_.size()) return fail("unexpected text after the value");
    return v;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
  JsonError& error_;

  std::nullopt_t fail(std::string message) {
    if (error_.message.empty()) {
      error_.message = std::move(message);
      error_.offset = i_;
    }
    return std::nullopt;
  }

  bool failed(std::string message) {
    fail(std::move(message));
    return false;
  }

  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return failed("invalid literal");
    i_ += word.size();
    return true;
  }

  bool value(Json& v, std::size_t depth) {
    if (i_ >= s_.size()) return failed("unexpected end of text");
    std::size_t start = i_;
    bool ok = true;
    char c = s_[i_];
    if (c == '{') {
      ok = object(v, depth);
    } else if (c == '[') {
      ok = array(v, depth);
    } else if (c == '"') {
      v.kind = Json::Kind::String;
      ok = string(v.text);
    } else if (c == 't' || c == 'f') {
      v.kind = Json::Kind::Bool;
      v.flag = c == 't';
      ok = literal(v.flag ? "true" : "false");
    } else if (c == 'n') {
      v.kind = Json::Kind::Null;
      ok = literal("null");
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = Json::Kind::Number;
      ok = number(v.text);
    } else {
      ok = failed("unexpected character");
    }
    if (ok) v.raw = s_.substr(start, i_ - start);
    return ok;
  }

  bool enter(std::size_t depth) {
    if (depth >= json_max_depth) return failed("nesting too deep");
    ++i_;
    skip_space();
    return true;
  }

  bool array(Json& v, std::size_t depth) {
    v.kind = Json::Kind::Array;
    if (!enter(depth)) return false;
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    for (;;) {
      v.items.emplace_back();
      if (!value(v.items.back(), depth + 1)) return false;
      skip_space();
      if (i_ >= s_.size()) return failed("unexpected end of text in an array");
      if (s_[i_] == ']') return ++i_, true;
      if (s_[i_] != ',') return failed("expected ',' or ']'");
      ++i_;
      skip_space();
    }
  }

  bool object(Json& v, std::size_t depth) {
    v.kind = Json::Kind::Object;
    if (!enter(depth)) return false;
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    for (;;) {
      if (i_ >= s_.size() || s_[i_] != '"') return failed("expected a string key");
      v.members.emplace_back();
      JsonMember& m = v.members.back();
      if (!string(m.key)) return false;
      skip_space();
      if (i_ >= s_.size() || s_[i_] != ':') return failed("expected ':'");
      ++i_;
      skip_space();
      if (!value(m.value, depth + 1)) return false;
      skip_space();
      if (i_ >= s_.size()) return failed("unexpected end of text in an object");
      if (s_[i_] == '}') return ++i_, true;
      if (s_[i_] != ',') return failed("expected ',' or '}'");
      ++i_;
      skip_space();
    }
  }

  bool digits() {
    std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool number(std::string& out) {
    std::size_t start = i_;
    if (s_[i_] == '-') ++i_;
    if (i_ < s_.size() && s_[i_] == '0') {
      ++i_;
    } else if (!digits()) {
      return failed("invalid number");
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) return failed("invalid number");
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return failed("invalid number");
    }
    out.assign(s_.substr(start, i_ - start));
    return true;
  }

  bool hex4(std::uint32_t& out) {
    if (s_.size() - i_ < 4) return failed("incomplete \\u escape");
    out = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      char c = s_[i_ + k];
      std::uint32_t d = 0;
      if (c >= '0' && c <= '9') {
        d = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return failed("invalid \\u escape");
      }
      out = out * 16 + d;
    }
    i_ += 4;
    return true;
  }

  // After "\u": one code point, joining a surrogate pair.
  bool unicode_escape(std::string& out) {
    std::uint32_t cp = 0;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return failed("unpaired surrogate in \\u escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (s_.substr(i_, 2) != "\\u") return failed("unpaired surrogate in \\u escape");
      i_ += 2;
      std::uint32_t low = 0;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return failed("unpaired surrogate in \\u escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
    return true;
  }

  static void append_utf8(std::string& out, std::uint32_t cp) {
    auto byte = [&out](std::uint32_t b) { out.push_back(static_cast<char>(b)); };
    if (cp < 0x80) {
      byte(cp);
    } else if (cp < 0x800) {
      byte(0xC0 | (cp >> 6));
      byte(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      byte(0xE0 | (cp >> 12));
      byte(0x80 | ((cp >> 6) & 0x3F));
      byte(0x80 | (cp & 0x3F));
    } else {
      byte(0xF0 | (cp >> 18));
      byte(0x80 | ((cp >> 12) & 0x3F));
      byte(0x80 | ((cp >> 6) & 0x3F));
      byte(0x80 | (cp & 0x3F));
    }
  }

  bool escape(std::string& out) {
    if (i_ >= s_.size()) return failed("unexpected end of text in a string");
    char c = s_[i_++];
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': return unicode_escape(out);
      default: --i_; return failed("invalid escape");
    }
  }

  // Copies runs of plain bytes in one go; only escapes are decoded one by one.
  bool string(std::string& out) {
    ++i_;
    for (;;) {
      std::size_t run = i_;
      while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\\' && static_cast<unsigned char>(s_[i_]) >= 0x20) ++i_;
      out.append(s_.substr(run, i_ - run));
      if (i_ >= s_.size()) return failed("unexpected end of text in a string");
      char c = s_[i_];
      if (c == '"') return ++i_, true;
      if (c != '\\') return failed("control character in a string");
      ++i_;
      if (!escape(out)) return false;
    }
  }
};

}  // namespace

const Json* Json::find(std::string_view key) const {
  for (const JsonMember& m : members) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

std::optional<Json> parse_json(std::string_view text, JsonError& error) {
  error = JsonError{};
  return Reader(text, error).document();
}

void write_json_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out.push_back(hex[u >> 4]);
          out.push_back(hex[u & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace cli
