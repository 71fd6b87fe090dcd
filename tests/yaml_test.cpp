// End-to-end behaviour of the YAML writer and reader through tavisk_shrink.
#include "yaml.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "json.h"
#include "test_util.h"
#include "utf8.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

using testing::Envelope;
using testing::get;
using testing::shrink;

constexpr const char* to_yaml = R"({"format":"yaml","max_chars":1000000})";
constexpr const char* yaml_to_json = R"({"input_format":"yaml","format":"json","indent":0,"max_chars":1000000})";

// YAML text of a JSON input.
std::string yaml_of(std::string_view json_input, std::string_view options = to_yaml) {
  Envelope e = shrink(json_input, options);
  EXPECT_TRUE(e.ok()) << e.error();
  return e.text();
}

// Compact JSON of a YAML input, or the error message.
std::string json_of(std::string_view yaml_input, std::string_view options = yaml_to_json) {
  Envelope e = shrink(yaml_input, options);
  return e.ok() ? e.text() : e.error();
}

std::string quoted_json(std::string_view s) {
  std::string out;
  json::write_string(out, s);
  return out;
}

struct StringCase {
  std::string text;
  std::string written;
};

TEST(YamlWriter, QuotesStringsOnlyWhenAReaderCouldMisreadThem) {
  const std::vector<StringCase> cases = {
      // plain
      {"hello world", "hello world"},
      {"a-b", "a-b"},
      {"x:y", "x:y"},
      {"+a", "+a"},
      {"+", "+"},
      {"a#b", "a#b"},
      {"a\"b", "a\"b"},
      {"a\\b", "a\\b"},
      {"inf", "inf"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xC2\xA0"
       "b",
       "a\xC2\xA0"
       "b"},
      // rule 1: empty
      {"", "\"\""},
      // rule 2: a leading indicator or white space
      {"-x", "\"-x\""},
      {"?x", "\"?x\""},
      {":x", "\":x\""},
      {",x", "\",x\""},
      {"[x", "\"[x\""},
      {"]x", "\"]x\""},
      {"{x", "\"{x\""},
      {"}x", "\"}x\""},
      {"#x", "\"#x\""},
      {"&x", "\"&x\""},
      {"*x", "\"*x\""},
      {"!x", "\"!x\""},
      {"|x", "\"|x\""},
      {">x", "\">x\""},
      {"'x", "\"'x\""},
      {"\"x", "\"\\\"x\""},
      {"%x", "\"%x\""},
      {"@x", "\"@x\""},
      {"`x", "\"`x\""},
      {" x", "\" x\""},
      {"\xE3\x80\x80x", "\"\xE3\x80\x80x\""},
      {"---", "\"---\""},
      // rule 3: trailing white space or colon
      {"x ", "\"x \""},
      {"trailing:", "\"trailing:\""},
      {"x\xC2\xA0", "\"x\xC2\xA0\""},
      // rule 4: unprintable, ": " or " #"
      {"a: b", "\"a: b\""},
      {"x #y", "\"x #y\""},
      {"a\tb", "\"a\\tb\""},
      {"a\rb", "\"a\\rb\""},
      {"a\nb\r", "\"a\\nb\\r\""},
      {std::string("a\0b", 3), "\"a\\u0000b\""},
      {"a\x0B"
       "b",
       "\"a\\u000Bb\""},
      {"a\x7F", "\"a\\u007F\""},
      {"a\xC2\x85", "\"a\\u0085\""},
      {"a\xE2\x80\xA8", "\"a\\u2028\""},
      {"a\xE2\x80\xA9", "\"a\\u2029\""},
      {"a\xEF\xBB\xBF", "\"a\\uFEFF\""},
      {"a\xEF\xBF\xBE", "\"a\\uFFFE\""},
      // rule 5: words other YAML readers take for null or bool
      {"yes", "\"yes\""},
      {"No", "\"No\""},
      {"NULL", "\"NULL\""},
      {"~", "\"~\""},
      {"n", "\"n\""},
      {"Y", "\"Y\""},
      {"=", "\"=\""},
      {"on", "\"on\""},
      {"OFF", "\"OFF\""},
      {"<<", "\"<<\""},
      {"tRue", "\"tRue\""},
      {"false", "\"false\""},
      // rule 6: number-like starts
      {"1.5", "\"1.5\""},
      {".5", "\".5\""},
      {".inf", "\".inf\""},
      {"0x1F", "\"0x1F\""},
      {"0o7", "\"0o7\""},
      {"1e5", "\"1e5\""},
      {"12 monkeys", "\"12 monkeys\""},
      {"-1", "\"-1\""},
      {"-.inf", "\"-.inf\""},
      {"+1", "\"+1\""},
      {"+.5", "\"+.5\""},
  };
  for (const StringCase& c : cases) {
    std::string input = "{\"k\":" + quoted_json(c.text) + "}";
    EXPECT_EQ(yaml_of(input), "k: " + c.written + "\n") << "string " << quoted_json(c.text);
    EXPECT_EQ(yaml::scalar_string(c.text), c.written);
  }
}

TEST(YamlWriter, KeysAreQuotedByTheSameRules) {
  EXPECT_EQ(yaml_of(R"({"yes":1,"a: b":2,"":3,"plain key":4,"1":5})"),
            "\"yes\": 1\n\"a: b\": 2\n\"\": 3\nplain key: 4\n\"1\": 5\n");
}

