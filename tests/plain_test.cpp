// Plain text, JSON Lines and detected inputs through tavisk_shrink.
#include <gtest/gtest.h>

#include <string>

#include "line_fit_check.h"
#include "test_util.h"
#include "utf8.h"

namespace tavisk::testing {
namespace {

std::string word(const Envelope& e, std::string_view key) {
  const Value& v = get(e.report(), key);
  return v.is_string() ? std::string(v.text()) : "";
}

std::string log_lines(int n, std::string_view eol = "\n") {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "2024-05-01 12:00:" + std::to_string(i) + " step " + std::to_string(i) + " ok" + std::string(eol);
  return s;
}

TEST(PlainText, ReadAndWrittenAsItIs) {
  struct Case {
    const char* name;
    std::string input, options, text, format;
    std::uint64_t input_chars;
  };
  const Case cases[] = {
      {"not parsed", "{\"a\": [1,", R"({"input_format":"text"})", "{\"a\": [1,", "text", 9},
      {"one BOM dropped, breaks kept", "\xEF\xBB\xBF\xEF\xBB\xBFx\r\ny\n\n", R"({"input_format":"TEXT"})",
       "\xEF\xBB\xBFx\r\ny\n\n", "text", 7},
      {"characters, not quoted size", "tab\there \"q\" \xC3\xA9", R"({"input_format":"text"})",
       "tab\there \"q\" \xC3\xA9", "text", 14},
      {"as a JSON string", "a\nb", R"({"input_format":"text","format":"json"})", "\"a\\nb\"", "json", 6},
      {"as YAML", "a\nb\n", R"({"input_format":"text","format":"yaml"})", "|\n  a\n  b\n", "yaml", 10},
      {"a JSON string written raw", "\"a\\nb\"", R"({"format":"text"})", "a\nb", "text", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Envelope e = shrink(c.input, c.options);
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(e.text(), c.text);
    EXPECT_EQ(word(e, "format"), c.format);
    EXPECT_EQ(e.counter("input_chars"), std::to_string(c.input_chars));
    EXPECT_EQ(e.counter("output_chars"), std::to_string(c.input_chars));
  }
}

TEST(PlainText, OptionErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"format":"text"})", "invalid options: format \"text\" needs a document that is one string"},
      {R"({"format":"jsonl"})", "invalid options: format \"jsonl\" needs a document that is an array"},
      {R"({"format":"detect"})", "invalid options: format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"input_format":"txt"})", "invalid options: input_format must be \"auto\", \"json\" or \"yaml\""},
      {R"({"strip_ansi":"yes"})", "invalid options: strip_ansi must be a boolean"},
  };
  for (const auto& [options, message] : cases) {
    Envelope e = shrink(R"({"a":1})", options);
    EXPECT_FALSE(e.ok()) << options;
    EXPECT_EQ(e.error(), message);
  }
}

