// The compact structures behind the memory bounds: the reader's stacks handed
// to the arena, the 32-bit analysis with its wide record, and the flat
// pattern trie.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "arena.h"
#include "json.h"
#include "pipeline.h"
#include "protect.h"
#include "prune.h"
#include "shape.h"
#include "size.h"
#include "test_util.h"
#include "utf8.h"

namespace tavisk {
namespace {

std::string ints(std::size_t n) {
  std::string s = "[";
  for (std::size_t i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i % 1000);
  return s + "]";
}

// A JSON array of `records` objects of `fields` members "<prefix><k>", each value value(r, k).
template <class F>
std::string records_doc(std::size_t records, std::size_t fields, const char* prefix, F value) {
  std::string doc = "[";
  for (std::size_t r = 0; r < records; ++r) {
    doc += r ? ",{" : "{";
    for (std::size_t k = 0; k < fields; ++k) doc += (k ? ",\"" : "\"") + (prefix + std::to_string(k)) + "\":" + value(r, k);
    doc += "}";
  }
  return doc + "]";
}

std::string keys(std::size_t n) {
  std::string s = "{";
  for (std::size_t i = 0; i < n; ++i) s += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":[" + std::to_string(i) + "]";
  return s + "}";
}

// Large containers where the whole stack is handed over (at the root, under a
// member) and where it is not (under an item), with containers before and
// after them, at sizes around the stack's mapping and doubling points.
TEST(ReaderStacks, HandedOverStacksGiveTheSameTreeAsTheOwningReader) {
  for (std::size_t n : {16384u, 16385u, 18724u, 18725u, 32768u, 32769u, 65537u}) {
    const std::vector<std::string> docs = {
        ints(n),
        keys(n),
        R"({"a":)" + ints(n) + R"(,"b":)" + ints(n / 2) + R"(,"c":[1,[2]],"d":)" + keys(n / 3) + "}",
        R"({"before":{"x":[1,2]},"big":)" + ints(n) + R"(,"after":[{"y":3}]})",
        "[" + ints(n) + "," + keys(n) + ",[7]]",
        "[[1],{\"z\":" + ints(n) + "}," + ints(3) + "]",
    };
    for (std::size_t d = 0; d < docs.size(); ++d) {
      Arena arena;
      auto in_arena = json::parse(docs[d], arena);
      auto owned = json::parse(docs[d]);
      ASSERT_TRUE(in_arena.ok() && owned.ok()) << n << " " << d;
      EXPECT_TRUE(in_arena.value().root() == owned.value()) << n << " " << d;
      EXPECT_EQ(json::to_string(in_arena.value().root()), docs[d]) << n << " " << d;
    }
  }
}

// A root array past the mapping point is not copied: its values go to the
// arena as the mapped stack, and the arena's own blocks stay small.
TEST(ReaderStacks, ARootArrayIsHandedOverNotCopied) {
  const std::string doc = ints(40000);
  Arena arena;
  auto tree = json::parse(doc, arena);
  ASSERT_TRUE(tree.ok());
  EXPECT_GE(arena.mapped_bytes(), 40000 * sizeof(Value));
  EXPECT_LT(arena.heap_bytes(), 40000 * sizeof(Value));
  // Under an item the children are copied as before.
  Arena nested;
  auto inner = json::parse("[" + doc + "]", nested);
  ASSERT_TRUE(inner.ok());
  EXPECT_GE(nested.heap_bytes(), 40000 * sizeof(Value));
}

// Sizes and counts at the edge of 32 bits round-trip, in the arena and on the heap.
TEST(CompactMeta, SizesPastThirtyTwoBitsKeepTheirValue) {
  constexpr std::uint64_t top = UINT32_MAX;
  struct Case {
    std::uint64_t full, min, protected_count;
  };
  const Case cases[] = {{0, 0, 0},          {top - 1, top - 1, top - 1}, {top, 3, 0},
                        {top + 1, top, 1},  {5, top + 7, 2},             {9, 9, top + 1},
                        {UINT64_MAX, 0, 0}, {1ull << 40, 1ull << 35, 1ull << 33}};
  for (bool use_arena : {true, false}) {
    for (const Case& c : cases) {
      Arena arena;
      Arena* a = use_arena ? &arena : nullptr;
      Meta* kids = Meta::allocate_children(3, a);
      for (std::size_t i = 0; i < 3; ++i) {
        new (kids + i) Meta();
        kids[i].set(nullptr, 0, i + 1, i, 100 + i, 0, a);
      }
      Meta m;
      m.set(kids, 3, c.full, c.min, 0xABCDEF0123456789ull, c.protected_count, a);
      m.set_flags(true, false);
      EXPECT_EQ(m.full(), c.full) << c.full;
      EXPECT_EQ(m.min(), c.min) << c.full;
      EXPECT_EQ(m.protected_count(), c.protected_count) << c.full;
      EXPECT_EQ(m.shape(), 0xABCDEF0123456789ull);
      EXPECT_TRUE(m.is_protected());
      EXPECT_FALSE(m.has_protected());
      ASSERT_EQ(m.children().size(), 3u);
      EXPECT_EQ(m.children()[2].full(), 3u);
      EXPECT_EQ(m.children()[1].shape(), 101u);
      Meta moved(std::move(m));  // the children move with it and are freed once
      EXPECT_EQ(moved.full(), c.full);
      EXPECT_EQ(moved.children().size(), 3u);
      EXPECT_TRUE(m.children().empty());
    }
  }
}

void expect_same_meta(const Meta& a, const Meta& b, const std::string& where) {
  ASSERT_EQ(a.full(), b.full()) << where;
  ASSERT_EQ(a.min(), b.min()) << where;
  ASSERT_EQ(a.shape(), b.shape()) << where;
  ASSERT_EQ(a.protected_count(), b.protected_count()) << where;
  ASSERT_EQ(a.is_protected(), b.is_protected()) << where;
  ASSERT_EQ(a.has_protected(), b.has_protected()) << where;
  ASSERT_EQ(a.children().size(), b.children().size()) << where;
  for (std::size_t i = 0; i < a.children().size(); ++i) expect_same_meta(a.children()[i], b.children()[i], where);
}

// The analysis kept in the call's arena equals the one the heap owns.
TEST(CompactMeta, ArenaAndHeapAnalysesAgreeOnTheCorpus) {
  TAVISK_NEEDS_SHARED("corpus/real");
  Options o;
  o.protect = {"*/id", "/*/name", "metadata/name", "tags"};
  for (const std::string& f : testing::files_under(testing::shared_dir() + "/corpus/real", ".json")) {
    auto doc = json::parse(testing::read_file(f));
    ASSERT_TRUE(doc.ok()) << f;
    for (std::uint64_t indent : {0u, 2u}) {
      Arena arena;
      const Meta in_arena = analyze(doc.value(), o, indent, &arena);
      const Meta owned = analyze(doc.value(), o, indent);
      expect_same_meta(in_arena, owned, f);
    }
  }
}

// A container of plain scalars in the arena stores no analysis per child;
// the analyses derived from the values equal the stored ones, and any child
// that is not plain (a long or non-ASCII number or string, a string with a
// character JSON escapes, a container) or is protected keeps them stored.
TEST(CompactMeta, DerivedItemAnalysesEqualStoredOnes) {
  const std::string n64 = "1" + std::string(63, '0'), n65 = "1" + std::string(64, '0');
  const std::string s64 = "\"" + std::string(64, 's') + "\"", s65 = "\"" + std::string(65, 's') + "\"";
  struct Case {
    std::string doc;
    std::vector<std::string> protect;
    bool derived;  // the root's children's analyses
  };
  const Case cases[] = {
      {"[1,-2.5e10,true,false,null,0," + n64 + "]", {}, true},
      {"[1,2," + n65 + "]", {}, false},
      {R"([1,2,"3","",")" + std::string(40, 'x') + "\"," + s64 + "]", {}, true},
      {"[" + s65 + "]", {}, false},
      {R"(["caf\u00e9"])", {}, false},
      {R"(["a\"b"])", {}, false},
      {R"(["tab\there"])", {}, false},
      {"[1,[2,3],4]", {}, false},
      {"[1,2,3]", {"*"}, false},
      {"[1,2,3]", {"/*"}, false},
      {"[1,2,3]", {"nothing/*"}, true},
      {R"({"a":1,"b":"x","c":null,"d":true})", {}, true},
      {R"({"a":1,"b":"x"})", {"b"}, false},
      {R"({"a":1,"b":"x"})", {"/c"}, true},
      {R"({"a":1,"b":[1]})", {}, false},
      {R"([{"a":[1,2,3],"b":[[1],[2,true]],"c":[1,"x"],"d":[]}])", {}, false},
      {R"([{"a":[1,2,3],"b":[[1],[2,true]]}])", {"*/a/*"}, false},
  };
  for (const Case& c : cases) {
    auto doc = json::parse(c.doc);
    ASSERT_TRUE(doc.ok()) << c.doc;
    Options o;
    o.protect = c.protect;
    for (std::uint64_t indent : {0u, 2u}) {
      Arena arena;
      const Meta in_arena = analyze(doc.value(), o, indent, &arena);
      const Meta owned = analyze(doc.value(), o, indent);
      expect_same_meta(in_arena, owned, c.doc);
      EXPECT_EQ(in_arena.children().data() == nullptr, c.derived) << c.doc;
      EXPECT_NE(owned.children().data(), nullptr) << c.doc;
    }
  }
}

