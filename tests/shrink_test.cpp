// Whole calls on over-budget documents: prose, long strings and YAML.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "pipeline.h"
#include "test_util.h"
#include "utf8.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

using testing::get;
using testing::shrink;

const std::string_view ell = "\xE2\x80\xA6";

// The omission markers found in an output tree.
struct Markers {
  std::uint64_t cut_strings = 0;     // strings holding a "…[+" marker
  std::uint64_t items = 0;           // sum of the gap markers' counts
  std::uint64_t keys = 0;            // sum of the keys markers' counts
  std::uint64_t marked_arrays = 0;   // arrays holding a gap marker
  std::uint64_t marked_objects = 0;  // objects ending in a keys marker
};

// The leading decimal number of text after prefix, when text has that form and ends with suffix.
std::optional<std::uint64_t> marker_count(std::string_view text, std::string_view prefix, std::string_view suffix) {
  if (text.size() <= prefix.size() + suffix.size() || text.substr(0, prefix.size()) != prefix ||
      text.substr(text.size() - suffix.size()) != suffix)
    return std::nullopt;
  std::string_view digits = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  return std::stoull(std::string(digits));
}

void count_markers(const Value& v, Markers& m) {
  if (v.is_string()) {
    m.cut_strings += v.text().find(std::string(ell) + "[+") != std::string_view::npos;
  } else if (v.is_array()) {
    bool marked = false;
    for (const Value& item : v.items()) {
      auto n = item.is_string() ? marker_count(item.text(), std::string(ell) + "[", " items omitted]") : std::nullopt;
      if (n) {
        m.items += *n;
        marked = true;
      } else {
        count_markers(item, m);
      }
    }
    m.marked_arrays += marked;
  } else if (v.is_object()) {
    const auto& members = v.members();
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (members[i].key == ell) {
        auto n =
            members[i].value.is_string() ? marker_count(members[i].value.text(), "", " keys omitted") : std::nullopt;
        ASSERT_TRUE(n.has_value());
        EXPECT_EQ(i + 1, members.size()) << "the keys marker comes last";
        m.keys += *n;
        ++m.marked_objects;
      } else {
        count_markers(members[i].value, m);
      }
    }
  }
}

// Every counter of the report matches the markers of the parsed output (no protect patterns in use).
void expect_counters_match_markers(const testing::Envelope& e, const Value& out) {
  Markers m;
  count_markers(out, m);
  auto counter = [&](const char* key) { return std::stoull(e.counter(key)); };
  EXPECT_EQ(counter("strings_truncated"), m.cut_strings) << e.text();
  EXPECT_EQ(counter("items_omitted"), m.items) << e.text();
  EXPECT_EQ(counter("keys_omitted"), m.keys) << e.text();
  // A marked array was sampled or collapsed, a marked object trimmed or collapsed.
  EXPECT_EQ(counter("arrays_sampled") + counter("objects_trimmed") + counter("containers_collapsed"),
            m.marked_arrays + m.marked_objects)
      << e.text();
  EXPECT_EQ(counter("output_chars"), utf8::count(e.text()));
  EXPECT_EQ(counter("protected_omitted"), 0u);
}

std::string log_text(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i)
    s += "2026-12-08 10:" + std::to_string(10 + i % 50) + " worker " + std::to_string(i % 7) + " finished job " +
         std::to_string(i * 37) + " after a long wait\n";
  return s;
}

TEST(Shrink, LogTextBecomesAFittedString) {
  const std::string log = log_text(400);
  for (std::uint64_t budget : {60u, 120u, 500u, 2000u, 8000u}) {
    auto e = shrink(log, R"({"max_chars":)" + std::to_string(budget) + "}");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(get(e.report(), "input_format").text(), "yaml");
    EXPECT_TRUE(get(e.report(), "fits").as_bool()) << budget;
    EXPECT_LE(utf8::count(e.text()), budget);
    EXPECT_EQ(e.counter("strings_truncated"), "1");
    auto back = yaml_in::parse(e.text());
    ASSERT_TRUE(back.ok()) << back.error() << "\n" << e.text();
    ASSERT_TRUE(back.value().is_string()) << e.text();
    // The head of the log survives, and a marker says how much is gone.
    EXPECT_EQ(back.value().text().rfind("2026-12-08 10:10 worker 0", 0), 0u) << e.text();
    EXPECT_NE(back.value().text().find("\xE2\x80\xA6[+"), std::string::npos);
    expect_counters_match_markers(e, back.value());
  }
  // Below the smallest form (the placeholder) the result is that placeholder, reported as not fitting.
  auto tiny = shrink(log, R"({"max_chars":10})");
  ASSERT_TRUE(tiny.ok()) << tiny.error();
  EXPECT_FALSE(get(tiny.report(), "fits").as_bool());
  auto read = yaml_in::parse(log);  // the text as the reader delivers it
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(tiny.text(), "\xE2\x80\xA6[+" + std::to_string(utf8::count(read.value().text())) + " chars]\n");
}

