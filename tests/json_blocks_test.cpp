// The reader scans white space, digits and string bytes sixteen at a time and
// falls back to single bytes near the end of the text. These tests put every
// kind of token boundary at every offset around the block edges and compare
// with what a byte-at-a-time reading gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arena.h"
#include "json.h"
#include "test_util.h"

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

// What one reading of `doc` gives, as text: the compact tree or the error,
// for the arena's tree and the owning one.
std::string reading(const std::string& doc) {
  Arena arena;
  auto borrowed = json::parse(doc, arena);
  auto owned = json::parse(doc);
  const std::string a = borrowed.ok() ? json::to_string(borrowed.value().root()) : "error " + borrowed.error().text();
  const std::string b = owned.ok() ? json::to_string(owned.value()) : "error " + owned.error().text();
  return a == b ? a : a + " | owned: " + b;
}

// Every text over `alphabet` of up to `max_len` bytes, shortest first.
std::vector<std::string> all_texts(const std::string& alphabet, std::size_t max_len) {
  std::vector<std::string> out{""};
  for (std::size_t from = 0; from < out.size(); ++from)
    if (out[from].size() < max_len)
      for (char c : alphabet) out.push_back(out[from] + c);
  return out;
}

// A short token followed by white space (a block of it) is read from one
// block of the input; the same token among the last bytes of the input is
// read byte by byte. Both readings agree on values, kinds and on every error
// with its position, except errors about running out of input (the padding
// moves them).
void expect_same_reading_padded(const std::string& head, const std::string& token, const std::string& tail) {
  ASSERT_LT(token.size() + tail.size(), 16u) << "the reading at the end would use a block too";
  const std::string end_doc = head + token + tail;
  const std::string at_end = reading(end_doc);
  if (at_end.find("unterminated") != std::string::npos || at_end.find("end of input") != std::string::npos) return;
  ASSERT_EQ(reading(end_doc + std::string(20, ' ')), at_end) << "token [" << token << "]";
}

TEST(JsonBlocks, ShortNumbersReadFromOneBlockAgreeWithTheEndOfTheInput) {
  // Signs, leading zeros, fractions, exponents and bytes that end or break a number.
  for (const std::string& t : all_texts("-05.eE+x", 6)) expect_same_reading_padded("[", t, "]");
  for (const std::string& t : all_texts("-05.eE+x", 4)) expect_same_reading_padded("{\"k\":", t, "}");
  // Longer ones, up to the longest that still ends inside the block.
  for (const std::string& t : all_texts("-1.e", 4)) expect_same_reading_padded("[", "1234567890" + t, "]");
}

// Numbers whose digits end around the inline limit and the block's end, with
// what may follow them: the tree holds the number's text, or the error names
// the byte that ends it.
TEST(JsonBlocks, NumbersEndingAroundTheBlockEnd) {
  for (std::size_t whole = 1; whole <= 17; ++whole) {
    std::string ds;
    for (std::size_t i = 0; i < whole; ++i) ds += static_cast<char>('1' + i % 9);
    for (const std::string sign : {"", "-"}) {
      for (std::size_t frac = 0; frac <= 4; ++frac) {
        const std::string f = frac ? "." + std::string(frac, '7') : "";
        for (const std::string after : {"", "e5", "E-1", "0", ".", "x"}) {
          const std::string num = sign + ds + f + after;
          const std::string col = std::to_string(num.size() + 1);  // of the number's last byte
          std::string want = "[" + num + "]";
          if (after == "x" || (after == "." && frac)) want = "error expected ',' or ']' at line 1, column " + col;
          if (after == "." && !frac) want = "error invalid number at line 1, column " + std::to_string(num.size() + 2);
          for (std::size_t pad : {0u, 1u, 20u})
            EXPECT_EQ(reading("[" + num + "]" + std::string(pad, ' ')), want) << num << " pad " << pad;
          // A leading zero ends the number before the next digit.
          if (whole > 1) {
            EXPECT_EQ(reading("[" + sign + "0" + ds + f + after + "]" + std::string(20, ' ')),
                      "error expected ',' or ']' at line 1, column " + std::to_string(sign.size() + 3))
                << num;
          }
        }
      }
    }
  }
}

TEST(JsonBlocks, ShortStringsAndKeysReadFromOneBlockAgreeWithTheEndOfTheInput) {
  // Quotes, escapes, control and multi-byte characters at every place in
  // literals short enough to be read byte by byte at the end (the tests above
  // cover the longer ones).
  const std::string alphabet = std::string("a\"\\n") + '\x01' + "\xC3\xA9";
  for (std::size_t lead = 0; lead <= 10; ++lead) {
    for (const std::string& t : all_texts(alphabet, 3)) {
      for (std::size_t trail : {0u, 1u, 2u}) {
        const std::string literal = "\"" + filler(lead, 'a') + t + filler(trail, 'A') + "\"";
        if (literal.size() < 15) expect_same_reading_padded("[", literal, "]");
        if (literal.size() < 13) expect_same_reading_padded("{", literal, ":1}");
        if (literal.size() < 7) expect_same_reading_padded("{", literal, ":" + literal + "}");
      }
    }
  }
}

// Whole calls on the same malformed and well-formed records, with the damage
// inside the block a token is read from: the error names the same place
// whether the record is last in the input or followed by more.
TEST(JsonBlocks, CallsReportTheSameErrorsWhereverTheTokenSits) {
  const std::string bad_tokens[] = {"01", "-", "1.", "1.e5", "2e", "-x", "\"ab\x01\"", "\"a\\q\"", "tru"};
  for (const std::string& bad : bad_tokens) {
    const std::string record = "{\"id\":7,\"name\":\"customer 12\",\"v\":" + bad + "}";
    const auto at_end = testing::shrink("[" + record + "]", R"({"max_chars":1000})");
    const auto followed = testing::shrink("[" + record + ",{\"id\":8,\"name\":\"customer 13\",\"v\":1}]",
                                          R"({"max_chars":1000})");
    EXPECT_FALSE(at_end.ok()) << bad;
    EXPECT_FALSE(at_end.error().empty()) << bad;
    EXPECT_EQ(followed.error(), at_end.error()) << bad;
  }
  // A well-formed record of tokens on both sides of the inline limits comes back whole.
  const std::string record =
      R"({"abcdefghijklmn":"abcdefghijklmn","abcdefghijklmno":"abcdefghijklmno","abcdefghijklmnop":)"
      R"("abcdefghijklmnop","n14":-1234567890.12,"n15":123456789012345,"n16":-1234567890.1234,"z":0.5})";
  const auto whole = testing::shrink("[" + record + "," + record + "]", R"({"max_chars":100000,"indent":0})");
  ASSERT_TRUE(whole.ok()) << whole.error();
  EXPECT_EQ(whole.text(), "[" + record + "," + record + "]");
}

}  // namespace
}  // namespace tavisk
