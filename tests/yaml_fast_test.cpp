// The fast reader of plain block YAML against the composer over the YAML
// library: a text it takes must read to the very same tree (kinds, texts,
// member order, and which texts stay in the input), and a text it declines is
// the composer's alone. Tricky near cases, seeded random documents, and the
// YAML test suite.
#include "yaml_fast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

namespace fs = std::filesystem;

bool in_text(std::string_view part, std::string_view text) {
  return part.data() >= text.data() && part.data() <= text.data() + text.size();
}

// Where two trees first differ, or empty. Texts too long to sit inline must come
// from the input in both or in neither.
std::string difference(const Value& a, const Value& b, std::string_view text, const std::string& path) {
  if (a.kind() != b.kind())
    return path + ": kind " + std::string(kind_name(a.kind())) + " vs " + std::string(kind_name(b.kind()));
  if (a.unescaped_text() != b.unescaped_text() || a.ascii_text() != b.ascii_text() ||
      (a.costs() == nullptr) != (b.costs() == nullptr))
    return path + ": marks";
  switch (a.kind()) {
    case Kind::Null: return "";
    case Kind::Bool: return a.as_bool() == b.as_bool() ? "" : path + ": boolean";
    case Kind::Number:
    case Kind::String:
      if (a.text() != b.text())
        return path + ": \"" + std::string(a.text()) + "\" vs \"" + std::string(b.text()) + "\"";
      if (a.text().size() > Value::inline_capacity && in_text(a.text(), text) != in_text(b.text(), text))
        return path + ": borrowed from the input in one tree only";
      return "";
    case Kind::Array: {
      if (a.items().size() != b.items().size()) return path + ": item count";
      for (std::size_t i = 0; i < a.items().size(); ++i) {
        std::string d = difference(a.items()[i], b.items()[i], text, path + "[" + std::to_string(i) + "]");
        if (!d.empty()) return d;
      }
      return "";
    }
    case Kind::Object: {
      if (a.members().size() != b.members().size()) return path + ": member count";
      for (std::size_t i = 0; i < a.members().size(); ++i) {
        const Key& ka = a.members()[i].key;
        const Key& kb = b.members()[i].key;
        const std::string at = path + "." + std::string(ka.view());
        if (ka.view() != kb.view()) return at + ": key vs " + std::string(kb.view());
        if (ka.size() > Key::inline_capacity && in_text(ka.view(), text) != in_text(kb.view(), text))
          return at + ": key borrowed from the input in one tree only";
        std::string d = difference(a.members()[i].value, b.members()[i].value, text, at);
        if (!d.empty()) return d;
      }
      return "";
    }
  }
  return "";
}

// Reads `text` both ways; sets `taken` to whether the fast reader took it.
::testing::AssertionResult agree(std::string_view text, bool& taken) {
  Arena fast_arena, composed_arena;
  Value fast;
  taken = yaml_fast::read(text, fast_arena, fast);
  auto composed = yaml_in::parse_composed(text, composed_arena);
  if (!taken) {
    if (!fast.is_null()) return ::testing::AssertionFailure() << "a declined text left a value";
    if (fast_arena.heap_bytes() + fast_arena.mapped_bytes() != 0)
      return ::testing::AssertionFailure() << "a declined text left storage in the arena";
    return ::testing::AssertionSuccess();
  }
  if (!composed) return ::testing::AssertionFailure() << "taken, but the composer refuses it: " << composed.error();
  std::string d = difference(fast, composed->root(), text, "$");
  if (!d.empty()) return ::testing::AssertionFailure() << d;
  return ::testing::AssertionSuccess();
}

enum class Expect { taken, declined, either };

struct Case {
  const char* text;
  Expect expect;
};

