// Rewriting of tool results for the MCP proxy: which parts of a CallToolResult are shrunk,
// how the budget is shared between them, and how the new text is spliced into the line.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp_json.h"

namespace mcp {

// Option values the linked library accepts beyond its basic set, found by a tiny probe call.
struct LibraryFeatures {
  bool detect = false;  // input_format "detect": JSON, YAML or plain text, whichever reads
  bool focus = false;   // focus "auto": what the arguments name ranks first
  static LibraryFeatures probe();
};

struct Settings {
  std::uint64_t max_chars = 20000;
  std::vector<std::pair<std::string, std::uint64_t>> tool_max_chars;  // --tool NAME=N, last wins
  std::string options;  // the library options given by flags: object members, no braces
  std::vector<std::string> protect;
  bool has_indent = false;
  bool has_input_format = false;
  bool has_format = false;
  bool focus = true;       // pass focus "auto" where the library has it
  bool note = true;        // add the one-line note item
  bool structured = true;  // shrink structuredContent too
  std::string spill_dir;   // where untouched originals go; empty for nowhere
  LibraryFeatures library;

  std::uint64_t budget_for(std::string_view tool) const;
};

// What a tools/call asked for: the tool and its arguments as written (JSON), if any.
struct Call {
  std::string tool;
  std::string arguments;
};

// The output schemas of the tools the server listed, for keeping structuredContent valid.
class Schemas {
 public:
  Schemas();
  ~Schemas();
  Schemas(const Schemas&) = delete;
  Schemas& operator=(const Schemas&) = delete;

  // Remembers the schemas of a tools/list result (tools without one are forgotten).
  void learn(const std::string& line, const Node& result);
  struct Entry;
  const Entry* find(std::string_view tool) const;

 private:
  std::map<std::string, std::unique_ptr<Entry>, std::less<>> by_tool_;
};

// Shares a budget among parts of the given sizes: parts below their fair share keep their
// size, the others split what is left evenly (water filling). Ties keep input order.
std::vector<std::uint64_t> share_budget(const std::vector<std::uint64_t>& sizes, std::uint64_t budget);

// Strings of server messages from this many decoded bytes on are read from the line itself
// when they are shrunk (see InPlaceText).
inline constexpr std::size_t long_text = std::size_t{1} << 20;

// A result's text items (result.content[i].text): a long one is decoded in its line as the
// message is read (parse's in-line rule), since shrinking it is what a long text there usually
// comes to; it is written back otherwise.
bool result_text(const std::vector<std::string_view>& path, std::string_view key);

// The rewritten line for a matched tools/call result, or nothing to forward it untouched.
// A long text may be decoded in the line while it is read: the line is as it was when nothing
// is returned, and superseded by the result otherwise.
std::optional<std::string> shrink_result(std::string& line, const Node& message, const Call& call,
                                         const Settings& settings, const Schemas& schemas);

// Removes from a shrunk JSON value the omission markers its schema would reject and turns
// collapsed placeholders back into empty containers where the schema wants one. Exposed for
// tests; `schema` is a JSON schema text.
std::string fit_to_schema(const std::string& value, const std::string& schema);

}  // namespace mcp
