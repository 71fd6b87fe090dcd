// The size measure: characters of a value rendered as compact or indented
// JSON, computed arithmetically; and the omission markers and their sizes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// Brackets, commas, line feeds and indentation of a container of k entries at depth d.
std::uint64_t overhead(Layout l, std::uint64_t k, std::uint64_t d);
// Quoted key + colon (+ space when pretty).
std::uint64_t entry_cost(Layout l, std::string_view key);
// Whole size of a value at depth d.
std::uint64_t of(Layout l, const Value& v, std::uint64_t d);

// "…[+N chars]"
std::string string_placeholder(std::uint64_t n);
// Quoted size of string_placeholder(n), without building it.
std::uint64_t placeholder_size(std::uint64_t n);
// "…[N items omitted]"
std::string gap_marker(std::uint64_t n);
// "N keys omitted"
std::string keys_marker_text(std::uint64_t n);
// The key of the keys marker entry: "…".
inline constexpr std::string_view keys_marker_key = "\xE2\x80\xA6";

std::uint64_t collapsed_array_size(Layout l, std::uint64_t n, std::uint64_t d);
std::uint64_t collapsed_object_size(Layout l, std::uint64_t n, std::uint64_t d);
// Entry cost of the keys marker for n omitted keys.
std::uint64_t keys_marker_cost(Layout l, std::uint64_t n);

}  // namespace tavisk::size
