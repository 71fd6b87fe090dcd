// The flat tables of the condense survey and of lexical matching, the word-by-word value hits, and
// the survey shared by the attempts of one call.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "condense.h"
#include "fields.h"
#include "json.h"
#include "lexical.h"
#include "pipeline.h"

namespace tavisk {
namespace {

using Strings = std::vector<std::string>;

TEST(FlatTables, TokenSetGrowsKeepsOrderAndRejectsRepeats) {
  TokenSet set;
  Strings words = {"", "a", "ab", "abc", "abcdefgh", "abcdefghi", "\xC3\xA9t\xC3\xA9"};
  for (int i = 0; i < 3000; ++i) words.push_back("w" + std::to_string(i * 7919));
  for (const std::string& w : words) EXPECT_TRUE(set.insert(w)) << w;
  for (const std::string& w : words) EXPECT_FALSE(set.insert(w)) << w;  // every growth kept every member
  ASSERT_EQ(set.size(), words.size());
  EXPECT_EQ(Strings(set.begin(), set.end()), words);  // insertion order
  for (const std::string& w : words) EXPECT_TRUE(set.contains(w)) << w;
  for (std::string_view w : {"abcd", "abcdefg", "w1", "w7918", "\xC3\xA9t"}) EXPECT_FALSE(set.contains(w)) << w;

  set.clear();
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(set.contains("a"));
  EXPECT_TRUE(set.insert("abc"));
  TokenSet other(words.begin() + 2, words.begin() + 5);  // ab, abc, abcdefgh
  set.merge(other);
  EXPECT_EQ(Strings(set.begin(), set.end()), (Strings{"abc", "ab", "abcdefgh"}));
}

TEST(FlatTables, ValueHashSetCountsZeroAndCollidingSlots) {
  HashSet64 set;
  EXPECT_TRUE(set.insert(0));
  EXPECT_FALSE(set.insert(0));
  // Values equal in their low bits, and runs long enough to wrap the probe around the table.
  std::vector<std::uint64_t> values;
  for (std::uint64_t i = 1; i <= 2000; ++i) values.push_back(i << 40);
  for (std::uint64_t i = 1; i <= 2000; ++i) values.push_back(i);
  for (std::uint64_t v : values) EXPECT_TRUE(set.insert(v)) << v;
  for (std::uint64_t v : values) EXPECT_FALSE(set.insert(v)) << v;
  EXPECT_EQ(set.size(), values.size() + 1);
  for (std::uint64_t v : values) EXPECT_TRUE(set.contains(v));
  EXPECT_FALSE(set.contains(2001));
  EXPECT_FALSE(set.contains(std::uint64_t{2001} << 40));
}

TEST(FlatTables, ColumnIndexSeparatesParents) {
  ColumnIndex index;
  EXPECT_EQ(index.try_emplace(std::nullopt, "a", 0), std::make_pair(std::size_t{0}, true));
  EXPECT_EQ(index.try_emplace(0, "a", 1), std::make_pair(std::size_t{1}, true));  // a/a is another column
  EXPECT_EQ(index.try_emplace(1, "b", 2), std::make_pair(std::size_t{2}, true));
  EXPECT_EQ(index.try_emplace(std::nullopt, "a", 9), std::make_pair(std::size_t{0}, false));
  for (std::size_t i = 0; i < 500; ++i) index.try_emplace(std::nullopt, "k" + std::to_string(i), 3 + i);
  EXPECT_EQ(index.at({"a", "a", "b"}), 2u);
  EXPECT_EQ(index.at({"k499"}), 502u);
  EXPECT_EQ(index.find(Path{"a", "b"}), std::nullopt);
  EXPECT_EQ(index.find(1, "a"), std::nullopt);
  EXPECT_THROW(index.at({"b"}), std::out_of_range);
  EXPECT_THROW(index.at({}), std::out_of_range);
}

TEST(FlatTables, TermMatcherAgreesWithTokenHit) {
  const Strings terms = {"timestamp", "state", "naïve1", "customer"};
  const Strings members = {"timestanp", "timestamps", "states", "stata", "state", "naive1", "custome",
                           "cstomer",   "custo",      "ab",     "tim",   "customers", "tmestamp", "timestam"};
  const TermMatcher matcher(terms);
  for (const std::string& m : members) {
    const TokenSet one(&m, &m + 1);
    bool any = false;
    for (const std::string& t : terms) any |= token_hit(t, one);
    EXPECT_EQ(matcher.hits(m), any) << m;
  }
  EXPECT_FALSE(TermMatcher().hits("anything"));
}

// The hits and merged tokens of one surveyed value, found as the set-building way finds them.
struct Surveyed {
  std::uint64_t hits;
  Strings tokens;
};

Surveyed survey_one(const std::string& value, const Query& q, const Strings& column_before) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Value doc = json::parse("[{\"v\":" + json::to_string(Value::string(value)) + "}]").value();
  Path path;
  Meta meta = p.analyze_at(doc, 0, path, false);
  Discovery d;
  d.query = &q;
  d.columns.emplace_back();
  d.index.try_emplace(std::nullopt, "v", 0);
  for (const std::string& t : column_before) d.columns[0].tokens.insert(t);
  Path prefix;
  p.visit(d, doc.items()[0].members(), 1, meta.children()[0], std::nullopt, prefix, 1, 0);
  return {d.columns[0].hits, Strings(d.columns[0].tokens.begin(), d.columns[0].tokens.end())};
}

Surveyed reference_one(const std::string& value, const Query& q, const Strings& column_before) {
  TokenSet fresh;
  value_tokens(value, fresh);
  bool hit = false;
  for (const std::string& t : q.terms) hit |= token_hit(t, fresh);
  TokenSet column(column_before.begin(), column_before.end());
  if (column.size() < MAX_VALUE_TOKENS) column.merge(fresh);
  return {hit ? 1u : 0u, Strings(column.begin(), column.end())};
}

TEST(FlatTables, LongValuesHitOnlyWithinTheirFirstTokens) {
  const Query q = *build_query("customer orders");
  auto words = [](int from, int to) {
    std::string s;
    for (int i = from; i < to; ++i) s += "word" + std::to_string(i) + " ";
    return s;
  };
  std::string repeated;
  for (int i = 0; i < 300; ++i) repeated += "alpha ";
  Strings full_column;
  for (int i = 0; i < 256; ++i) full_column.push_back("x" + std::to_string(i));
  const struct {
    const char* name;
    std::string value;
    Strings column;
    std::uint64_t hits;
  } cases[] = {
      {"a term after many repeats is still among the value's tokens", repeated + "customer", {}, 1},
      {"a term after 256 other tokens is not", words(0, 300) + "customer", {}, 0},
      {"a term as the 256th token is", words(0, 255) + "customers", {}, 1},
      {"a near term early in a long value", "custmer " + words(0, 400), {}, 1},
      {"a full column takes no tokens, but the value still hits", "orders " + words(0, 20), full_column, 1},
      {"a short value merges into the column", "Customer ORDER 12 2024", {"seen"}, 1},
      {"numbers and stop words only", "the 12 of 999", {}, 0},
  };
  for (const auto& c : cases) {
    const Surveyed got = survey_one(c.value, q, c.column);
    const Surveyed want = reference_one(c.value, q, c.column);
    EXPECT_EQ(got.hits, c.hits) << c.name;
    EXPECT_EQ(got.hits, want.hits) << c.name;
    EXPECT_EQ(got.tokens, want.tokens) << c.name;
  }
}

// Fitting with a survey shared across budgets gives what fresh surveys give, in any order of budgets.
TEST(FlatTables, SharedSurveysFitLikeFreshOnes) {
  std::string doc = "[";
  for (int i = 0; i < 40; ++i) {
    if (i) doc += ",";
    doc += R"({"id":)" + std::to_string(i) + R"(,"customer":"customer )" + std::to_string(i % 7) +
           R"(","status":")" + (i % 3 ? "shipped" : "open") + R"(","note":")" + std::string(60 + i, 'n') +
           R"( order","tags":[{"name":"t)" + std::to_string(i) + R"(","weight":)" + std::to_string(i % 5) +
           R"(}],"meta":{"city":")" + (i % 2 ? "Lyon" : "Z\u00fcrich") + R"("}})";
  }
  doc += "]";
  const Value v = json::parse(doc).value();
  for (const char* args : {"customer status shipped", "url link nothing", ""}) {
    Options o;
    o.array_strategy = ArrayStrategy::Condense;
    o.explain = true;
    if (*args) o.arguments = args;
    Pruner analysis = Pruner::with_scorer(false, 0, o, HEURISTIC);
    Path root;
    const Meta meta = analysis.analyze_at(v, 0, root, false);
    auto fitted = [&](std::uint64_t budget, SurveyCache* cache) {
      Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
      p.surveys = cache;
      const Fitted f = p.fit(v, meta, budget, 0);
      std::string out = json::to_string(f.value) + " " + std::to_string(f.size) + " condensed=" +
                        std::to_string(p.stats.arrays_condensed) + " " + std::to_string(p.stats.fields_dropped);
      for (const FieldDecision& d : p.stats.field_decisions)
        out += " " + d.path + ":" + std::to_string(d.score) + ":" + std::to_string(d.relevance);
      return out;
    };
    SurveyCache shared;
    std::uint64_t condensed = 0;
    for (std::uint64_t budget : {3000u, 900u, 6000u, 400u, 1500u, 2500u}) {
      const std::string fresh = fitted(budget, nullptr);
      EXPECT_EQ(fitted(budget, &shared), fresh) << args << " at " << budget;
      condensed += fresh.find(" condensed=1 ") != std::string::npos;
    }
    EXPECT_GT(condensed, 0u) << args;  // the shared survey was actually used
  }
}

}  // namespace
}  // namespace tavisk
