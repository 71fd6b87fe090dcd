#include "options.h"

#include <gtest/gtest.h>

#include "json.h"
#include "test_util.h"

namespace tavisk {
namespace {

Result<Options> options_of(std::string_view text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text;
  return Options::from_value(v.value());
}

std::string error_of(std::string_view text) {
  auto o = options_of(text);
  return o.ok() ? "ok" : o.error();
}

TEST(Options, EmptyObjectGivesEveryDefault) {
  auto o = options_of("{}");
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o->max_chars, 10000u);
  EXPECT_EQ(o->indent, 2u);
  EXPECT_EQ(o->string_head_chars, 500u);
  EXPECT_EQ(o->string_section_chars, 100u);
  EXPECT_EQ(o->string_min_section_chars, 16u);
  EXPECT_EQ(o->max_samples, 3u);
  EXPECT_EQ(o->min_partial_chars, 40u);
  EXPECT_TRUE(o->keep_last_item);
  EXPECT_FALSE(o->explain);
  EXPECT_EQ(o->format, Format::Auto);
  EXPECT_EQ(o->input_format, Format::Auto);
  EXPECT_EQ(o->array_strategy, ArrayStrategy::Sample);
  EXPECT_EQ(o->field_scorer, ScorerKind::Heuristic);
  EXPECT_TRUE(o->protect.empty());
  EXPECT_FALSE(o->arguments.has_value());
}

TEST(Options, EveryMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"[]", "options must be a JSON object"},
      {"null", "options must be a JSON object"},
      {R"({"max_char":1})", "unknown option: max_char"},
      {R"({"Indent":1})", "unknown option: Indent"},
      {R"({"max_chars":1e4})", "max_chars must be a non-negative integer"},
      {R"({"max_chars":"10000"})", "max_chars must be a non-negative integer"},
      {R"({"indent":-0})", "indent must be a non-negative integer"},
      {R"({"max_samples":1.0})", "max_samples must be a non-negative integer"},
      {R"({"min_partial_chars":18446744073709551616})", "min_partial_chars must be a non-negative integer"},
      {R"({"string_head_chars":null})", "string_head_chars must be a non-negative integer"},
      {R"({"string_section_chars":true})", "string_section_chars must be a non-negative integer"},
      {R"({"string_min_section_chars":[1]})", "string_min_section_chars must be a non-negative integer"},
      {R"({"explain":1})", "explain must be a boolean"},
      {R"({"keep_last_item":"true"})", "keep_last_item must be a boolean"},
      {R"({"format":"Json "})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"format":1})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"input_format":"xml"})", "input_format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"array_strategy":"table"})", "array_strategy must be \"sample\" or \"condense\""},
      {R"({"array_strategy":null})", "array_strategy must be \"sample\" or \"condense\""},
      {R"({"field_scorer":3})", "field_scorer must be a string"},
      {R"({"field_scorer":"key order"})", "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"protect":5})", "protect must be a list of strings"},
      {R"({"protect":["a",1]})", "protect must be a list of strings"},
      {R"({"format":"yaml","indent":1})", "YAML indent must be at least 2"},
      {R"({"indent":0,"format":"YML"})", "YAML indent must be at least 2"},
      // The first bad pair is reported, even before an unknown key.
      {R"({"explain":0,"bogus":1})", "explain must be a boolean"},
      {R"({"max_chars":5,"bogus":1})", "unknown option: bogus"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
}

TEST(Options, UnsignedParsing) {
  EXPECT_EQ(options_of(R"({"max_chars":0})")->max_chars, 0u);
  EXPECT_EQ(options_of(R"({"max_chars":18446744073709551615})")->max_chars, 18446744073709551615u);
  for (const char* text :
       {"18446744073709551616", "99999999999999999999", "1.0", "-0", "1e3", "1E3", "0e0", "-1", "0.0", "10.5"})
    EXPECT_EQ(error_of(std::string(R"({"max_chars":)") + text + "}"), "max_chars must be a non-negative integer")
        << text;
  // Every unsigned key but indent takes the whole range; indent stops at its bound.
  auto o = options_of(R"({"max_chars":18446744073709551615,"indent":64,"string_head_chars":0,"string_section_chars":1,)"
                      R"("string_min_section_chars":2,"max_samples":3,"min_partial_chars":4})");
  ASSERT_TRUE(o.ok()) << o.error();
  EXPECT_EQ(o->max_chars, 18446744073709551615u);
  EXPECT_EQ(o->indent, 64u);
  EXPECT_EQ(o->string_head_chars, 0u);
  EXPECT_EQ(o->string_section_chars, 1u);
  EXPECT_EQ(o->string_min_section_chars, 2u);
  EXPECT_EQ(o->max_samples, 3u);
  EXPECT_EQ(o->min_partial_chars, 4u);
}

TEST(Options, EnumerationSpellings) {
  EXPECT_EQ(options_of(R"({"format":"YML"})")->format, Format::Yaml);
  EXPECT_EQ(options_of(R"({"format":"yAmL"})")->format, Format::Yaml);
  EXPECT_EQ(options_of(R"({"input_format":"JSON"})")->input_format, Format::Json);
  EXPECT_EQ(options_of(R"({"array_strategy":"Condense"})")->array_strategy, ArrayStrategy::Condense);
  EXPECT_EQ(options_of(R"({"field_scorer":"Key-Order"})")->field_scorer, ScorerKind::KeyOrder);
  EXPECT_EQ(options_of(R"({"field_scorer":"KEYORDER"})")->field_scorer, ScorerKind::KeyOrder);
  EXPECT_EQ(options_of(R"({"field_scorer":"Compact"})")->field_scorer, ScorerKind::Compact);
  EXPECT_TRUE(options_of(R"({"format":"auto","indent":1})").ok());
  EXPECT_EQ(options_of(R"({"format":"JSON"})")->format, Format::Json);
  EXPECT_EQ(options_of(R"({"format":"Auto"})")->format, Format::Auto);
  EXPECT_EQ(options_of(R"({"input_format":"yml"})")->input_format, Format::Yaml);
  EXPECT_EQ(options_of(R"({"input_format":"YAML"})")->input_format, Format::Yaml);
  EXPECT_EQ(options_of(R"({"array_strategy":"SAMPLE"})")->array_strategy, ArrayStrategy::Sample);
  EXPECT_EQ(options_of(R"({"field_scorer":"HEURISTIC"})")->field_scorer, ScorerKind::Heuristic);
  EXPECT_EQ(options_of(R"({"field_scorer":"key_order"})")->field_scorer, ScorerKind::KeyOrder);
  EXPECT_EQ(options_of(R"({"field_scorer":"KEY_ORDER"})")->field_scorer, ScorerKind::KeyOrder);
  EXPECT_EQ(options_of(R"({"field_scorer":"key-order"})")->field_scorer, ScorerKind::KeyOrder);
  // Only ASCII letters fold, and only field_scorer maps "-" to "_".
  const std::pair<const char*, const char*> rejected[] = {
      {R"({"format":" json"})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"format":"ya-ml"})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"format":"\u0130son"})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"format":""})", "format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"input_format":null})", "input_format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"input_format":["json"]})", "input_format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"array_strategy":"con-dense"})", "array_strategy must be \"sample\" or \"condense\""},
      {R"({"array_strategy":"samples"})", "array_strategy must be \"sample\" or \"condense\""},
      {R"({"field_scorer":"key order"})", "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"field_scorer":"key__order"})", "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"field_scorer":"heuristic "})", "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"field_scorer":""})", "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"field_scorer":null})", "field_scorer must be a string"},
      // U+212A KELVIN SIGN lowercases to "k" under full Unicode folding, but not under ASCII folding.
      {R"({"field_scorer":"\u212Aey_order"})",
       "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"},
      {R"({"array_strategy":"\u017Fample"})", "array_strategy must be \"sample\" or \"condense\""},
  };
  for (const auto& [text, message] : rejected) EXPECT_EQ(error_of(text), message) << text;
}

TEST(Options, RepeatedKeysLastWins) {
  auto o = options_of(R"({"max_chars":5,"protect":["a","b"],"max_chars":7,"protect":"c"})");
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o->max_chars, 7u);
  ASSERT_EQ(o->protect.size(), 1u);
  EXPECT_EQ(o->protect[0], "c");
}

