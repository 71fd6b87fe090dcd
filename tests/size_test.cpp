#include "size.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json.h"
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
        members.push_back(Member{text(), std::move(child)});
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
  const std::uint64_t counts[] = {0, 1, 9, 10, 99, 100, 12345, std::numeric_limits<std::uint64_t>::max()};
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

}  // namespace
}  // namespace tavisk
