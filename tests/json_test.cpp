#include "json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      // Carriage returns are characters of the line, not line breaks.
      {"[\r\r x", "unexpected character at line 1, column 5"},
      // After a byte order mark, on the third line, counting characters (a 4-byte one counts one).
      {"\xEF\xBB\xBF{\n\"a\": 1,\n\"\xF0\x9F\x98\x80\xC3\xA9\" 2}", "expected ':' at line 3, column 6"},
      {"\xEF\xBB\xBF\xE2\x82\xAC", "unexpected character at line 1, column 1"},
      {"[\"\xE2\x82\xAC\xE2\x82\xAC\", tru]", "invalid literal at line 1, column 8"},
      {"{\"a\":1,\"b\"}", "expected ':' at line 1, column 11"},
      {"{1:2}", "expected string key at line 1, column 2"},
      {"[1,2", "expected ',' or ']' at line 1, column 5"},
      {"{\"a\":1", "expected ',' or '}' at line 1, column 7"},
      {"{\"a\":", "unexpected end of input at line 1, column 6"},
      {"[-]", "invalid number at line 1, column 3"},
      {"[1.e5]", "invalid number at line 1, column 4"},
      {"[1e+x]", "invalid number at line 1, column 5"},
      {"-01", "unexpected trailing characters at line 1, column 3"},
      {"+1", "unexpected character at line 1, column 1"},
      {".5", "unexpected character at line 1, column 1"},
      {"truex", "unexpected trailing characters at line 1, column 5"},
      {"fals", "invalid literal at line 1, column 1"},
      {"nUll", "invalid literal at line 1, column 1"},
      {"1 2", "unexpected trailing characters at line 1, column 3"},
      {"{} \n ]", "unexpected trailing characters at line 2, column 2"},
      {"\"\\uD800\\u12", "truncated \\u escape at line 1, column 10"},
      {"\"\\u", "truncated \\u escape at line 1, column 4"},
      {"\"\\u 123\"", "invalid \\u escape at line 1, column 4"},
      {"\"a\nb\"", "control character in string at line 1, column 3"},
      {"\"\x1F\"", "control character in string at line 1, column 2"},
      {"\"\\a\"", "invalid escape at line 1, column 4"},
      {"\"\\\xC3\xA9\"", "invalid escape at line 1, column 4"},
      {"\f1", "unexpected character at line 1, column 1"},
      {"\xC2\xA0"
       "1",
       "unexpected character at line 1, column 1"},
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
  // Objects: the root and 512 further levels.
  std::string obj_ok, obj_deep;
  for (int i = 0; i < 512; ++i) obj_ok += "{\"k\":";
  obj_ok += "{}" + std::string(512, '}');
  obj_deep = "{\"k\":" + obj_ok + "}";
  EXPECT_EQ(error_of(obj_ok), "ok");
  EXPECT_EQ(error_of(obj_deep), "nesting too deep at line 1, column 2566");
  // A scalar is a level too: 512 brackets around a number read, 513 fail at the number.
  EXPECT_EQ(error_of(std::string(512, '[') + "1" + std::string(512, ']')), "ok");
  EXPECT_EQ(error_of(std::string(513, '[') + "1" + std::string(513, ']')), "nesting too deep at line 1, column 514");
  // The error is at the first character of the value that is too deep, after white space and a line feed.
  EXPECT_EQ(error_of(std::string(513, '[') + "\n  []"), "nesting too deep at line 2, column 3");
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
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
      {R"("\ud83d\ude00x")", "\xF0\x9F\x98\x80x"},
      {R"("\uDE00\uD83D")", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {R"("\uD800")", "\xEF\xBF\xBD"},
      {R"("\uD800\n")", "\xEF\xBF\xBD\n"},
      {R"("\uD800\u00e9")", "\xEF\xBF\xBD\xC3\xA9"},
      {R"("\uD800\uD801\uDC01")", "\xEF\xBF\xBD\xF0\x90\x90\x81"},
      {R"("\u002F\/\b\f\n\r\t\"\\")", "//\b\f\n\r\t\"\\"},
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

TEST(JsonWriter, EveryControlCharacterAndWhatIsLeftAlone) {
  const char* named[32] = {};
  named[0x08] = "\\b";
  named[0x09] = "\\t";
  named[0x0A] = "\\n";
  named[0x0C] = "\\f";
  named[0x0D] = "\\r";
  const char hex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) {
    std::string want = named[c] ? named[c] : std::string("\\u00") + hex[c >> 4] + hex[c & 15];
    EXPECT_EQ(json::to_string(Value::string(std::string(1, static_cast<char>(c)))), "\"" + want + "\"") << c;
  }
  // Solidus, DEL, U+0080, U+2028, U+2029, U+FEFF and a supplementary character are written as they are.
  const std::string plain = "/\x7F\xC2\x80\xE2\x80\xA8\xE2\x80\xA9\xEF\xBB\xBF\xF0\x9F\x98\x80";
  EXPECT_EQ(json::to_string(Value::string(plain)), "\"" + plain + "\"");
  // Keys are escaped by the same rules.
  Value::Object o;
  o.push_back({std::string("a\x01\"", 3), Value::null()});
  EXPECT_EQ(json::to_string(Value::object(std::move(o))), "{\"a\\u0001\\\"\":null}");
  // Reading the escapes and writing them back.
  EXPECT_EQ(roundtrip(R"(["\u0001\u001F\/\u2028\u00e9"])"), "[\"\\u0001\\u001f/\xE2\x80\xA8\xC3\xA9\"]");
}