TEST(Options, ArgumentsText) {
  EXPECT_EQ(options_of(R"({"arguments":{"query":"red shoes","limit":5}})")->arguments, "red shoes 5");
  EXPECT_EQ(options_of(R"({"arguments":[1,"a"]})")->arguments, "1 a");
  EXPECT_FALSE(options_of(R"({"arguments":[null,true,"",{"k":false}]})")->arguments.has_value());
  EXPECT_FALSE(options_of(R"({"arguments":" \u3000\t"})")->arguments.has_value());
  // Joined exactly, not trimmed; keys take no part.
  EXPECT_EQ(options_of(R"({"arguments":{"a":" x","b":["y "]}})")->arguments, " x y ");
  EXPECT_EQ(options_of(R"({"arguments":[[],"",""]})")->arguments, std::nullopt);
  EXPECT_EQ(options_of(R"({"arguments":["","a"]})")->arguments, " a");
}

TEST(Options, YamlIndentRuleIsCheckedAfterTheLastPair) {
  // A later pair can lift the indent, or change the format, before the rule applies.
  EXPECT_TRUE(options_of(R"({"format":"yaml","indent":1,"indent":2})").ok());
  EXPECT_TRUE(options_of(R"({"format":"yaml","indent":0,"format":"json"})").ok());
  EXPECT_EQ(error_of(R"({"indent":1,"format":"yaml"})"), "YAML indent must be at least 2");
  EXPECT_EQ(error_of(R"({"format":"yaml","indent":0})"), "YAML indent must be at least 2");
  // A bad pair wins over the rule.
  EXPECT_EQ(error_of(R"({"format":"yaml","indent":1,"explain":null})"), "explain must be a boolean");
  EXPECT_TRUE(options_of(R"({"input_format":"yaml","indent":0})").ok());
}

