// The strict JSON reader (positioned errors, numbers kept as text, depth
// bound) and the compact and pretty JSON writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "arena.h"
#include "result.h"
#include "value.h"

namespace tavisk::json {

// Deepest nesting accepted below the root.
inline constexpr std::uint64_t max_depth = 512;

struct ParseError {
  std::string message;
  std::uint64_t line = 1;
  std::uint64_t column = 1;

  // "message at line L, column C"
  std::string text() const;
};

// A tree that owns all of its storage.
Result<Value, ParseError> parse(std::string_view text);
// The fast form for one call: the tree's lists live in `arena` and its long
// texts are borrowed from `text` or the arena, so both must outlive the tree.
Result<Value, ParseError> parse(std::string_view text, Arena& arena);

// True when the whole text is exactly one JSON number.
bool is_number(std::string_view text);

void write_string(std::string& out, std::string_view text);
void write_value(std::string& out, const Value& v, bool pretty, std::uint64_t indent, std::uint64_t level);

// Compact rendering.
std::string to_string(const Value& v);

}  // namespace tavisk::json
