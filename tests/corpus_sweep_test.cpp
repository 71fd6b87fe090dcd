// Every real document at several budgets, layouts, formats and strategies: the
// call succeeds, its text reads back, it fits when it can, and the report's
// counters agree with the markers in the text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

// Every file of the real-world corpus, in name order.
std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(testing::shared_dir() + "/corpus/real"))
    if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  return files;
}

struct Markers {
  std::uint64_t items = 0;         // sum of the counts of the gap markers
  std::uint64_t keys = 0;          // sum of the counts of the keys markers
  std::uint64_t cut_strings = 0;   // strings holding a character-omission marker
  std::uint64_t lone_gaps = 0;     // arrays holding only a gap marker (collapsed)
  std::uint64_t sampled_gaps = 0;  // arrays holding a gap marker beside kept items
  std::uint64_t lone_keys = 0;     // objects holding only the keys marker (collapsed)
  std::uint64_t trimmed_keys = 0;  // objects holding the keys marker after kept keys
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

bool is_gap(const Value& v, std::uint64_t& n) {
  return v.is_string() && parse_count(v.text(), ellipsis + "[", " items omitted]", n);
}

void count_markers(const Value& v, Markers& m) {
  std::uint64_t n = 0;
  switch (v.kind()) {
    case Kind::String:
      if (!is_gap(v, n) && v.text().find(ellipsis + "[+") != std::string::npos) ++m.cut_strings;
      break;
    case Kind::Array: {
      std::uint64_t gaps = 0;
      for (const Value& item : v.items()) {
        if (is_gap(item, n)) {
          m.items += n;
          ++gaps;
        } else {
          count_markers(item, m);
        }
      }
      if (gaps > 0) ++(v.items().size() == 1 ? m.lone_gaps : m.sampled_gaps);
      break;
    }
    case Kind::Object: {
      const auto& members = v.members();
      for (const Member& e : members)
        if (e.key != ellipsis) count_markers(e.value, m);
      // The keys marker is always the last entry.
      if (!members.empty() && members.back().key == ellipsis && members.back().value.is_string() &&
          parse_count(members.back().value.text(), "", " keys omitted", n)) {
        m.keys += n;
        ++(members.size() == 1 ? m.lone_keys : m.trimmed_keys);
      }
      break;
    }
    default: break;
  }
}

std::uint64_t counter(const testing::Envelope& e, const char* key) { return std::stoull(e.counter(key)); }

// Reads a document the way the call's auto detection does; prose that no reader accepts stays text.
Value read_document(const std::string& doc) {
  if (auto j = json::parse(doc)) return std::move(j).value();
  if (auto y = yaml_in::parse(doc)) return std::move(y).value();
  return Value::string(doc);
}

// Characters of the smallest form the fitting can give the document, rendered as the call renders it.
std::uint64_t minimal_chars(const Value& doc, const std::string& options, int indent, Format format) {
  Options o = Options::from_value(json::parse(options).value()).value();
  const std::uint64_t effective = static_cast<std::uint64_t>(indent);
  Pruner p = Pruner::with_scorer(effective > 0, effective, o, scorer_for(o.field_scorer));
  Path root;
  Meta meta = p.analyze_at(doc, 0, root, false);
  Pruner q = Pruner::with_scorer(effective > 0, effective, o, scorer_for(o.field_scorer));
  return utf8::count(render(q.minimal(doc, meta, 0).value, effective, format));
}

// Reads a result back in the format it was written in.
::testing::AssertionResult read_back(const std::string& text, std::string_view format, Value& back) {
  if (format == "json") {
    auto j = json::parse(text);
    if (!j.ok()) return ::testing::AssertionFailure() << text;
    back = std::move(j).value();
  } else {
    auto y = yaml_in::parse(text);
    if (!y.ok()) return ::testing::AssertionFailure() << y.error() << "\n" << text;
    back = std::move(y).value();
  }
  return ::testing::AssertionSuccess();
}

TEST(CorpusSweep, EveryFileAtEveryBudget) {
  TAVISK_NEEDS_SHARED("corpus/real");
  const std::vector<std::string> files = corpus_files();
  ASSERT_GE(files.size(), 41u);
  const std::uint64_t budgets[] = {200, 1000, 5000, 20000};
  // YAML output takes an indent of at least 2; indent 0 is only asked of JSON.
  const std::pair<int, const char*> layouts[] = {{0, "json"}, {2, "json"}, {2, "yaml"}};
  const char* strategies[] = {"sample", "condense"};
  const char* arguments = R"(,"arguments":{"q":"status name created title"})";
  const char* protect = R"(,"protect":["id","/*/name","metadata/name","items/*/id"])";
  int calls = 0, prose_errors = 0, cases = 0;
  std::size_t file_index = 0;
  for (const std::string& name : files) {
    const std::size_t shift = file_index++;  // rotates the sanitized sample from file to file
    std::string doc = testing::read_file(testing::shared_dir() + "/corpus/real/" + name);
    ASSERT_FALSE(doc.empty()) << name;
    auto probe = testing::shrink(doc, R"({"max_chars":1000})");
    if (!probe.ok()) {
      // Prose that breaks the YAML grammar (": " in a log line, a bracket first) is a format error;
      // the same text handed over as a JSON string is then swept instead.
      const std::string want = doc[0] == '[' ? "invalid JSON input: " : "invalid YAML input: ";
      EXPECT_EQ(probe.error().rfind(want, 0), 0u) << name << ": " << probe.error();
      ++prose_errors;
      doc = json::to_string(Value::string(doc));
    }
    const Value input = read_document(doc);
    for (std::uint64_t budget : budgets) {
      for (const auto& [indent, format] : layouts) {
        for (const char* strategy : strategies) {
          for (int variant = 0; variant < 4; ++variant) {
            if (!testing::in_sweep_sample(shift + static_cast<std::size_t>(cases++))) continue;
            std::string options = R"({"max_chars":)" + std::to_string(budget) + R"(,"indent":)" +
                                  std::to_string(indent) + R"(,"format":")" + format + R"(","array_strategy":")" +
                                  strategy + "\"" + (variant & 1 ? arguments : "") + (variant & 2 ? protect : "") + "}";
            SCOPED_TRACE(name + " " + options);
            ++calls;
            auto e = testing::shrink(doc, options);
            ASSERT_TRUE(e.ok()) << e.error();
            Value back;
            ASSERT_TRUE(read_back(e.text(), format, back));
            const bool pruned = testing::get(e.report(), "pruned").as_bool();
            const bool fits = testing::get(e.report(), "fits").as_bool();
            const std::uint64_t chars = counter(e, "output_chars");
            EXPECT_EQ(chars, utf8::count(e.text()));
            EXPECT_EQ(fits, chars <= budget);
            Markers m;
            count_markers(back, m);
            EXPECT_EQ(m.items, counter(e, "items_omitted"));
            EXPECT_EQ(m.keys, counter(e, "keys_omitted"));
            EXPECT_LE(m.cut_strings, counter(e, "strings_truncated"));
            // A sampled array keeps at least one item; a collapsed container holds only its marker.
            EXPECT_LE(m.sampled_gaps, counter(e, "arrays_sampled"));
            EXPECT_LE(m.lone_gaps + m.lone_keys, counter(e, "containers_collapsed"));
            EXPECT_GE(m.trimmed_keys, counter(e, "objects_trimmed"));
            EXPECT_LE(m.trimmed_keys + m.lone_keys, counter(e, "objects_trimmed") + counter(e, "containers_collapsed"));
            if (!pruned) {
              EXPECT_TRUE(fits);
              EXPECT_EQ(m.items + m.keys + m.cut_strings, 0u);
              continue;
            }
            if (!fits) {
              // Not fitting is only allowed when even the smallest form is over budget.
              EXPECT_GT(
                  minimal_chars(input, options, indent, std::string(format) == "json" ? Format::Json : Format::Yaml),
                  budget);
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(cases, static_cast<int>(files.size() * std::size(budgets) * 3 * 2 * 4));
  EXPECT_GE(calls, cases / static_cast<int>(testing::sweep_stride));
  // The plain-text logs and documents of the corpus that the YAML reader rejects.
  EXPECT_LE(prose_errors, 7);
}

// Sum of the counts of the line markers ("…[+N lines, M chars]") in the strings of a value.
std::uint64_t line_marker_lines(const Value& v) {
  static const std::regex marker("\xE2\x80\xA6\\[\\+([0-9]+) lines, [0-9]+ chars\\]");
  std::uint64_t n = 0;
  switch (v.kind()) {
    case Kind::String: {
      const std::string text(v.text());
      for (auto it = std::sregex_iterator(text.begin(), text.end(), marker); it != std::sregex_iterator(); ++it)
        n += std::stoull((*it)[1]);
      break;
    }
    case Kind::Array:
      for (const Value& item : v.items()) n += line_marker_lines(item);
      break;
    case Kind::Object:
      for (const Member& e : v.members()) n += line_marker_lines(e.value);
      break;
    default: break;
  }
  return n;
}

TEST(CorpusSweep, EveryFileWithFocus) {
  TAVISK_NEEDS_SHARED("corpus/real");
  const std::vector<std::string> files = corpus_files();
  const std::uint64_t budgets[] = {200, 1000, 5000, 20000};
  const std::pair<int, const char*> layouts[] = {{0, "json"}, {2, "yaml"}};
  const char* strategies[] = {"sample", "condense"};
  const char* arguments[] = {"", R"(,"arguments":"status name created title error 404 v1.2.3 last")"};
  std::size_t file_index = 0, cases = 0;
  for (const std::string& name : files) {
    const std::size_t shift = file_index++;  // rotates the sanitized sample from file to file
    std::string doc = testing::read_file(testing::shared_dir() + "/corpus/real/" + name);
    // Prose goes in as one string: its lines are fitted by lines.
    if (!testing::shrink(doc, R"({"max_chars":1000})").ok()) doc = json::to_string(Value::string(doc));
    const Value input = read_document(doc);
    for (std::uint64_t budget : budgets) {
      for (const auto& [indent, format] : layouts) {
        for (const char* strategy : strategies) {
          for (const char* args : arguments) {
            if (!testing::in_sweep_sample(shift + cases++)) continue;
            const std::string options = R"({"focus":"auto","max_chars":)" + std::to_string(budget) + R"(,"indent":)" +
                                        std::to_string(indent) + R"(,"format":")" + format +
                                        R"(","array_strategy":")" + strategy + "\"" + args + "}";
            SCOPED_TRACE(name + " " + options);
            auto e = testing::shrink(doc, options);
            ASSERT_TRUE(e.ok()) << e.error();
            Value back;
            ASSERT_TRUE(read_back(e.text(), format, back));
            const std::uint64_t chars = counter(e, "output_chars");
            const bool fits = testing::get(e.report(), "fits").as_bool();
            EXPECT_EQ(fits, chars <= budget);
            if (!fits) {
              EXPECT_GT(minimal_chars(input, options, indent, std::string(format) == "json" ? Format::Json : Format::Yaml),
                        budget);
            }
            Markers m;
            count_markers(back, m);
            EXPECT_EQ(m.items, counter(e, "items_omitted"));
            EXPECT_EQ(m.keys, counter(e, "keys_omitted"));
            // Line fitting's markers are among the text's line markers (previews of text fitting write them too).
            EXPECT_LE(counter(e, "lines_omitted"), line_marker_lines(back));
            EXPECT_LE(counter(e, "arrays_focused"), counter(e, "arrays_sampled"));
            if (counter(e, "lines_omitted") == 0) {
              EXPECT_EQ(counter(e, "lines_matched"), 0u);
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavisk
