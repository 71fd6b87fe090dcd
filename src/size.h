// The size measure: characters of a value rendered as compact or indented
// JSON, computed arithmetically; and the omission markers and their sizes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "utf8.h"
#include "value.h"

namespace tavisk::size {

// Size arithmetic that stops at the largest value instead of wrapping: a
// saturated size is over every budget, so it is never chosen as fitting.
inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Layout of the rendering being measured.
struct Layout {
  bool pretty = false;
  std::uint64_t indent = 0;
};

// Cost of the characters of text inside a JSON string literal (no quotes).
std::uint64_t char_costs(std::string_view text);
// char_costs(text), with the text's characters (utf8::count) in `chars`: one pass over a short text.
std::uint64_t char_costs_and_count(std::string_view text, std::uint64_t& chars);
// 2 + char_costs(text).
inline std::uint64_t quoted(std::string_view text) { return 2 + char_costs(text); }

namespace detail {
inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
// Nonzero when some byte of w is '"', '\\' or below 0x20 (exact for the word as a whole).
inline std::uint64_t escaped_bytes(std::uint64_t w) {
  constexpr std::uint64_t lo = 0x0101010101010101ull, hi = 0x8080808080808080ull;
  const std::uint64_t q = w ^ 0x2222222222222222ull, b = w ^ 0x5C5C5C5C5C5C5C5Cull;
  return (((q - lo) & ~q) | ((b - lo) & ~b) | ((w - 0x2020202020202020ull) & ~w)) & hi;
}
// UTF-8 continuation bytes (10xxxxxx) in w.
inline std::uint64_t continuation_bytes(std::uint64_t w) {
  return utf8::count_high_bits(w & ~(w << 1) & 0x8080808080808080ull);
}
// UTF-8 continuation bytes in a text, a word at a time.
inline std::uint64_t continuation_bytes(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t total = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) total += continuation_bytes(load8(p + i));
  for (; i < n; ++i) total += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
  return total;
}
}  // namespace detail

// Whether JSON writes text with nothing escaped (no '"', '\\' or byte below 0x20); if so its char_costs
// equal its characters, set in `chars` (left alone otherwise). A word at a time, without a call: for short texts.
[[gnu::always_inline]] inline bool unescaped(std::string_view text, std::uint64_t& chars) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t bad = 0, high = 0;
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      const std::uint64_t w = detail::load8(p + i);
      bad |= detail::escaped_bytes(w);
      high |= w;
    }
    const std::uint64_t w = detail::load8(p + n - 8);
    bad |= detail::escaped_bytes(w);
    high |= w;
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    const std::uint64_t w = a | static_cast<std::uint64_t>(b) << 32;
    bad = detail::escaped_bytes(w);
    high = w;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      bad |= c < 0x20 || c == '"' || c == '\\';
      high |= c;
    }
  }
  if (bad) return false;
  chars = (high & 0x8080808080808080ull) ? n - detail::continuation_bytes(text) : n;
  return true;
}

// Whether text is all ASCII (then it has as many characters as bytes). For short texts.
inline bool ascii(std::string_view text) {
  if (text.size() < 4) {
    for (const char ch : text)
      if (static_cast<unsigned char>(ch) >= 0x80) return false;
    return true;
  }
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n < 8) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return ((a | b) & 0x80808080u) == 0;
  }
  std::uint64_t acc = detail::load8(p + n - 8);
  for (std::size_t i = 0; i + 8 < n; i += 8) acc |= detail::load8(p + i);
  return (acc & 0x8080808080808080ull) == 0;
}

// Characters of a text JSON writes with nothing escaped (its char_costs).
inline std::uint64_t unescaped_chars(std::string_view text) {
  const std::size_t n = text.size();
  if (n >= 4 && n < 8) {  // two loads, the second without the bytes the first holds
    std::uint32_t a, b;
    std::memcpy(&a, text.data(), 4);
    std::memcpy(&b, text.data() + n - 4, 4);
    const std::uint64_t tail = std::uint64_t{b} >> (8 * (8 - n));
    return n - detail::continuation_bytes(a | tail << 32);
  }
  return ascii(text) ? n : n - detail::continuation_bytes(text);
}

namespace detail {
// Digits of n in decimal.
inline std::uint64_t decimal_digits(std::uint64_t n) {
  std::uint64_t d = 1;
  for (; n >= 10000; n /= 10000) d += 4;
  return d + (n >= 10) + (n >= 100) + (n >= 1000);
}
// Characters of the literal parts around N in the markers ("…" is one character).
inline constexpr std::uint64_t placeholder_chars = 10;  // "…[+" and " chars]"
inline constexpr std::uint64_t gap_chars = 17;          // "…[" and " items omitted]"
inline constexpr std::uint64_t keys_text_chars = 13;    // " keys omitted"
// Brackets plus, when pretty, line feeds and indentation of a one-entry container.
inline std::uint64_t single_entry_frame(Layout l, std::uint64_t d) {
  return l.pretty ? sat_add(sat_mul(2 * d + 1, l.indent), 4) : 2;
}
}  // namespace detail

// Brackets, commas, line feeds and indentation of a container of k entries at depth d.
inline std::uint64_t overhead(Layout l, std::uint64_t k, std::uint64_t d) {
  if (k == 0) return 2;
  if (!l.pretty) return k + 1;
  return sat_add(sat_mul(k, sat_add(sat_mul(l.indent, d + 1), 2)), sat_add(sat_mul(l.indent, d), 2));
}
// Quoted key + colon (+ space when pretty).
std::uint64_t entry_cost(Layout l, std::string_view key);
// Whole size of a value at depth d.
std::uint64_t of(Layout l, const Value& v, std::uint64_t d);

// "…[+N chars]"
std::string string_placeholder(std::uint64_t n);
// Quoted size of string_placeholder(n), without building it.
inline std::uint64_t placeholder_size(std::uint64_t n) { return 2 + detail::placeholder_chars + detail::decimal_digits(n); }
// "…[N items omitted]"
std::string gap_marker(std::uint64_t n);
// "N keys omitted"
std::string keys_marker_text(std::uint64_t n);
// The key of the keys marker entry: "…".
inline constexpr std::string_view keys_marker_key = "\xE2\x80\xA6";

[[gnu::always_inline]] inline std::uint64_t collapsed_array_size(Layout l, std::uint64_t n, std::uint64_t d) {
  return 2 + detail::gap_chars + detail::decimal_digits(n) + detail::single_entry_frame(l, d);
}
[[gnu::always_inline]] inline std::uint64_t collapsed_object_size(Layout l, std::uint64_t n, std::uint64_t d) {
  return (l.pretty ? 1 : 0) + detail::single_entry_frame(l, d) + 6 + detail::keys_text_chars +
         detail::decimal_digits(n);
}
// Entry cost of the keys marker for n omitted keys.
inline std::uint64_t keys_marker_cost(Layout l, std::uint64_t n) {
  return (l.pretty ? 1 : 0) + 4 + 2 + detail::keys_text_chars + detail::decimal_digits(n);
}

}  // namespace tavisk::size