TEST(Shrink, ObjectOfLongStringsSharesTheBudget) {
  std::string doc = "{";
  for (int k = 0; k < 4; ++k)
    doc += (k ? ",\"" : "\"") + std::string("field") + std::to_string(k) + "\":\"" +
           std::string(300 * (k + 1), static_cast<char>('a' + k)) + "\"";
  doc += "}";
  for (std::uint64_t budget : {200u, 600u, 1500u}) {
    for (int indent : {0, 2, 4}) {
      auto e =
          shrink(doc, R"({"indent":)" + std::to_string(indent) + R"(,"max_chars":)" + std::to_string(budget) + "}");
      ASSERT_TRUE(e.ok()) << e.error();
      EXPECT_TRUE(get(e.report(), "fits").as_bool());
      EXPECT_LE(utf8::count(e.text()), budget);
      auto back = json::parse(e.text());
      ASSERT_TRUE(back.ok());
      ASSERT_EQ(back.value().members().size(), 4u) << e.text();
      int cut = 0;
      for (const Member& m : back.value().members()) cut += m.value.text().find("\xE2\x80\xA6[+") != std::string::npos;
      EXPECT_GE(cut, budget < 1500 ? 4 : 3);
      EXPECT_EQ(e.counter("keys_omitted"), "0");
      expect_counters_match_markers(e, back.value());
    }
  }
  // Too small for the four cut strings: the object collapses, and the report says it does not fit.
  auto tiny = shrink(doc, R"({"indent":0,"max_chars":15})");
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny.text(), R"({"…":"4 keys omitted"})");
  EXPECT_FALSE(get(tiny.report(), "fits").as_bool());
  EXPECT_EQ(tiny.counter("containers_collapsed"), "1");
  EXPECT_EQ(tiny.counter("keys_omitted"), "4");
}

TEST(Shrink, YamlDocumentStaysYaml) {
  std::string doc = "services:\n";
  for (int i = 0; i < 60; ++i)
    doc += "  svc" + std::to_string(i) + ":\n    image: registry.example.com/team/service-" + std::to_string(i) +
           ":1.2.3\n    ports:\n      - 80" + std::to_string(i % 10) + "\n    env:\n      LEVEL: debug\n";
  for (std::uint64_t budget : {100u, 300u, 1000u, 3000u}) {
    auto e = shrink(doc, R"({"max_chars":)" + std::to_string(budget) + "}");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(get(e.report(), "format").text(), "yaml");
    EXPECT_TRUE(get(e.report(), "fits").as_bool()) << e.text();
    EXPECT_LE(utf8::count(e.text()), budget);
    auto back = yaml_in::parse(e.text());
    ASSERT_TRUE(back.ok()) << back.error() << "\n" << e.text();
    EXPECT_GT(std::stoull(e.counter("keys_omitted")), 0u);
    expect_counters_match_markers(e, back.value());
    // YAML output comes within the slack of the budget: at most budget / 200 characters of room.
    EXPECT_GE(utf8::count(e.text()) + budget / 200 + 40, budget) << e.text();
  }
}