// Strings read without escapes are plain whatever their characters (their analyses follow from
// their characters); objects of plain members store no analysis per member; an object whose
// members stop being plain part-way, and later objects with the same keys, are analysed member
// by member. Every analysis equals the heap's.
TEST(CompactMeta, UnescapedStringsAndPlainObjectsEqualStoredAnalyses) {
  std::string e32, e33;
  for (int i = 0; i < 32; ++i) e32 += "\xC3\xA9";  // 64 bytes, 32 characters
  e33 = "x" + e32;                                  // 65 bytes
  struct Case {
    std::string doc;
    bool derived;  // the root's children's analyses
  };
  const Case cases[] = {
      {"[\"Z\xC3\xBCrich\",\"\xE6\x97\xA5\xE6\x9C\xAC\",\"\xF0\x9F\x98\x80\",\"\",\"ok\"]", true},
      {"[\"" + e32 + "\",1]", true},
      {"[\"" + e33 + "\",1]", false},
      {R"(["Zurich","caf\u00e9"])", false},  // decoded from an escape and not ASCII
      {"{\"city\":\"Z\xC3\xBCrich\",\"n\":-1.5,\"t\":true,\"z\":null}", true},
      {"{\"city\":\"Z\xC3\xBCrich\",\"b\":\"a\\nb\"}", false},
      {R"({"a":1,"b":{"c":2}})", false},
      {R"([{"a":1,"b":[1]},{"a":1,"b":2},{"a":2,"b":"x"}])", false},
      {R"([{"a":1,"b":2},{"a":1,"b":[1]},{"a":1,"b":3},{"b":1,"a":2}])", false},
  };
  for (const Case& c : cases) {
    auto doc = json::parse(c.doc);
    ASSERT_TRUE(doc.ok()) << c.doc;
    for (std::uint64_t indent : {0u, 2u}) {
      Arena arena;
      const Meta in_arena = analyze(doc.value(), Options{}, indent, &arena);
      const Meta owned = analyze(doc.value(), Options{}, indent);
      expect_same_meta(in_arena, owned, c.doc);
      EXPECT_EQ(in_arena.children().data() == nullptr, c.derived) << c.doc;
    }
  }
  // Records of the same keys whose values change kind from record to record.
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    static const char* const values[] = {"1", "\"x\"", "\"Z\xC3\xBCrich\"", "\"a\\tb\"", "[1]", "{}", "null"};
    const std::string doc = records_doc(30, 4, "k", [&](std::size_t, std::size_t) { return values[rng() % 7]; });
    auto parsed = json::parse(doc);
    ASSERT_TRUE(parsed.ok());
    Arena arena;
    const Meta in_arena = analyze(parsed.value(), Options{}, 2, &arena);
    expect_same_meta(in_arena, analyze(parsed.value(), Options{}, 2), doc);
  }
}