TEST(YamlWriter, LiteralBlocksCarryTheirChompingHeader) {
  EXPECT_EQ(yaml_of(R"({"k":"line1\nline2"})"), "k: |-\n  line1\n  line2\n");
  EXPECT_EQ(yaml_of(R"({"k":"line1\nline2\n"})"), "k: |\n  line1\n  line2\n");
  EXPECT_EQ(yaml_of(R"({"k":"line1\nline2\n\n"})"), "k: |+\n  line1\n  line2\n\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\n\nb"})"), "k: |-\n  a\n\n  b\n");
  EXPECT_EQ(yaml_of(R"({"k":"\n\na"})"), "k: |-\n\n\n  a\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\n\tb"})"), "k: |-\n  a\n  \tb\n");
  EXPECT_EQ(yaml_of(R"(["a\nb"])"), "- |-\n  a\n  b\n");
  EXPECT_EQ(yaml_of(R"({"k":{"j":"a\nb\n"}})", R"({"format":"yaml","indent":4})"),
            "k:\n    j: |\n        a\n        b\n");
  // Root strings: the header stands alone, the body one level in.
  EXPECT_EQ(yaml_of(R"("x\ny\n")"), "|\n  x\n  y\n");
  EXPECT_EQ(yaml_of(R"("x\ny")"), "|-\n  x\n  y\n");
}

TEST(YamlWriter, UnsafeMultiLineStringsStayQuotedOnOneLine) {
  EXPECT_EQ(yaml_of(R"({"k":" lead\nx"})"), "k: \" lead\\nx\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"\tlead\nx"})"), "k: \"\\tlead\\nx\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\r\nb"})"), "k: \"a\\r\\nb\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\n  \nb"})"), "k: \"a\\n  \\nb\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"\n"})"), "k: \"\\n\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"\n\n"})"), "k: \"\\n\\n\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\n\u0085"})"), "k: \"a\\n\\u0085\"\n");
  EXPECT_EQ(yaml_of(R"({"k":"a\n\ufeff"})"), "k: \"a\\n\\uFEFF\"\n");
}

TEST(YamlWriter, BlockLayoutAtIndentTwoAndFour) {
  EXPECT_EQ(yaml_of(R"({"name":"x","tags":["a","b"]})"), "name: x\ntags:\n  - a\n  - b\n");
  EXPECT_EQ(yaml_of(R"([{"a":1,"b":2},{"a":3,"b":{"c":[]}}])"), "- a: 1\n  b: 2\n- a: 3\n  b:\n    c: []\n");
  EXPECT_EQ(yaml_of(R"([[1,2],[3,[4]]])"), "- - 1\n  - 2\n- - 3\n  - - 4\n");
  EXPECT_EQ(yaml_of(R"({"o":{},"a":[],"z":null,"t":true,"f":false,"x":-1.50})"),
            "o: {}\na: []\nz: null\nt: true\nf: false\nx: -1.50\n");
  const char* four = R"({"format":"yaml","indent":4})";
  EXPECT_EQ(yaml_of(R"({"a":{"b":{"c":1}}})", four), "a:\n    b:\n        c: 1\n");
  EXPECT_EQ(yaml_of(R"([{"a":1,"b":2}])", four), "-   a: 1\n    b: 2\n");
  EXPECT_EQ(yaml_of(R"([[1,2]])", four), "-   - 1\n    - 2\n");
  EXPECT_EQ(yaml_of(R"({"k":[{"a":[1]}]})", four), "k:\n    -   a:\n            - 1\n");
}

TEST(YamlWriter, ScalarRootsAreOneLineWithAFinalLineFeed) {
  EXPECT_EQ(yaml_of("5"), "5\n");
  EXPECT_EQ(yaml_of("{}"), "{}\n");
  EXPECT_EQ(yaml_of("[]"), "[]\n");
  EXPECT_EQ(yaml_of("null"), "null\n");
  EXPECT_EQ(yaml_of("true"), "true\n");
  EXPECT_EQ(yaml_of("\"hi\""), "hi\n");
  EXPECT_EQ(yaml_of("\"yes\""), "\"yes\"\n");
}

TEST(YamlWriter, KeysTooLongForAnImplicitKeyBecomeExplicit) {
  std::string long_key(1100, 'k');
  std::string input = R"({")" + long_key + R"(":1,"b":{"c":2},"d":"x\ny"})";
  Value tree = json::parse(input).value();
  Value obj = Value::object({{long_key, json::parse(R"({"c":[1]})").value()}, {long_key + "x", Value::string("a\nb")}});
  EXPECT_EQ(yaml_of(input), "? " + long_key + "\n: 1\nb:\n  c: 2\nd: |-\n  x\n  y\n");
  EXPECT_EQ(yaml_of(json::to_string(obj)),
            "? " + long_key + "\n:\n  c:\n    - 1\n? " + long_key + "x\n: |-\n  a\n  b\n");
  // A 1024-character key is still implicit.
  std::string edge(1024, 'e');
  EXPECT_EQ(yaml_of(R"({")" + edge + R"(":1})"), edge + ": 1\n");
  for (const Value* v : {&tree, &obj}) {
    std::string text = yaml_of(json::to_string(*v));
    auto back = yaml_in::parse(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back.value(), *v);
  }
}

