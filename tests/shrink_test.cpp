// Whole calls on over-budget documents: prose, long strings and YAML.
#include <gtest/gtest.h>

#include "test_util.h"
#include "utf8.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

using testing::get;
using testing::shrink;

std::string log_text(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i)
    s += "2026-12-08 10:" + std::to_string(10 + i % 50) + " worker " + std::to_string(i % 7) + " finished job " +
         std::to_string(i * 37) + " after a long wait\n";
  return s;
}

TEST(Shrink, LogTextBecomesAFittedString) {
  const std::string log = log_text(400);
  for (std::uint64_t budget : {120u, 500u, 2000u, 8000u}) {
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
  }
}

TEST(Shrink, ObjectOfLongStringsSharesTheBudget) {
  std::string doc = "{";
  for (int k = 0; k < 4; ++k)
    doc += (k ? ",\"" : "\"") + std::string("field") + std::to_string(k) + "\":\"" +
           std::string(300 * (k + 1), static_cast<char>('a' + k)) + "\"";
  doc += "}";
  for (std::uint64_t budget : {200u, 600u, 1500u}) {
    auto e = shrink(doc, R"({"indent":0,"max_chars":)" + std::to_string(budget) + "}");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_TRUE(get(e.report(), "fits").as_bool());
    auto back = json::parse(e.text());
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back.value().members().size(), 4u) << e.text();
    int cut = 0;
    for (const Member& m : back.value().members()) cut += m.value.text().find("\xE2\x80\xA6[+") != std::string::npos;
    EXPECT_EQ(e.counter("strings_truncated"), std::to_string(cut));
    EXPECT_GE(cut, budget < 1500 ? 4 : 3);
    EXPECT_EQ(e.counter("keys_omitted"), "0");
  }
}

TEST(Shrink, YamlDocumentStaysYaml) {
  std::string doc = "services:\n";
  for (int i = 0; i < 60; ++i)
    doc += "  svc" + std::to_string(i) + ":\n    image: registry.example.com/team/service-" + std::to_string(i) +
           ":1.2.3\n    ports:\n      - 80" + std::to_string(i % 10) + "\n    env:\n      LEVEL: debug\n";
  for (std::uint64_t budget : {300u, 1000u, 3000u}) {
    auto e = shrink(doc, R"({"max_chars":)" + std::to_string(budget) + "}");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(get(e.report(), "format").text(), "yaml");
    EXPECT_TRUE(get(e.report(), "fits").as_bool()) << e.text();
    auto back = yaml_in::parse(e.text());
    ASSERT_TRUE(back.ok()) << back.error() << "\n" << e.text();
    EXPECT_GT(std::stoull(e.counter("keys_omitted")), 0u);
    // YAML output comes within the slack of the budget: at most budget / 200 characters of room.
    EXPECT_GE(utf8::count(e.text()) + budget / 200 + 40, budget) << e.text();
  }
}

TEST(Shrink, UnprunedReportHasEighteenKeysInOrder) {
  auto e = shrink(R"({"a":"\u00e9t\u00e9"})", R"({"indent":0})");
  ASSERT_TRUE(e.ok());
  const char* keys[] = {"input_chars",
                        "output_chars",
                        "max_chars",
                        "format",
                        "input_format",
                        "pruned",
                        "fits",
                        "strings_truncated",
                        "arrays_sampled",
                        "items_omitted",
                        "objects_trimmed",
                        "keys_omitted",
                        "containers_collapsed",
                        "arrays_condensed",
                        "protected_omitted",
                        "field_decisions",
                        "fields_dropped",
                        "dropped_fields"};
  const auto& m = e.report().members();
  ASSERT_EQ(m.size(), 18u);
  for (std::size_t i = 0; i < 18; ++i) EXPECT_EQ(m[i].key, keys[i]);
  EXPECT_EQ(e.counter("input_chars"), "11");  // characters, not bytes
  EXPECT_EQ(e.counter("output_chars"), "11");
  EXPECT_FALSE(get(e.report(), "pruned").as_bool());
}

}  // namespace
}  // namespace tavisk