const Case cases[] = {
    // The common shape, and each of its pieces.
    {"- id: 12\n  title: \"Issue 345 in caf\xC3\xA9\"\n  score: 12.5\n  open: true\n  user:\n    login: user12\n"
     "    site_admin: false\n  tags:\n    - bug\n    - ui\n  body: xxxxxxxx and more words here\n",
     Expect::taken},
    {"a: 1\n", Expect::taken},
    {"a: 1", Expect::taken},
    {"a:", Expect::taken},
    {"a:\n", Expect::taken},
    {"a:\nb: 2\n", Expect::taken},
    {"a:   \nb:\n", Expect::taken},
    {"- a\n- b\n", Expect::taken},
    {"-\n- b\n-", Expect::taken},
    {"-   \n-  x  \n", Expect::taken},
    {"---\na: 1\n", Expect::taken},
    // Keys as the composer names them.
    {"1: a\n2: b\n", Expect::taken},
    {"0x1F: a\n0o17: b\n+5: c\n-05: d\n007: e\n", Expect::taken},
    {"null: a\ntrue: b\nFalse: c\n", Expect::taken},
    {"~: a\n", Expect::taken},
    {"\"true\": a\n'null': b\n\"1\": c\n", Expect::taken},
    {"\"\": empty key\n", Expect::taken},
    {"a_key_longer_than_fifteen_bytes: v\nanother_long_key_for_borrowing: w\n", Expect::taken},
    {"\"a quoted key longer than fifteen\": v\n", Expect::taken},
    {"99999999999999999999999: big\n", Expect::taken},
    {"0x10000000000000000: too big for 64 bits\n", Expect::taken},
    {"1.5: a\n", Expect::declined},
    {"1e3: a\n", Expect::declined},
    {".inf: a\n", Expect::declined},
    {"<<: a\n", Expect::declined},
    // Repeated keys, by text or by resolution.
    {"a: 1\na: 2\n", Expect::declined},
    {"null: 1\n~: 2\n", Expect::declined},
    {"true: 1\nTrue: 2\n", Expect::declined},
    {"1: a\n\"1\": b\n", Expect::declined},
    {"0x1: a\n1: b\n", Expect::declined},
    {"k1: 1\nk2: 2\nk3: 3\nk4: 4\nk5: 5\nk6: 6\nk7: 7\nk8: 8\nk9: 9\nk10: 10\nk11: 11\nk12: 12\nk13: 13\nk14: 14\n"
     "k15: 15\nk16: 16\nk17: 17\nk18: 18\nk19: 19\nk5: 20\n",
     Expect::declined},
    {"k1: 1\nk2: 2\nk3: 3\nk4: 4\nk5: 5\nk6: 6\nk7: 7\nk8: 8\nk9: 9\nk10: 10\nk11: 11\nk12: 12\nk13: 13\nk14: 14\n"
     "k15: 15\nk16: 16\nk17: 17\nk18: 18\nk19: 19\nk20: 20\n",
     Expect::taken},
    {"- a: 1\n- a: 2\n", Expect::taken},
    {"a:\n  b: 1\nb: 2\n", Expect::taken},
    // Values as the composer resolves them, plain or quoted.
    {"a: -1\nb: .5\nc: 0x1F\nd: 1e3\ne: yes\nf: ~\ng: +1.5\nh: -0\ni: 0o8\nj: 1_000\nk: 1.\nl: -.inf\nm: .NaN\n",
     Expect::taken},
    {"a: \"true\"\nb: 'null'\nc: \"12\"\nd: '1e3'\n", Expect::taken},
    {"a: 1e400\nb: 01130e478459\nc: 123456789012345678901234567890\n", Expect::taken},
    {"a: \"\"\nb: ''\nc: \" padded \"\n", Expect::taken},
    {"- -1\n- -x\n- --\n- -- x\n", Expect::taken},
    {"a: a:b\nb: http://x.y/z?q=1&r=2#frag\nc: C#\nd: a, b\ne: a]\nf: x}\ng: it's\nh: say \"hi\"\n", Expect::taken},
    {"a: value   \nb: 'q'  \nc: \"d\"   \n", Expect::taken},
    {"a: caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\nb: \xC2\xA0lead\nc: x\xE3\x80\x80y\n", Expect::taken},
    {"a: a_text_longer_than_fourteen\nb: \"quoted text longer than fourteen\"\n", Expect::taken},
    // Nesting and its ends.
    {"a:\n  b:\n    c:\n      d: 1\ne: 2\n", Expect::taken},
    {"a:\n- x\n- y\nb: 1\n", Expect::taken},
    // The library refuses an empty item in a sequence in its key's column, unless a block follows.
    {"a:\n-\nb: 0\n", Expect::declined},
    {"a:\n- x\n-\n", Expect::declined},
    {"- a:\n  -\n", Expect::declined},
    {"a:\n-\n  b: 1\n", Expect::taken},
    {"a:\n  -\nb: 0\n", Expect::taken},
    {"a:\n  - x\n  -\n  - - y\n", Expect::declined},
    {"- a:\n  - x\n  b: 1\n- c\n", Expect::taken},
    {"- a:\n    - x\n- - y\n", Expect::declined},
    {"-\n  a: 1\n-\n  - x\n", Expect::taken},
    {"- a: 1\n  b:\n    - c: 2\n      d: 3\n    - e\n- f\n", Expect::taken},
    {"-  a: 1\n   b: 2\n", Expect::taken},
    {"- a: 1\n   b: 2\n", Expect::declined},
    {"a:\n    b: 1\n  c: 2\n", Expect::declined},
    {"  a: 1\n  b: 2\n", Expect::taken},
    {"  a: 1\nb: 2\n", Expect::declined},
    {"a: 1\n\n\nb:\n\n  c: 1\n\n", Expect::taken},
    {"# head\na: 1\n# between\nb:\n  # inside\n  c: 2\n    # deep\nd: 3\n# tail", Expect::taken},
    // Continuation lines, comments and other forms are the composer's.
    // A plain value goes on over the lines more indented than its collection, folded with spaces.
    {"a: value\n  more\n", Expect::taken},
    {"- value\n  more\n", Expect::taken},
    {"a: one\n  two\n      three\nb: 1\n", Expect::taken},
    {"- a\n b\n- c\n", Expect::taken},
    {"- k: v\n    w\n  j: 1\n", Expect::taken},
    {"a: 12\n  34\nb: true\n  x\nc: null\n  y\n", Expect::taken},
    {"a:\n- x\n  y\n- z\n", Expect::taken},
    {"a: a long value that\n  wraps past fourteen bytes\n", Expect::taken},
    {"a: x  \n   y  \n  z", Expect::taken},
    {"a: x\n  caf\xC3\xA9 a:b C#\n", Expect::taken},
    {"a: value\n\n  more\n", Expect::declined},
    {"a: x\n  # c\n  y\n", Expect::declined},
    {"a: x\n  - y\n", Expect::declined},
    {"- x\n  -y\n", Expect::declined},
    {"a: x\n  y: z\n", Expect::declined},
    {"a: x\n  y:\n", Expect::declined},
    {"a: x\n  y #c\n", Expect::taken},
    {"a: \"x\"\n  y\n", Expect::declined},
    {"a: x\n  'y'\n", Expect::declined},
    {"a: []\n  y\n", Expect::declined},
    {"a:\n  value\n", Expect::declined},
    // Comments after content: '#' after white space, the spaces before it not part of the value.
    {"a: 1 # note\n", Expect::taken},
    {"a: \"x\" # note\n", Expect::taken},
    {"a: 'x'   #\n", Expect::taken},
    {"a: value   # trailing spaces go\nb: x #y\n", Expect::taken},
    {"a: a long value with a comment   # after it\n", Expect::taken},
    {"a: x#y\nb: x# y\nc: C#\n", Expect::taken},
    {"a: x # note: with colon\nb: y # a # b\n", Expect::taken},
    {"a: # note\n  b: 1 # more\nc:   #\n", Expect::taken},
    {"- # note\n  a: 1\n- x # c\n- 'q' # c\n-   # c\n", Expect::taken},
    {"- a: 1 # c\n  b: # c\n    - x # c\n", Expect::taken},
    {"a: [] # empty\nb: {}  # empty\n", Expect::taken},
    {"a: []# c\n", Expect::declined},
    {"a: \"x\"# c\n", Expect::declined},
    {"a: 'x'#c\n", Expect::declined},
    {"a: x # c\n  y\n", Expect::declined},
    {"- x # c\n  y\n", Expect::declined},
    {"a: x\n  y # c\n  z\n", Expect::declined},
    {"a: x\n  y # c\nb: 1\n", Expect::taken},
    {"a: one\n  two   # c\n", Expect::taken},
    {"a # c: 1\n", Expect::declined},
    {"a: 12 # c\nb: true # c\nc: ~ # c\nd: -1.5 #c\n", Expect::taken},
    {"1 # c: a\n", Expect::declined},
    {"a: b: c # d\n", Expect::declined},
    {"\"k\": v # c\n'j':   # c\n  - 1\n", Expect::taken},
    {"a: b: c\n", Expect::declined},
    {"a: b:\n", Expect::declined},
    {"a : 1\n", Expect::declined},
    {"a:b\n", Expect::declined},
    // Quoted scalars: doubled single quotes, and the escapes of JSON, decoded into the arena.
    {"a: 'it''s'\nb: ''''\nc: 'a '' quote longer than fourteen'\n'k''s': 1\n", Expect::taken},
    {"a: \"x\\ty\"\nb: \"\\\" \\\\ \\/ \\b \\f \\n \\r \\t\"\nc: \"\\u00e9\\u2019\\uFFFD\\u0085\\u2028\"\n",
     Expect::taken},
    {"\"k\\u00e9y longer than fifteen\": 1\n\"a\\\"b\": 2\n", Expect::taken},
    {"- \"an escaped\\nitem longer than fourteen\"\n- \"\\\"\": x\n", Expect::taken},
    {"a: \"\\x41\"\n", Expect::declined},
    {"a: \"\\U0001F600\"\n", Expect::declined},
    {"a: \"\\0\"\n", Expect::declined},
    {"a: \"\\u0000\"\n", Expect::declined},
    {"a: \"\\ud800\"\n", Expect::declined},
    {"a: \"\\uZZZZ\"\n", Expect::declined},
    {"a: \"\\u12\"\n", Expect::declined},
    {"a: \"\\e \\N \\_\"\n", Expect::declined},
    {"a: \"x\\ y\"\n", Expect::declined},
    {"a: \"x\\\n  y\"\n", Expect::declined},
    {"a: 'x\n  y'\n", Expect::declined},
    {"a: \"x\\\"\n", Expect::declined},
    {"a: 'x''\n", Expect::declined},
    {"a: \"open\n  close\"\n", Expect::declined},
    {"a: []\nb: {}\nc: []  \nd:\n  - {}\n  - []\n", Expect::taken},
    {"- []\n- {}\n", Expect::taken},
    {"a: [ ]\n", Expect::taken},
    {"a: [] x\n", Expect::declined},
    {"[]: a\n", Expect::declined},
    {"a: []\n  b: 1\n", Expect::declined},
    // Flow collections of scalars on one line.
    {"a: [1, 2]\n", Expect::taken},
    {"a: {b: 1}\n", Expect::taken},
    {"a: ['9200:9200']\nb: [\"CMD\", \"curl\",\"-s\" ,\"-f\"]  # c\nc: [ x y ,-1,true , ~,null ]\n", Expect::taken},
    {"- [a]\n- {k: v, 'j': \"w\", 1: [], ~: {}}\n- {stack: {}}\n", Expect::taken},
    {"a: [a_text_longer_than_fourteen, \"a quoted text longer than fourteen\", 'it''s', \"\\u00e9\"]\n",
     Expect::taken},
    {"a: [0x1F, 1e3, .inf, -.5, yes, 0o17]\n", Expect::taken},
    {"a: {x: 1, x: 2}\n", Expect::declined},
    {"a: {1: a, 0x1: b}\n", Expect::declined},
    {"a: {1.5: a}\n", Expect::declined},
    {"a: [a, b,]\n", Expect::declined},
    {"a: [a,, b]\n", Expect::declined},
    {"a: [, b]\n", Expect::declined},
    {"a: [a, [b]]\n", Expect::declined},
    {"a: [a, {b: c}]\n", Expect::declined},
    {"a: [a: b]\n", Expect::declined},
    {"a: [a:b]\n", Expect::declined},
    {"a: [a #b]\n", Expect::declined},
    {"a: [a#b]\n", Expect::declined},
    {"a: [a\n  , b]\n", Expect::declined},
    {"a: [a,\n  b]\n", Expect::declined},
    {"a: [a, b\n", Expect::declined},
    {"a: [a]]\n", Expect::declined},
    {"a: [a] b\n", Expect::declined},
    {"a: [a]# c\n", Expect::declined},
    {"a: [-]\n", Expect::declined},
    {"a: [- a]\n", Expect::declined},
    {"a: [&x a]\n", Expect::declined},
    {"a: [!t a]\n", Expect::declined},
    {"a: [*x]\n", Expect::declined},
    {"a: [?a]\n", Expect::declined},
    {"a: {b}\n", Expect::declined},
    {"a: {b: }\n", Expect::declined},
    {"a: {b:c}\n", Expect::declined},
    {"a: {b : c}\n", Expect::declined},
    {"a: {\"b\":c}\n", Expect::declined},
    {"a: {'b' : c}\n", Expect::declined},
    {"a: {b: c: d}\n", Expect::declined},
    {"a: {b: c, }\n", Expect::declined},
    {"a: ['x' y]\n", Expect::declined},
    {"a: [\"x\\q\"]\n", Expect::declined},
    {"a: [x]\n  - y\n", Expect::declined},
    {"[a]: b\n", Expect::declined},
    {"- [a]: b\n", Expect::declined},
    {"a: &x 1\nb: *x\n", Expect::declined},
    {"a: !!str 1\n", Expect::declined},
    // Block scalars: literal and folded, chomping, indentation indicators.
    {"a: |\n  text\n", Expect::taken},
    {"a: >\n  text\n", Expect::taken},
    {"a: |\n  one\n  two\n\n  four\nb: 1\n", Expect::taken},
    {"a: >\n  one\n  two\n\n  four\n\n\n  seven\nb: 1\n", Expect::taken},
    {"a: >\n  one\n    more\n\n  two\n    more\n\n\n    more\n  three\n", Expect::taken},
    {"a: >2\n    lead\n  normal\n  next\n", Expect::taken},
    {"a: >\n  x\n  y\n\n   more\n", Expect::declined},
    {"a: >\n  x\n\n\n   more\n", Expect::declined},
    {"a: |\n  x\n\n   more\n", Expect::taken},
    {"a: >\n    lead\n  normal\n", Expect::declined},
    {"a: >-\n  x\n\n\n", Expect::taken},
    {"a: |-\n  x\n  y\n\nb: 1\n", Expect::taken},
    {"a: |+\n  x\n\n\nb: 1\n", Expect::taken},
    {"a: >+\n  x\n  \n \n\n", Expect::taken},
    {"a: |\n  x\n\n\n", Expect::taken},
    {"a: |2\n    x\n  y\n", Expect::taken},
    {"a: >1-\n   x\n y\n", Expect::taken},
    {"a: |+2\n  x\n\n", Expect::taken},
    {"a: |-1\n  x\n", Expect::taken},
    {"  a:\n    b: |2\n        x\n      y\n", Expect::taken},
    {"- |\n  x\n- >-\n  y\n  z\n-  |1\n  w\n", Expect::taken},
    {"- a: |\n    x\n  b: >\n    y\n", Expect::taken},
    {"a: | # note\n  x # not a note\n  # nor this\n# but this\nb: |-   #\n  y\n", Expect::taken},
    {"a: |\n\n  x\n", Expect::taken},
    {"a: >\n \n  \n  x\n   y\n", Expect::taken},
    {"a: |\n  a text longer than fourteen bytes\n", Expect::taken},
    {"a: |-\n  a text longer than fourteen bytes\nb: >-\n  another text longer than fourteen\n", Expect::taken},
    {"a: |+\n  x\n\n# c\n\nb: >+\n  y\n\n  # c\n", Expect::taken},
    {"a:\n  b: |\n    x\n # c\n  c: 1\n", Expect::taken},
    {"a: |\n    x\n  # c\n    y\n", Expect::declined},
    {"a: |\n  12\nb: >\n  true\n", Expect::taken},
    {"a: |\n  x:\n  - y\n  'z' # c\n  &a *b !c %d @e [f] {g}\n", Expect::taken},
    {"a: |\n  x\n\n   \n", Expect::declined},
    {"a: |\n\n   \n  x\n", Expect::declined},
    {"a: |\n  x\n    \n  y\n", Expect::declined},
    {"a: |\n  x", Expect::declined},
    {"a: |\n  x\n  ", Expect::declined},
    {"a: |\nb: 1\n", Expect::declined},
    {"a: |\n", Expect::declined},
    {"a: |", Expect::declined},
    {"a: |\n\n", Expect::declined},
    {"a: |#c\n  x\n", Expect::declined},
    {"a: |x\n  x\n", Expect::declined},
    {"a: |0\n  x\n", Expect::declined},
    {"a: |--\n  x\n", Expect::declined},
    {"a: |2-+\n  x\n", Expect::declined},
    {"a: |-+\n  x\n", Expect::declined},
    {"a: |2\n x\n", Expect::declined},
    {"a: |\n    x\n  y\n", Expect::declined},
    {"a:\n  b: |\n    x\n   y\n", Expect::declined},
    {"a: |\n  x\n  y\n z\n", Expect::declined},
    {"a: |\n x\tb\n", Expect::declined},
    {"a: |\n  x\n---\n", Expect::declined},
    {"? a\n: b\n", Expect::declined},
    {"a:\tb\n", Expect::declined},
    {"a: 1\r\nb: 2\r\n", Expect::declined},
    {"%YAML 1.2\n---\na: 1\n", Expect::declined},
    // Several documents: a sequence of them, as the composer has them.
    {"a: 1\n---\nb: 2\n", Expect::taken},
    {"---\n- a\n--- # c\na: 1\n---   \n  b:\n", Expect::taken},
    {"# head\n---\n# c\na: 1\n\n---\n# c\n- x\n", Expect::taken},
    {"a: 1\n---\na: 1\n", Expect::taken},
    {"a:\n---\nb: |\n  x\n---\nc: >+\n  y\n\n", Expect::taken},
    {"- a\n---\n", Expect::declined},
    {"---\n---\na: 1\n", Expect::declined},
    {"a: 1\n---\n---\nb: 1\n", Expect::declined},
    {"a: 1\n---\n# only a comment\n", Expect::declined},
    {"a: 1\n---#c\nb: 1\n", Expect::declined},
    {"a: 1\n--- b: 1\n", Expect::declined},
    {"a: 1\n----\n", Expect::declined},
    {"a: 1\n ---\n", Expect::declined},
    {"a: 1\n---\nscalar\n", Expect::declined},
    {"a: 1\n...\n---\nb: 1\n", Expect::declined},
    {"a:\n  - x\n---\n  - y\n", Expect::taken},
    {"a: x\n---\n  y\n", Expect::declined},
    {"a: 1\n...\n", Expect::declined},
    {"--- a\n", Expect::declined},
    {"scalar\n", Expect::declined},
    {"\"quoted\"\n", Expect::declined},
    {"", Expect::declined},
    {"# only a comment\n", Expect::declined},
    {"- a\nb: 1\n", Expect::declined},
    {"a: 1\n- b\n", Expect::declined},
    {"a: x\xC2\x85y\n", Expect::declined},
    {"a: x\xE2\x80\xA8y\n", Expect::declined},
    {"\xEF\xBB\xBF"
     "a: 1\n",
     Expect::declined},
    {"a: @x\n", Expect::declined},
    {"a: `x\n", Expect::declined},
    {"a: %x\n", Expect::declined},
    {"a: -\n", Expect::declined},
    {"a: - b\n", Expect::declined},
    {"a: ?x\n", Expect::declined},
    {"a: :x\n", Expect::declined},
    {"-x: 1\n", Expect::either},
    {"a: x\x7Fy\n", Expect::declined},
};

