// The command-line tool's own JSON reader (it reads the envelope and --options).
#include <gtest/gtest.h>

#include <string>

#include "../tools/json_reader.h"

namespace {

using cli::Json;

struct StringCase {
  const char* text;
  const char* decoded;
};

TEST(CliJson, DecodesStringEscapes) {
  const StringCase cases[] = {
      {R"("plain")", "plain"},
      {R"("a\"b\\c\/d")", "a\"b\\c/d"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
      {R"("")", ""},
  };
  for (const auto& c : cases) {
    cli::JsonError error;
    auto v = cli::parse_json(c.text, error);
    ASSERT_TRUE(v) << c.text << ": " << error.message;
    EXPECT_EQ(v->kind, Json::Kind::String);
    EXPECT_EQ(v->text, c.decoded) << c.text;
  }
  cli::JsonError error;
  EXPECT_EQ(cli::parse_json(R"("\u0000x")", error)->text, std::string("\0x", 2));
}

struct BadCase {
  const char* text;
  const char* message;
  std::size_t offset;
};

TEST(CliJson, RejectsMalformedText) {
  const BadCase cases[] = {
      {"", "unexpected end of text", 0},
      {"  ", "unexpected end of text", 2},
      {"01", "unexpected text after the value", 1},
      {"1.", "invalid number", 2},
      {"-", "invalid number", 1},
      {"1e+", "invalid number", 3},
      {"[1,]", "unexpected character", 3},
      {"[1 2]", "expected ',' or ']'", 3},
      {R"({"a" 1})", "expected ':'", 5},
      {R"({a:1})", "expected a string key", 1},
      {R"({"a":1,})", "expected a string key", 7},
      {"\"a\tb\"", "control character in a string", 2},
      {R"("\x")", "invalid escape", 2},
      {R"("\u12G4")", "invalid \\u escape", 3},
      {R"("\ud800")", "unpaired surrogate in \\u escape", 7},
      {R"("\ud800\u0041")", "unpaired surrogate in \\u escape", 13},
      {R"("\udc00")", "unpaired surrogate in \\u escape", 7},
      {R"("abc)", "unexpected end of text in a string", 4},
      {"tru", "invalid literal", 0},
      {"nul", "invalid literal", 0},
      {"{} {}", "unexpected text after the value", 3},
  };
  for (const auto& c : cases) {
    cli::JsonError error;
    EXPECT_FALSE(cli::parse_json(c.text, error)) << c.text;
    EXPECT_EQ(error.message, c.message) << c.text;
    EXPECT_EQ(error.offset, c.offset) << c.text;
  }
}

TEST(CliJson, KeepsOrderNumbersAndRawSpans) {
  cli::JsonError error;
  std::string text = R"( {"b": [1, -2.5e3, true], "a": {"x": null}, "b": "again"} )";
  auto v = cli::parse_json(text, error);
  ASSERT_TRUE(v) << error.message;
  ASSERT_EQ(v->members.size(), 3u);
  EXPECT_EQ(v->members[0].key, "b");
  EXPECT_EQ(v->members[1].key, "a");
  EXPECT_EQ(v->members[0].value.raw, "[1, -2.5e3, true]");
  EXPECT_EQ(v->members[0].value.items[1].text, "-2.5e3");
  EXPECT_TRUE(v->members[0].value.items[2].flag);
  EXPECT_EQ(v->members[1].value.raw, R"({"x": null})");
  // find() answers the first of repeated keys.
  ASSERT_NE(v->find("b"), nullptr);
  EXPECT_EQ(v->find("b")->kind, Json::Kind::Array);
  EXPECT_EQ(v->find("missing"), nullptr);
  EXPECT_EQ(v->raw, R"({"b": [1, -2.5e3, true], "a": {"x": null}, "b": "again"})");
}

TEST(CliJson, BoundsNesting) {
  cli::JsonError error;
  std::string ok = std::string(cli::json_max_depth, '[') + std::string(cli::json_max_depth, ']');
  EXPECT_TRUE(cli::parse_json(ok, error)) << error.message;
  std::string deep = std::string(cli::json_max_depth + 1, '[') + std::string(cli::json_max_depth + 1, ']');
  EXPECT_FALSE(cli::parse_json(deep, error));
  EXPECT_EQ(error.message, "nesting too deep");
  std::string huge(1000000, '[');
  EXPECT_FALSE(cli::parse_json(huge, error));
}

TEST(CliJson, WritesStringsThatReadBack) {
  const std::string samples[] = {
      "", "plain", "q\"b\\s/", "\n\r\t\b\f", std::string("\x01\x1f\0", 3), "\xC3\xA9\xF0\x9F\x98\x80"};
  for (const std::string& s : samples) {
    std::string out;
    cli::write_json_string(out, s);
    cli::JsonError error;
    auto v = cli::parse_json(out, error);
    ASSERT_TRUE(v) << out << ": " << error.message;
    EXPECT_EQ(v->text, s) << out;
  }
  std::string out;
  cli::write_json_string(out, std::string("a\x01", 2));
  EXPECT_EQ(out, R"("a\u0001")");
}

}  // namespace