// Unprotected scalars under containers take their analyses from their values (plain ones, and
// strings decoded with their costs kept); with paths tracked (a pattern that matches nothing) each
// goes through the full scalar analysis. Both give the same analyses, in the arena and on the heap:
// records mixing every kind of scalar, escaped strings of 0 to 300 bytes and non-ASCII text, with
// and without a container member.
TEST(CompactMeta, ScalarsAnalysedFromTheirValuesEqualTheFullAnalysis) {
  const char* const pieces[] = {"a", "\\n", "\\\"", "\\u00e9", "\xC3\xA9", "\\u0001", "\\ud83d\\ude00", "\\/"};
  std::mt19937 rng(11);
  auto text = [&] {
    std::string t;
    const std::size_t n = rng() % 4 == 0 ? rng() % 300 : rng() % 70;
    while (t.size() < n) t += rng() % 3 ? "x" : pieces[rng() % std::size(pieces)];
    return "\"" + t + "\"";
  };
  for (int round = 0; round < 40; ++round) {
    std::string doc = "[";
    for (int r = 0; r < 20; ++r) {
      doc += r ? ",{" : "{";
      doc += "\"id\":" + std::to_string(rng() % 100000) + ",\"ok\":" + (rng() % 2 ? "true" : "null");
      // Escapes that cost exactly what the multi-byte characters save: as many bytes as cost.
      std::string balanced;
      for (std::size_t k = rng() % 12; k < 12; ++k) balanced += "\xC3\xA9\\n";
      doc += ",\"title\":" + (rng() % 4 ? text() : "\"" + balanced + "\"");
      if (rng() % 2) doc += ",\"tags\":[" + text() + "," + text() + "]";
      doc += ",\"body\":" + text() + "}";
    }
    doc += "]";
    Arena read_arena;  // read into an arena: decoded strings keep their costs
    auto parsed = json::parse(doc, read_arena);
    ASSERT_TRUE(parsed.ok()) << doc;
    const Value& root = parsed.value().root();
    Options tracked;
    tracked.protect = {"/no/such/path"};
    for (std::uint64_t indent : {0u, 2u}) {
      Arena arena, tracked_arena;
      const Meta fast = analyze(root, Options{}, indent, &arena);
      const Meta full = analyze(root, tracked, indent, &tracked_arena);
      expect_same_meta(fast, full, doc);
      expect_same_meta(analyze(root, Options{}, indent), full, doc);
    }
  }
}