TEST(YamlFast, TableAgreesWithTheComposer) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bool taken = false;
    EXPECT_TRUE(agree(c.text, taken));
    if (c.expect != Expect::either) {
      EXPECT_EQ(taken, c.expect == Expect::taken);
    }
  }
}

std::string nested(int depth, bool sequences) {
  std::string out;
  for (int i = 0; i < depth; ++i)
    out += std::string(static_cast<std::size_t>(2 * i), ' ') + (sequences ? "-\n" : "k:\n");
  return out + std::string(static_cast<std::size_t>(2 * depth), ' ') + (sequences ? "- end\n" : "k: end\n");
}

// Deep nesting is read up to a little below the composer's bound, and declined from there on.
TEST(YamlFast, DeepNestingNearTheBound) {
  const int bound = static_cast<int>(yaml_in::max_depth);
  for (bool sequences : {false, true}) {
    for (int depth : {bound - 12, bound - 8, bound - 1, bound, bound + 1, bound + 40}) {
      SCOPED_TRACE(std::to_string(depth) + (sequences ? " sequences" : " mappings"));
      bool taken = false;
      EXPECT_TRUE(agree(nested(depth, sequences), taken));
      EXPECT_EQ(taken, depth < bound - 8);
    }
  }
}

// Random documents of the forms read here, with every so often a line that strays
// from them: the two readers agree wherever the fast one takes a text.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::string document() {
    out_.clear();
    keys_.clear();
    noisy_ = chance(2);
    if (chance(10)) out_ += "---\n";
    // Now and then several documents, and rarely an empty one or a marker out of place.
    static const char* const markers[] = {"---\n", "--- # c\n", "---  \n"};
    static const char* const strays[] = {"---\n---\n", "--- x: 1\n", "...\n", "---#c\n", " ---\n", "----\n"};
    for (std::size_t n = chance(5) ? 2 + pick(2) : 1, i = 0; i < n; ++i) {
      if (i > 0) out_ += stray(20) ? strays[pick(std::size(strays))] : markers[pick(std::size(markers))];
      keys_.clear();
      if (chance(2))
        mapping(static_cast<int>(pick(2)), 0);
      else
        sequence(static_cast<int>(pick(2)), 0);
    }
    if (stray(30)) out_ += "---\n";
    if (chance(5) && !out_.empty() && out_.back() == '\n') out_.pop_back();
    return out_;
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  bool chance(std::size_t one_in) { return pick(one_in) == 0; }
  // A form the fast reader declines, in half the documents.
  bool stray(std::size_t one_in) { return noisy_ && chance(one_in); }

  std::string scalar() {
    static const char* const atoms[] = {
        "a",
        "user12",
        "x y",
        "12",
        "-1",
        ".5",
        "0x1F",
        "0o17",
        "1e3",
        "yes",
        "no",
        "true",
        "True",
        "FALSE",
        "null",
        "~",
        "Null",
        "+5",
        "-05",
        "007",
        "1.0",
        "-.inf",
        ".nan",
        "a:b",
        "a#b",
        "caf\xC3\xA9",
        "\xC2\xA0x",
        "x\xE3\x80\x80y",
        "\xE6\x97\xA5",
        "\"q\"",
        "'s'",
        "\"\"",
        "''",
        "\" x \"",
        "a, b",
        "a]",
        "x}",
        "http://h/p?q=1",
        "2026-12-09",
        "12:30",
        "0",
        "-0",
        "+0",
        "0.0",
        "1_000",
        "0b101",
        "1e",
        "e3",
        "inf",
        ".Inf",
        "1.",
        "-1.5e-3",
        "123456789012345678901234",
        "--",
        "-x",
        "x-",
        "a_text_longer_than_fourteen",
        "\"a quoted text longer than fourteen\"",
        "it's",
        "say \"hi\"",
        "x!y",
        "x&y",
        "x*y",
        "x|y",
        "x>y",
        "x%y",
        "x@y",
        "x`y",
        "\"a: b # c\"",
        "'[x]'",
        "\"caf\xC3\xA9 \xE2\x80\x99q\"",
        "\xE3\x80\x80x",
        "x\xC2\xA0",
        "a\"b",
        "a'b",
        "[]",
        "{}",
        "'it''s'",
        "''''",
        "\"a\\\"b\"",
        "\"tab\\there\\n\"",
        "\"\\u00e9\\u2019 \\/ \\\\\"",
        "\"\\b\\f\\r\"",
    };
    static const char* const strays[] = {
        "a: b",   "a #b", "x:",   "[a]",  "{a}",        "&a x", "*a",  "!t x",      "|",       ">",
        "%x",     "@x",   "`x",   "- x",  "?x",         ":x",   "#x",  "\"\\x41\"", "\"\\0\"", "\"\\ud800\"",
        "\"open", "-",    "x\ty", "x\ry", "x\xC2\x85y", ",x",   "x #", "a :b",      "\"a\" b", "'a' b",
    };
    if (stray(80)) return strays[pick(std::size(strays))];
    std::string s = atoms[pick(std::size(atoms))];
    if (chance(6) && s[0] != '"' && s[0] != '\'') s += std::string(" ") + atoms[pick(std::size(atoms))];
    if (chance(8)) s += "  ";
    return s;
  }

  // A key for the mapping whose keys sit in keys_ from `mark` on: now and then one
  // that repeats one of them by text or by resolution, or one the fast reader declines.
  std::string key(std::size_t mark) {
    if (stray(40) && keys_.size() > mark) return keys_[mark + pick(keys_.size() - mark)];
    static const char* const same_as_another[] = {"null", "Null", "\"true\"", "True", "'31'", "\"5\"", "0o37", "'7'"};
    if (stray(40)) return same_as_another[pick(std::size(same_as_another))];
    static const char* const declined[] = {"1.5", "1e3", ".inf", "<<", "? a", "&a k", "[k]"};
    if (stray(60)) return declined[pick(std::size(declined))];
    static const char* const keys[] = {
        "id",
        "title",
        "a b",
        "1",
        "0x1F",
        "~",
        "true",
        "'one'",
        "\"\"",
        "-x",
        "caf\xC3\xA9",
        "a_key_longer_than_fifteen",
        "\"a quoted key longer than fifteen\"",
        "k1",
        "k2",
        "k3",
        "k4",
        "k5",
        "k6",
        "k7",
        "+5",
        "007",
        "a:b",
        "a#b",
        "x-y",
        "user.name",
        "URL",
        "\"with: colon\"",
        "'with #hash'",
        "a\"b",
        "a'b",
        "1 2",
    };
    std::string k;
    for (int tries = 0; tries < 4; ++tries) {
      k = keys[pick(std::size(keys))];
      if (std::find(keys_.begin() + static_cast<std::ptrdiff_t>(mark), keys_.end(), k) == keys_.end()) break;
    }
    keys_.push_back(k);
    if (stray(80)) k += " ";
    return k;
  }

  void line_noise(int indent) {
    if (chance(15)) out_ += "\n";
    if (chance(30)) out_ += std::string(pick(6), ' ') + "\n";
    if (chance(25))
      out_ +=
          std::string(static_cast<std::size_t>(chance(2) ? 0 : indent + static_cast<int>(pick(4))), ' ') + "# note\n";
  }

  // `indent`, then now and then one space more or fewer: a line out of place.
  std::string margin(int indent) {
    int m = indent;
    if (stray(150)) m += chance(2) ? 1 : -1;
    return std::string(static_cast<std::size_t>(m < 0 ? 0 : m), ' ');
  }

  // A flow sequence or mapping of scalars on one line, now and then with a
  // nested collection, an empty entry, a trailing comma or a break in it.
  std::string flow_collection() {
    static const char* const items[] = {
        "a",   "x y",  "12",    "-1",   "true", "~",   "null", "'q'", "\"d\"", "\"\\u00e9\"",  "1e3",
        "0x1F", ".inf", "-x",   "[]",   "{}",   "'it''s'", "caf\xC3\xA9", "a_text_longer_than_fourteen",
        "\"a quoted text longer than fourteen\"", "x\"y", "http//x.y/z",
    };
    static const char* const strays[] = {"a: b", "a:b", "[b]", "{b: c}", "a #b", "a#b", "-", "- a", "&x a",
                                         "*x",   "!t a", "?a",  "",       "\"x\\q\"", "'x' y", "a\n b", "a ]"};
    static const char* const keys[] = {"k", "'k'", "\"q\"", "1", "~", "true", "a b", "k2", "0x1", "-k"};
    static const char* const stray_keys[] = {"1.5", "k:", "k ", "<<", "[k]", ""};
    const bool map = chance(2);
    std::string out = map ? "{" : "[";
    const auto space = [&] { return std::string(chance(3) ? pick(3) : 0, ' '); };
    for (std::size_t n = pick(4), i = 0; i < n; ++i) {
      if (i > 0) out += space() + "," + (chance(4) ? "" : " ");
      out += space();
      if (map) {
        out += stray(40) ? stray_keys[pick(std::size(stray_keys))] : keys[pick(std::size(keys))];
        out += stray(60) ? ":" : ": ";
      }
      out += stray(30) ? strays[pick(std::size(strays))] : items[pick(std::size(items))];
    }
    if (stray(40)) out += ",";
    out += space();
    if (!stray(80)) out += map ? "}" : "]";
    return out;
  }

  // Now and then a comment to end a line's content; rarely a '#' without the
  // white space that makes it one.
  std::string comment() {
    static const char* const comments[] = {" # note", "   #", " #x: y", "  # a # b", " #'q' \"", " # [x]"};
    if (stray(60)) return chance(2) ? "#c" : "# x";
    return chance(6) ? comments[pick(std::size(comments))] : "";
  }

  // A block scalar for a value in the collection at column `indent`: its
  // header, then lines at its indentation, more indented, and empty ones.
  void block_scalar(int indent) {
    static const char* const chomps[] = {"", "-", "+"};
    const std::string chomp = chomps[pick(3)];
    const std::size_t indicator = chance(3) ? 1 + pick(3) : 0;
    std::string header = chance(2) ? "|" : ">";
    if (indicator && chance(2))
      header += std::to_string(indicator) + chomp;
    else
      header += chomp + (indicator ? std::to_string(indicator) : "");
    if (stray(40)) header += chance(2) ? "0" : "x";
    out_ += " " + header + comment() + "\n";
    const std::size_t at = static_cast<std::size_t>(indent) + (indicator ? indicator : 1 + pick(3));
    static const char* const words[] = {"text", "x y", "a: b", "- c", "# d", "'e'", "\"f\"", "[g]", "12", "true",
                                        "a text longer than fourteen bytes", "h  ", "caf\xC3\xA9"};
    const auto blank = [&](std::size_t most) { out_ += std::string(pick(most + 1), ' ') + "\n"; };
    if (chance(5)) blank(stray(20) ? at + 1 : at);
    for (std::size_t n = 1 + pick(5), i = 0; i < n; ++i) {
      const std::size_t what = pick(8);
      if (i > 0 && what == 0) {
        blank(stray(30) ? at + 2 : at);
      } else {
        std::size_t margin = at + (what == 1 && (i > 0 || indicator) ? 1 + pick(3) : 0);
        if (stray(60)) margin -= 1;
        out_ += std::string(margin, ' ') + words[pick(std::size(words))] + (stray(100) ? "\tx" : "") + "\n";
      }
    }
    for (std::size_t i = chance(3) ? pick(3) : 0; i > 0; --i) blank(at);
  }

  // What follows a key's colon or an item's dash: a scalar on the line, or a block below, or nothing.
  void value(int indent, int depth, bool after_key) {
    if (chance(10)) return block_scalar(indent);
    const std::size_t what = depth > 3 ? 0 : pick(6);
    if (what <= 2) {
      const std::string first = chance(8) ? flow_collection() : scalar();
      std::string note = comment();
      // Now and then a plain value goes on over more indented lines; a comment ends it.
      const bool more = std::string_view("\"'[{").find(first[0]) == std::string_view::npos && chance(5) &&
                        (note.empty() || stray(4));
      out_ += " " + first + note + "\n";
      if (more)
        for (std::size_t i = 1 + pick(2); i > 0; --i)
          out_ += std::string(static_cast<std::size_t>(indent + 1) + pick(4), ' ') + scalar() + comment() + "\n";
    } else if (what == 3) {
      out_ += (chance(3) ? "  " : "") + comment() + "\n";
    } else if (what == 4) {
      out_ += comment() + "\n";
      mapping(indent + 1 + static_cast<int>(pick(4)), depth + 1);
    } else {
      out_ += comment() + "\n";
      sequence(after_key && chance(2) ? indent : indent + 1 + static_cast<int>(pick(4)), depth + 1);
    }
    if (stray(150)) out_ += margin(indent + 2) + scalar() + "\n";  // a continuation line
  }

  void pairs(int indent, int depth, bool first_on_dash_line) {
    const std::size_t n = 1 + pick(5);
    const std::size_t mark = keys_.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (!(first_on_dash_line && i == 0)) {
        line_noise(indent);
        out_ += margin(indent);
      }
      out_ += key(mark) + ":";
      value(indent, depth, true);
    }
    keys_.resize(mark);
  }

  void mapping(int indent, int depth) { pairs(indent, depth, false); }

  void sequence(int indent, int depth) {
    const std::size_t n = 1 + pick(4);
    for (std::size_t i = 0; i < n; ++i) {
      line_noise(indent);
      out_ += margin(indent) + "-";
      const std::size_t what = depth > 3 ? 0 : pick(4);
      if (what == 0) {
        value(indent, depth, false);
      } else {
        const int gap = 1 + static_cast<int>(pick(2));
        out_ += std::string(static_cast<std::size_t>(gap), ' ');
        pairs(indent + 1 + gap, depth + 1, true);
      }
    }
  }

  std::mt19937_64 rng_;
  std::string out_;
  std::vector<std::string> keys_;
  bool noisy_ = false;
};