TEST(PlainText, OverBudgetKeepsFirstAndLastLines) {
  const std::string crlf = log_lines(2000, "\r\n");
  const std::string last_is_error = log_lines(3000) + "ERROR: build failed with exit code 2\n";
  struct Case {
    const std::string* input;
    const char* options;
    std::uint64_t budget;
  };
  const Case cases[] = {
      {&last_is_error, R"({"input_format":"text","max_chars":1000})", 1000},
      {&last_is_error, R"({"input_format":"text","max_chars":5000,"format":"text"})", 5000},
      {&crlf, R"({"input_format":"text","max_chars":3000})", 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Envelope e = shrink(*c.input, c.options);
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_TRUE(get(e.report(), "pruned").as_bool());
    EXPECT_LE(utf8::count(e.text()), c.budget);
    EXPECT_EQ(e.counter("output_chars"), std::to_string(utf8::count(e.text())));
    EXPECT_EQ(e.counter("strings_truncated"), "1");
    std::uint64_t omitted = 0;
    EXPECT_EQ(check_line_fit(*c.input, e.text(), omitted), "");
    EXPECT_GT(utf8::count(e.text()), c.budget * 9 / 10);
  }
  // Read as text but written as JSON: the JSON string holds the same line fitting.
  Envelope j = shrink(last_is_error, R"({"input_format":"text","format":"json","max_chars":2000})");
  ASSERT_TRUE(j.ok());
  auto inner = json::parse(j.text());
  ASSERT_TRUE(inner && inner->is_string());
  std::uint64_t omitted = 0;
  EXPECT_EQ(check_line_fit(last_is_error, inner->text(), omitted), "");
  EXPECT_LE(utf8::count(j.text()), 2000u);
  EXPECT_TRUE(inner->text().ends_with("ERROR: build failed with exit code 2\n"));
}

TEST(PlainText, TwoLinesOrAJsonStringUseTextFitting) {
  const std::string two = std::string(3000, 'a') + "\n" + std::string(3000, 'b');
  Envelope as_text = shrink(two, R"({"input_format":"text","format":"json","max_chars":500})");
  Envelope as_json = shrink(json::to_string(Value::string(two)), R"({"max_chars":500})");
  ASSERT_TRUE(as_text.ok() && as_json.ok());
  EXPECT_EQ(as_text.text(), as_json.text());
  // A multi-line JSON string is not a text read as text: no line markers.
  Envelope log = shrink(json::to_string(Value::string(log_lines(2000))), R"({"max_chars":1000,"format":"text"})");
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(log.text().find(" lines, "), std::string::npos);
  EXPECT_LE(utf8::count(log.text()), 1000u);
}

TEST(PlainText, StripAnsi) {
  const std::string esc = "\x1B";
  const std::pair<std::string, std::string> cases[] = {
      {esc + "[31mred" + esc + "[0m done", "red done"},
      {esc + "[1;38;5;208mbold" + esc + "[K", "bold"},
      {esc + "]0;title\x07text", "text"},
      {esc + "]8;;http://x" + esc + "\\link" + esc + "]8;;" + esc + "\\", "link"},
      {esc + "_bk;t=1729032357206\x07~~~ step\r\n", "~~~ step\r\n"},
      {esc + "(Bcharset " + esc + "7saved", "charset saved"},
      {"\xC2\x9B" "32mgreen \xC3\xA9", "green \xC3\xA9"},
      {esc + "]unterminated\nnext line", "\nnext line"},
      {"trailing " + esc, "trailing "},
  };
  for (const auto& [input, text] : cases) {
    Envelope e = shrink(input, R"({"input_format":"text","strip_ansi":true})");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(e.text(), text);
    // Off by default.
    EXPECT_EQ(shrink(input, R"({"input_format":"text"})").text(), input);
  }
}

TEST(JsonLines, ReadAsAnArrayWrittenOnePerLine) {
  Envelope e = shrink("\xEF\xBB\xBF{\"a\": 1}\r\n\r\n  \n[1, 2]\n\"s\"\n", R"({"input_format":"jsonl"})");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_EQ(e.text(), "{\"a\":1}\n[1,2]\n\"s\"\n");
  EXPECT_EQ(word(e, "format"), "jsonl");
  EXPECT_EQ(word(e, "input_format"), "jsonl");
  Envelope as_json = shrink("1\n2\n", R"({"input_format":"jsonl","format":"json","indent":0})");
  EXPECT_EQ(as_json.text(), "[1,2]");
  EXPECT_EQ(shrink("[1,2]", R"({"format":"jsonl"})").text(), "1\n2\n");
  const std::pair<const char*, const char*> errors[] = {
      {"{\"a\":1}\n\n{\"b\":}\n", "invalid JSON input: unexpected character at line 3, column 6"},
      {"1\n2 3\n", "invalid JSON input: unexpected trailing characters at line 2, column 3"},
  };
  for (const auto& [input, message] : errors) {
    Envelope bad = shrink(input, R"({"input_format":"jsonl"})");
    EXPECT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), message);
  }
}

