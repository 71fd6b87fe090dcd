// The fast paths of word splitting, lexical matching, value hashing and the byte counters agree
// with the plain per-character ways they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "condense.h"
#include "fields.h"
#include "json.h"
#include "lexical.h"
#include "siphash.h"
#include "size.h"
#include "text.h"
#include "utf8.h"

namespace tavisk {
namespace {

using Strings = std::vector<std::string>;

// Mixed texts: ASCII runs next to characters whose lowercase changes length or leaves ASCII
// (Kelvin sign, dotted capital I, capital sharp s), digits of other scripts, apostrophes, humps.
const Strings MIXED = {
    "",
    "plain words only",
    "HTTPServer parseJSON x2Y ABC aB9c",
    "\xE2\x84\xAA" "elvin 300\xE2\x84\xAA and \xE2\x84\xAA",       // KELVIN SIGN lowers to ASCII k
    "\xC4\xB0stanbul D\xC4\xB0YARBAKIR",                           // I WITH DOT ABOVE lowers to i + U+0307
    "Stra\xC3\x9F" "e STRA\xE1\xBA\x9E" "E gro\xC3\x9F" "es",          // sharp s, capital sharp s
    "caf\xC3\xA9" "Bar na\xC3\xAF" "veTest \xC3\x89" "COLE",
    "don't it's O'Brien rock'n'roll",
    "\xEF\xBC\x91\xEF\xBC\x92\xEF\xBC\x93 \xD9\xA1\xD9\xA2 12\xEF\xBC\x93" "4",  // full-width and Arabic digits
    "\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3 \xCE\xB1\xCE\xB2\xCE\xB3",
    "abc\xE2\x80\x94" "def\xF0\x9F\x98\x80ghi \xC2\xA9x \xC2\xAA" "b",
    "snake_case-and.dots/slashes\\back \"quoted\" tab\there",
    "a1B2c3D4 ID URLs userIDs",
    "\xC3\x80\xC3\x81" "ABC\xC3\xA0" "def",
};

Strings slow_words(std::string_view text) {
  WordSplitter split(text);
  Strings out;
  std::string w;
  while (split.next(w)) out.push_back(w);
  return out;
}

TEST(FastPaths, WordViewsMatchTheCharacterByCharacterSplitter) {
  for (const std::string& text : MIXED) {
    WordSplitter split(text);
    std::string scratch;
    Word w;
    Strings got;
    while (split.next(scratch, w)) {
      const bool ascii = std::all_of(w.text.begin(), w.text.end(), [](char c) { return (c & 0x80) == 0; });
      EXPECT_EQ(w.ascii, ascii) << text << " / " << w.text;
      got.emplace_back(w.text);
    }
    EXPECT_EQ(got, slow_words(text)) << text;
  }
  // A few splits spelled out, so that both ways cannot be wrong together.
  const std::pair<std::string, Strings> spelled[] = {
      {"HTTPServer parseJSON", {"httpserver", "parse", "json"}},
      {"\xE2\x84\xAA" "elvin", {"kelvin"}},
      {"don't", {"don", "t"}},
      {"x2Y", {"x2", "y"}},
      {"caf\xC3\xA9" "Bar", {"caf\xC3\xA9", "bar"}},
  };
  for (const auto& [text, words] : spelled) EXPECT_EQ(slow_words(text), words) << text;
}

TEST(FastPaths, InformativeWithKnownCharactersAgrees) {
  const Strings words = {"an",   "the",    "distinct", "having",  "com",   "www",  "thes",  "selects", "orderx",
                         "ord",  "x1",     "12",       "123",     "1234",  "0000", "\xC3\xA9", "\xC3\xA9\xC3\xA9",
                         "user", "users",  "query",    "queries", "it",    "at",   "e",     "limit",   "limits"};
  for (const std::string& w : words) EXPECT_EQ(informative(w, utf8::count(w)), informative(w)) << w;
  for (std::string_view w : {"an", "the", "distinct", "having", "https", "which", "offset"})
    EXPECT_FALSE(informative(w)) << w;
  for (std::string_view w : {"thes", "selects", "orderx", "distincts", "havin"}) EXPECT_TRUE(informative(w)) << w;
}

TEST(FastPaths, TermMatchesWithKnownHashAndCharactersAgreeWithTokenHit) {
  const Strings terms = {"customer", "status", "lyon", "r\xC3\xA9sum\xC3\xA9", "shipped"};
  const TermMatcher matcher(terms);
  const Strings tokens = {"customer", "custmer", "customers", "cust0mer", "costumer", "status", "statu", "lyon",
                          "lyons", "lion", "r\xC3\xA9sume", "resume", "r\xC3\xA9sum\xC3\xA9s", "shipped",
                          "shiped", "shippedx", "shipp", "other"};
  for (const std::string& t : tokens) {
    bool want = false;
    TokenSet one;
    one.insert(t);
    for (const std::string& term : terms) want |= token_hit(term, one);
    EXPECT_EQ(matcher.hits(t, token_hash(t), utf8::count(t)), want) << t;
    EXPECT_EQ(matcher.hits(t), want) << t;
  }
  // Counted and uncounted edits agree on ASCII and non-ASCII pairs.
  const std::pair<std::string, std::string> pairs[] = {
      {"shipped", "shiped"}, {"shipped", "shipper"}, {"abc", "abd"}, {"abc", "abcd"}, {"abc", "xabc"},
      {"abc", "acb"},        {"r\xC3\xA9sum\xC3\xA9", "resume"}, {"caf\xC3\xA9", "cafe"}, {"same", "same"}};
  const bool expected[] = {true, true, true, true, true, false, false, true, true};
  for (std::size_t i = 0; i < std::size(pairs); ++i) {
    const auto& [a, b] = pairs[i];
    EXPECT_EQ(within_one_edit(a, utf8::count(a), b, utf8::count(b)), expected[i]) << a << " " << b;
    EXPECT_EQ(within_one_edit(b, utf8::count(b), a, utf8::count(a)), expected[i]) << b << " " << a;
  }
}

TEST(FastPaths, FramedSipHashEqualsTheStreamingHasher) {
  std::string text;
  for (int n = 0; n <= 90; ++n) {
    SipHasher13 h;
    h.write_u8(3);
    h.write(text);
    h.write_u8(0xFF);
    EXPECT_EQ(siphash13_framed(3, text, 0xFF), h.finish()) << n;
    text.push_back(static_cast<char>(n % 7 == 0 ? 0xC3 : 'a' + n % 26));
  }
}

// Byte counters against the plain byte-by-byte rules, across the sixteen-byte blocks and the
// flushes of their per-lane counters.
TEST(FastPaths, BlockCountersAgreeWithByteByByteCounts) {
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x80\x94", "\xF0\x9F\x98\x80", "\n", "\r\n", "\"", "\\",
                                "\t", "\x01", "\x1F", "\x0B", "\b", "\f", " ", "z9", "\x7F"};
  std::uint64_t seed = 12345;
  for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 33u, 100u, 4079u, 4080u, 4096u, 5000u, 70000u}) {
    std::string s;
    while (s.size() < len) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      s += pieces[(seed >> 33) % std::size(pieces)];
    }
    std::uint64_t chars = 0, costs = 0, lf = 0;
    for (unsigned char b : s) {
      if ((b & 0xC0) == 0x80) continue;
      ++chars;
      if (b == '"' || b == '\\' || b == '\b' || b == '\t' || b == '\n' || b == '\f' || b == '\r')
        costs += 2;
      else if (b < 0x20)
        costs += 6;
      else
        costs += 1;
      lf += b == '\n';
    }
    EXPECT_EQ(utf8::count(s), chars) << len;
    EXPECT_EQ(size::char_costs(s), costs) << len;
    EXPECT_EQ(text::count_lines(s), !s.empty() && s.back() == '\n' ? lf : lf + 1) << len;
    EXPECT_TRUE(utf8::valid(s)) << len;
    std::string ascii(len, 'a');
    EXPECT_TRUE(utf8::valid(ascii)) << len;
    if (len == 0) continue;
    ascii[len - 1] = '\x80';  // a stray continuation byte after the ASCII run
    EXPECT_FALSE(utf8::valid(ascii)) << len;
  }
}