// An object of scalars most of which are plain keeps only the analyses of the others (long or
// escaped texts, long numbers, protected members), wherever they stand; every analysis read back
// through the object equals the heap's, and the object takes a fraction of the room.
TEST(CompactMeta, ObjectsOfScalarsKeepOnlyTheAnalysesThatAreNotPlain) {
  const std::string long_text = "\"https://example.org/" + std::string(70, 'u') + "\"";
  const std::string long_number = "1" + std::string(70, '0');
  const std::string others[] = {long_text, long_number, R"("a\nb")", R"("caf\u00e9")", R"("tab\there")", "[1]", "{}"};
  const std::string plains[] = {"1", "-2.5", "true", "null", R"("ok")", "\"Z\xC3\xBCrich\""};
  std::mt19937 rng(17);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = 1 + rng() % 40;
    const std::string doc = records_doc(3, n, "p", [&](std::size_t, std::size_t k) {
      const bool other = rng() % 8 == 0 || (k == 0 && round % 5 == 0) || (k == n - 1 && round % 7 == 0);
      return other ? others[rng() % (round % 3 ? 5 : 7)] : plains[rng() % 6];
    });
    Arena read_arena;
    auto parsed = json::parse(doc, read_arena);
    ASSERT_TRUE(parsed.ok()) << doc;
    const Value& root = parsed.value().root();
    Options protecting;
    protecting.protect = {"*/p3"};
    for (const Options& o : {Options{}, protecting}) {
      for (std::uint64_t indent : {0u, 2u}) {
        Arena arena;
        const Meta in_arena = analyze(root, o, indent, &arena);
        expect_same_meta(in_arena, analyze(root, o, indent), doc);
      }
    }
  }

  // 2,000 records of 26 fields, one a long URL: about 80 bytes of analysis each, not 450.
  const std::string doc =
      records_doc(2000, 26, "f", [&](std::size_t, std::size_t k) { return k == 7 ? long_text : std::string("12"); });
  auto parsed = json::parse(doc);
  ASSERT_TRUE(parsed.ok());
  Arena arena;
  const Meta in_arena = analyze(parsed.value(), Options{}, 2, &arena);
  expect_same_meta(in_arena, analyze(parsed.value(), Options{}, 2), "records with a long URL");
  EXPECT_LT(arena.heap_bytes() + arena.mapped_bytes(), 2000u * 200u);
  EXPECT_NE(in_arena.children()[0].children().data(), nullptr);
}

