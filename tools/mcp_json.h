// JSON helpers of the MCP proxy: a shallow, position-keeping view of one message, so that
// the proxy can read a few members and splice new text into the original line while every
// other byte stays exactly as written. Parsing is RapidJSON's SAX reader (iterative, so deep
// nesting cannot exhaust the stack; numbers kept as their source text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mcp {

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string_view of(std::string_view text) const { return text.substr(begin, end - begin); }
};

struct LiteralInfo {
  std::uint64_t chars = 0;  // characters of the decoded text
  // Whether every escape is in the one form this module writes back (\" \\ \b \f \n \r \t,
  // and \u00xx in lower-case hex for the other control characters; every other character
  // unescaped), so that decoding in place can be undone exactly.
  bool canonical = true;
};

class InPlaceText;
struct NodeMember;

struct Node {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  Span span;         // the value's bytes in the parsed text
  Span key;          // for an object member: the key's bytes, quotes included
  // Strings: the decoded text; numbers: as written; bools: "true"/"false". Views into the
  // root's storage: valid while the root lives, whatever becomes of the text parsed.
  std::string_view text;
  // Strings longer than the parse's decode limit: not decoded (`text` is empty); read them
  // from the literal with literal_chars and decode_in_place when they are needed.
  bool pending = false;
  // A pending string whose literal was measured while it was skipped (see parse), or not.
  bool measured = false;
  LiteralInfo literal;
  // A pending string decoded in its line while it was read (see parse): its text, until the
  // literal is written back.
  InPlaceText* in_line = nullptr;
  bool expanded = false;  // containers: whether members/items were recorded
  std::vector<NodeMember> members;
  std::vector<Node> items;
  std::unique_ptr<char[]> storage;  // the root's: every text of the tree
  // The root's: the strings decoded in the parsed line, written back as the root goes unless
  // they are being replaced.
  std::vector<std::unique_ptr<InPlaceText>> in_line_texts;

  const Node* get(std::string_view name) const;  // the last member of that name, as JSON readers do
  bool is(Kind k) const { return kind == k; }
};

// An object member: a key and its value. A struct of its own rather than a pair, which
// cannot be declared over a Node that is not yet complete.
struct NodeMember {
  std::string first;
  Node second;
};

// Which containers the parse records in full: a predicate over the path of keys (arrays
// contribute "*"). Everything else is kept as a span only.
using ExpandRule = bool (*)(const std::vector<std::string_view>& path);
bool expand_all(const std::vector<std::string_view>& path);

// Containers deeper than this are kept as spans only, whatever the rule says, so that walking
// and freeing the recorded tree never recurses deeply.
constexpr std::size_t max_recorded_depth = 64;

// The deepest nesting of brackets in JSON text (brackets inside strings do not count).
std::size_t nesting_depth(std::string_view text);

// Parses one JSON text. Returns nothing when the text is not exactly one valid JSON value
// (surrounding white space allowed). Strings whose decoded text is longer than decode_limit
// bytes are left pending: a large text is then written nowhere during the parse, and one
// whose escapes are all in the canonical form (see LiteralInfo) is measured and skipped in
// one pass instead of being read character by character.
std::unique_ptr<Node> parse(const std::string& text, ExpandRule expand, std::size_t decode_limit = SIZE_MAX);

// Which long strings are worth decoding in the line itself while it is read: a predicate over
// the path of keys of the string's container and the string's own key.
using InLineRule = bool (*)(const std::vector<std::string_view>& path, std::string_view key);

// As above; in addition a long string that the rule picks and whose escapes are all canonical
// is decoded in `text` itself in the same pass that measures it (Node::in_line), saving the
// decoding pass that reading it later would take. The root writes such literals back as it
// goes (or on InPlaceText::restore), except those being replaced: keep the root until `text`
// has been used or replaced.
std::unique_ptr<Node> parse(std::string& text, ExpandRule expand, std::size_t decode_limit, InLineRule in_line);

// ---- long string literals, read where they are ----
// `body` is a valid literal's text between its quotes, as the parse accepted it.

LiteralInfo literal_info(std::string_view body);

// Decodes the literal's text over its own first bytes (the decoded text is never longer);
// returns the decoded length. Bytes past it are left as they were.
std::size_t decode_in_place(char* body, std::size_t size);

// A long text decoded in place in its line for as long as it is needed: the literal is
// written back when the guard ends, unless it is being replaced. The copy a decoding beside
// the line would need (as large as the text) is saved.
class InPlaceText {
 public:
  // Decodes the literal at `literal` (quotes included) of `line`; literal_info(...).canonical
  // must hold for its body.
  InPlaceText(std::string& line, Span literal);
  // Takes over a literal already decoded in its line to `decoded` bytes.
  InPlaceText(std::string& line, Span literal, std::size_t decoded);
  ~InPlaceText() { restore(); }
  InPlaceText(const InPlaceText&) = delete;
  InPlaceText& operator=(const InPlaceText&) = delete;

  std::string_view text() const { return {line_->data() + body_begin_, decoded_}; }
  // The literal is being replaced wholesale: its bytes need not come back.
  void keep_decoded() { restore_ = false; }
  // Writes the literal back now (once), unless it is being replaced.
  void restore() noexcept;

 private:
  std::string* line_;
  std::size_t body_begin_, body_size_, decoded_;
  bool restore_ = true;
};

// Appends s as a JSON string literal (quotes, escapes; UTF-8 kept as is).
void write_string(std::string& out, std::string_view s);

// Characters (Unicode scalar values) of UTF-8 text: bytes that are not continuation bytes.
std::uint64_t char_count(std::string_view s);

// Whether the text parses as JSON (used to tell JSON texts from others).
bool is_json(std::string_view text);

// A key for request ids: kind and value, so that 1 and "1" differ. Empty for ids that
// cannot be matched (null, containers, strings left pending).
std::string id_key(const Node& id);

}  // namespace mcp