// The validator steps over ASCII in blocks and stops at the first byte that is not: a bad
// sequence is found at every position of an ASCII text, and a good character passes there,
// also when the text ends inside the sequence.
TEST(FastPaths, Utf8ValidityAtEveryPositionOfAnAsciiText) {
  const std::pair<const char*, bool> sequences[] = {
      {"\xC3\xA9", true},         {"\xE2\x80\xA6", true},     {"\xF0\x9F\x98\x80", true}, {"\xF4\x8F\xBF\xBF", true},
      {"\xC0\x80", false},        {"\xC1\xBF", false},        {"\xE0\x9F\xBF", false},    {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false}, {"\x80", false},          {"\xFF", false},
      {"\xC3", false},            {"\xE2\x82", false},        {"\xC3\x41", false},        {"\xF0\x9F\x98\x41", false}};
  for (const auto& [seq, good] : sequences) {
    for (std::size_t before = 0; before < 40; ++before) {
      for (std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{23}}) {
        const std::string s = std::string(before, 'a') + seq + std::string(after, 'b');
        EXPECT_EQ(utf8::valid(s), good) << before << " " << after;
        EXPECT_EQ(utf8::valid(s + "\xC3\xA9" + std::string(before, 'c')), good) << before;
      }
    }
  }
}

struct SurveyOut {
  std::vector<std::uint64_t> present, hits;
  Strings keys;
};

SurveyOut survey(const std::string& records, const char* arguments) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  const Value doc = json::parse(records).value();
  Path path;
  const Meta meta = p.analyze_at(doc, 0, path, false);
  const Query q = *build_query(arguments);
  Discovery d;
  d.query = &q;
  Path prefix;
  for (std::size_t i = 0; i < doc.items().size(); ++i)
    p.visit(d, doc.items()[i].members(), doc.items()[i].members().size(), meta.children()[i], std::nullopt, prefix, 1,
            i);
  SurveyOut out;
  for (const Column& c : d.columns) {
    out.present.push_back(c.present);
    out.hits.push_back(c.hits);
    std::string key;
    for (const std::string& s : c.path) key += "/" + s;
    out.keys.push_back(key);
  }
  return out;
}

TEST(FastPaths, RepeatedValuesAndReorderedKeysSurveyAsFreshOnes) {
  // Repeated values hit every time; keys that move between records keep their columns; a number and a
  // string of the same text are different values but the same tokens.
  const SurveyOut s = survey(R"([{"city":"Lyon","n":1234,"o":{"x":"lyon"}},
                                 {"city":"Lyon","n":"1234","o":{"x":"Paris"}},
                                 {"n":1234,"city":"Paris","o":{"y":"Lyons","x":"lyon"}},
                                 {"o":{"x":"lyon"},"city":"Lyon"}])",
                             "lyon 1234");
  EXPECT_EQ(s.keys, (Strings{"/city", "/n", "/o", "/o/x", "/o/y"}));
  EXPECT_EQ(s.present, (std::vector<std::uint64_t>{4, 3, 4, 4, 1}));
  EXPECT_EQ(s.hits, (std::vector<std::uint64_t>{3, 3, 0, 3, 1}));
}

}  // namespace
}  // namespace tavisk