TEST(YamlReader, ResolvesPlainScalarsByTheCoreSchema) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0x1F", "31"},
      {"0o17", "15"},
      {".5", "0.5"},
      {"2.50", "2.50"},
      {"+1.5", "1.5"},
      {"1.", "1"},
      {"-.5", "-0.5"},
      {"1e5", "1e5"},
      {".1e-5", "0.000001"},
      {"1.5e300x", "\"1.5e300x\""},
      {"+12", "12"},
      {"007", "7"},
      {"-0", "0"},
      {"-007", "-7"},
      {".inf", "\".inf\""},
      {"-.Inf", "\"-.Inf\""},
      {".NaN", "\".NaN\""},
      {"~", "null"},
      {"Null", "null"},
      {"NULL", "null"},
      {"True", "true"},
      {"FALSE", "false"},
      {"yes", "\"yes\""},
      {"no", "\"no\""},
      {"on", "\"on\""},
      {"off", "\"off\""},
      {"tRue", "\"tRue\""},
      {"0b101", "\"0b101\""},
      {"1_000", "\"1_000\""},
      {"0x", "\"0x\""},
      {"12345678901234567890123", "12345678901234567890123"},
      {"0xFFFFFFFFFFFFFFFF", "18446744073709551615"},
      {"0x1FFFFFFFFFFFFFFFF", "\"0x1FFFFFFFFFFFFFFFF\""},
      {"1e400", "\"1e400\""},
      {"+1.5e400", "\"+1.5e400\""},
      {"'12'", "\"12\""},
      {"\"true\"", "\"true\""},
      {"!!str 12", "\"12\""},
      {"!!int \"0x10\"", "16"},
      {"!!float 1", "1"},
      {"!!null ''", "null"},
      {"!!bool \"true\"", "true"},
      {"! 12", "\"12\""},
      {"!local 12", "\"12\""},
      {"!!int 1.5", "invalid YAML input: invalid value"},
      {"- |\n  12\n", "[\"12\\n\"]"},
      {"hello world", "\"hello world\""},
  };
  for (const auto& [yaml_text, json_text] : cases) EXPECT_EQ(json_of(yaml_text), json_text) << "yaml: " << yaml_text;
}

// Single-quoted scalars: '' is a quote (runs of them too), line breaks fold, white space
// around a break goes, and each further break is a line feed. Under the sanitizers
// this also shows that no call leaks.
TEST(YamlReader, SingleQuotedScalarsDecodeQuotesAndFoldLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"a: 'it''s'", R"({"a":"it's"})"},
      {"a: '" + std::string(20, '\'') + "'", R"({"a":"''''''''''"})"},
      {"a: 'x" + std::string(10, '\'') + "y'", R"({"a":"x'''''y"})"},
      {"a: ''", R"({"a":""})"},
      {"a: '  lead and trail  '", R"({"a":"  lead and trail  "})"},
      {"a: 'one  \n   two'", R"({"a":"one two"})"},
      {"a: 'one\n\n  two'", R"({"a":"one\ntwo"})"},
      {"a: 'one\n \t\n\n  two'", R"({"a":"one\n\ntwo"})"},
      {"a: 'one\r\n  two\r  three'", R"({"a":"one two three"})"},
      {"a: 'tab\there'", R"({"a":"tab\there"})"},
      {"['a''b', 'c\n  d']", R"(["a'b","c d"])"},
      {"'key''s': 'caf\u00e9'", "{\"key's\":\"caf\u00e9\"}"},
      {"a: '12'", R"({"a":"12"})"},
  };
  for (const auto& [yaml_text, json_text] : cases) EXPECT_EQ(json_of(yaml_text), json_text) << "yaml: " << yaml_text;
}

// The reader takes a scalar on one line without escapes or doubled quotes
// straight from the text; every other scalar is decoded. Values longer than a
// value holds inline, and keys built from decoded text, outlive the parser.
TEST(YamlReader, ScalarsWhoseValueIsNotTheirSourceAreDecoded) {
  const std::pair<std::string, std::string> cases[] = {
      {"a: one\n  two\n", R"({"a":"one two"})"},
      {"[a b, c\rd]", R"(["a b","c d"])"},
      {"a: \"tab\\there \\u00e9\"", "{\"a\":\"tab\\there \u00e9\"}"},
      {"a: \"say \\\"hi\\\"\"", R"({"a":"say \"hi\""})"},
      {"a: \"one\n  two\"", R"({"a":"one two"})"},
      {"a: \"a long line with an escape\\tinside it\"", R"({"a":"a long line with an escape\tinside it"})"},
      {"a: 'a long line where it''s quoted twice'", R"({"a":"a long line where it's quoted twice"})"},
      {"a: |\n  first line of a block\n  second\n", R"({"a":"first line of a block\nsecond\n"})"},
      {"a: >\n  folded block text\n  goes on\n", R"({"a":"folded block text goes on\n"})"},
      {"\"a key with\\ttab and more\": 1\nk: \"a key with\\ttab and more\"\n",
       R"({"a key with\ttab and more":1,"k":"a key with\ttab and more"})"},
      {"a long plain value on one line: \"a long quoted value on one line\"",
       R"({"a long plain value on one line":"a long quoted value on one line"})"},
      {"- !!str 0x10\n- !!int 0x10\n- 0o20\n- +0000000000000000016\n", R"(["0x10",16,16,16])"},
      {"0x10: a\n\"17\": b\n+17: c\n", R"({"16":"a","17":"c"})"},
  };
  for (const auto& [yaml_text, json_text] : cases) EXPECT_EQ(json_of(yaml_text), json_text) << "yaml: " << yaml_text;
}

