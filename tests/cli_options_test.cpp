// The command line's shared flag table and parser, and the envelope reading of the tools.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../tools/cli_options.h"
#include "../tools/envelope.h"

namespace {

// Runs parse_command_line on `args` (argv[0] added), with an optional tool table.
struct Parsed {
  std::optional<cli::CommandLine> line;
  std::string error;
};

Parsed parse(std::vector<std::string> args, std::span<const cli::ToolFlag> tool = {},
             std::span<const cli::OptionFlag> table = cli::option_flags()) {
  args.insert(args.begin(), "tavisk");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  p.line = cli::parse_command_line(static_cast<int>(args.size()), argv.data(), tool, p.error, table);
  return p;
}

struct OptionsCase {
  std::vector<std::string> args;
  const char* options;
};

TEST(CliOptions, FlagsBecomeOptionKeys) {
  const OptionsCase cases[] = {
      {{}, "{}"},
      {{"-n", "5", "-f", "yaml", "-s", "condense"}, R"({"max_chars":5,"format":"yaml","array_strategy":"condense"})"},
      {{"--max-chars=7", "--indent", "0", "--no-keep-last-item", "--explain"},
       R"({"max_chars":7,"indent":0,"keep_last_item":false,"explain":true})"},
      {{"-p", "/a", "--protect=/b/*", "-p", "id"}, R"({"protect":["/a","/b/*","id"]})"},
      {{"-a", "say \"hi\"\n", "--scorer", "Key-Order"}, R"({"arguments":"say \"hi\"\n","field_scorer":"Key-Order"})"},
      // The last use of a single-valued flag wins; abbreviations and clusters are accepted.
      {{"-n", "1", "--max-c", "2", "-n3"}, R"({"max_chars":3})"},
      // --options lies under the flags: a key a flag sets is taken from the flag, in the flags' place.
      {{"--options", R"({"indent":0,"max_chars":1,"protect":5})", "-n", "9", "-p", "/x"},
       R"({"indent":0,"max_chars":9,"protect":["/x"]})"},
      // Base values keep their text: numbers as written, strings re-escaped, nesting intact.
      {{"--options", R"( {"arguments": [1.50, -0e0, 12345678901234567890123, {"q": "a\u0000\u00e9/"}], "x": null} )"},
       "{\"arguments\":[1.50,-0e0,12345678901234567890123,{\"q\":\"a\\u0000\xC3\xA9/\"}],\"x\":null}"},
      // Repeated base keys stay repeated (the library takes the last) unless a flag sets them.
      {{"--options", R"({"indent":1,"indent":2})"}, R"({"indent":1,"indent":2})"},
      {{"--options", R"({"indent":1,"indent":2})", "--indent", "4"}, R"({"indent":4})"},
      // --focus alone means auto; a value needs the = form.
      {{"--focus", "-n", "9"}, R"({"focus":"auto","max_chars":9})"},
      {{"--focus=None"}, R"({"focus":"None"})"},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args, {});
    ASSERT_TRUE(p.line) << c.options << ": " << p.error;
    EXPECT_EQ(p.line->options, c.options);
  }
}

struct ErrorCase {
  std::vector<std::string> args;
  const char* error;
};

TEST(CliOptions, UsageErrorsSayWhatWasWrong) {
  const ErrorCase cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"-z"}, "unknown option '-z'"},
      {{"--max", "4"}, "ambiguous option '--max' (--max-chars, --max-tokens, --max-samples)"},
      {{"--max-chars"}, "--max-chars needs a value"},
      {{"-n"}, "-n needs a value"},
      {{"--explain=yes"}, "--explain takes no value"},
      {{"-n", "-5"}, "-n needs a non-negative integer, not '-5'"},
      {{"--indent="}, "--indent needs a non-negative integer, not ''"},
      {{"--max-chars", "1e3"}, "--max-chars needs a non-negative integer, not '1e3'"},
      {{"-f", "xml"}, "-f must be one of auto, json, yaml, yml, not 'xml'"},
      {{"--format", "json "}, "--format must be one of auto, json, yaml, yml, not 'json '"},
      {{"--strategy", "sampl"}, "--strategy must be one of sample, condense, not 'sampl'"},
      {{"--scorer", "key order"}, "--scorer must be one of heuristic, compact, key_order, keyorder, not 'key order'"},
      {{"--options", "[1]"}, "--options must be a JSON object"},
      {{"--options", "7"}, "--options must be a JSON object"},
      {{"--options", "{\"a\":1"}, "--options is not valid JSON: "},
      {{"--options", "{} {}"}, "--options is not valid JSON: "},
      {{"--options", "{\"a\":\"\xFF\"}"}, "--options is not valid JSON: "},
      {{"--options", std::string(200000, '[')}, "--options must be a JSON object"},
      {{"--options", "{\"a\":" + std::string(200000, '[')}, "--options is not valid JSON: "},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args, {});
    EXPECT_FALSE(p.line) << c.error;
    EXPECT_EQ(p.error.substr(0, std::string(c.error).size()), c.error);
  }
}

TEST(CliOptions, ToolFlagsAndOperandsComeBackInOrder) {
  const cli::ToolFlag tool[] = {
      {"out", 'o', cli::Arg::Required, "FILE", "output"},
      {"loud", 'l', cli::Arg::None, "", "louder"},
      {"color", 0, cli::Arg::Optional, "WHEN", "colour"},
  };
  Parsed p = parse({"a.json", "-lo", "x", "-n", "3", "--color", "b.json", "--color=never", "--", "-c.json"}, tool);
  ASSERT_TRUE(p.line) << p.error;
  EXPECT_EQ(p.line->options, R"({"max_chars":3})");
  ASSERT_EQ(p.line->tool.size(), 4u);
  EXPECT_EQ(p.line->tool[0].flag, 1u);
  EXPECT_EQ(p.line->tool[1].flag, 0u);
  EXPECT_EQ(p.line->tool[1].arg, "x");
  EXPECT_EQ(p.line->tool[2].flag, 2u);
  EXPECT_FALSE(p.line->tool[2].arg);  // an optional value comes only after '='
  EXPECT_EQ(p.line->tool[3].arg, "never");
  EXPECT_EQ(p.line->operands, (std::vector<std::string>{"a.json", "b.json", "-c.json"}));
  // A second parse in the same process starts afresh.
  Parsed again = parse({"-l", "c.json"}, tool);
  ASSERT_TRUE(again.line) << again.error;
  EXPECT_EQ(again.line->tool.size(), 1u);
  EXPECT_EQ(again.line->operands, std::vector<std::string>{"c.json"});
}

TEST(CliOptions, OptionalValueTakesTheImplicitWord) {
  const cli::OptionFlag table[] = {
      {"focus", 0, "focus", cli::Kind::Choice, "MODE", "focus", "none auto", "auto"},
      {"label", 'L', "label", cli::Kind::Text, "TEXT", "label", {}, "default"},
  };
  const OptionsCase cases[] = {
      {{"--focus"}, R"({"focus":"auto"})"},
      {{"--focus=none"}, R"({"focus":"none"})"},
      {{"--focus", "x.json"}, R"({"focus":"auto"})"},
      {{"-L"}, R"({"label":"default"})"},
      {{"-Lmine"}, R"({"label":"mine"})"},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args, {}, table);
    ASSERT_TRUE(p.line) << c.options << ": " << p.error;
    EXPECT_EQ(p.line->options, c.options);
  }
  Parsed bad = parse({"--focus=most"}, {}, table);
  EXPECT_FALSE(bad.line);
  EXPECT_EQ(bad.error, "--focus must be one of none, auto, not 'most'");
  std::string help = cli::flags_help({}, table);
  EXPECT_NE(help.find("      --focus[=MODE]"), std::string::npos) << help;
  EXPECT_NE(help.find("  -L, --label[=TEXT]"), std::string::npos) << help;
}

TEST(CliOptions, TableIsConsistent) {
  std::set<std::string_view> names{"options"};
  std::set<char> shorts;
  std::set<std::string_view> keys;
  for (const cli::OptionFlag& f : cli::option_flags()) {
    EXPECT_TRUE(names.insert(f.name).second) << f.name;
    if (f.short_name != 0) {
      EXPECT_TRUE(shorts.insert(f.short_name).second) << f.name;
    }
    EXPECT_TRUE(keys.insert(f.key).second) << f.key;
    bool takes = f.kind != cli::Kind::True && f.kind != cli::Kind::False;
    EXPECT_EQ(takes, !f.meta.empty()) << f.name;
    EXPECT_EQ(f.kind == cli::Kind::Choice, !f.choices.empty()) << f.name;
    EXPECT_FALSE(f.help.empty()) << f.name;
  }
  EXPECT_TRUE(cli::is_choice("Key-Order", "heuristic key_order"));
  EXPECT_TRUE(cli::is_choice("YAML", "auto yaml"));
  EXPECT_FALSE(cli::is_choice("yam", "auto yaml"));
  EXPECT_FALSE(cli::is_choice("", "auto yaml"));
  EXPECT_FALSE(cli::is_choice("auto yaml", "auto yaml"));
}

TEST(CliEnvelope, ReadsTextErrorAndReport) {
  struct TextCase {
    const char* json_text;
    std::string decoded;
  };
  const TextCase cases[] = {
      {R"("plain")", "plain"},
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC\ud83d\ude00")", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {R"("\u0000x")", std::string("\0x", 2)},
  };
  for (const auto& c : cases) {
    auto e = cli::read_envelope(std::string(R"({"ok":true,"text":)") + c.json_text + R"(,"report":{"fits":true}})");
    ASSERT_TRUE(e) << c.json_text;
    EXPECT_TRUE(e->ok);
    EXPECT_EQ(e->text, c.decoded) << c.json_text;
    EXPECT_TRUE(cli::report_fits(e->report));
  }
  auto error = cli::read_envelope(R"({"ok":false,"error":"invalid JSON input: x"})");
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->ok);
  EXPECT_EQ(error->error, "invalid JSON input: x");
  for (const char* bad : {"", "[]", R"({"ok":1})", R"({"ok":true,"text":"a"})", R"({"ok":true,"report":{}})",
                          R"({"ok":false})", R"({"ok":true,"text":"a","report":{}} x)"}) {
    EXPECT_FALSE(cli::read_envelope(bad)) << bad;
  }
}

TEST(CliEnvelope, RawMemberKeepsTheTextAsWritten) {
  const std::string json =
      R"({"ok":true,"text":"\"report\":{}","report":{"a":[{"score":0.750}],"b":{}},"tail": [ 1 ,2 ], "n" : 1.0 })";
  EXPECT_EQ(cli::raw_member(json, "report"), R"({"a":[{"score":0.750}],"b":{}})");
  EXPECT_EQ(cli::raw_member(json, "tail"), "[ 1 ,2 ]");
  EXPECT_EQ(cli::raw_member(json, "n"), "1.0");
  EXPECT_EQ(cli::raw_member(json, "text"), R"("\"report\":{}")");
  EXPECT_FALSE(cli::raw_member(json, "a"));  // nested keys are not top-level members
  EXPECT_FALSE(cli::raw_member(json, "missing"));
  EXPECT_FALSE(cli::raw_member(R"({"report":{"a":1)", "report"));
}

TEST(CliEnvelope, SummaryShowsNonZeroCountersAndDroppedFields) {
  auto e = cli::read_envelope(
      R"({"ok":true,"text":"","report":{"input_chars":900,"output_chars":95,"max_chars":100,"format":"json",)"
      R"("input_format":"yaml","pruned":true,"fits":false,"items_omitted":0,"keys_omitted":4,)"
      R"("field_decisions":[{"path":"/a","score":0.500,"relevance":0.000,"kept":true}],"fields_dropped":3,)"
      R"("dropped_fields":[{"path":"/x y","items":2}]}})");
  ASSERT_TRUE(e);
  EXPECT_EQ(cli::report_summary(e->report),
            "input chars: 900\n"
            "output chars: 95 (max 100)\n"
            "format: yaml -> json\n"
            "fits: no, pruned: yes\n"
            "keys omitted: 4\n"
            "fields dropped: 3\n"
            "field decisions: 1 (see --envelope)\n"
            "dropped fields (1 of 3 shown):\n"
            "  /x y: 2 items\n");
  EXPECT_FALSE(cli::report_fits(e->report));
}

}  // namespace
