// A small strict JSON reader and string writer for the command-line tool.
// The tool talks to the library only through its C header, so it reads the
// envelope (and the --options text) with this code of its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct JsonMember;

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object };

  Kind kind = Kind::Null;
  bool flag = false;
  std::string text;  // the decoded string, or the number as written
  std::vector<Json> items;
  std::vector<JsonMember> members;
  std::string_view raw;  // this value's span in the parsed text

  // The first member named `key`, or null.
  const Json* find(std::string_view key) const;
};

struct JsonMember {
  std::string key;
  Json value;
};

struct JsonError {
  std::string message;
  std::size_t offset = 0;  // byte offset in the text
};

// Deepest nesting accepted; deeper text is refused rather than risking the stack.
inline constexpr std::size_t json_max_depth = 512;

// Parses exactly one JSON value (surrounding white space allowed). On failure
// returns nothing and fills `error`. The result's `raw` spans point into `text`.
std::optional<Json> parse_json(std::string_view text, JsonError& error);

// Appends `text` as a quoted JSON string.
void write_json_string(std::string& out, std::string_view text);

}  // namespace cli