// An alias shares its anchor's value rather than copying it, so that value must
// stay whole wherever it is also used: after a merged key replaces it, and as a key.
TEST(YamlReader, AliasesShareTheirAnchorsValue) {
  EXPECT_EQ(json_of("1: &x [1, 2]\n\"1\": *x\n"), R"({"1":[1,2]})");
  EXPECT_EQ(json_of("1: &x {p: [1, 2]}\n\"1\": 0\nb: *x\n"), R"({"1":0,"b":{"p":[1,2]}})");
  EXPECT_EQ(json_of("a: &s a string longer than fourteen bytes\nb: [*s, *s]\n"),
            R"({"a":"a string longer than fourteen bytes","b":["a string longer than fourteen bytes",)"
            R"("a string longer than fourteen bytes"]})");
  // A real anchored as a value is still a real as a key: 1.00 repeats it.
  EXPECT_EQ(json_of("a: &r 1.0\n*r : x\n1.00: y\n"),
            "invalid YAML input: duplicate mapping key at byte 17 line 3 column 1");
  EXPECT_EQ(json_of("a: &r 1.0\n*r : x\n2.0: y\n"), R"({"a":1.0,"1.0":"x","2.0":"y"})");
  EXPECT_EQ(json_of("a: &n 0x1F\n*n : x\n"), R"({"a":31,"31":"x"})");
  EXPECT_EQ(json_of("a: &k a key longer than fifteen\n*k : x\nb: *k\n"),
            R"({"a":"a key longer than fifteen","a key longer than fifteen":"x","b":"a key longer than fifteen"})");
  // Several documents, each with its own anchors, as one array.
  EXPECT_EQ(json_of("a: &x [1]\nb: *x\n---\n- &x 2\n- *x\n"), R"([{"a":[1],"b":[1]},[2,2]])");
}

// Key texts the reader writes anew (integers in another base, decoded quotes)
// are still found once a mapping is large enough to be indexed; empty
// collections and several documents read as such.
TEST(YamlReader, RewrittenKeysAreFoundInLargeMappings) {
  std::string hex_keys;  // 0x01 to 0x14: the integers 1 to 20
  for (int i = 1; i <= 20; ++i)
    hex_keys +=
        (i < 16 ? "0x0" : "0x1") + std::string(1, "0123456789ABCDEF"[i % 16]) + ": k" + std::to_string(i) + "\n";
  std::string merged = json_of(hex_keys + "\"5\": five\n");
  EXPECT_NE(merged.find(R"("4":"k4","5":"five","6":"k6")"), std::string::npos) << merged;
  // 9 lines of 9 bytes, 11 of 10, then the merged key's line.
  EXPECT_EQ(json_of(hex_keys + "\"5\": five\n0x5: again\n"),
            "invalid YAML input: duplicate mapping key at byte 201 line 22 column 1");
  std::string quoted_keys;  // 'key ''i'' with quotes': 10 lines of 27 bytes, 10 of 29
  for (int i = 0; i < 20; ++i)
    quoted_keys += "'key ''" + std::to_string(i) + "'' with quotes': " + std::to_string(i) + "\n";
  const std::string dup = "invalid YAML input: duplicate mapping key at byte 560 line 21 column 1";
  EXPECT_EQ(json_of(quoted_keys + "\"key '3' with quotes\": 3\n"), dup);
  EXPECT_EQ(json_of(quoted_keys + "'key ''3'' with quotes': 3\n"), dup);
  EXPECT_EQ(json_of("a: []\nb: {}\nc: [[], {}, [[]]]\n"), R"({"a":[],"b":{},"c":[[],{},[[]]]})");
  EXPECT_EQ(json_of("--- 1\n--- 'two'\n--- [3]\n"), R"([1,"two",[3]])");
}

