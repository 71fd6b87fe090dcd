#include "size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "fields.h"
#include "json.h"
#include "prune.h"
#include "utf8.h"
#include "value.h"

namespace tavisk {
namespace {

// Random trees covering every kind, escapes, control characters and
// multi-byte characters, nested up to a chosen depth.
class TreeGen {
 public:
  explicit TreeGen(std::uint64_t seed) : rng_(seed) {}

  Value tree(int max_depth) {
    nodes_left_ = 120;
    return node(0, max_depth, true);
  }

  std::string text() {
    static const char* const alphabet[] = {"a",
                                           "Z",
                                           " ",
                                           "\"",
                                           "\\",
                                           "/",
                                           "\b",
                                           "\t",
                                           "\n",
                                           "\f",
                                           "\r",
                                           "\x01",
                                           "\x1f",
                                           "\x7f",
                                           "\xC3\xA9",
                                           "\xE2\x80\xA6",
                                           "\xF0\x9F\x98\x80",
                                           "0"};
    std::size_t len = pick(8) == 0 ? pick(200) : pick(24);
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
      // Mostly plain letters, so that long runs take the word-at-a-time path.
      s += pick(3) == 0 ? alphabet[pick(std::size(alphabet))] : "x";
    }
    return s;
  }

 private:
  // Mostly random texts; some names that protect patterns can match.
  std::string key() {
    static const char* const names[] = {"id", "name", "items"};
    return pick(3) == 0 ? names[pick(std::size(names))] : text();
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  // The first child of a node on the deep path continues to max_depth; the
  // others stay shallow, so trees stay small.
  Value node(int depth, int max_depth, bool deep) {
    bool container = depth < max_depth && nodes_left_ > 0 && (deep || pick(4) != 0);
    if (!container) return scalar();
    Value::Array items;
    Value::Object members;
    bool is_array = pick(2) == 0;
    std::size_t n = pick(5) + (deep ? 1 : 0);
    for (std::size_t i = 0; i < n; ++i) {
      --nodes_left_;
      bool child_deep = deep && i == 0;
      Value child = node(depth + 1, child_deep ? max_depth : std::min(max_depth, depth + 2), child_deep);
      if (is_array)
        items.push_back(std::move(child));
      else
        members.push_back(Member{key(), std::move(child)});
    }
    return is_array ? Value::array(std::move(items)) : Value::object(std::move(members));
  }

  Value scalar() {
    static const char* const numbers[] = {"0", "-1", "3.25", "1e10", "-0.5E-7", "123456789012345678901234567890"};
    switch (pick(5)) {
      case 0: return Value::null();
      case 1: return Value::boolean(pick(2) == 0);
      case 2: return Value::number(numbers[pick(std::size(numbers))]);
      default: return Value::string(text());
    }
  }

  std::mt19937_64 rng_;
  int nodes_left_ = 0;
};

int depth_of(const Value& v) {
  int d = 0;
  if (v.is_array())
    for (const Value& item : v.items()) d = std::max(d, 1 + depth_of(item));
  if (v.is_object())
    for (const Member& m : v.members()) d = std::max(d, 1 + depth_of(m.value));
  return d;
}

std::uint64_t rendered(const Value& v, size::Layout l, std::uint64_t depth) {
  std::string out;
  json::write_value(out, v, l.pretty, l.indent, depth);
  return utf8::count(out);
}

const size::Layout layouts[] = {{false, 0}, {true, 1}, {true, 2}, {true, 4}, {false, 2}, {true, 0}};

TEST(SizeMeasure, EqualsWriterLengthOnGeneratedTrees) {
  TreeGen gen(20240611);
  int checked = 0, deepest = 0;
  for (int t = 0; t < 3000; ++t) {
    Value v = gen.tree(t % 41);
    deepest = std::max(deepest, depth_of(v));
    for (size::Layout l : layouts) {
      for (std::uint64_t depth : {0u, 1u, 5u}) {
        ASSERT_EQ(size::of(l, v, depth), rendered(v, l, depth))
            << "tree " << t << " pretty " << l.pretty << " indent " << l.indent << " depth " << depth << ": "
            << json::to_string(v);
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 3000 * 6 * 3);
  EXPECT_EQ(deepest, 40);
}

TEST(SizeMeasure, CharacterCostsMatchWriterForEveryByteAlignment) {
  // Each escaped or multi-byte character at every position of a long plain run.
  const char* const escapes[] = {
      "\"", "\\", "\b", "\t", "\n", "\f", "\r", "\x01", "\x1f", "\x7f", "\xC3\xA9", "\xE2\x80\xA6", "\xF0\x9F\x98\x80"};
  for (const char* sp : escapes) {
    for (std::size_t pos = 0; pos < 20; ++pos) {
      std::string s = std::string(pos, 'a') + sp + std::string(19 - pos, 'b');
      std::string out;
      json::write_string(out, s);
      ASSERT_EQ(size::quoted(s), utf8::count(out)) << "character at " << pos;
    }
  }
}

// The word-at-a-time checks for short texts agree with the byte-by-byte costs: each escaped,
// control or multi-byte character at every position of texts of every length up to 70
// (the overlapping last word, the four-byte loads and the byte loop of very short texts).
TEST(SizeMeasure, ShortTextChecksAgreeWithTheCostsAtEveryLengthAndPosition) {
  const char* const pieces[] = {"\"", "\\",   "\x01",     "\x1f",         "\t",
                                "\x7f", "\x20", "\xC3\xA9", "\xE2\x80\xA6", "\xF0\x9F\x98\x80"};
  auto check = [](const std::string& s) {
    std::uint64_t want_chars = 0;
    const std::uint64_t cost = size::char_costs_and_count(s, want_chars);
    ASSERT_EQ(cost, size::char_costs(s)) << s;
    const bool want_unescaped = cost == want_chars;
    std::uint64_t chars = 12345;
    ASSERT_EQ(size::unescaped(s, chars), want_unescaped) << s;
    if (want_unescaped) {
      ASSERT_EQ(chars, want_chars) << s;
      ASSERT_EQ(size::unescaped_chars(s), want_chars) << s;
    }
    ASSERT_EQ(size::ascii(s), std::none_of(s.begin(), s.end(), [](char c) { return (c & 0x80) != 0; })) << s;
  };
  for (std::size_t n = 0; n <= 70; ++n) {
    check(std::string(n, 'a'));
    for (const char* piece : pieces)
      for (std::size_t pos = 0; pos < n; ++pos) check(std::string(pos, 'a') + piece + std::string(n - pos - 1, 'b'));
  }
}

TEST(SizeMeasure, ScalarAndCharacterExamples) {
  size::Layout compact;
  EXPECT_EQ(size::of(compact, Value::null(), 0), 4u);
  EXPECT_EQ(size::of(compact, Value::boolean(true), 0), 4u);
  EXPECT_EQ(size::of(compact, Value::boolean(false), 0), 5u);
  EXPECT_EQ(size::of(compact, Value::number("-12.5e3"), 0), 7u);
  EXPECT_EQ(size::of(compact, Value::string("abc"), 0), 5u);
  // Control characters without a short escape cost 6; DEL and non-ASCII cost 1.
  EXPECT_EQ(size::char_costs("\x01\x02\x1f"), 18u);
  EXPECT_EQ(size::char_costs("\b\t\n\f\r\"\\"), 14u);
  EXPECT_EQ(size::char_costs("\x7f\xC3\xA9\xF0\x9F\x98\x80"), 3u);
  EXPECT_EQ(size::of(compact, Value::array(), 3), 2u);
  EXPECT_EQ(size::of({true, 4}, Value::object(), 3), 2u);
}

TEST(SizeMeasure, PlaceholderExamples) {
  size::Layout compact;
  // 3 letters: placeholder of 11 characters (size 13) is larger than the string (5).
  EXPECT_EQ(size::string_placeholder(3), "\xE2\x80\xA6[+3 chars]");
  EXPECT_EQ(utf8::count(size::string_placeholder(3)), 11u);
  EXPECT_EQ(size::placeholder_size(3), 13u);
  EXPECT_EQ(size::of(compact, Value::string(std::string(40, 'q')), 0), 42u);
  EXPECT_EQ(size::placeholder_size(40), 14u);
  // 100 items at depth 1, compact: the gap marker has 20 characters, the collapsed array 24.
  EXPECT_EQ(size::gap_marker(100), "\xE2\x80\xA6[100 items omitted]");
  EXPECT_EQ(utf8::count(size::gap_marker(100)), 20u);
  EXPECT_EQ(size::collapsed_array_size(compact, 100, 1), 24u);
  EXPECT_EQ(size::keys_marker_text(7), "7 keys omitted");
}

Value collapsed_array(std::uint64_t n) { return Value::array({Value::string(size::gap_marker(n))}); }

Value collapsed_object(std::uint64_t n) {
  Value::Object members;
  members.push_back(Member{std::string(size::keys_marker_key), Value::string(size::keys_marker_text(n))});
  return Value::object(std::move(members));
}

TEST(SizeMeasure, CollapsedSizesEqualTheirRendering) {
  const std::uint64_t counts[] = {0,     1,        9,         10,        99,
                                  100,   999,      1000,      9999,      10000,
                                  12345, 99999999, 100000000, 999999999999, std::numeric_limits<std::uint64_t>::max()};
  for (size::Layout l : layouts) {
    for (std::uint64_t d : {0u, 1u, 3u, 17u}) {
      for (std::uint64_t n : counts) {
        SCOPED_TRACE(testing::Message() << "pretty " << l.pretty << " indent " << l.indent << " depth " << d << " n "
                                        << n);
        EXPECT_EQ(size::collapsed_array_size(l, n, d), rendered(collapsed_array(n), l, d));
        EXPECT_EQ(size::collapsed_object_size(l, n, d), rendered(collapsed_object(n), l, d));
        EXPECT_EQ(size::placeholder_size(n), rendered(Value::string(size::string_placeholder(n)), l, d));
        // The keys marker appended after one kept entry adds exactly its cost.
        Value::Object kept;
        kept.push_back(Member{"key", Value::number("1")});
        Value trimmed = Value::object(kept);
        trimmed.members().push_back(collapsed_object(n).members()[0]);
        std::uint64_t without_marker = size::overhead(l, 2, d) + size::entry_cost(l, "key") + 1;
        EXPECT_EQ(without_marker + size::keys_marker_cost(l, n), rendered(trimmed, l, d));
      }
    }
  }
}

// min never exceeds full, and a protected node cannot shrink at all.
void expect_meta_invariants(const Meta& m) {
  ASSERT_LE(m.min(), m.full());
  if (m.is_protected()) {
    ASSERT_EQ(m.min(), m.full());
  }
  for (const Meta& c : m.children()) expect_meta_invariants(c);
}

TEST(SizeMeasure, AnalysisAndMinimalMatchTheWriter) {
  TreeGen gen(977);
  const std::vector<std::string> protects[] = {{}, {"id"}, {"/*", "items/*/name"}};
  std::vector<Options> options;
  for (const auto& p : protects) {
    Options o;
    o.protect = p;
    options.push_back(o);
  }
  int shrunk = 0, protected_nodes = 0;
  for (int t = 0; t < 1500; ++t) {
    Value v = gen.tree(t % 41);
    for (std::uint64_t indent : {0u, 1u, 2u, 4u}) {
      const size::Layout l{indent > 0, indent};
      for (const Options& o : options) {
        Pruner p = Pruner::with_scorer(l.pretty, indent, o, scorer_for(o.field_scorer));
        {
          const std::uint64_t depth = t % 2 == 0 ? 0 : 3;
          Path root;
          Meta m = p.analyze_at(v, depth, root, false);
          ASSERT_TRUE(root.empty());
          ASSERT_EQ(m.full(), rendered(v, l, depth)) << "tree " << t << " indent " << indent;
          expect_meta_invariants(m);
          Fitted f = p.minimal(v, m, depth);
          ASSERT_EQ(f.size, m.min()) << "tree " << t << " indent " << indent << ": " << json::to_string(v);
          ASSERT_EQ(f.size, rendered(f.value, l, depth)) << "tree " << t << " indent " << indent;
          ASSERT_TRUE(p.path.empty());
          shrunk += m.min() < m.full();
          protected_nodes += m.protected_count() > 0;
        }
      }
    }
  }
  // The generator reaches both kinds of trees.
  EXPECT_GT(shrunk, 10000);
  EXPECT_GT(protected_nodes, 3000);
}

// Analysis of one document under the given options and indent.
Meta analyze_json(std::string_view text, std::vector<std::string> protect = {}, std::uint64_t indent = 0) {
  Options o;
  o.protect = std::move(protect);
  Pruner p = Pruner::with_scorer(indent > 0, indent, o, scorer_for(o.field_scorer));
  Path root;
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text;
  return p.analyze_at(v.value(), 0, root, false);
}

const std::string letters40(40, 'q');

TEST(Analysis, SizesOfSmallNodes) {
  struct Case {
    std::string json;
    std::uint64_t full, min;
  };
  std::string hundred = "[";
  for (int i = 0; i < 100; ++i) hundred += i ? ",1" : "1";
  hundred += "]";
  const Case cases[] = {
      {"[]", 2, 2},
      {"{}", 2, 2},
      {R"("abc")", 5, 5},  // the 13-character placeholder would be larger
      {"\"" + letters40 + "\"", 42, 14},
      {"\"\\u0001\\u0002\"", 14, 13},  // six per control character; the placeholder "…[+2 chars]" is smaller
      {"123456789012345678901234567890", 30, 30},
      // Collapsed object: {"…":"2 keys omitted"}.
      {R"({"a":"hello world","b":[1,2,3]})", 31, 22},
  };
  for (const Case& c : cases) {
    Meta m = analyze_json(c.json);
    EXPECT_EQ(m.full(), c.full) << c.json;
    EXPECT_EQ(m.min(), c.min) << c.json;
  }
  // 100 items at depth 1, compact: the collapsed array is 2 + 22.
  Meta m = analyze_json(R"({"a":)" + hundred + "}");
  EXPECT_EQ(m.children()[0].full(), 201u);
  EXPECT_EQ(m.children()[0].min(), 24u);
  // Indented at depth 1 with indent 2: "[", LF, 4 spaces, marker, LF, 2 spaces, "]".
  Meta pretty = analyze_json(R"({"a":)" + hundred + "}", {}, 2);
  EXPECT_EQ(pretty.children()[0].min(), 22u + 10u);
}

TEST(Analysis, ProtectionFromPatterns) {
  const std::string doc = R"({"a":{"b":")" + letters40 + R"("},"c":{"a":{"b":")" + letters40 + R"("}}})";
  // Anchored: only the path a, b from the root.
  Meta anchored = analyze_json(doc, {"/a/b"});
  EXPECT_TRUE(anchored.children()[0].children()[0].is_protected());
  EXPECT_FALSE(anchored.children()[1].children()[0].children()[0].is_protected());
  EXPECT_EQ(anchored.protected_count(), 1u);
  // Unanchored: every path ending in a, b.
  Meta anywhere = analyze_json(doc, {"a/b"});
  EXPECT_TRUE(anywhere.children()[1].children()[0].children()[0].is_protected());
  EXPECT_EQ(anywhere.protected_count(), 2u);
  EXPECT_TRUE(anywhere.children()[1].has_protected());
  // Kept entries at their min: {"a":{"b":"…40…"},"c":{"a":{"b":"…40…"}}} is already the smallest form.
  EXPECT_EQ(anywhere.min(), anywhere.full());

  // A protected object passes protection down and cannot shrink.
  Meta subtree = analyze_json(R"({"keep":{"x":")" + letters40 + R"(","y":[1,2]},"z":1})", {"/keep"});
  const Meta& keep = subtree.children()[0];
  EXPECT_TRUE(keep.is_protected() && keep.children()[0].is_protected() && keep.children()[1].children()[1].is_protected());
  EXPECT_EQ(keep.min(), keep.full());
  EXPECT_EQ(keep.protected_count(), 3u);  // the string and the two numbers
  EXPECT_FALSE(subtree.children()[1].is_protected());

  // items/*/id reaches into array items; "*" is the items' own segment.
  Meta items = analyze_json(R"({"items":[{"id":1,"t":"x"},{"id":2}],"id":3})", {"items/*/id"});
  EXPECT_TRUE(items.children()[0].children()[0].children()[0].is_protected());
  EXPECT_FALSE(items.children()[0].children()[0].children()[1].is_protected());
  EXPECT_FALSE(items.children()[1].is_protected());
  EXPECT_EQ(items.protected_count(), 2u);
}

TEST(Analysis, RootIsNeverProtectedByAPattern) {
  for (const char* pattern : {"*", "/*", "//*//"}) {
    Meta root = analyze_json("\"" + letters40 + "\"", {pattern});
    EXPECT_FALSE(root.is_protected()) << pattern;
    EXPECT_EQ(root.min(), 14u) << pattern;
    // The same pattern protects the item of a one-item array, which still collapses as a whole.
    Meta array = analyze_json("[\"" + letters40 + "\"]", {pattern});
    EXPECT_FALSE(array.is_protected()) << pattern;
    EXPECT_TRUE(array.children()[0].is_protected()) << pattern;
    EXPECT_EQ(array.children()[0].min(), 42u);
    EXPECT_FALSE(array.has_protected());
    EXPECT_EQ(array.protected_count(), 1u);
    EXPECT_EQ(array.min(), 22u);  // ["…[1 items omitted]"]
  }
}

TEST(Analysis, ProtectedContentInsideAnArrayDoesNotKeepItsKey) {
  Meta m = analyze_json(R"({"list":[{"id":1}],"s":")" + letters40 + R"("})", {"id"});
  EXPECT_EQ(m.children()[0].protected_count(), 1u);
  EXPECT_FALSE(m.children()[0].has_protected());
  EXPECT_FALSE(m.has_protected());
  EXPECT_EQ(m.min(), 22u);  // {"…":"2 keys omitted"}
  // One key deep it does: {"o":{"id":1,"…":"1 keys omitted"},"…":"1 keys omitted"}.
  Meta deep = analyze_json(R"({"o":{"id":1,"s":")" + letters40 + R"("},"s":")" + letters40 + R"("})", {"id"});
  EXPECT_TRUE(deep.has_protected());
  EXPECT_EQ(deep.children()[0].min(), 29u);
  EXPECT_EQ(deep.min(), 3u + 4u + 29u + 20u);  // overhead of two entries, "o":, the object, the keys marker
}

}  // namespace
// Character counting works on 8-byte words: every mix of 1- to 4-byte characters
// across word boundaries must match a byte-by-byte count.
TEST(Utf8Count, MatchesAByteByByteCountAcrossWordBoundaries) {
  EXPECT_EQ(utf8::count_high_bits(0x8080808080808080ull), 8u);
  EXPECT_EQ(utf8::count_high_bits(0x0000000000000080ull), 1u);
  EXPECT_EQ(utf8::count_high_bits(0x8000000000000000ull), 1u);
  const char* pieces[] = {"a", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80"};
  std::uint64_t x = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    std::uint64_t want = 0;
    const int n = round % 40;
    for (int k = 0; k < n; ++k) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      s += pieces[(x >> 33) % 4];
      ++want;
    }
    ASSERT_EQ(utf8::count(s), want) << round;
    // The size measure counts the same characters inside quotes.
    ASSERT_EQ(size::quoted(s), want + 2) << round;
  }
}

}  // namespace tavisk
