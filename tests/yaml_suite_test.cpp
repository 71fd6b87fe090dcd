// Runs the YAML test suite data through the reader: valid cases must read to the
// expected JSON value, error cases must be rejected with a positioned message.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "test_util.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

namespace fs = std::filesystem;

// Splits a text of consecutive JSON values into one text per value.
std::vector<std::string> json_stream(std::string_view t) {
  std::vector<std::string> out;
  std::size_t i = 0;
  auto space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
  while (true) {
    while (i < t.size() && space(t[i])) ++i;
    if (i == t.size()) break;
    std::size_t start = i;
    int depth = 0;
    bool in_string = false;
    while (i < t.size()) {
      char c = t[i++];
      if (in_string) {
        if (c == '\\')
          ++i;
        else if (c == '"')
          in_string = false;
      } else if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        ++depth;
      } else if (c == ']' || c == '}') {
        --depth;
      }
      if (depth == 0 && !in_string && (i == t.size() || space(t[i]) || c == '"' || c == ']' || c == '}')) break;
    }
    out.emplace_back(t.substr(start, i - start));
  }
  return out;
}

double number_value(std::string_view text) {
  double d = 0;
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

// Structural equality with numbers compared by value.
bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.as_bool() == b.as_bool();
    case Kind::Number: return number_value(a.text()) == number_value(b.text());
    case Kind::String: return a.text() == b.text();
    case Kind::Array: return std::equal(a.items().begin(), a.items().end(), b.items().begin(), b.items().end(), same);
    case Kind::Object:
      // The suite's JSON does not keep key order (RR7F lists a later key first).
      if (a.members().size() != b.members().size()) return false;
      for (const Member& m : a.members()) {
        auto it = std::find_if(b.members().begin(), b.members().end(), [&](const Member& n) { return n.key == m.key; });
        if (it == b.members().end() || !same(m.value, it->value)) return false;
      }
      return true;
  }
  return false;
}

bool positioned(const std::string& message) {
  auto at = message.find(" at byte ");
  return at != std::string::npos && message.find(" line ", at) != std::string::npos &&
         message.find(" column ", at) != std::string::npos;
}

struct Tally {
  int valid_total = 0, valid_passed = 0, error_total = 0, error_passed = 0;
  std::vector<std::string> failures;
};

void run_case(const fs::path& dir, const std::string& id, Tally& tally) {
  std::string yaml = testing::read_file((dir / "in.yaml").string());
  auto got = yaml_in::parse(yaml);
  if (fs::exists(dir / "error")) {
    ++tally.error_total;
    bool ok = !got && positioned(got.error());
    if (ok)
      ++tally.error_passed;
    else
      tally.failures.push_back(id +
                               ": accepted or unpositioned: " + (got ? json::to_string(got.value()) : got.error()));
    return;
  }
  if (!fs::exists(dir / "in.json")) return;
  ++tally.valid_total;
  std::vector<std::string> texts = json_stream(testing::read_file((dir / "in.json").string()));
  Value::Array docs;
  for (const std::string& t : texts) {
    auto v = json::parse(t);
    ASSERT_TRUE(v) << id << ": bad in.json: " << v.error().text();
    docs.push_back(std::move(v).value());
  }
  Value expected = docs.empty() ? Value::null() : docs.size() == 1 ? std::move(docs[0]) : Value::array(std::move(docs));
  bool ok = got && same(got.value(), expected);
  if (ok)
    ++tally.valid_passed;
  else
    tally.failures.push_back(id + ": got " + (got ? json::to_string(got.value()) : got.error()) + " expected " +
                             json::to_string(expected));
}

TEST(YamlSuite, ReadsValidCasesAndRejectsErrorCases) {
  TAVISK_NEEDS_SHARED("corpus/yaml-test-suite");
  fs::path root = fs::path(testing::shared_dir()) / "corpus" / "yaml-test-suite";
  ASSERT_TRUE(fs::is_directory(root));
  std::vector<fs::path> dirs;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().filename() == "in.yaml") dirs.push_back(entry.path().parent_path());
  std::sort(dirs.begin(), dirs.end());
  Tally tally;
  for (const fs::path& dir : dirs) run_case(dir, fs::relative(dir, root).string(), tally);
  for (const std::string& f : tally.failures) ADD_FAILURE() << f;
  std::cout << "YAML suite: " << tally.valid_passed << "/" << tally.valid_total << " valid cases read, "
            << tally.error_passed << "/" << tally.error_total << " error cases rejected\n";
  RecordProperty("valid_passed", tally.valid_passed);
  RecordProperty("error_passed", tally.error_passed);
  EXPECT_EQ(tally.valid_total, 279);
  EXPECT_EQ(tally.error_total, 94);
  EXPECT_EQ(tally.valid_passed, 279);
  EXPECT_EQ(tally.error_passed, 94);
}

}  // namespace
}  // namespace tavisk
