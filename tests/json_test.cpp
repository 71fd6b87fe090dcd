#include "json.h"

#include <gtest/gtest.h>

#include <string>

namespace tavisk {
namespace {

std::string error_of(std::string_view text) {
  auto r = json::parse(text);
  return r.ok() ? "ok" : r.error().text();
}

std::string roundtrip(std::string_view text, bool pretty = false, std::uint64_t indent = 0) {
  auto r = json::parse(text);
  if (!r) return "error: " + r.error().text();
  std::string out;
  json::write_value(out, r.value(), pretty, indent, 0);
  return out;
}

struct ErrorCase {
  const char* text;
  const char* error;
};

TEST(JsonReader, ErrorsCarryMessageLineAndColumn) {
  const ErrorCase cases[] = {
      {"", "unexpected end of input at line 1, column 1"},
      {"   ", "unexpected end of input at line 1, column 4"},
      {"\xEF\xBB\xBF", "unexpected end of input at line 1, column 1"},
      {"\xEF\xBB\xBF  x", "unexpected character at line 1, column 3"},
      {"[1,]", "unexpected character at line 1, column 4"},
      {"{\"a\":1,}", "expected string key at line 1, column 8"},
      {"[", "unexpected end of input at line 1, column 2"},
      {"{", "expected string key at line 1, column 2"},
      {"{\"a\"", "expected ':' at line 1, column 5"},
      {"{\"a\":1 2", "expected ',' or '}' at line 1, column 8"},
      {"[1 2", "expected ',' or ']' at line 1, column 4"},
      {"-", "invalid number at line 1, column 2"},
      {"1.", "invalid number at line 1, column 3"},
      {"1e", "invalid number at line 1, column 3"},
      {"1e+", "invalid number at line 1, column 4"},
      {"01", "unexpected trailing characters at line 1, column 2"},
      {"nul", "invalid literal at line 1, column 1"},
      {"True", "unexpected character at line 1, column 1"},
      {"nullx", "unexpected trailing characters at line 1, column 5"},
      {"[\n1,\n\xC3\xA9\xC3\xA9x]", "unexpected character at line 3, column 1"},
      {"[\n1,\n\"\xC3\xA9\xC3\xA9\" x]", "expected ',' or ']' at line 3, column 6"},
      {"\"a\tb\"", "control character in string at line 1, column 3"},
      {"\"abc", "unterminated string at line 1, column 5"},
      {"\"\\", "unterminated escape at line 1, column 3"},
      {"\"\\x\"", "invalid escape at line 1, column 4"},
      {"\"\\u12G4\"", "invalid \\u escape at line 1, column 4"},
      {"\"\\u12", "truncated \\u escape at line 1, column 4"},
      {"\"\\uD800\\u12G4\"", "invalid \\u escape at line 1, column 10"},
      {"\r\n\r\nx", "unexpected character at line 3, column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.error) << "input: " << c.text;
}

TEST(JsonReader, NestingLimitIs512BelowTheRoot) {
  std::string ok = std::string(513, '[') + std::string(513, ']');
  std::string deep = std::string(514, '[') + std::string(514, ']');
  EXPECT_EQ(error_of(ok), "ok");
  EXPECT_EQ(error_of(deep), "nesting too deep at line 1, column 514");
  std::string huge(100000, '[');
  EXPECT_EQ(error_of(huge), "nesting too deep at line 1, column 514");
  std::string objects;
  for (int i = 0; i < 600; ++i) objects += "{\"k\":";
  EXPECT_EQ(error_of(objects), "nesting too deep at line 1, column 2566");
}

TEST(JsonReader, SurrogateEscapes) {
  const std::pair<const char*, const char*> cases[] = {
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\uD800abc")",
       "\xEF\xBF\xBD"
       "abc"},
      {R"("\uD800\u0041")",
       "\xEF\xBF\xBD"
       "A"},
      {R"("\uDC00")", "\xEF\xBF\xBD"},
      {R"("\uD800\uD800\uDC00")", "\xEF\xBF\xBD\xF0\x90\x80\x80"},
      {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
      {R"("\u0000")", std::string_view("\0", 1).data()},
  };
  for (const auto& [text, want] : cases) {
    auto r = json::parse(text);
    ASSERT_TRUE(r.ok()) << text;
    if (std::string_view(text) == R"("\u0000")")
      EXPECT_EQ(r.value().text(), std::string(1, '\0'));
    else
      EXPECT_EQ(r.value().text(), want) << text;
  }
}

TEST(JsonReader, NumbersKeepTheirSourceText) {
  for (const char* text : {"-0", "0.5e-7", "1.50", "1E+2", "123456789012345678901234567890", "-0.0"}) {
    auto r = json::parse(text);
    ASSERT_TRUE(r.ok()) << text;
    EXPECT_TRUE(r.value().is_number());
    EXPECT_EQ(r.value().text(), text);
  }
}

TEST(JsonReader, DuplicateKeysAreKeptInOrder) {
  auto r = json::parse(R"({"a":1,"b":2,"a":3})");
  ASSERT_TRUE(r.ok());
  const auto& m = r.value().members();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].key, "a");
  EXPECT_EQ(m[0].value.text(), "1");
  EXPECT_EQ(m[2].key, "a");
  EXPECT_EQ(m[2].value.text(), "3");
}

TEST(JsonReader, ByteOrderMarkIsSkipped) {
  EXPECT_EQ(roundtrip("\xEF\xBB\xBF{}"), "{}");
  EXPECT_EQ(error_of("\xEF\xBB\xBF\xEF\xBB\xBF{}"), "unexpected character at line 1, column 1");
}

TEST(JsonWriter, Escapes) {
  Value v = Value::string(std::string("q\"b\\/\b\f\n\r\t\x01\x1f\x7f\xE2\x80\xA8", 16) + std::string(1, '\0'));
  EXPECT_EQ(json::to_string(v), "\"q\\\"b\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xE2\x80\xA8\\u0000\"");
}

TEST(JsonWriter, PrettyLayoutAtSeveralIndents) {
  const char* doc = R"({"a":[1,2],"b":{},"c":[],"d":{"e":null}})";
  EXPECT_EQ(roundtrip(doc), doc);
  EXPECT_EQ(roundtrip(doc, true, 2),
            "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {},\n  \"c\": [],\n  \"d\": {\n    \"e\": null\n  }\n}");
  EXPECT_EQ(roundtrip(doc, true, 1),
            "{\n \"a\": [\n  1,\n  2\n ],\n \"b\": {},\n \"c\": [],\n \"d\": {\n  \"e\": null\n }\n}");
  EXPECT_EQ(roundtrip(R"([[{"k":true}]])", true, 4),
            "[\n    [\n        {\n            \"k\": true\n        }\n    ]\n]");
}

TEST(JsonValue, DeepCopyIsIndependent) {
  auto r = json::parse(R"({"a":[1,{"b":"x"}],"a":"dup"})");
  ASSERT_TRUE(r.ok());
  Value copy;
  {
    Value source = std::move(r).value();
    copy = source;
  }
  EXPECT_EQ(json::to_string(copy), R"({"a":[1,{"b":"x"}],"a":"dup"})");
}

}  // namespace
}  // namespace tavisk