// The reader marks the strings it read without escapes, and the texts it saw are ASCII; a copy
// keeps the marks (the same text).
TEST(CompactMeta, ReaderMarksStringsReadWithoutEscapes) {
  const std::string doc = R"(["a","a\"b","caf\u00e9","Z)" "\xC3\xBC" R"(rich","a longer text than fourteen bytes",1])";
  const bool want[] = {true, false, false, true, true, false};
  auto check = [&](const Value& root) {
    const auto& items = root.items();
    ASSERT_EQ(items.size(), 6u);
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].unescaped_text(), want[i]) << i;
    // Numbers and short strings are marked ASCII when they are; a text that is not never is.
    EXPECT_TRUE(items[0].ascii_text());
    EXPECT_FALSE(items[3].ascii_text());
    EXPECT_TRUE(items[5].ascii_text());
    const Value copy = items[4];
    EXPECT_TRUE(copy.unescaped_text());
    EXPECT_EQ(copy.kind(), Kind::String);
    EXPECT_EQ(copy.text(), items[4].text());
  };
  auto owned = json::parse(doc);
  ASSERT_TRUE(owned.ok());
  check(owned.value());
  Arena arena;
  auto in_arena = json::parse(doc, arena);
  ASSERT_TRUE(in_arena.ok());
  check(in_arena.value().root());
}

// Keys the reader copies from a block compare whole with copies of them (and not with other
// keys of their length), whatever bytes followed them in the input.
TEST(CompactMeta, ReaderKeysCompareWholeWithTheirCopies) {
  for (std::size_t n = 0; n <= Key::inline_capacity + 2; ++n) {
    const std::string key(n, 'k'), other = n ? std::string(n - 1, 'k') + "j" : "x";
    const std::string doc = "{\"" + key + "\":1,\"" + key + "x\":\"zzzzzzzzzzzzzzzzzzzzzzzz\"}";
    Arena arena;
    auto parsed = json::parse(doc, arena);
    ASSERT_TRUE(parsed.ok());
    const Key& read = parsed.value().root().members()[0].key;
    EXPECT_TRUE(same_key(read, Key(key))) << n;
    EXPECT_TRUE(same_key(Key(key), read)) << n;
    EXPECT_FALSE(same_key(read, Key(other))) << n;
    EXPECT_FALSE(same_key(read, parsed.value().root().members()[1].key)) << n;
  }
}