TEST(JsonLines, OverBudgetKeepsValidLinesAndAGapLine) {
  std::string input;
  for (int i = 0; i < 500; ++i) input += "{\"id\":" + std::to_string(i) + ",\"name\":\"item number " + std::to_string(i) + "\"}\n";
  Envelope e = shrink(input, R"({"input_format":"jsonl","max_chars":600})");
  ASSERT_TRUE(e.ok()) << e.error();
  const std::string out = e.text();
  EXPECT_LE(utf8::count(out), 600u);
  ASSERT_TRUE(out.ends_with("\n"));
  std::uint64_t kept = 0, gaps = 0, gap_items = 0;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::size_t lf = out.find('\n', pos);
    auto v = json::parse(std::string_view(out).substr(pos, lf - pos));
    ASSERT_TRUE(v) << out.substr(pos, lf - pos);
    if (v->is_object()) {
      ++kept;
    } else {
      ASSERT_TRUE(v->is_string());
      std::string t(v->text());
      ASSERT_TRUE(t.starts_with("\xE2\x80\xA6[") && t.ends_with(" items omitted]")) << t;
      ++gaps;
      gap_items += std::stoull(t.substr(4));
    }
    pos = lf + 1;
  }
  EXPECT_GE(gaps, 1u);
  EXPECT_EQ(kept + gap_items, 500u);
  EXPECT_EQ(e.counter("items_omitted"), std::to_string(gap_items));
  EXPECT_TRUE(out.ends_with("\"item number 499\"}\n"));
}

TEST(Detect, ChoosesTheReaderThatLosesNothing) {
  struct Case {
    const char* name;
    std::string input, reader;
  };
  const Case cases[] = {
      {"JSON", "{\"a\": [1, 2]}", "json"},
      {"YAML mapping", "name: x\nitems:\n  - 1\n  - 2\n", "yaml"},
      {"YAML with a block text holding '#' lines", "script: |\n  # not a comment\n  echo hi\n", "yaml"},
      {"YAML with empty comment lines", "#\n##   \na: 1\n", "yaml"},
      {"Markdown list under headings", "# Changes\n\n## 1.2.0\n\n- fixed a bug\n- added a flag\n", "text"},
      {"a YAML comment holds content", "# settings\na: 1\n", "text"},
      {"prose is a scalar", "Build failed\nnpm ERR! code 1\n", "text"},
      {"a log line in brackets", "[INFO] started\n[ERROR] failed\n", "text"},
      {"empty", "", "text"},
      {"YAML flow mapping", "{a: 1, b: [x]}", "yaml"},
      {"JSON Lines of objects", "{\"a\": 1}\n\n{\"a\": 2}\n", "jsonl"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Envelope e = shrink(c.input, R"({"input_format":"detect"})");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(word(e, "input_format"), c.reader);
    EXPECT_EQ(word(e, "format"), c.reader);
    if (c.reader == "text") {
      EXPECT_EQ(e.text(), c.input);
    }
  }
  // Shaped like a JSON object but broken: the JSON error, not text.
  for (const char* broken : {"{\"a\": 1,,}", " {\"a\":\n 1,,}\n", "{\"a\": 1}\n{\"b\":}\n"}) {
    Envelope e = shrink(broken, R"({"input_format":"detect"})");
    EXPECT_FALSE(e.ok()) << broken;
    EXPECT_TRUE(e.error().starts_with("invalid JSON input: ")) << e.error();
  }
  // The library's auto detection is unchanged: Markdown still reads as YAML.
  Envelope md = shrink("# Changes\n\n- fixed a bug\n", "{}");
  EXPECT_EQ(word(md, "input_format"), "yaml");
}

}  // namespace
}  // namespace tavisk::testing