TEST(Shrink, UnprunedReportHasEighteenKeysInOrder) {
  auto e = shrink(R"({"a":"\u00e9t\u00e9"})", R"({"indent":0})");
  ASSERT_TRUE(e.ok());
  const auto& m = e.report().members();
  ASSERT_EQ(m.size(), 18u);
  for (std::size_t i = 0; i < 18; ++i) EXPECT_EQ(m[i].key, testing::report_keys()[i]);
  EXPECT_EQ(e.counter("input_chars"), "11");  // characters, not bytes
  EXPECT_EQ(e.counter("output_chars"), "11");
  EXPECT_FALSE(get(e.report(), "pruned").as_bool());
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* ent = readdir(d)) {
      std::string name = ent->d_name;
      if (name != "." && name != ".." && name != "MANIFEST.tsv" && ent->d_type != DT_DIR)
        out.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// input_chars is the character count of the full rendering in the output format and effective indent, for
// every output form; when it fits, the text is that rendering and output_chars equals it.
TEST(Pipeline, InputCharsIsTheLengthOfTheFullRendering) {
  TAVISK_NEEDS_SHARED("corpus/real");
  TAVISK_NEEDS_SHARED("corpus/jsontestsuite");
  std::vector<std::string> files = files_in(testing::shared_dir() + "/corpus/real");
  for (const std::string& f : files_in(testing::shared_dir() + "/corpus/jsontestsuite"))
    if (f.find("/y_") != std::string::npos) files.push_back(f);
  ASSERT_GT(files.size(), 100u);
  std::size_t index = 0;
  for (const std::string& f : files) {
    if (!testing::in_sweep_sample(index++)) continue;
    const std::string doc = testing::read_file(f);
    for (const char* form : {R"("indent":0)", R"("indent":1)", R"("indent":2)", R"("indent":4)",
                             R"("format":"yaml","indent":3)", R"("format":"json","indent":2)"}) {
      auto e = shrink(doc, std::string("{") + form + R"(,"max_chars":18446744073709551615})");
      if (!e.ok()) continue;  // text that neither reader takes is the readers' business
      const std::string text = e.text();
      EXPECT_EQ(e.counter("input_chars"), std::to_string(utf8::count(text))) << f << " " << form;
      EXPECT_EQ(e.counter("output_chars"), e.counter("input_chars")) << f << " " << form;
      EXPECT_FALSE(get(e.report(), "pruned").as_bool());
      // The text is the rendering of the parsed input, in the reported format.
      const bool yaml_out = get(e.report(), "format").text() == "yaml";
      const bool read_as_yaml = get(e.report(), "input_format").text() == "yaml";
      Result<Value, std::string> original = read_as_yaml ? yaml_in::parse(doc) : [&]() -> Result<Value, std::string> {
        auto j = json::parse(doc);
        if (!j) return fail(j.error().text());
        return std::move(j).value();
      }();
      ASSERT_TRUE(original.ok()) << f;
      const std::uint64_t indent = std::string_view(form).find("\"indent\":0") != std::string_view::npos   ? 0
                                   : std::string_view(form).find("\"indent\":1") != std::string_view::npos ? 1
                                   : std::string_view(form).find("\"indent\":4") != std::string_view::npos ? 4
                                   : std::string_view(form).find("\"indent\":3") != std::string_view::npos ? 3
                                                                                                           : 2;
      EXPECT_EQ(text, render(original.value(), indent, yaml_out ? Format::Yaml : Format::Json)) << f << " " << form;
      if (!yaml_out && indent == 0) {
        EXPECT_EQ(text.find('\n'), std::string::npos) << f;
      }
      if (!yaml_out && !text.empty()) {
        EXPECT_NE(text.back(), '\n') << f;
      }
      if (yaml_out) {
        EXPECT_EQ(text.back(), '\n') << f;
      }
    }
  }
}

// The budget is "at most": a rendering exactly max_chars long is returned untouched.
TEST(Pipeline, BudgetBoundaryIsInclusive) {
  for (const char* options : {R"("indent":2)", R"("indent":0)", R"("format":"yaml")"}) {
    const std::string doc = R"({"name":"caf\u00e9","tags":["a","b"],"n":1.50})";
    auto full = shrink(doc, std::string("{") + options + "}");
    ASSERT_TRUE(full.ok());
    const std::string n = full.counter("input_chars");
    auto at = shrink(doc, std::string("{") + options + R"(,"max_chars":)" + n + "}");
    EXPECT_FALSE(get(at.report(), "pruned").as_bool()) << options;
    EXPECT_EQ(at.text(), full.text());
    auto below =
        shrink(doc, std::string("{") + options + R"(,"max_chars":)" + std::to_string(std::stoull(n) - 1) + "}");
    EXPECT_TRUE(get(below.report(), "pruned").as_bool()) << options;
    EXPECT_EQ(below.counter("input_chars"), n);
    EXPECT_EQ(below.counter("max_chars"), std::to_string(std::stoull(n) - 1));
  }
}

TEST(Pipeline, InputFormatDecidesTheReader) {
  // Forced JSON never falls back to YAML; forced YAML reads JSON text as YAML.
  EXPECT_EQ(shrink("a: 1", R"({"input_format":"json"})").error(),
            "invalid JSON input: unexpected character at line 1, column 1");
  EXPECT_EQ(shrink("Hello", R"({"input_format":"json"})").error(),
            "invalid JSON input: unexpected character at line 1, column 1");
  auto y = shrink(R"({"a": [1, "x"]})", R"({"input_format":"yaml"})");
  ASSERT_TRUE(y.ok()) << y.error();
  EXPECT_EQ(y.text(), "a:\n  - 1\n  - x\n");
  EXPECT_EQ(get(y.report(), "input_format").text(), "yaml");
  EXPECT_EQ(get(y.report(), "format").text(), "yaml");
  // The output format follows the option, or the input kind under auto.
  auto j = shrink("a: 1\n", R"({"format":"json","indent":0})");
  EXPECT_EQ(j.text(), R"({"a":1})");
  EXPECT_EQ(get(j.report(), "format").text(), "json");
  EXPECT_EQ(get(j.report(), "input_format").text(), "yaml");
  auto k = shrink(R"({"a":1})", R"({"format":"YML"})");
  EXPECT_EQ(k.text(), "a: 1\n");
  EXPECT_EQ(get(k.report(), "format").text(), "yaml");
  EXPECT_EQ(get(k.report(), "input_format").text(), "json");
}

TEST(Pipeline, AutoDetectionSkipsMarksThenWhiteSpace) {
  // JSON errors are kept for text that, after marks and Unicode white space, starts with a quote or bracket,
  // or is empty.
  const std::pair<std::string, std::string> kept[] = {
      {"\xEF\xBB\xBF\xEF\xBB\xBF{\"a\":1}", "unexpected character at line 1, column 1"},
      {"\xE3\x80\x80[1]", "unexpected character at line 1, column 1"},
      {"\xC2\xA0\xC2\xA0\"x\"", "unexpected character at line 1, column 1"},
      {"\xEF\xBB\xBF\xE2\x80\xA8\n {", "unexpected character at line 1, column 1"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF", "unexpected character at line 1, column 1"},
      {"\xE3\x80\x80", "unexpected character at line 1, column 1"},
      {"\x0B\x0C", "unexpected character at line 1, column 1"},
      {"\n\n  [1,]", "unexpected character at line 3, column 6"},
      {"\"unterminated", "unterminated string at line 1, column 14"},
      {"{\"a\":1}}", "unexpected trailing characters at line 1, column 8"},
      {"[1] # a comment", "unexpected trailing characters at line 1, column 5"},
  };
  for (const auto& [input, error] : kept) EXPECT_EQ(shrink(input).error(), "invalid JSON input: " + error) << input;
  // Anything else goes to the YAML reader, and its error replaces the JSON error.
  auto prose = shrink(
      "\xE3\x80\x80"
      "Deploy finished: 3 services updated");
  EXPECT_TRUE(prose.ok() || prose.error().rfind("invalid YAML input: ", 0) == 0) << prose.error();
  auto words = shrink("  deploy finished in 3 minutes  \n");
  ASSERT_TRUE(words.ok()) << words.error();
  EXPECT_EQ(words.text(), "deploy finished in 3 minutes\n");
  EXPECT_EQ(get(words.report(), "input_format").text(), "yaml");
  auto number_like = shrink("1.5.2");
  ASSERT_TRUE(number_like.ok()) << number_like.error();
  EXPECT_EQ(number_like.text(), "\"1.5.2\"\n");
  EXPECT_EQ(shrink("a: b: c").error().rfind("invalid YAML input: ", 0), 0u);
  // A JSON scalar root is JSON.
  auto scalar = shrink("  42 ");
  EXPECT_EQ(scalar.text(), "42");
  EXPECT_EQ(get(scalar.report(), "input_format").text(), "json");
}

TEST(Report, NumbersListsAndTheirWrittenForm) {
  Report r;
  r.input_chars = 18446744073709551615u;
  r.output_chars = 0;
  r.max_chars = 7;
  r.format = Format::Yaml;
  r.input_format = Format::Json;
  r.pruned = true;
  r.fits = false;
  r.stats.strings_truncated = 1;
  r.stats.arrays_sampled = 2;
  r.stats.items_omitted = 3;
  r.stats.objects_trimmed = 4;
  r.stats.keys_omitted = 5;
  r.stats.containers_collapsed = 6;
  r.stats.arrays_condensed = 7;
  r.stats.protected_omitted = 8;
  r.stats.fields_dropped = 30;
  for (std::uint32_t t : {0u, 5u, 750u, 1000u, 1234u, 4294967295u})
    r.stats.field_decisions.push_back({"/items/*/f\"" + std::to_string(t), t, t % 2 == 0, 1000 - t % 1000});
  r.stats.dropped_fields.push_back({"/a", 12});
  r.stats.dropped_fields.push_back({"/b/\xC3\xA9", 0});
  EXPECT_EQ(json::to_string(report_value(r)),
            R"({"input_chars":18446744073709551615,"output_chars":0,"max_chars":7,"format":"yaml",)"
            R"("input_format":"json","pruned":true,"fits":false,"strings_truncated":1,"arrays_sampled":2,)"
            R"("items_omitted":3,"objects_trimmed":4,"keys_omitted":5,"containers_collapsed":6,)"
            R"("arrays_condensed":7,"protected_omitted":8,"field_decisions":[)"
            R"({"path":"/items/*/f\"0","score":0.000,"kept":true,"relevance":1.000},)"
            R"({"path":"/items/*/f\"5","score":0.005,"kept":false,"relevance":0.995},)"
            R"({"path":"/items/*/f\"750","score":0.750,"kept":true,"relevance":0.250},)"
            R"({"path":"/items/*/f\"1000","score":1.000,"kept":true,"relevance":1.000},)"
            R"({"path":"/items/*/f\"1234","score":1.234,"kept":true,"relevance":0.766},)"
            R"({"path":"/items/*/f\"4294967295","score":4294967.295,"kept":false,"relevance":0.705}],)"
            R"("fields_dropped":30,"dropped_fields":[{"path":"/a","items":12},{"path":"/b/)"
            "\xC3\xA9"
            R"(","items":0}]})");
  // An empty report still has all eighteen keys.
  Report empty;
  EXPECT_EQ(json::to_string(report_value(empty)),
            R"({"input_chars":0,"output_chars":0,"max_chars":0,"format":"json","input_format":"json",)"
            R"("pruned":false,"fits":true,"strings_truncated":0,"arrays_sampled":0,"items_omitted":0,)"
            R"("objects_trimmed":0,"keys_omitted":0,"containers_collapsed":0,"arrays_condensed":0,)"
            R"("protected_omitted":0,"field_decisions":[],"fields_dropped":0,"dropped_fields":[]})");
}

