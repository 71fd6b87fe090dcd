// The reader scans white space, digits and string bytes sixteen at a time and
// falls back to single bytes near the end of the text. These tests put every
// kind of token boundary at every offset around the block edges and compare
// with what a byte-at-a-time reading gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arena.h"
#include "json.h"

namespace tavisk {
namespace {

bool ws_byte(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool digit_byte(unsigned char c) { return c >= '0' && c <= '9'; }

template <class Pred>
std::size_t byte_wise_end(const std::string& s, std::size_t from, Pred pred) {
  while (from < s.size() && pred(static_cast<unsigned char>(s[from]))) ++from;
  return from;
}

// Bytes that end a run, among them ones a signed or off-by-one block compare
// would take for white space or digits: vertical tab, 0x1F, '/', ':', and the
// digits and white space with the high bit set.
const unsigned char ws_stoppers[] = {'x', 0x0B, 0x0C, 0x1F, 0x21, 0x00, 0x80 | ' ', 0x80 | '\n', 0xFF};
const unsigned char digit_stoppers[] = {'/', ':', '.', 'e', 0x00, 0xB0, 0xB9, 0x80, 0xFF};

TEST(JsonBlocks, WhiteSpaceRunsEndWhereByteWiseReadingEnds) {
  const std::string fill = " \t\n\r";
  for (std::size_t offset = 0; offset < 17; ++offset) {
    for (std::size_t len = 0; len <= 70; ++len) {
      for (unsigned char stop : ws_stoppers) {
        for (bool at_end : {false, true}) {
          std::string s(offset, 'q');
          for (std::size_t i = 0; i < len; ++i) s += fill[(i * 7 + offset) % fill.size()];
          if (!at_end) s += static_cast<char>(stop) + std::string("  tail");
          const std::size_t want = byte_wise_end(s, offset, ws_byte);
          ASSERT_EQ(json::ws_run_end(s, offset), want) << "offset " << offset << " len " << len << " stop "
                                                       << int(stop) << " at_end " << at_end;
          ASSERT_EQ(want, offset + len);
        }
      }
    }
  }
}

TEST(JsonBlocks, DigitRunsEndWhereByteWiseReadingEnds) {
  for (std::size_t offset = 0; offset < 17; ++offset) {
    for (std::size_t len = 0; len <= 70; ++len) {
      for (unsigned char stop : digit_stoppers) {
        for (bool at_end : {false, true}) {
          std::string s(offset, '-');
          for (std::size_t i = 0; i < len; ++i) s += static_cast<char>('0' + (i * 3 + offset) % 10);
          if (!at_end) s += static_cast<char>(stop) + std::string("123");
          const std::size_t want = byte_wise_end(s, offset, digit_byte);
          ASSERT_EQ(json::digit_run_end(s, offset), want) << "offset " << offset << " len " << len << " stop "
                                                          << int(stop) << " at_end " << at_end;
          ASSERT_EQ(want, offset + len);
        }
      }
    }
  }
}

// A piece of a string literal as written and as decoded.
struct Piece {
  const char* written;
  const char* decoded;
};

const Piece pieces[] = {
    {"\\\"", "\""},
    {"\\\\", "\\"},
    {"\\/", "/"},
    {"\\n", "\n"},
    {"\\t", "\t"},
    {"\\u00e9", "\xC3\xA9"},
    {"\\u20AC", "\xE2\x82\xAC"},
    {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
    {"\\ud800", "\xEF\xBF\xBD"},
    {"\\ud800\\u0041", "\xEF\xBF\xBD" "A"},
    {"\xC3\xA9", "\xC3\xA9"},
    {"\xE2\x82\xAC", "\xE2\x82\xAC"},
    {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
};

std::string filler(std::size_t n, char base) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(base + static_cast<char>(i % 23));
  return s;
}

// Reads `doc` both ways (into an arena and as an owning tree) and checks the
// one string in the array and the key and value of the object after it.
void expect_strings(const std::string& doc, const std::string& want, const std::string& context) {
  Arena arena;
  auto borrowed = json::parse(doc, arena);
  auto owned = json::parse(doc);
  ASSERT_TRUE(borrowed.ok()) << context << ": " << borrowed.error().text();
  ASSERT_TRUE(owned.ok()) << context << ": " << owned.error().text();
  const Value* roots[] = {&borrowed.value().root(), &owned.value()};
  for (const Value* root : roots) {
    ASSERT_EQ(root->items().size(), 2u) << context;
    EXPECT_EQ(root->items()[0].text(), want) << context;
    const auto& members = root->items()[1].members();
    ASSERT_EQ(members.size(), 1u) << context;
    EXPECT_EQ(members[0].key.view(), want) << context;
    EXPECT_EQ(members[0].value.text(), want + "!") << context;
  }
}

TEST(JsonBlocks, EscapesAndMultiByteCharactersAcrossBlockEdges) {
  const std::size_t lengths[] = {0, 1, 7, 8, 14, 15, 16, 17, 22, 23, 24, 25, 31, 32, 33, 62, 63, 64, 65, 255, 256, 257};
  for (std::size_t len : lengths) {
    for (const Piece& piece : pieces) {
      // The piece at every position from just before to just after each block edge of the literal.
      for (std::size_t at = 0; at <= len; at += (at + 3 < len && at % 16 > 1 && at % 16 < 14) ? 16 - at % 16 - 1 : 1) {
        const std::string head = filler(at, 'a'), tail = filler(len - at, 'A');
        const std::string written = head + piece.written + tail, want = head + piece.decoded + tail;
        // Leading white space shifts the literal against the input's blocks as well.
        for (std::size_t lead : {0u, 1u, 15u}) {
          const std::string doc = std::string(lead, ' ') + "[\"" + written + "\",{\"" + written + "\":\"" + written +
                                  "!\"}]";
          expect_strings(doc, want, "len " + std::to_string(len) + " at " + std::to_string(at) + " piece " +
                                        piece.written + " lead " + std::to_string(lead));
        }
      }
    }
  }
}

TEST(JsonBlocks, PlainStringsAndKeysOfEveryLengthAroundTheInlineLimits) {
  for (std::size_t len = 0; len <= 70; ++len) {
    const std::string text = filler(len, 'b');
    expect_strings("[\"" + text + "\",{\"" + text + "\":\"" + text + "!\"}]", text, "len " + std::to_string(len));
  }
}

TEST(JsonBlocks, StringErrorsInsideAndAfterBlocks) {
  struct Case {
    std::string bad;   // replaces the byte at the tested position
    std::string message;
  };
  const Case cases[] = {
      {std::string(1, '\0'), "control character in string"},
      {"\x1F", "control character in string"},
      {"\\x", "invalid escape"},
      {"\\u12g4", "invalid \\u escape"},
  };
  for (const Case& c : cases) {
    for (std::size_t at : {0u, 14u, 15u, 16u, 17u, 30u, 31u, 32u, 63u, 64u, 65u}) {
      const std::string doc = "[\"" + filler(at, 'c') + c.bad + "zz\"]";
      auto r = json::parse(doc);
      ASSERT_FALSE(r.ok()) << at;
      // The column is that of the offending byte, or just past the backslash and letter of a bad escape.
      const std::size_t column = 3 + at + (c.bad[0] == '\\' ? 2 : 0);
      EXPECT_EQ(r.error().text(), c.message + " at line 1, column " + std::to_string(column)) << at;
      Arena arena;
      auto a = json::parse(doc, arena);
      ASSERT_FALSE(a.ok());
      EXPECT_EQ(a.error().text(), r.error().text());
    }
  }
  // Unterminated at every length: the error is at the end of the input.
  for (std::size_t len : {0u, 15u, 16u, 17u, 63u, 64u, 65u}) {
    const std::string doc = "[\"" + filler(len, 'd');
    auto r = json::parse(doc);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "unterminated string at line 1, column " + std::to_string(doc.size() + 1)) << len;
  }
}

TEST(JsonBlocks, NumbersCutAtBlockEdges) {
  for (std::size_t lead : {0u, 1u, 13u, 14u, 15u, 16u}) {
    for (std::size_t len : {1u, 2u, 14u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u}) {
      std::string ds;
      for (std::size_t i = 0; i < len; ++i) ds += static_cast<char>('1' + i % 9);
      for (const std::string& num : {ds, "-" + ds, ds + "." + ds, "-" + ds + "e+" + ds, ds + "E" + ds}) {
        const std::string doc = std::string(lead, '\n') + "[" + num + "," + num + "]";
        Arena arena;
        auto r = json::parse(doc, arena);
        ASSERT_TRUE(r.ok()) << doc;
        ASSERT_EQ(r.value().root().items().size(), 2u);
        EXPECT_EQ(r.value().root().items()[0].text(), num);
        EXPECT_EQ(r.value().root().items()[1].text(), num);
        EXPECT_TRUE(r.value().root().items()[0].is_number());
      }
      // A fraction or exponent without digits fails just past its marker, on the line after the lead.
      for (const std::string& bad : {ds + ".", ds + "e", ds + "e-", ds + ".x"}) {
        const std::string doc = std::string(lead, '\n') + "[" + bad + "]";
        auto r = json::parse(doc);
        ASSERT_FALSE(r.ok());
        const std::size_t marker_end = 1 + (bad.back() == 'x' ? bad.size() - 1 : bad.size());
        EXPECT_EQ(r.error().text(), "invalid number at line " + std::to_string(lead + 1) + ", column " +
                                        std::to_string(marker_end + 1))
            << bad;
      }
    }
  }
}

TEST(JsonBlocks, WhiteSpaceRunsBetweenTokensAndTheErrorsAfterThem) {
  for (std::size_t len : {1u, 2u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u}) {
    const std::string w(len, ' ');
    const std::string doc = w + "{" + w + "\"a\"" + w + ":" + w + "[1" + w + "," + w + "true" + w + "]" + w + "," + w +
                            "\"b\"" + w + ":" + w + "{}" + w + "}" + w;
    Arena arena;
    auto r = json::parse(doc, arena);
    ASSERT_TRUE(r.ok()) << len;
    EXPECT_EQ(json::to_string(r.value().root()), "{\"a\":[1,true],\"b\":{}}");
    // The first byte that is not white space is what the error names.
    const std::string bad = "{\"a\"" + w + "\x0B:1}";
    auto e = json::parse(bad);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().text(), "expected ':' at line 1, column " + std::to_string(5 + len));
    const std::string trailing = "[1]" + w + "x";
    auto t = json::parse(trailing);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().text(), "unexpected trailing characters at line 1, column " + std::to_string(4 + len));
  }
}

// Containers inside members and items, with more children than the scratch
// stacks start with, so that they grow while an outer container is open: every
// value lands in its own slot.
TEST(JsonBlocks, NestedContainersLandInTheirSlots) {
  std::string wide = "{";
  for (int i = 0; i < 150; ++i) wide += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":[" + std::to_string(i) + "]";
  wide += "}";
  std::string long_array = "[";
  for (int i = 0; i < 150; ++i) long_array += (i ? ",{\"v\":" : "{\"v\":") + std::to_string(i) + "}";
  long_array += "]";
  const std::string docs[] = {
      "{\"a\":{\"b\":1},\"c\":[[1,{\"d\":[]}]],\"e\":{}}",
      "[{\"a\":[{\"b\":{\"c\":[true,null]}}]},[[[]]],{}]",
      "{\"x\":" + wide + ",\"y\":" + long_array + ",\"z\":[" + wide + "," + long_array + "]}",
      "[" + long_array + "," + wide + "," + long_array + "]",
  };
  for (const std::string& doc : docs) {
    Arena arena;
    auto r = json::parse(doc, arena);
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(json::to_string(r.value().root()), doc);
    auto owned = json::parse(doc);
    ASSERT_TRUE(owned.ok());
    EXPECT_EQ(json::to_string(owned.value()), doc);
  }
}

}  // namespace
}  // namespace tavisk