TEST(JsonWriter, NumbersAndLiteralsAreCopied) {
  EXPECT_EQ(roundtrip("[1.50,-0,1E+2,0.5e-7,123456789012345678901234567890,true,false,null]"),
            "[1.50,-0,1E+2,0.5e-7,123456789012345678901234567890,true,false,null]");
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
  // Indent 4 at level 2: 12 spaces before each member of the level-2 container, 8 before its closing bracket.
  EXPECT_EQ(roundtrip(R"({"a":{"b":[1,2]}})", true, 4),
            "{\n    \"a\": {\n        \"b\": [\n            1,\n            2\n        ]\n    }\n}");
  // Indent 1 with an array of objects; empty containers stay on one line at every level.
  EXPECT_EQ(roundtrip(R"([{"a":[]},{}])", true, 1), "[\n {\n  \"a\": []\n },\n {}\n]");
  // Scalars at the root have no line feeds; pretty output never ends with one.
  EXPECT_EQ(roundtrip("\"x\"", true, 2), "\"x\"");
  EXPECT_EQ(roundtrip("[]", true, 4), "[]");
  // A start level shifts every line but the first.
  Value v = json::parse(R"({"a":1})").value();
  std::string out;
  json::write_value(out, v, true, 2, 1);
  EXPECT_EQ(out, "{\n    \"a\": 1\n  }");
  // Indent and level are ignored in compact form; repeated keys are written in order.
  out.clear();
  json::write_value(out, json::parse(R"({"a":1, "a" : [ 2 ]})").value(), false, 4, 3);
  EXPECT_EQ(out, R"({"a":1,"a":[2]})");
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

// The string scanner works in blocks of 16 and 8 bytes: a special byte at every
// offset of strings up to 40 bytes must be found, in both readers.
TEST(JsonReader, SpecialBytesAreFoundAtEveryOffsetOfLongRuns) {
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      std::string body(len, 'a');
      std::string control = body, escaped = body;
      control[at] = '\x01';
      escaped.replace(at, 1, "\\n");
      Arena arena;
      auto bad = json::parse("\"" + control + "\"");
      ASSERT_FALSE(bad.ok()) << len << " " << at;
      EXPECT_EQ(bad.error().text(), "control character in string at line 1, column " + std::to_string(at + 2));
      const std::string good_text = "[\"" + escaped + "\",\"\xC3\xA9" + body + "\"]";
      auto good = json::parse(good_text, arena);
      ASSERT_TRUE(good.ok()) << len << " " << at;
      std::string want = body;
      want[at] = '\n';
      EXPECT_EQ(good.value().root().items()[0].text(), want);
      EXPECT_EQ(good.value().root().items()[1].text(), "\xC3\xA9" + body);
    }
  }
}

// Escaped texts are decoded in place at a size bounded by their raw length and
// the unused tail is given back: texts of every length around the inline
// capacities, as keys and as values, must all survive the rest of the parse,
// and every truncation must fail exactly as the owning reader fails.
TEST(JsonReader, EscapedTextsKeepTheirBytesInTheArena) {
  // The decoded text of length n, and its literal with every special or
  // non-ASCII character escaped (so escapes shrink it by 1, 5 or 10 bytes).
  auto text_of = [](std::size_t n) {
    static const std::string_view pieces[] = {"a", "\"", "\\", "/", "\n", "\xC3\xA9", "A", "\xF0\x9F\x98\x80", "b"};
    std::string out;
    for (std::size_t i = 0; out.size() < n; ++i) out += pieces[(i * 7 + n) % std::size(pieces)];
    return out;
  };
  auto literal_of = [](std::string_view t) {
    std::string out = "\"";
    for (std::size_t i = 0; i < t.size(); ++i) {
      const char c = t[i];
      if (c == '"') out += "\\\"";
      else if (c == '\\') out += "\\\\";
      else if (c == '/') out += "\\/";
      else if (c == '\n') out += "\\n";
      else if (c == 'A') out += "\\u0041";
      else if (t.substr(i, 2) == "\xC3\xA9") out += "\\u00e9", ++i;
      else if (t.substr(i, 4) == "\xF0\x9F\x98\x80") out += "\\ud83d\\ude00", i += 3;
      else out += c;
    }
    return out + "\"";
  };
  std::vector<std::string> texts;
  std::string doc = "[";
  for (std::size_t n = 1; n <= 70; ++n) {
    texts.push_back(text_of(n));
    if (n > 1) doc += ',';
    doc += "{" + literal_of(texts.back()) + ":" + literal_of(texts.back()) + "}";
  }
  texts.push_back(std::string(3000, 'A'));  // decodes to a sixth of its literal
  doc += ",{\"k\":" + literal_of(texts.back()) + "}]";

  Arena arena;
  auto tree = json::parse(doc, arena);
  ASSERT_TRUE(tree.ok()) << tree.error().text();
  const auto& items = tree.value().root().items();
  ASSERT_EQ(items.size(), texts.size());
  for (std::size_t i = 0; i + 1 < texts.size(); ++i) {
    EXPECT_EQ(items[i].members()[0].key.view(), texts[i]) << "key of length " << i + 1;
    EXPECT_EQ(items[i].members()[0].value.text(), texts[i]) << "value of length " << i + 1;
  }
  EXPECT_EQ(items.back().members()[0].value.text(), texts.back());
  EXPECT_EQ(json::to_string(tree.value().root()), json::to_string(json::parse(doc).value()));

  for (std::size_t cut = 0; cut < 400; ++cut) {
    const std::string_view prefix = std::string_view(doc).substr(0, cut);
    Arena a;
    auto in_arena = json::parse(prefix, a);
    auto owning = json::parse(prefix);
    ASSERT_FALSE(in_arena.ok()) << cut;
    ASSERT_FALSE(owning.ok()) << cut;
    EXPECT_EQ(in_arena.error().text(), owning.error().text()) << cut;
  }
}

}  // namespace
}  // namespace tavisk