// A string decoded from escapes keeps its cost and characters in front of its text when it is
// longer than a value holds inline and shorter than the texts whose facts are found; they equal
// the measured ones for every kind of escape, and a copy drops them.
TEST(CompactMeta, DecodedStringsKeepTheirMeasuredCosts) {
  const char* const escapes[] = {"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0001", "\\u001f",
                                 "\\u007f", "\\u00e9", "\\u2028", "\\ud83d\\ude00", "\\ud800", "\xC3\xA9", "\xE6\x97\xA5"};
  for (const char* e : escapes) {
    for (std::size_t before : {0u, 5u, 13u, 40u, 200u, 260u}) {
      std::string head;  // a plain head with characters past ASCII
      while (head.size() < before) head += head.size() % 3 ? "a" : "\xC3\xA9";
      const std::string literal = head + "\\n" + e + "b";
      const std::string doc = "[\"" + literal + "\",1]";
      Arena arena;
      auto parsed = json::parse(doc, arena);
      ASSERT_TRUE(parsed.ok()) << doc;
      const Value& v = parsed.value().root().items()[0];
      const std::string_view text = v.text();
      const TextCosts* costs = v.costs();
      EXPECT_EQ(costs != nullptr, text.size() > Value::inline_capacity && literal.size() < 256) << literal;
      if (costs) {
        EXPECT_EQ(costs->cost, size::char_costs(text)) << literal;
        EXPECT_EQ(costs->chars, utf8::count(text)) << literal;
      }
      EXPECT_EQ(Value(v).costs(), nullptr);
    }
  }
}

// The flat trie agrees with matching the patterns one by one, for pattern sets
// large enough to grow and pack its tables, with repeats and wildcards.
TEST(FlatPatternTrie, AgreesWithEachPatternOnRandomSets) {
  std::mt19937 rng(11);
  const std::vector<std::string> words = {"a", "b", "id", "name", "*", "items", "x1", "x2", "é", " "};
  auto word = [&](bool star) {
    std::string w = words[rng() % words.size()];
    if (!star && w == "*") w = "s";
    if (rng() % 4 == 0) w += std::to_string(rng() % 300);
    return w;
  };
  for (std::size_t count : {1u, 7u, 40u, 3000u}) {
    std::vector<std::string> protect;
    for (std::size_t i = 0; i < count; ++i) {
      std::string p = rng() % 3 == 0 ? "/" : "";
      const std::size_t len = 1 + rng() % 4;
      for (std::size_t k = 0; k < len; ++k) p += (k ? "/" : "") + word(true);
      if (rng() % 10 == 0) p += "/";
      protect.push_back(p);
    }
    const auto patterns = compile_patterns(protect);
    const PatternSet trie(protect);
    const PatternSet from_patterns(patterns);
    std::size_t hits = 0;
    for (int t = 0; t < 4000; ++t) {
      Path path;
      const std::size_t len = rng() % 6;
      for (std::size_t k = 0; k < len; ++k) path.push_back(word(false));
      const bool expected = any_matches(patterns, path);
      hits += expected;
      ASSERT_EQ(trie.matches(path), expected) << count << " " << t;
      ASSERT_EQ(from_patterns.matches(path), expected) << count << " " << t;
    }
    if (count >= 40) {
      EXPECT_GT(hits, 0u);
    }
  }
}

// Repeated patterns and segments are stored once.
TEST(FlatPatternTrie, RepeatsCostNothing) {
  std::vector<std::string> protect;
  for (int i = 0; i < 100000; ++i) protect.push_back(i % 2 ? "*/id" : "/items/*/name/" + std::to_string(i / 2 % 10));
  const PatternSet set(protect);
  // Segments: id, items, name and the ten digits; nodes: the root, id, its "*", the ten
  // digits, name and "*" above each, and items above each of those.
  EXPECT_EQ(set.segment_count(), 13u);
  EXPECT_EQ(set.node_count(), 1u + 2u + 10u * 4u);
  EXPECT_TRUE(set.matches({"items", "*", "name", "7"}));
  EXPECT_FALSE(set.matches({"x", "items", "*", "name", "7"}));
  EXPECT_TRUE(set.matches({"x", "*", "id"}));
  EXPECT_TRUE(PatternSet(std::vector<std::string>{"", "/", "//"}).empty());
}

}  // namespace
}  // namespace tavisk

