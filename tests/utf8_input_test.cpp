// An input that is not UTF-8 is answered with that error whatever else is
// wrong with the call, wherever the bad bytes sit and whichever reader takes
// the input; the JSON reader checks the UTF-8 of the literals it reads.
#include <string>
#include <vector>

#include "json.h"
#include "test_util.h"

namespace tavisk {
namespace {

using testing::shrink;
using testing::shrink_raw;

constexpr std::string_view input_error = R"({"ok":false,"error":"input is not valid UTF-8"})";

struct Bad {
  const char* name;
  std::string bytes;
};

// Byte sequences that are not UTF-8, each of which a lax check would let through.
const std::vector<Bad>& bad_sequences() {
  static const std::vector<Bad> all = {
      {"stray continuation", "\x80"},
      {"overlong two bytes", "\xC0\xAF"},
      {"overlong three bytes", "\xE0\x80\xAF"},
      {"surrogate", "\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"truncated", "\xE2\x82"},
      {"0xFF", "\xFF"},
  };
  return all;
}

// Valid characters of every length, which must never be taken for bad ones.
const std::vector<std::string>& good_sequences() {
  static const std::vector<std::string> all = {"\xC3\xA9", "\xE2\x80\x94", "\xE6\x97\xA5", "\xF0\x9F\x98\x80",
                                               "\xF4\x8F\xBF\xBF"};
  return all;
}

struct Place {
  const char* name;
  std::string before, after;  // the sequence goes between
};

std::string xs(std::size_t n) { return std::string(n, 'x'); }

// Where the sequence goes: keys and strings read by each of the reader's
// paths (one block, longer plain, escaped, long enough for text facts),
// ends of literals at block edges, and places outside any literal.
const std::vector<Place>& places() {
  static const std::vector<Place> all = {
      {"short key", R"({"k)", R"(":1})"},
      {"key ending in it", R"({")", R"(":1})"},
      {"long key", R"({"a_rather_long_key_name_)", R"(_and_more":1})"},
      {"escaped key", R"({"k\n)", R"(":1})"},
      {"key after escape-free keys", R"({"a":1,"b":2,"c)", R"(":3})"},
      {"short string", R"({"a":"x)", R"("})"},
      {"short key, more after", R"({"k)", R"(":1,"padding":"more text after it"})"},
      {"short string, more after", R"({"a":"x)", R"(","b":"more text after it"})"},
      {"short string beside a character, more after", "[\"\xC3\xA9", "\",\"more text after it\"]"},
      {"short string ending its block", "[\"" + xs(13), "\",\"more text after it\"]"},
      {"string ending in it", R"(["ab)", R"("])"},
      {"string at block's end", "[\"" + xs(15), "\"]"},
      {"string across a block", "[\"" + xs(14), "yy\"]"},
      {"string just past one block", "[\"" + xs(16), "\"]"},
      {"long string", "[\"" + xs(40), xs(40) + "\"]"},
      {"long string starting with it", "[\"", xs(40) + "\"]"},
      {"string with facts", "[\"" + xs(300), "\"]"},
      {"escaped string", R"(["caf\u00e9 )", R"( done"])"},
      {"escaped string, it first", R"([")", R"(\n"])"},
      {"long escaped string", "[\"" + xs(300) + "\\n", xs(10) + "\"]"},
      {"escaped string beside characters", "[\"\\t\xC3\xA9", "\xC3\xA9\"]"},
      {"string after valid ones", "[\"\xC3\xA9\",\"" + xs(20) + "\xE6\x97\xA5\",\"", "\"]"},
      {"last of many", "{\"a\":[\"x\",\"y\"],\"b\":{\"c\":\"", "\"}}"},
      {"outside, in an array", "[1,", "]"},
      {"outside, first", "", "{\"a\":1}"},
      {"outside, trailing", "{\"a\":1}", ""},
      {"after a BOM", "\xEF\xBB\xBF", "[1]"},
      {"after a syntax error", "[1,,\"", "\"]"},
      {"before a syntax error", "[\"", "\",,]"},
      {"unterminated string", "[\"abc", ""},
      {"yaml-like text", "a: b", "\nc: d\n"},
      {"plain text", "some words ", " more words"},
      {"json lines", "{\"a\":1}\n{\"b\":\"", "\"}\n"},
  };
  return all;
}

// Option texts: valid of every input format, not JSON, bad options.
const std::vector<std::string>& option_sets() {
  static const std::vector<std::string> all = {
      "{}",
      R"({"max_chars":10})",
      R"({"input_format":"json"})",
      R"({"input_format":"auto"})",
      R"({"input_format":"detect"})",
      R"({"input_format":"yaml"})",
      R"({"input_format":"text"})",
      R"({"input_format":"jsonl"})",
      R"({"input_format":"text","format":"json"})",
      R"({"format":"jsonl"})",
      "not json",
      R"({"max_chars":"many"})",
      R"({"input_format":"xml"})",
      "",
  };
  return all;
}

TEST(Utf8Input, EveryBadInputIsReportedAsSuch) {
  for (const Bad& bad : bad_sequences())
    for (const Place& place : places())
      for (const std::string& options : option_sets()) {
        const std::string input = place.before + bad.bytes + place.after;
        EXPECT_EQ(shrink_raw(input, options), input_error) << bad.name << " in " << place.name << ", " << options;
      }
}

// Options that are not UTF-8 lose to an input that is not either.
TEST(Utf8Input, TheInputWinsOverOptionsNotUtf8) {
  for (const Bad& bad : bad_sequences())
    for (const Place& place : places()) {
      const std::string input = place.before + bad.bytes + place.after;
      EXPECT_EQ(shrink_raw(input, "{\"a\":\"\xFF\"}"), input_error) << bad.name << " in " << place.name;
    }
  EXPECT_EQ(shrink("[1]", "{\"a\":\"\xFF\"}").error(), "options are not valid UTF-8");
  EXPECT_EQ(shrink("[\"\xC3\xA9\"]", "\xC0\x80").error(), "options are not valid UTF-8");
}

// The same places with valid characters are never taken for bad UTF-8.
TEST(Utf8Input, ValidCharactersPass) {
  for (const std::string& good : good_sequences())
    for (const Place& place : places())
      for (const std::string& options : option_sets()) {
        const std::string input = place.before + good + place.after;
        EXPECT_NE(shrink(input, options).error(), "input is not valid UTF-8") << place.name << ", " << options;
      }
  // And they are kept: a document that fits comes back whole.
  const std::string doc = "{\"k\xC3\xA9\":[\"" + xs(30) + "\xF0\x9F\x98\x80\",\"\xE6\x97\xA5\",\"a\\n\xE2\x80\x94\"]}";
  const auto e = shrink(doc, R"({"indent":0})");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_EQ(e.text(), doc);
}

// Escaped surrogates are not UTF-8 checks' business: a lone one reads as U+FFFD, a pair as its character.
TEST(Utf8Input, EscapedSurrogatesKeepTheirReading) {
  const auto lone = shrink(R"(["a\ud800b","\udc00","\ud800\u0041","\ud83d\ude00"])", R"({"indent":0})");
  ASSERT_TRUE(lone.ok()) << lone.error();
  EXPECT_EQ(lone.text(),
            "[\"a\xEF\xBF\xBD"
            "b\",\"\xEF\xBF\xBD\",\"\xEF\xBF\xBD"
            "A\",\"\xF0\x9F\x98\x80\"]");
}

// The reader itself refuses a literal that is not UTF-8, in either of its forms.
TEST(Utf8Input, ReaderRefusesBadLiterals) {
  for (const Bad& bad : bad_sequences())
    for (const Place& place : places()) {
      const std::string input = place.before + bad.bytes + place.after;
      Arena arena;
      EXPECT_FALSE(json::parse(input, arena)) << bad.name << " in " << place.name;
      EXPECT_FALSE(json::parse(input)) << bad.name << " in " << place.name;
    }
}

}  // namespace
}  // namespace tavisk
