// Every real document at several budgets, layouts, formats and strategies: the
// call succeeds, its text reads back, it fits when it can, and the report's
// counters agree with the markers in the text.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "fields.h"
#include "pipeline.h"
#include "prune.h"
#include "test_util.h"
#include "utf8.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

std::vector<std::string> corpus_files() {
  std::ifstream manifest(testing::shared_dir() + "/corpus/real/MANIFEST.tsv");
  std::vector<std::string> files;
  std::string line;
  while (std::getline(manifest, line)) {
    std::string name = line.substr(0, line.find('\t'));
    if (name.empty() || name == "file" || name[0] == '#') continue;
    if (name.find('.') == std::string::npos) continue;
    files.push_back(name);
  }
  return files;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Markers {
  std::uint64_t items = 0;
  std::uint64_t keys = 0;
  std::uint64_t cut_strings = 0;
};

const std::string ellipsis = "\xE2\x80\xA6";

bool parse_count(std::string_view s, std::string_view prefix, std::string_view suffix, std::uint64_t& n) {
  if (s.size() <= prefix.size() + suffix.size() || s.compare(0, prefix.size(), prefix) != 0 ||
      s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  std::string digits(s.substr(prefix.size(), s.size() - prefix.size() - suffix.size()));
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  n = std::stoull(digits);
  return true;
}

void count_markers(const Value& v, Markers& m) {
  std::uint64_t n = 0;
  switch (v.kind()) {
    case Kind::String:
      if (parse_count(v.text(), ellipsis + "[", " items omitted]", n))
        m.items += n;
      else if (v.text().find(ellipsis + "[+") != std::string::npos)
        ++m.cut_strings;
      break;
    case Kind::Array:
      for (const Value& item : v.items()) count_markers(item, m);
      break;
    case Kind::Object:
      for (const Member& e : v.members()) {
        if (e.key == ellipsis && e.value.is_string() && parse_count(e.value.text(), "", " keys omitted", n))
          m.keys += n;
        else
          count_markers(e.value, m);
      }
      break;
    default: break;
  }
}

std::uint64_t counter(const testing::Envelope& e, const char* key) { return std::stoull(e.counter(key)); }

TEST(CorpusSweep, EveryFileAtEveryBudget) {
  const std::vector<std::string> files = corpus_files();
  ASSERT_GE(files.size(), 40u);
#if defined(__SANITIZE_ADDRESS__)
  const std::uint64_t budgets[] = {200, 5000};
#else
  const std::uint64_t budgets[] = {200, 1000, 5000, 20000};
#endif
  const char* extras[] = {
      R"("array_strategy":"sample")",
      R"("array_strategy":"condense","arguments":{"q":"status name created"})",
      R"("array_strategy":"sample","protect":["id","/*/name"],"arguments":"title")",
      R"("array_strategy":"condense","protect":["metadata/name","items/*/id"])",
  };
  int combo = 0;
  for (const std::string& name : files) {
    const std::string doc = read_file(testing::shared_dir() + "/corpus/real/" + name);
    ASSERT_FALSE(doc.empty()) << name;
    for (std::uint64_t budget : budgets) {
      for (int indent : {0, 2}) {
        for (const char* format : {"json", "yaml"}) {
          if (std::string(format) == "yaml" && indent == 0) continue;
          const char* extra = extras[combo++ % 4];
          std::string options = R"({"max_chars":)" + std::to_string(budget) + R"(,"indent":)" + std::to_string(indent) +
                                R"(,"format":")" + format + R"(",)" + extra + "}";
          SCOPED_TRACE(name + " " + options);
          auto e = testing::shrink(doc, options);
          if (!e.ok() && (name.find(".txt") != std::string::npos || name.find(".md") != std::string::npos)) {
            // Prose that breaks the YAML grammar (": " in a log line, a bracket first) is a format error.
            const std::string want = doc[0] == '[' ? "invalid JSON input: " : "invalid YAML input: ";
            EXPECT_EQ(e.error().rfind(want, 0), 0u) << e.error();
            continue;
          }
          ASSERT_TRUE(e.ok()) << e.error();
          Value back;
          if (std::string(format) == "json") {
            auto j = json::parse(e.text());
            ASSERT_TRUE(j.ok()) << e.text();
            back = std::move(j).value();
          } else {
            auto y = yaml_in::parse(e.text());
            ASSERT_TRUE(y.ok()) << y.error() << "\n" << e.text();
            back = std::move(y).value();
          }
          const bool pruned = testing::get(e.report(), "pruned").as_bool();
          const bool fits = testing::get(e.report(), "fits").as_bool();
          EXPECT_EQ(counter(e, "output_chars"), utf8::count(e.text()));
          if (!pruned) continue;
          Markers m;
          count_markers(back, m);
          EXPECT_EQ(m.items, counter(e, "items_omitted"));
          EXPECT_EQ(m.keys, counter(e, "keys_omitted"));
          EXPECT_LE(m.cut_strings, counter(e, "strings_truncated"));
          // The minimal form within budget means the search must find a fitting result.
          if (std::string(format) == "json") {
            Options o = Options::from_value(json::parse(options).value()).value();
            Value input = Value::string(doc);
            if (auto j = json::parse(doc))
              input = std::move(j).value();
            else if (auto y = yaml_in::parse(doc))
              input = std::move(y).value();
            Pruner p =
                Pruner::with_scorer(indent > 0, static_cast<std::uint64_t>(indent), o, scorer_for(o.field_scorer));
            Path root;
            Meta meta = p.analyze_at(input, 0, root, false);
            if (meta.min <= budget) {
              EXPECT_TRUE(fits) << "min " << meta.min;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavisk
