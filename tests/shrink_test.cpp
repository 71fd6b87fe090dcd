// Whole calls on over-budget documents: prose, long strings and YAML.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

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