TEST(Options, ProtectForms) {
  EXPECT_EQ(options_of(R"({"protect":"/a/*"})")->protect, std::vector<std::string>{"/a/*"});
  EXPECT_TRUE(options_of(R"({"protect":[]})")->protect.empty());
  EXPECT_EQ(options_of(R"({"protect":["x","/y"]})")->protect, (std::vector<std::string>{"x", "/y"}));
  EXPECT_EQ(error_of(R"({"protect":[["x"]]})"), "protect must be a list of strings");
  EXPECT_EQ(error_of(R"({"protect":{"a":"x"}})"), "protect must be a list of strings");
  EXPECT_EQ(error_of(R"({"protect":null})"), "protect must be a list of strings");
  // A failed later protect leaves nothing behind: the whole call fails.
  EXPECT_EQ(error_of(R"({"protect":["a"],"protect":[1]})"), "protect must be a list of strings");
}

TEST(Options, ReachTheHostBehindTheirPrefixes) {
  using testing::shrink;
  EXPECT_EQ(shrink("{}", "").error(), "invalid options JSON: unexpected end of input at line 1, column 1");
  EXPECT_EQ(shrink("{}", "{").error(), "invalid options JSON: expected string key at line 1, column 2");
  EXPECT_EQ(shrink("{}", "[]").error(), "invalid options: options must be a JSON object");
  EXPECT_EQ(shrink("{}", R"({"x":1})").error(), "invalid options: unknown option: x");
  EXPECT_EQ(shrink("{}", R"({"max_chars":1e3})").error(), "invalid options: max_chars must be a non-negative integer");
  EXPECT_EQ(shrink("{}", R"({"format":"yaml","indent":1})").error(), "invalid options: YAML indent must be at least 2");
  EXPECT_EQ(shrink("{}", "{} x").error(), "invalid options JSON: unexpected trailing characters at line 1, column 4");
  // Options are checked before the input is read.
  EXPECT_EQ(shrink("[", R"({"bogus":1})").error(), "invalid options: unknown option: bogus");
  EXPECT_EQ(shrink("[", R"({"max_chars":5,})").error(),
            "invalid options JSON: expected string key at line 1, column 16");
  // The unknown key is written as given, escapes resolved.
  EXPECT_EQ(shrink("{}", R"({"a\"b\u00e9":1})").error(), "invalid options: unknown option: a\"b\xC3\xA9");
}

}  // namespace
}  // namespace tavisk