TEST(YamlFast, RandomDocumentsAgreeWithTheComposer) {
  std::size_t taken_count = 0;
  constexpr std::size_t documents = 20000;
  for (std::uint64_t seed = 1; seed <= documents; ++seed) {
    Generator gen(seed);
    const std::string doc = gen.document();
    bool taken = false;
    ASSERT_TRUE(agree(doc, taken)) << "seed " << seed << ":\n" << doc;
    taken_count += taken;
  }
  // The generator must exercise the fast reader, not only its refusals.
  EXPECT_GT(taken_count, documents / 3);
}

// Every case of the YAML test suite reads the same both ways.
TEST(YamlFast, TestSuiteAgreesWithTheComposer) {
  TAVISK_NEEDS_SHARED("corpus/yaml-test-suite");
  std::size_t files = 0, taken_count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(testing::shared_dir() + "/corpus/yaml-test-suite")) {
    if (!entry.is_regular_file() || entry.path().filename() != "in.yaml") continue;
    ++files;
    const std::string yaml = testing::read_file(entry.path().string());
    bool taken = false;
    EXPECT_TRUE(agree(yaml, taken)) << entry.path();
    taken_count += taken;
  }
  EXPECT_GT(files, 300u);
  EXPECT_GT(taken_count, 20u);
}

}  // namespace
}  // namespace tavisk