TEST(Render, JsonAndYamlForms) {
  auto v = json::parse(R"({"a":[1,{}],"s":"x\ny\n"})").value();
  EXPECT_EQ(render(v, 0, Format::Json), R"({"a":[1,{}],"s":"x\ny\n"})");
  EXPECT_EQ(render(v, 2, Format::Json), "{\n  \"a\": [\n    1,\n    {}\n  ],\n  \"s\": \"x\\ny\\n\"\n}");
  // YAML raises an indent below 2 to 2 and always ends with one line feed.
  const std::string yaml2 = "a:\n  - 1\n  - {}\ns: |\n  x\n  y\n";
  EXPECT_EQ(render(v, 0, Format::Yaml), yaml2);
  EXPECT_EQ(render(v, 1, Format::Yaml), yaml2);
  EXPECT_EQ(render(v, 2, Format::Yaml), yaml2);
  EXPECT_EQ(render(v, 4, Format::Yaml), "a:\n    - 1\n    - {}\ns: |\n    x\n    y\n");
  // Scalar roots: one line; literal-safe string roots become a block at level 1.
  EXPECT_EQ(render(Value::number("5"), 2, Format::Yaml), "5\n");
  EXPECT_EQ(render(Value::object(), 2, Format::Yaml), "{}\n");
  EXPECT_EQ(render(Value::array(), 2, Format::Yaml), "[]\n");
  EXPECT_EQ(render(Value::string("a\nb"), 2, Format::Yaml), "|-\n  a\n  b\n");
  EXPECT_EQ(render(Value::string("a\n"), 3, Format::Yaml), "|\n   a\n");
  EXPECT_EQ(render(Value::string("a\n\n"), 2, Format::Yaml), "|+\n  a\n\n");
  EXPECT_EQ(render(Value::string("a\n\nb"), 2, Format::Yaml), "|-\n  a\n\n  b\n");
  EXPECT_EQ(render(Value::string(""), 2, Format::Yaml), "\"\"\n");
  EXPECT_EQ(render(Value::string(" a\nb"), 2, Format::Yaml), "\" a\\nb\"\n");
  EXPECT_EQ(render(Value::string("a"), 0, Format::Json), "\"a\"");
}

}  // namespace
}  // namespace tavisk