TEST(YamlReader, KeysOfDifferentKindsMergeAndRepeatedKeysFail) {
  EXPECT_EQ(json_of("1: a\nb: x\n\"1\": c\n"), R"({"1":"c","b":"x"})");
  EXPECT_EQ(json_of("true: a\n\"true\": b\nnull: c\n'null': d\n"), R"({"true":"b","null":"d"})");
  EXPECT_EQ(json_of("0x1F: a\n31.0: b\n"), R"({"31":"a","31.0":"b"})");
  EXPECT_EQ(json_of("1.50: a\n"), R"({"1.50":"a"})");
  const std::string dup = "invalid YAML input: duplicate mapping key at byte ";
  EXPECT_EQ(json_of("a: 1\n\"a\": 2\n"), dup + "5 line 2 column 1");
  EXPECT_EQ(json_of("x:\n  a: 1\n  'a': 2\n"), dup + "12 line 3 column 3");
  EXPECT_EQ(json_of("1: a\n01: b\n"), dup + "5 line 2 column 1");
  EXPECT_EQ(json_of("x: 0\n1.0: a\n1.00: b\n"), dup + "12 line 3 column 1");
  EXPECT_EQ(json_of("~: a\nnull: b\n"), dup + "5 line 2 column 1");
  EXPECT_EQ(json_of("1: a\n\"1\": b\n0o1: c\n"), dup + "12 line 3 column 1");
  // Repeats are also found once a large mapping is indexed.
  std::string big;
  for (int i = 0; i < 40; ++i) big += "k" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  EXPECT_EQ(json_of(big + "'k3': x\n").substr(0, dup.size()), dup);
  std::string merged = json_of(big + "7: x\nz: 0\n\"7\": y\n");
  const std::string tail = R"(,"k39":39,"7":"y","z":0})";
  EXPECT_EQ(merged.substr(merged.size() - tail.size()), tail);
}

TEST(YamlReader, AnchorsAndAliasesResolve) {
  EXPECT_EQ(json_of("base: &b {x: 1, y: [2]}\nuse: *b\nname: &n alice\nwho: *n\n"),
            R"({"base":{"x":1,"y":[2]},"use":{"x":1,"y":[2]},"name":"alice","who":"alice"})");
  EXPECT_EQ(json_of("&k key: v\nother: *k\n"), R"({"key":"v","other":"key"})");
  EXPECT_EQ(json_of("a: &x 1\n*x : 2\n"), R"({"a":1,"1":2})");
  EXPECT_EQ(json_of("a: *nope\n"), "invalid YAML input: unresolved alias");
  // Anchors do not outlive their document.
  EXPECT_EQ(json_of("a: &x 1\n---\nb: *x\n"), "invalid YAML input: unresolved alias");
  EXPECT_EQ(json_of("a: &x [1]\n*x : 2\n"), "invalid YAML input: complex mapping keys are not supported");
}

TEST(YamlReader, AliasBombFailsFastWithTheBoundedError) {
  std::string bomb = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  std::string prev = "a";
  for (char n = 'b'; n <= 'i'; ++n) {
    bomb += std::string(1, n) + ": &" + n + " [";
    for (int i = 0; i < 9; ++i) bomb += (i ? ", *" : "*") + prev;
    bomb += "]\n";
    prev = std::string(1, n);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(json_of(bomb), "invalid YAML input: alias expansion too large");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  // Three levels (a thousand nodes) are well within the bound.
  std::string small = bomb.substr(0, bomb.find("d:"));
  EXPECT_EQ(get(json::parse(json_of(small)).value(), "c").items().size(), 9u);
}

// A long string anchored once and aliased `aliases` times, or wrapped in `anchors` anchored sequences.
std::string long_string_aliases(std::size_t size, int aliases) {
  std::string text = "a: &s " + std::string(size, 'x') + "\nb:\n";
  for (int i = 0; i < aliases; ++i) text += "- *s\n";
  return text;
}

std::string long_string_anchors(std::size_t size, int anchors) {
  std::string text;
  for (int i = 0; i < anchors; ++i) text += "&a" + std::to_string(i) + " [";
  return text + std::string(size, 'x') + std::string(static_cast<std::size_t>(anchors), ']') + "\n";
}

TEST(YamlReader, CopiesForAnchorsAndAliasesAreBoundedInBytes) {
  // The anchored copy and every alias copy count; 16 MiB of copies is the floor.
  const std::size_t mib = std::size_t{1} << 20;
  auto start = std::chrono::steady_clock::now();
  auto within = yaml_in::parse(long_string_aliases(mib, 15));
  ASSERT_TRUE(within) << within.error();
  EXPECT_EQ(get(within.value(), "b").items().size(), 15u);
  EXPECT_EQ(get(within.value(), "b").items()[14].text().size(), mib);
  auto beyond = yaml_in::parse(long_string_aliases(mib, 16));
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error(), "alias expansion too large");
  EXPECT_EQ(yaml_in::parse(long_string_aliases(mib, 100000)).error(), "alias expansion too large");
  // Nested anchors copy their subtree once per level, even when nothing refers to them.
  EXPECT_TRUE(yaml_in::parse(long_string_anchors(mib, 8)));
  EXPECT_EQ(yaml_in::parse(long_string_anchors(mib, 40)).error(), "alias expansion too large");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Larger texts may copy ten times their own size.
  auto big = yaml_in::parse(long_string_aliases(4 * mib, 9));
  ASSERT_TRUE(big) << big.error();
  EXPECT_EQ(yaml_in::parse(long_string_aliases(4 * mib, 10)).error(), "alias expansion too large");
}

TEST(YamlReader, FlowCollectionsMayCloseUnderTheirKeyButContentMayNotDedent) {
  EXPECT_EQ(json_of("template:\n  args: [\n    \"-c\",\n    \"-e\",\n  ]\n  env: {\n    a: 1,\n  }\nnext: 1\n"),
            R"({"template":{"args":["-c","-e"],"env":{"a":1}},"next":1})");
  EXPECT_EQ(json_of("- [\n  1\n]\n"), "[[1]]");
  EXPECT_EQ(json_of("flow: [a,\nb,\nc]\n"),
            "invalid YAML input: wrongly indented flow sequence at byte 10 line 2 column 1");
  EXPECT_EQ(json_of("quoted: \"a\nb\nc\"\n"),
            "invalid YAML input: wrongly indented double-quoted scalar at byte 8 line 1 column 9");
  EXPECT_EQ(json_of("k: {\nk\n:\nv\n}\n"),
            "invalid YAML input: wrongly indented flow mapping at byte 5 line 2 column 1");
}