namespace tavisk {
namespace {

// The order as one list: first, each new shape's first item (up to 64 shapes), the last when
// kept, then the others by index.
std::vector<std::size_t> listed_order(const std::vector<std::uint64_t>& shapes, bool keep_last) {
  const std::size_t n = shapes.size();
  std::vector<std::size_t> order{0};
  std::vector<bool> taken(n, false);
  taken[0] = true;
  std::vector<std::uint64_t> seen{shapes[0]};
  for (std::size_t i = 1; i < n && seen.size() < 64; ++i) {
    if (std::find(seen.begin(), seen.end(), shapes[i]) != seen.end()) continue;
    seen.push_back(shapes[i]);
    order.push_back(i);
    taken[i] = true;
  }
  if (keep_last && !taken[n - 1]) {
    order.push_back(n - 1);
    taken[n - 1] = true;
  }
  for (std::size_t i = 1; i < n; ++i)
    if (!taken[i]) order.push_back(i);
  return order;
}

// The sampling order is produced as it is walked; it must give the same items as the list,
// whatever the number of shapes (below, at and past 64) and wherever new shapes fall.
TEST(ItemOrder, WalkedOrderEqualsTheListedOne) {
  std::mt19937_64 rng(17);
  for (std::size_t n : {1u, 2u, 3u, 5u, 64u, 65u, 70u, 200u, 1500u}) {
    for (std::uint64_t kinds : {1u, 2u, 5u, 63u, 64u, 65u, 300u}) {
      for (bool keep_last : {false, true}) {
        std::vector<std::uint64_t> shapes(n);
        for (auto& s : shapes) s = 1000 + rng() % kinds;
        Meta* kids = Meta::allocate_children(n, nullptr);
        for (std::size_t i = 0; i < n; ++i) {
          new (kids + i) Meta();
          kids[i].set(nullptr, 0, 1, 1, shapes[i], 0, nullptr);
        }
        Meta array;
        array.set(kids, n, n, 1, 7, 0, nullptr);
        EXPECT_EQ(priority_order(array, keep_last), listed_order(shapes, keep_last))
            << n << " items, " << kinds << " shapes, keep_last " << keep_last;
      }
    }
  }
}

// Scalars keep their kind's shape and their protection without a record of their own.
TEST(CompactMeta, ScalarsKeepShapeAndProtection) {
  const Value scalars[] = {Value::null(), Value::boolean(true), Value::number("12"), Value::string("ab")};
  for (const Value& v : scalars) {
    for (std::uint64_t protected_count : {0u, 1u}) {
      Meta m;
      m.set(nullptr, 0, 9, 4, shape_of(v), protected_count, nullptr);
      m.set_flags(protected_count == 1, protected_count == 1);
      EXPECT_EQ(m.shape(), shape_of(v));
      EXPECT_EQ(m.protected_count(), protected_count);
      EXPECT_EQ(m.full(), 9u);
      EXPECT_EQ(m.min(), 4u);
      EXPECT_TRUE(m.children().empty());
      Meta moved(std::move(m));
      EXPECT_EQ(moved.shape(), shape_of(v));
      EXPECT_EQ(moved.protected_count(), protected_count);
    }
  }
  // An empty container keeps its own shape, and a scalar counted twice keeps its count.
  Meta empty;
  empty.set(nullptr, 0, 2, 2, shape_of(Value::array()), 0, nullptr);
  EXPECT_EQ(empty.shape(), shape_of(Value::array()));
  Meta twice;
  twice.set(nullptr, 0, 3, 3, shape_of(Value::null()), 2, nullptr);
  EXPECT_EQ(twice.protected_count(), 2u);
}

}  // namespace
}  // namespace tavisk
