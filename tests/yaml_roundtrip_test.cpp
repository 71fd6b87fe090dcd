// Everything the YAML writer produces reads back to the same tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "pipeline.h"
#include "test_util.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

namespace fs = std::filesystem;

// A JSON number read back from YAML keeps its spelling, except that an integer comes back
// in plain decimal: only "-0" can change, to "0".
bool same_number(std::string_view a, std::string_view b) { return a == b || (a == "-0" && b == "0"); }

// Equal trees, keys in order; numbers as above.
bool same_tree(const Value& a, const Value& b, std::string& where) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Number: return same_number(a.text(), b.text());
    case Kind::Array:
      if (a.items().size() != b.items().size()) return false;
      for (std::size_t i = 0; i < a.items().size(); ++i)
        if (!same_tree(a.items()[i], b.items()[i], where))
          return (where = "[" + std::to_string(i) + "]" + where, false);
      return true;
    case Kind::Object:
      if (a.members().size() != b.members().size()) return false;
      for (std::size_t i = 0; i < a.members().size(); ++i) {
        const Member& x = a.members()[i];
        const Member& y = b.members()[i];
        if (x.key != y.key.view() || !same_tree(x.value, y.value, where))
          return (where = "/" + std::string(x.key) + where, false);
      }
      return true;
    default: return a == b;
  }
}

// Reads the YAML rendering of a tree back and compares.
void expect_round_trip(const Value& tree, std::uint64_t indent, const std::string& label) {
  std::string text = render(tree, indent, Format::Yaml);
  auto back = yaml_in::parse(text);
  ASSERT_TRUE(back) << label << ": " << back.error();
  std::string where;
  EXPECT_TRUE(same_tree(tree, back.value(), where)) << label << " differs at " << where;
}

TEST(YamlRoundTrip, EveryRealJsonDocument) {
  TAVISK_NEEDS_SHARED("corpus/real");
  fs::path dir = fs::path(testing::shared_dir()) / "corpus" / "real";
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".json") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  std::size_t index = 0;
  for (const fs::path& f : files) {
    if (!testing::in_sweep_sample(index++)) continue;
    auto tree = json::parse(testing::read_file(f.string()));
    ASSERT_TRUE(tree) << f << ": " << tree.error().text();
    for (std::uint64_t indent : {2u, 4u}) expect_round_trip(tree.value(), indent, f.filename().string());
  }
}

// Strings built from indicators, white space, digits, quotes and line breaks.
std::vector<std::string> tricky_strings() {
  const std::vector<std::string> atoms = {"-",
                                          "?",
                                          ":",
                                          ",",
                                          "[",
                                          "]",
                                          "{",
                                          "}",
                                          "#",
                                          "&",
                                          "*",
                                          "!",
                                          "|",
                                          ">",
                                          "'",
                                          "\"",
                                          "%",
                                          "@",
                                          "`",
                                          " ",
                                          "\t",
                                          "\n",
                                          "\r",
                                          "0",
                                          "1",
                                          ".",
                                          "+",
                                          "e",
                                          "x",
                                          "a",
                                          "\\",
                                          "~",
                                          "\xC2\xA0",
                                          "\xC2\x85",
                                          "\xE2\x80\xA8",
                                          "\xEF\xBB\xBF",
                                          std::string(1, '\0'),
                                          "\x7F",
                                          "---",
                                          "...",
                                          "<<",
                                          "inf",
                                          "nan",
                                          "null"};
  std::vector<std::string> out = {"",
                                  "0x1F",
                                  "0o7",
                                  "1e5",
                                  ".inf",
                                  "-.inf",
                                  "+.inf",
                                  ".NaN",
                                  "NULL",
                                  "Null",
                                  "True",
                                  "FALSE",
                                  "~",
                                  "1_0",
                                  "0b1",
                                  "+1",
                                  "-0",
                                  "1.",
                                  ".5",
                                  "007",
                                  "0.0",
                                  "2001-12-14",
                                  "12:30",
                                  "1:20",
                                  "y",
                                  "n",
                                  "yes",
                                  "off",
                                  "=",
                                  "- a",
                                  "? a",
                                  ": a",
                                  "a:",
                                  "a :",
                                  "a: b",
                                  "a #b",
                                  "a# b",
                                  "#",
                                  " # ",
                                  "|-",
                                  "|+",
                                  ">-",
                                  "*a",
                                  "&a",
                                  "!!str",
                                  "!",
                                  "%YAML 1.2",
                                  "--- a",
                                  "... a",
                                  "a\n---\nb",
                                  "a\n...\nb",
                                  "\n",
                                  "\n\n",
                                  " \n",
                                  "a\n",
                                  "a\n\n",
                                  "a\n \n",
                                  "a\n  b",
                                  " a\nb",
                                  "\ta\nb",
                                  "a\n\tb",
                                  "\na",
                                  "a\r\nb",
                                  "a\xC2\x85"
                                  "b\n",
                                  "[a, b]",
                                  "{a: b}",
                                  "a, b",
                                  "'a'",
                                  "\"a\""};
  for (const std::string& a : atoms)
    for (const std::string& b : atoms) {
      out.push_back(a + b);
      out.push_back(a + "z" + b);
      out.push_back("z" + a + b + "z");
    }
  return out;
}

TEST(YamlRoundTrip, StringsMadeOfIndicatorsAndWhiteSpace) {
  std::vector<std::string> strings = tricky_strings();
  Value::Array as_values;
  Value::Object as_keys;
  Value::Array literal_items;
  for (const std::string& s : strings) {
    as_values.push_back(Value::string(s));
    as_keys.push_back({s, Value::string(s)});
    literal_items.push_back(Value::string(s + "\nline two\n" + s));
  }
  // Keys repeat in the list above; keep the first of each.
  Value::Object unique_keys;
  for (Member& m : as_keys)
    if (std::none_of(unique_keys.begin(), unique_keys.end(), [&](const Member& u) { return u.key == m.key; }))
      unique_keys.push_back(std::move(m));
  for (std::uint64_t indent : {2u, 4u}) {
    expect_round_trip(Value::array(as_values), indent, "values");
    expect_round_trip(Value::object(unique_keys), indent, "keys");
    expect_round_trip(Value::array(literal_items), indent, "literals");
    for (const Value& v : as_values) expect_round_trip(v, indent, "root " + json::to_string(v));
  }
}

TEST(YamlRoundTrip, NestedShapesAndLongKeys) {
  const char* docs[] = {
      R"([[[]],[{}],[[1,[2,{"a":[3]}]]],{"k":[[{"x":"a\nb\n\n"}]]}])",
      R"({"a":{"b":{"c":{"d":[{"e":null,"f":[true,false]}]}}},"g":"\n\nx\n"})",
      R"([{"":""},{"-":"-"},{"? x":{"":[]}}])",
      R"({"n":[-0,1E5,1.0e-3,12345678901234567890,-1.50,0.1]})",
  };
  for (const char* d : docs)
    for (std::uint64_t indent : {2u, 3u, 4u}) expect_round_trip(json::parse(d).value(), indent, d);
  Value::Object long_keys;
  long_keys.push_back({std::string(2000, 'k'), Value::string("v")});
  long_keys.push_back({std::string(1020, ':') + " x", Value::array({Value::number("1")})});
  long_keys.push_back({"- " + std::string(1500, ' ') + "#", Value::object({{"a", Value::string("b\nc")}})});
  expect_round_trip(Value::array({Value::object(long_keys)}), 2, "long keys");
  expect_round_trip(Value::object(long_keys), 4, "long keys");
}

}  // namespace
}  // namespace tavisk