std::string nested(int levels, std::string_view inner) {
  return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}

TEST(YamlReader, NestingIsBoundedAt512Levels) {
  const std::string deep = "invalid YAML input: nesting deeper than 512 levels";
  EXPECT_NE(json_of(nested(512, "x")), deep);
  EXPECT_EQ(json_of(nested(513, "x")), deep);
  EXPECT_NE(json_of(nested(513, "")), deep);
  EXPECT_EQ(json_of(nested(10000, "")), deep);
  // Far deeper on one line, the per-line bound on flow values answers first.
  EXPECT_EQ(json_of(nested(200000, "")),
            "invalid YAML input: too many values on one line at byte 25000 line 1 column 25001");
  std::string block;
  for (int i = 0; i < 600; ++i) block += std::string(i, ' ') + "k:\n";
  EXPECT_EQ(json_of(block), deep);
  // An alias may not carry a subtree below the bound.
  EXPECT_EQ(json_of("a: &a " + nested(300, "") + "\nb: " + nested(300, "*a") + "\n"), deep);
  EXPECT_NE(json_of("a: &a " + nested(200, "") + "\nb: " + nested(200, "*a") + "\n"), deep);
}

TEST(YamlReader, BadInputGetsAPositionedMessageAndNothingOnStderr) {
  struct Case {
    std::string input, error;
  };
  const std::vector<Case> cases = {
      {"a: [1, 2", "flow sequence without a closing bracket at byte 8 line 2 column 1"},
      {"a:\n\tb: 1\n", "tab character may not be used as indentation at byte 3 line 2 column 1"},
      {"\xEF\xBB\xBF{a: 1, b", "missing comma in flow mapping at byte 11 line 2 column 1"},
      {"? [a]\n: 1\n", "complex mapping keys are not supported"},
      {"? {a: 1}\n: 1\n", "complex mapping keys are not supported"},
      {"Note: prose: with colons", "invalid nested block mapping on the same line at byte 11 line 1 column 12"},
      {"a: \"\\ud800\"", "double-quoted scalar has invalid UTF8 escape at byte 4 line 1 column 5"},
      // The library collects no message here: the position is where its last event ended.
      {"--- |0\n", "YAML parse error at byte 3 line 1 column 4"},
  };
  ::testing::internal::CaptureStderr();
  for (const Case& c : cases) EXPECT_EQ(json_of(c.input), "invalid YAML input: " + c.error) << c.input;
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(YamlReader, EmptyAndBlankTextsUnderEveryInputFormat) {
  for (std::string text : {"", "  \n\t\n", "# only a comment\n", "\xEF\xBB\xBF"}) {
    EXPECT_EQ(json_of(text), "null") << quoted_json(text);
    EXPECT_EQ(shrink(text, R"({"input_format":"json"})").error().substr(0, 20), "invalid JSON input: ");
  }
  EXPECT_EQ(shrink("", "{}").error(), "invalid JSON input: unexpected end of input at line 1, column 1");
  EXPECT_EQ(shrink("\xEF\xBB\xBF \n", "{}").error().substr(0, 20), "invalid JSON input: ");
  EXPECT_EQ(json_of("\xEF\xBB\xBF"
                    "a: 1\n"),
            R"({"a":1})");
}

TEST(YamlReader, DocumentsOfAStream) {
  EXPECT_EQ(json_of("a: 1\n---\nb: 2\n"), R"([{"a":1},{"b":2}])");
  EXPECT_EQ(json_of("--- 1\n--- 2\n--- 3\n"), "[1,2,3]");
  EXPECT_EQ(json_of("---\n...\n"), "null");
  EXPECT_EQ(json_of("--- x\n"), "\"x\"");
}

TEST(AutoDetection, JsonFirstThenYamlUnlessTheTextStartsLikeJson) {
  Envelope json_input = shrink(R"({"a":1})", R"({"indent":0})");
  EXPECT_EQ(json_input.text(), "{\"a\":1}");
  EXPECT_EQ(get(json_input.report(), "input_format").text(), "json");

  Envelope yaml_input = shrink("a: 1\n");
  ASSERT_TRUE(yaml_input.ok()) << yaml_input.error();
  EXPECT_EQ(yaml_input.text(), "a: 1\n");
  EXPECT_EQ(get(yaml_input.report(), "input_format").text(), "yaml");
  EXPECT_EQ(get(yaml_input.report(), "format").text(), "yaml");

  EXPECT_EQ(shrink("The build is green again").text(), "The build is green again\n");
  EXPECT_EQ(shrink("{a: 1").error(), "invalid JSON input: expected string key at line 1, column 2");
  EXPECT_EQ(shrink("\xEF\xBB\xBF  [a, b]").error(), "invalid JSON input: unexpected character at line 1, column 4");
  EXPECT_EQ(shrink("\"a\": 1").error(), "invalid JSON input: unexpected trailing characters at line 1, column 4");
  EXPECT_EQ(shrink("a: [1").error(),
            "invalid YAML input: flow sequence without a closing bracket at byte 5 line 2 column 1");
}

TEST(YamlOutput, IndentRules) {
  // YAML output never uses an indent below 2; JSON output keeps the option.
  EXPECT_EQ(shrink("a:\n  b: 1\n", R"({"indent":0})").text(), "a:\n  b: 1\n");
  EXPECT_EQ(shrink("a:\n  b: 1\n", R"({"indent":1})").text(), "a:\n  b: 1\n");
  EXPECT_EQ(shrink("a:\n  b: 1\n", R"({"indent":3})").text(), "a:\n   b: 1\n");
  EXPECT_EQ(shrink("a:\n  b: 1\n", R"({"indent":0,"format":"json"})").text(), R"({"a":{"b":1}})");
  EXPECT_EQ(shrink(R"({"a":1})", R"({"format":"yaml","indent":1})").error(),
            "invalid options: YAML indent must be at least 2");
}

TEST(YamlOutput, UnprunedReportHasAllEighteenKeysAndCountsCharacters) {
  Envelope e = shrink("name: caf\xC3\xA9 \xE2\x80\xA6\n", R"({"max_chars":100})");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_EQ(e.text(), "name: caf\xC3\xA9 \xE2\x80\xA6\n");
  const std::vector<std::string>& keys = testing::report_keys();
  const Value& r = e.report();
  ASSERT_EQ(r.members().size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(r.members()[i].key, keys[i]);
  EXPECT_EQ(e.counter("input_chars"), "13");
  EXPECT_EQ(e.counter("output_chars"), "13");
  EXPECT_EQ(e.counter("max_chars"), "100");
  EXPECT_FALSE(get(r, "pruned").as_bool());
  EXPECT_TRUE(get(r, "fits").as_bool());
  for (std::size_t i = 7; i < 15; ++i) EXPECT_EQ(r.members()[i].value.text(), "0") << keys[i];
  EXPECT_EQ(e.counter("fields_dropped"), "0");
  EXPECT_TRUE(get(r, "field_decisions").items().empty());
  EXPECT_TRUE(get(r, "dropped_fields").items().empty());
}

TEST(JsonNumber, KeepsJsonSpellingsAndWritesOthersPositionally) {
  EXPECT_EQ(yaml_in::json_number("1.5", 1.5), "1.5");
  EXPECT_EQ(yaml_in::json_number("-0.25", -0.25), "-0.25");
  EXPECT_EQ(yaml_in::json_number("1e5", 1e5), "1e5");
  EXPECT_EQ(yaml_in::json_number(".5", 0.5), "0.5");
  EXPECT_EQ(yaml_in::json_number("+1.5", 1.5), "1.5");
  EXPECT_EQ(yaml_in::json_number("1.", 1.0), "1");
  EXPECT_EQ(yaml_in::json_number("+1e21", 1e21), "1000000000000000000000");
  EXPECT_EQ(yaml_in::json_number(".1e-6", 1e-7), "0.0000001");
  EXPECT_EQ(yaml_in::json_number("+.1", 0.1), "0.1");
  EXPECT_EQ(yaml_in::json_number("01.5", 1.5), "1.5");
  std::string tiny = yaml_in::json_number("+5e-324", 5e-324);
  EXPECT_EQ(tiny.size(), 326u);
  EXPECT_EQ(tiny.substr(0, 4), "0.00");
  EXPECT_EQ(tiny.back(), '5');
}

// A YAML rendering's input_chars is counted without rendering; a document that
// fits is then rendered, so its text must have exactly that many characters.
// The cases reach every line form: quoted and plain scalars, escapes of every
// cost, literal blocks with each chomping header and blank lines, implicit keys
// at the length limit and explicit ones past it, nested and empty containers.
TEST(YamlWriter, CountedSizeEqualsTheRendering) {
  const std::string long_key(1024, 'k');
  const std::string quoted_long_key = "-" + std::string(1022, 'k');  // 1024 characters, 1026 once quoted
  std::vector<std::string> docs = {
      "null", "true", "false", "-12.50", "\"\"", "\"plain words\"", "\"yes\"", "\"a: b\"", "\"x #y\"", "\"trailing \"",
      R"("tab\there \"q\" back\\slash \u0001 \u007f \u0085 \u2028 \ufeff caf\u00e9 \ud83d\ude00")",
      R"("line one\nline two")", R"("line one\nline two\n")", R"("a\n\nb\n\n")", R"("\n")", R"(" lead\nx")",
      R"("x\n  \ny")", "[]", "{}", "[[],{},[[1,[2]],{\"a\":[]}],\"\"]",
      R"({"k":"v","list":[1,"two\nlines",{"deep":{"deeper":[true,null]}}],"e":{},"s":"multi\nline\n"})",
      "{\"" + long_key + "\":1,\"" + quoted_long_key + "\":[1],\"" + long_key + "x\":{\"a\":\"b\\nc\"}}",
      R"([{"a":1,"b":[{"c":"d"}]},["x",["y"]],"\u00e9t\u00e9"])",
  };
  for (const std::string& name : testing::files_under(testing::shared_dir() + "/corpus/real", ".json"))
    docs.push_back(testing::read_file(name));
  std::vector<std::string> yaml_docs;
  for (const auto& suffix : {".yaml", ".yml"})
    for (const std::string& name : testing::files_under(testing::shared_dir() + "/corpus/real", suffix))
      yaml_docs.push_back(testing::read_file(name));
  for (const std::uint64_t indent : {0, 2, 3, 7}) {
    const std::string opts = R"({"format":"yaml","max_chars":100000000,"indent":)" + std::to_string(indent) + "}";
    auto check = [&](const std::string& input, const std::string& options) {
      Envelope e = shrink(input, options);
      ASSERT_TRUE(e.ok()) << e.error() << "\n" << input.substr(0, 200);
      EXPECT_EQ(e.counter("input_chars"), std::to_string(utf8::count(e.text())))
          << "indent " << indent << ": " << input.substr(0, 200);
      EXPECT_EQ(e.counter("output_chars"), e.counter("input_chars"));
    };
    if (indent >= 2)  // an explicit YAML format refuses a smaller indent; YAML input raises it to 2
      for (const std::string& d : docs) check(d, opts);
    for (const std::string& d : yaml_docs)
        check(d, R"({"input_format":"yaml","max_chars":100000000,"indent":)" + std::to_string(indent) + "}");
  }
}

}  // namespace
}  // namespace tavisk

