#include "yaml_scalar.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "json.h"
#include "yaml_in.h"

namespace tavisk::yaml_in {

namespace {

constexpr std::string_view core_tag = "tag:yaml.org,2002:";

bool digit(char c) { return c >= '0' && c <= '9'; }
bool octal(char c) { return c >= '0' && c <= '7'; }
bool hex(char c) { return digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

template <class Pred>
bool all_of(std::string_view t, Pred p) {
  if (t.empty()) return false;
  for (char c : t)
    if (!p(c)) return false;
  return true;
}

bool null_form(std::string_view t) { return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL"; }

std::optional<bool> bool_form(std::string_view t) {
  if (t == "true" || t == "True" || t == "TRUE") return true;
  if (t == "false" || t == "False" || t == "FALSE") return false;
  return std::nullopt;
}

bool sign(char c) { return c == '+' || c == '-'; }

bool decimal_int_form(std::string_view t) {
  if (!t.empty() && sign(t[0])) t.remove_prefix(1);
  return all_of(t, digit);
}

// [-+]? ( \. [0-9]+ | [0-9]+ ( \. [0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool finite_float_form(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && sign(t[i])) ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < t.size() && digit(t[i])) ++i, ++int_digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && digit(t[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < t.size() && (t[i] | 0x20) == 'e') {
    ++i;
    if (i < t.size() && sign(t[i])) ++i;
    std::size_t exp_digits = 0;
    while (i < t.size() && digit(t[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == t.size();
}

bool named_float_form(std::string_view t) {
  if (t == ".nan" || t == ".NaN" || t == ".NAN") return true;
  if (!t.empty() && sign(t[0])) t.remove_prefix(1);
  return t == ".inf" || t == ".Inf" || t == ".INF";
}

bool float_form(std::string_view t) { return finite_float_form(t) || named_float_form(t); }

// Magnitude of digits in base 8 or 16; nullopt when it exceeds 64 bits.
std::optional<std::uint64_t> radix_value(std::string_view digits, unsigned base) {
  std::uint64_t v = 0;
  for (char c : digits) {
    unsigned d = digit(c) ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
    if (v > (UINT64_MAX - d) / base) return std::nullopt;
    v = v * base + d;
  }
  return v;
}

// Decimal text without a plus sign or leading zeros; any length is kept
// exactly. A part of `t` when only a sign or zeros go.
std::string_view decimal_text(std::string_view t, std::string& made) {
  const bool negative = t[0] == '-';
  std::string_view digits = sign(t[0]) ? t.substr(1) : t;
  const std::size_t before = digits.size();
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  if (digits == "0") return "0";
  if (!negative) return digits;
  if (digits.size() == before) return t;
  made.reserve(digits.size() + 1);
  made.assign("-").append(digits);
  return made;
}

// Rewrites a float spelling as JSON number syntax without changing its value.
std::string json_spelling(std::string_view t) {
  std::string out;
  std::size_t i = 0;
  if (sign(t[0])) {
    if (t[0] == '-') out += '-';
    ++i;
  }
  std::size_t start = i;
  while (i < t.size() && digit(t[i])) ++i;
  std::string_view whole = t.substr(start, i - start);
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  out += whole.empty() ? std::string_view("0") : whole;
  if (i < t.size() && t[i] == '.') {
    std::size_t frac = ++i;
    while (i < t.size() && digit(t[i])) ++i;
    if (i > frac) out.append(".").append(t.substr(frac, i - frac));
  }
  out += t.substr(i);
  return out;
}

std::string shortest(double d) {
  if (d == 0) return "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

void set(Resolved& out, ScalarKind kind, Kind value, std::string_view text) {
  out.kind = kind;
  out.value = value;
  out.text = text;
}

void string_scalar(std::string_view t, Resolved& out) { set(out, ScalarKind::String, Kind::String, t); }

void integer(std::string_view t, Resolved& out) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'o' || t[1] == 'x')) {
    auto v = radix_value(t.substr(2), t[1] == 'o' ? 8 : 16);
    if (!v) return string_scalar(t, out);
    out.made = std::to_string(*v);
    return set(out, ScalarKind::Int, Kind::Number, out.made);
  }
  set(out, ScalarKind::Int, Kind::Number, decimal_text(t, out.made));
}

// Reads a real's spelling (a leading plus aside) as a double: whether it is
// all read, and how.
std::from_chars_result read_real(std::string_view t, double& d) {
  std::string_view body = t[0] == '+' ? t.substr(1) : t;
  auto r = std::from_chars(body.data(), body.data() + body.size(), d);
  if (r.ptr != body.data() + body.size() && r.ec == std::errc()) r.ec = std::errc::invalid_argument;
  return r;
}

// Whether a real is written as a short JSON number without an exponent
// (-?(0|[1-9][0-9]*)(\.[0-9]+)?, at most 20 bytes): then it is its own JSON
// text, and its value is finite without being read.
bool short_json_decimal(std::string_view t) {
  if (t.size() > 20) return false;
  std::size_t i = t[0] == '-' ? 1 : 0;
  if (i == t.size() || !digit(t[i])) return false;
  if (t[i] == '0') {
    ++i;
  } else {
    while (i < t.size() && digit(t[i])) ++i;
  }
  if (i == t.size()) return true;
  if (t[i] != '.' || ++i == t.size()) return false;
  while (i < t.size() && digit(t[i])) ++i;
  return i == t.size();
}

void real(std::string_view t, Resolved& out) {
  if (short_json_decimal(t)) return set(out, ScalarKind::Real, Kind::Number, t);
  double d = 0;
  auto r = read_real(t, d);
  if (r.ec == std::errc() && std::isfinite(d)) {
    if (json::is_number(t)) return set(out, ScalarKind::Real, Kind::Number, t);
    out.made = json_number(t, d);
    return set(out, ScalarKind::Real, Kind::Number, out.made);
  }
  // Beyond the range of a double, or not a number at all: the source text as
  // a string, since unquoted ids such as 01130e478459 read as reals and a
  // number would lose their spelling.
  set(out, ScalarKind::Real, Kind::String, t);
}

void core(std::string_view t, Resolved& out) {
  if (!may_not_be_string(t)) return string_scalar(t, out);
  if (null_form(t)) return set(out, ScalarKind::Null, Kind::Null, {});
  if (auto b = bool_form(t)) {
    out.truth = *b;
    return set(out, ScalarKind::Bool, Kind::Bool, {});
  }
  if (decimal_int_form(t)) return integer(t, out);
  if (t.size() > 2 && t[0] == '0' && t[1] == 'o' && all_of(t.substr(2), octal)) return integer(t, out);
  if (t.size() > 2 && t[0] == '0' && t[1] == 'x' && all_of(t.substr(2), hex)) return integer(t, out);
  if (float_form(t)) return real(t, out);
  string_scalar(t, out);
}

// A scalar whose standard tag demands a kind: it must resolve to that kind.
bool tagged(std::string_view t, std::string_view type, Resolved& out) {
  if (type == "str") {
    string_scalar(t, out);
    return true;
  }
  if (type == "float" && float_form(t)) {
    real(t, out);
    return true;
  }
  core(t, out);
  const ScalarKind k = out.kind;
  return (type == "null" && k == ScalarKind::Null) || (type == "bool" && k == ScalarKind::Bool) ||
         (type == "int" && k == ScalarKind::Int);
}

}  // namespace

std::string json_number(std::string_view text, double value) {
  if (json::is_number(text)) return std::string(text);
  // Shortest round-trip digits in positional form: at most ~330 characters for a double.
  char buf[512];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string real_identity(std::string_view t) {
  double d = 0;
  auto r = read_real(t, d);
  if (r.ec == std::errc() && std::isfinite(d)) return shortest(d);
  // Beyond the range of a double: as a key it still equals its other spellings.
  if (r.ec == std::errc::result_out_of_range && r.ptr == t.data() + t.size()) return json_spelling(t);
  char last = static_cast<char>(t.back() | 0x20);
  return last == 'n' ? "nan" : t[0] == '-' ? "-inf" : "inf";
}

bool resolve_scalar(std::string_view text, bool plain, std::string_view tag, Resolved& out) {
  if (tag.empty()) {
    if (plain)
      core(text, out);
    else
      string_scalar(text, out);
    return true;
  }
  if (tag.substr(0, core_tag.size()) == core_tag) {
    std::string_view type = tag.substr(core_tag.size());
    if (type == "str" || type == "null" || type == "bool" || type == "int" || type == "float")
      return tagged(text, type, out);
  }
  // The bare tag "!" and every other tag keep the content as text.
  string_scalar(text, out);
  return true;
}

}  // namespace tavisk::yaml_in
