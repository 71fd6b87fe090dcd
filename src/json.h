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

// A tree read into an arena: its lists live in the arena and its long texts
// and keys are borrowed from the input or the arena, so both must outlive it.
// Nothing in it owns memory, so it is dropped with its arena instead of being
// walked node by node; it is read-only to keep it that way.
class Tree {
 public:
  explicit Tree(Value&& root) noexcept { new (&root_) Value(std::move(root)); }
  Tree(Tree&& other) noexcept { new (&root_) Value(std::move(other.root_)); }
  Tree& operator=(Tree&&) = delete;
  ~Tree() {}  // the root is deliberately not destroyed: see above

  const Value& root() const { return root_; }

 private:
  union {
    Value root_;
  };
};

// The fast form for one call.
Result<Tree, ParseError> parse(std::string_view text, Arena& arena);

// The reader's block scanners, exposed for their tests: where the run of JSON
// white space, or of ASCII digits, that starts at `from` ends.
std::size_t ws_run_end(std::string_view text, std::size_t from);
std::size_t digit_run_end(std::string_view text, std::size_t from);

// True when the whole text is exactly one JSON number.
bool is_number(std::string_view text);

void write_string(std::string& out, std::string_view text);
void write_value(std::string& out, const Value& v, bool pretty, std::uint64_t indent, std::uint64_t level);

// Compact rendering.
std::string to_string(const Value& v);

}  // namespace tavisk::json