namespace tavisk {
namespace {

std::string yaml_as_json(const std::string& yaml) {
  auto v = yaml_in::parse(yaml);
  return v.ok() ? json::to_string(v.value()) : "error: " + v.error();
}

// Double-quoted scalars over several lines fold as YAML defines: escapes give their characters
// (white space from them kept before a break), an escaped break goes with the white space after
// it, breaks fold to a space or to one line feed fewer, over LF, CR LF or CR alike. Each case is
// one the YAML library read wrongly (a character lost after an escaped backslash, a break for a
// folded space over CR LF, NULs appended, a valid text refused) or leaked on; numeric escapes too.
TEST(YamlReader, DoubleQuotedScalarsOverSeveralLinesFoldAsYamlDefines) {
  const std::pair<std::string, std::string> cases[] = {
      {"k: \"\\\\\\\n  x\"\n", R"({"k":"\\x"})"},
      {"k: \"\r\n  \"\r\n", R"({"k":" "})"},
      {"k: \"\\tb c\\L\r\n  \"\r\n", R"({"k":"\tb c)" "\xE2\x80\xA8" R"( "})"},
      {"\"\\\"\\\"--\\\"\\\"\\f<:\\\"\\\"f\\\" \r\n\n\r\n\r\"\n", R"("\"\"--\"\"\f<:\"\"f\"\n\n\n")"},
      {"k: \"\\/\\ \\n\\0b c\\P\\t\\N\\ \n \\\n\"\n",
       R"({"k":"/ \n\u0000b c)" "\xE2\x80\xA9\\t\xC2\x85" R"(  "})"},
      {"k: \"\\P\\\n\n\n  \\N\\\n   \"\n", R"({"k":")" "\xE2\x80\xA9\\n\\n\xC2\x85" R"("})"},
      {"k: \" \\\n\n  \\\n   b c\\\\\\\n   \\/\\tx\\\\\"\n", R"({"k":" \nb c\\/\tx\\"})"},
      {"k: \"a\\t \n\n  b \\\n c\"\n", R"({"k":"a\t\nb c"})"},
      {"- \"a \\\r\n\r\n  b\\\\\\\r\n  c\"\n", R"(["a \nb\\c"])"},
      {"k: \"\\u00e9\r\n  \"\r\n", "{\"k\":\"\xC3\xA9 \"}"},
      {"k: \"\\u00e9x\\\\\\\r\n   \\t\\/\\x41\\U0001F600\"\r\n", "{\"k\":\"\xC3\xA9x\\\\\\t/A\xF0\x9F\x98\x80\"}"},
  };
  for (const auto& [yaml, want] : cases) EXPECT_EQ(yaml_as_json(yaml), want) << yaml;

  // The same scalars over CR LF read as over LF.
  const char* const pieces[] = {"a",   "b c", " ",   "\t",  "\\\"", "\\\\", "\\/",  "\\t",  "\\ ", "\\0",
                                "\\e", "\\N", "\\_", "\\L", "\\P",  "\\n",  "\\r",  "\\\t", "\n", "\n\n",
                                "\n  ", "\n\t ", "\\\n", "\\\n\n", "\\\n   ", " \\\n", "\\t\n", "\\ \n"};
  std::mt19937 rng(23);
  for (int round = 0; round < 3000; ++round) {
    std::string body = "\\\"";
    for (std::size_t k = 1 + rng() % 12; k > 0; --k) body += pieces[rng() % std::size(pieces)];
    const std::string lf = "k: \"" + body + "\"\nn: 1\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string want = yaml_as_json(lf), got = yaml_as_json(crlf);
    if (want.rfind("error", 0) == 0)
      EXPECT_EQ(got.rfind("error", 0), 0u) << lf;  // at another byte: CR LF is a byte longer
    else
      EXPECT_EQ(got, want) << lf;
  }
}

}  // namespace
}  // namespace tavisk
