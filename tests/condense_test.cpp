// Condensing arrays of records: survey arithmetic, column choice, projection,
// reporting, and end-to-end tables from the corpus.
#include "condense.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "fields.h"
#include "json.h"
#include "test_util.h"

namespace tavisk {
namespace {

using testing::get;
using testing::shrink;

Value parse(std::string_view text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v) << text;
  return v ? std::move(v).value() : Value();
}

struct Fixture {
  Options options;
  Pruner pruner;
  Value doc;
  Meta meta;

  explicit Fixture(std::string_view json, const FieldScorer& scorer = KEY_ORDER)
      : pruner(Pruner::with_scorer(false, 0, options, scorer)), doc(parse(json)) {
    Path p;
    meta = pruner.analyze_at(doc, 0, p, false);
  }

  PlanOutcome plan(std::uint64_t budget) { return pruner.plan(doc.items(), meta.children, budget, 0, true); }

  // Selected column paths joined with "/", sorted.
  std::vector<std::string> selected(std::uint64_t budget) {
    PlanOutcome o = plan(budget);
    pruner.pinned.clear();
    std::vector<std::string> out;
    if (!o.plan) return out;
    for (std::size_t c : o.plan->selected) {
      std::string s;
      for (const std::string& seg : o.plan->discovery.columns[c].path) s += (s.empty() ? "" : "/") + seg;
      out.push_back(s);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

using Strings = std::vector<std::string>;

// ---- survey and floors -----------------------------------------------------

TEST(CondenseFloor, StringsAreCutAfterHeadPlusSixteen) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path path;
  auto floor_of = [&](std::string s) {
    Value v = Value::string(std::move(s));
    Meta m = p.analyze_at(v, 1, path, false);
    return p.floor(v, m, 1);
  };
  EXPECT_EQ(floor_of(std::string(40, 'a')), 42u);  // 24 + 16 characters: whole
  // 41 characters: 24 kept + "…[+17 chars]" (12 characters) + quotes.
  EXPECT_EQ(floor_of(std::string(41, 'a')), 38u);
  // Multi-byte characters count once; quotes and escapes cost as rendered.
  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(floor_of(accented), 2u + 24u + 12u);
  p.floor_head_chars = 12;
  EXPECT_EQ(floor_of(std::string(41, 'a')), 2u + 12u + 12u);
  EXPECT_EQ(floor_of(std::string(28, 'a')), 30u);
}

TEST(CondenseFloor, ObjectsSumTheirEntriesAndProtectedValuesStayWhole) {
  Options o;
  o.protect = {"keep"};
  Pruner p = Pruner::with_scorer(true, 2, o, HEURISTIC);
  Path path;
  Value v = parse(R"({"a":")" + std::string(100, 'x') + R"(","keep":")" + std::string(100, 'y') + R"("})");
  Meta m = p.analyze_at(v, 1, path, false);
  // Framing of 2 entries at depth 1, indent 2: 2 × (2 × 2 + 2) + 2 + 2 = 16; keys "a": and "keep": with spaces.
  EXPECT_EQ(p.floor(v, m, 1), 16u + (3 + 2) + (2 + 24 + 12) + (6 + 2) + 102);
}

TEST(CondenseSurvey, ValueHashSeparatesKindsAndMixIsTheFinaliser) {
  EXPECT_NE(value_hash(Value::number("1")), value_hash(Value::string("1")));
  EXPECT_EQ(value_hash(Value::string("ab")), value_hash(Value::string("ab")));
  EXPECT_NE(value_hash(Value::boolean(true)), value_hash(Value::boolean(false)));
  EXPECT_NE(value_hash(Value::null()), value_hash(Value::boolean(false)));
  EXPECT_EQ(mix(0), 0u);
  std::uint64_t x = 1;
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 29;
  EXPECT_EQ(mix(1), x);
}

TEST(CondenseSurvey, ColumnsCountsAndShapeHints) {
  Fixture f(R"([
    {"id":"2024-01-31T10:00:00Z","n":"12.5","u":{"name":"a"},"h":"0123456789abcdef","z":null},
    {"id":"2024-1-31","n":"-3","u":"plain","h":"abcdef-abcdef","z":""},
    {"id":"2024-02-01","n":"1.2.3","u":{"name":"b","x":{}},"h":"Abc123def456G","z":[]}])");
  Discovery d;
  Path prefix;
  for (std::size_t i = 0; i < 3; ++i)
    f.pruner.visit(d, f.doc.items()[i].members(), f.doc.items()[i].members().size(), f.meta.children[i], std::nullopt,
                   prefix, 1, i);
  auto col = [&](Path p) -> const Column& { return d.columns[d.index.at(p)]; };
  EXPECT_TRUE(prefix.empty());
  EXPECT_FALSE(col({"id"}).date_like);    // 2024-1-31 is not a date
  EXPECT_FALSE(col({"n"}).numeric_like);  // 1.2.3
  EXPECT_EQ(col({"u"}).present, 3u);
  EXPECT_EQ(col({"u"}).expanded, 2u);
  EXPECT_EQ(col({"u", "name"}).present, 2u);
  EXPECT_EQ(*col({"u", "name"}).parent, d.index.at({"u"}));
  EXPECT_EQ(col({"u", "x"}).expanded, 0u);  // empty objects are not entered
  EXPECT_EQ(col({"h"}).opaque, 2u);         // hex with a digit; mixed case with digits; not letters and dashes only
  EXPECT_EQ(col({"z"}).empty, 3u);
  EXPECT_EQ(col({"z"}).scalars, 2u);
  EXPECT_EQ(col({"z"}).distinct.size(), 2u);
  // Column order: record order, key order, depth first.
  ASSERT_GE(d.columns.size(), 6u);
  EXPECT_EQ(d.columns[3].path, (Path{"u", "name"}));
}

TEST(CondenseSurvey, DateAndNumericFlagsHoldForCleanColumns) {
  Fixture f(R"([{"d":"2024-01-31T10:00:00Z","n":"12.5"},{"d":"2023-12-01","n":"-3"}])");
  Discovery d;
  Path prefix;
  for (std::size_t i = 0; i < 2; ++i)
    f.pruner.visit(d, f.doc.items()[i].members(), 2, f.meta.children[i], std::nullopt, prefix, 1, i);
  EXPECT_TRUE(d.columns[0].date_like);
  EXPECT_TRUE(d.columns[1].numeric_like);
  EXPECT_FALSE(d.columns[1].date_like);
}

TEST(CondenseSurvey, FingerprintsMatchOnlyForEqualValuesInEqualRows) {
  Fixture f(R"([{"a":1,"b":1,"c":2},{"a":2,"b":2,"c":1}])");
  Discovery d;
  Path prefix;
  for (std::size_t i = 0; i < 2; ++i)
    f.pruner.visit(d, f.doc.items()[i].members(), 3, f.meta.children[i], std::nullopt, prefix, 1, i);
  EXPECT_EQ(d.columns[0].fingerprint, d.columns[1].fingerprint);
  EXPECT_NE(d.columns[0].fingerprint, d.columns[2].fingerprint);  // same values, other rows
}

// ---- arithmetic ------------------------------------------------------------

TEST(CondenseArithmetic, TierLimitsAndThousandths) {
  EXPECT_EQ(column_tier_limit(1000, 0.5), 900u);
  EXPECT_EQ(column_tier_limit(1000, 0.3), 700u);
  EXPECT_EQ(column_tier_limit(1000, 2.0), 1000u);
  EXPECT_EQ(column_tier_limit(1000, 0.75), 1000u);
  EXPECT_EQ(column_tier_limit(1000, 0.45), 900u);
  EXPECT_EQ(column_tier_limit(1000, 0.4499), 700u);
  EXPECT_EQ(column_tier_limit(236, 0.5), 212u);  // 212.4 truncated
  EXPECT_EQ(thousandths(0.25), 250u);
  EXPECT_EQ(thousandths(-0.3), 0u);
  EXPECT_EQ(thousandths(2.0), 2000u);
  EXPECT_EQ(thousandths(0.0005), 1u);  // halves away from zero
  EXPECT_EQ(thousandths(1e12), 4294967295u);
}

TEST(CondenseArithmetic, TableLayoutTerms) {
  TableLayout compact{{false, 0}, 1};
  EXPECT_EQ(compact.framing(0), 2u);
  EXPECT_EQ(compact.framing(5), 6u);
  EXPECT_EQ(compact.record_overhead(), 1u);
  EXPECT_EQ(compact.separator(3), 1u);
  EXPECT_EQ(compact.wrapper(2), 2u);
  TableLayout pretty{{true, 2}, 1};
  EXPECT_EQ(pretty.framing(3), 3u * (2 * 2 + 2) + 2 + 2);
  EXPECT_EQ(pretty.record_overhead(), 2u * 2 + 2);
  EXPECT_EQ(pretty.separator(2), (2u + 1 + 1) * 2 + 2);
  EXPECT_EQ(pretty.wrapper(2), (2u * 3 + 2) * 2 + 4);
}

TEST(CondenseArithmetic, PathString) {
  EXPECT_EQ(Pruner::path_string({"data", "users"}, {"a", "b"}), "/data/users/*/a/b");
  EXPECT_EQ(Pruner::path_string({}, {"a", "b"}), "/*/a/b");
  EXPECT_EQ(Pruner::path_string({}, {"x/y"}), "/*/x/y");  // segments are not escaped
}

// ---- discounts -------------------------------------------------------------

Column scalar_column(Path p, std::uint64_t present, std::uint64_t fingerprint) {
  Column c;
  c.path = std::move(p);
  c.present = c.scalars = present;
  c.fingerprint = fingerprint;
  c.constant = false;
  return c;
}

TEST(CondenseDiscount, RedundantGroupsKeepTheBestAndCutTheRestTo15Percent) {
  std::vector<Column> cols = {scalar_column({"id"}, 3, 7),      scalar_column({"copy"}, 3, 7),
                              scalar_column({"x", "id"}, 3, 7), scalar_column({"small"}, 2, 9),
                              scalar_column({"small2"}, 2, 9),  scalar_column({"other"}, 4, 7)};
  std::vector<std::optional<std::string>> roles(cols.size());
  Candidates c = {{0, 0.5}, {1, 0.8}, {2, 0.8}, {3, 0.5}, {4, 0.5}, {5, 0.5}};
  discount_redundant(cols, roles, c);
  EXPECT_DOUBLE_EQ(c[0].second, 0.5 * 0.15);
  EXPECT_DOUBLE_EQ(c[1].second, 0.8);  // equal best scores: the shorter path wins
  EXPECT_DOUBLE_EQ(c[2].second, 0.8 * 0.15);
  EXPECT_DOUBLE_EQ(c[3].second, 0.5);  // fewer than three occurrences are never grouped
  EXPECT_DOUBLE_EQ(c[4].second, 0.5);
  EXPECT_DOUBLE_EQ(c[5].second, 0.5);  // other present count: another group
}

TEST(CondenseDiscount, SameRoleKeeps100_75_56Percent) {
  std::vector<Column> cols = {scalar_column({"a"}, 1, 1), scalar_column({"b"}, 1, 2), scalar_column({"c"}, 1, 3),
                              scalar_column({"d"}, 1, 4)};
  std::vector<std::optional<std::string>> roles = {"time", "time", "title", "time"};
  Candidates c = {{0, 0.4}, {1, 0.8}, {2, 0.3}, {3, 0.4}};
  discount_redundant(cols, roles, c);
  EXPECT_DOUBLE_EQ(c[1].second, 0.8);
  EXPECT_DOUBLE_EQ(c[0].second, 0.4 * 0.75);  // ties: lower column index first
  EXPECT_DOUBLE_EQ(c[3].second, 0.4 * 0.5625);
  EXPECT_DOUBLE_EQ(c[2].second, 0.3);
}

// ---- column choice (key_order scores: 1 / (1 + mean position)) -------------

std::string long_text(int i) { return std::string(59, 'a') + static_cast<char>('a' + i); }

TEST(CondenseChoice, TierLimitAndCheaperLaterCandidate) {
  // k0 score 1 (cost 28), k1 score 0.5 (60-character strings: floor 38, cost 176), k2 score 1/3 (cost 28).
  std::string doc = "[";
  for (int i = 0; i < 4; ++i) {
    if (i) doc += ",";
    doc +=
        R"({"k0":)" + std::to_string(i + 1) + R"(,"k1":")" + long_text(i) + R"(","k2":)" + std::to_string(i + 5) + "}";
  }
  doc += "]";
  Fixture f(doc);
  // Base 9 + k0 28 = 37; with k1 213 > ⌊0.9 × 236⌋ = 212; k2 fits within ⌊0.7 × 236⌋ = 165.
  EXPECT_EQ(f.selected(236), (Strings{"k0", "k2"}));
  // 213 ≤ ⌊0.9 × 237⌋; then k2 would need 241 > ⌊0.7 × 237⌋ = 165, nor does it fit at full size.
  EXPECT_EQ(f.selected(237), (Strings{"k0", "k1"}));
}

TEST(CondenseChoice, AncestorCostsArePaidOnce) {
  // Base 9; k 24; u/a 24 + u's key 16 and wrappers 8; u/b 24 more with u already paid: 105 in all.
  // (Values differ column to column, so no column is discounted as a copy of another.)
  Fixture f(R"([{"k":1,"u":{"a":5,"b":9}},{"k":2,"u":{"a":6,"b":0}},
                {"k":3,"u":{"a":7,"b":9}},{"k":4,"u":{"a":8,"b":0}}])");
  EXPECT_EQ(f.selected(105), (Strings{"k", "u/a", "u/b"}));
  EXPECT_EQ(f.selected(104), (Strings{"k", "u/a"}));
}

std::vector<Column> choice_columns() {
  // 0: p (always an object), 1: p/x, 2: p/y, 3: w (a weak top-level column).
  std::vector<Column> cols(4);
  cols[0].path = {"p"};
  cols[0].present = cols[0].expanded = 10;
  cols[0].key_chars = 40;
  for (std::size_t i : {1u, 2u}) {
    cols[i].path = {"p", i == 1 ? "x" : "y"};
    cols[i].parent = 0;
    cols[i].present = 10;
    cols[i].key_chars = 40;
  }
  cols[3].path = {"w"};
  cols[3].present = 10;
  cols[3].key_chars = 40;
  return cols;
}

TEST(CondenseChoice, SwapsOnlyWhenSomethingIsRemoved) {
  std::vector<Column> cols = choice_columns();
  cols[1].floor_chars = 100;
  cols[1].value_chars = 1000;  // too large to join at full size
  cols[2].floor_chars = 10;
  cols[3].floor_chars = 10;
  std::vector<char> exact(cols.size(), 0);
  const TableLayout tl{{false, 0}, 0};
  // Scores: x 0.7, y 0.6 (not weaker than 0.85 × 0.7), w 0.3.
  Candidates cands = {{1, 0.7}, {2, 0.6}, {3, 0.3}};
  std::vector<double> score_of = {0, 0.7, 0.6, 0.3};
  // Costs (compact, 10 rows): base 21; x 150 + parent 60; y 60 (+ parent 60); w 60.
  {
    ColumnChoice ch(cols, exact, tl, 10);
    ch.greedy(cands, 222);  // x: 21 + 210 > 199; y: 21 + 120 = 141 ≤ 199; w: 201 ≤ 155? no
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{2}));
    // With y paying p, x now costs 150: 141 + 150 = 291 > 199, and nothing weaker can be removed.
    ch.swap_in_stronger(cands, score_of, 222);
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{2}));
  }
  {
    // Budget 340: greedy x needs 231 ≤ 306 — take it directly; make the swap matter instead with w first.
    ColumnChoice ch(cols, exact, tl, 10);
    Candidates forced = {{2, 0.6}, {3, 0.3}};
    ch.greedy(forced, 340);  // y 141 ≤ 306; w 201 ≤ 238
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{2, 3}));
    // Trial y, w, x costs 351 > 306: w (0.3 < 0.595) goes, leaving 291 ≤ 306 with more cubed score.
    ch.swap_in_stronger(cands, score_of, 340);
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(ch.running, 291u);
  }
  {
    // A trial that fits without removing anything is not a swap (the greedy pass already refused it).
    ColumnChoice ch(cols, exact, tl, 10);
    Candidates forced = {{2, 0.6}};
    ch.greedy(forced, 340);
    ch.swap_in_stronger(cands, score_of, 340);  // y + x = 291 ≤ 306, nothing removed
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{2}));
  }
}

// ---- planning through the pipeline ---------------------------------------------

std::string records(int n, const std::function<std::string(int)>& extra) {
  std::string out = "[";
  for (int i = 0; i < n; ++i) {
    if (i) out += ",";
    out += "{" + extra(i) + "}";
  }
  return out + "]";
}

std::string shared_fields(int i) {
  return R"("id":)" + std::to_string(1000 + i) + R"(,"title":"Title number )" + std::to_string(i) +
         R"( of the list","body":")" + std::string(200, static_cast<char>('a' + i % 26)) + "\"";
}

const char* CONDENSE = R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":1500})";

TEST(CondensePlan, WorthinessBoundaryAt70Percent) {
  // Eight records share id, title, body; every record has private keys.
  auto build = [](int privates) {
    return records(10, [&](int i) {
      std::string s = i < 8 ? shared_fields(i) + "," : "";
      for (int k = 0; k < privates; ++k)
        s += (k ? "," : "") + ("\"p" + std::to_string(i) + "_" + std::to_string(k) + "\":1");
      if (i >= 8) {
        s.clear();
        for (int k = 0; k < 2; ++k)
          s += (k ? "," : "") + ("\"q" + std::to_string(i) + "_" + std::to_string(k) + "\":1");
      }
      return s;
    });
  };
  // 24 of 44 occurrences are common: below 70 %, the array is sampled.
  auto two = shrink(build(2), CONDENSE);
  ASSERT_TRUE(two.ok()) << two.error();
  EXPECT_EQ(two.counter("arrays_condensed"), "0");
  EXPECT_EQ(two.counter("arrays_sampled"), "1");
  // One private key each and the last two records with one key: 24 of 34 is above 70 %.
  auto one = shrink(records(10,
                            [](int i) {
                              std::string p = "\"p" + std::to_string(i) + "\":1";
                              return i < 8 ? shared_fields(i) + "," + p : p;
                            }),
                    CONDENSE);
  ASSERT_TRUE(one.ok()) << one.error();
  EXPECT_EQ(one.counter("arrays_condensed"), "1");
}

TEST(CondensePlan, KeyInExactlyHalfTheRecordsIsCommon) {
  // id and title in all 10 records (20), half in k records, one private key in 6 records.
  auto lean = [](int k) {
    return records(10, [&](int i) {
      std::string s = R"("id":)" + std::to_string(i) + R"(,"title":"Entry )" + std::to_string(i) + " " +
                      std::string(150, 'x') + "\"";
      if (i < k) s += R"(,"half":)" + std::to_string(i);
      if (i >= 4) s += ",\"p" + std::to_string(i) + "\":1";
      return s;
    });
  };
  // k = 5: common 25 of 31 (80 %); k = 4: common 20 of 30 (66 %).
  EXPECT_EQ(shrink(lean(5), CONDENSE).counter("arrays_condensed"), "1");
  EXPECT_EQ(shrink(lean(4), CONDENSE).counter("arrays_condensed"), "0");
}

std::set<std::string> decision_paths(const testing::Envelope& e) {
  std::set<std::string> out;
  const Value& d = get(e.report(), "field_decisions");
  for (const Value& x : d.items()) out.emplace(get(x, "path").text());
  return out;
}

std::string user_records(bool string_in_one) {
  return records(6, [&](int i) {
    std::string user = string_in_one && i == 3
                           ? R"("nobody")"
                           : R"({"name":"User )" + std::to_string(i) + R"(","login":"u)" + std::to_string(i) + "\"}";
    return shared_fields(i) + R"(,"user":)" + user;
  });
}

TEST(CondensePlan, CandidatesLieUnderAlwaysObjectParents) {
  auto e = shrink(user_records(false), CONDENSE);
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e.counter("arrays_condensed"), "1");
  auto paths = decision_paths(e);
  EXPECT_TRUE(paths.count("/*/user/name"));
  EXPECT_FALSE(paths.count("/*/user"));
  auto mixed = shrink(user_records(true), CONDENSE);
  ASSERT_EQ(mixed.counter("arrays_condensed"), "1");
  paths = decision_paths(mixed);
  EXPECT_TRUE(paths.count("/*/user"));
  EXPECT_FALSE(paths.count("/*/user/name"));
}

const Value* decision(const testing::Envelope& e, std::string_view path) {
  for (const Value& x : get(e.report(), "field_decisions").items())
    if (get(x, "path").text() == path) return &x;
  return nullptr;
}

TEST(CondensePlan, RedundantColumnReportedAt15PercentInThousandths) {
  // key_order: a at position 0 scores 1, b at position 1 scores 0.5; b repeats a's values.
  std::string doc = records(5, [](int i) {
    return R"("a":)" + std::to_string(i) + R"(,"b":)" + std::to_string(i) + R"(,"c":")" + std::string(300, 'z') + "\"";
  });
  auto e = shrink(doc, R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":600,
                         "field_scorer":"key_order"})");
  ASSERT_EQ(e.counter("arrays_condensed"), "1") << e.text();
  const Value* b = decision(e, "/*/b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(json::to_string(get(*b, "score")), "0.075");
  EXPECT_EQ(json::to_string(get(*decision(e, "/*/a"), "score")), "1.000");
  EXPECT_EQ(json::to_string(get(*decision(e, "/*/c"), "score")), "0.333");
}

TEST(CondensePlan, ProtectedColumnScores2000) {
  auto e = shrink(user_records(false), R"({"array_strategy":"condense","explain":true,"indent":0,
                                         "max_chars":1500,"protect":["login"]})");
  ASSERT_EQ(e.counter("arrays_condensed"), "1");
  const Value* login = decision(e, "/*/user/login");
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(json::to_string(get(*login, "score")), "2.000");
  EXPECT_TRUE(get(*login, "kept").as_bool());
  // Field decisions come sorted by score, so the protected column is first.
  EXPECT_EQ(get(get(e.report(), "field_decisions").items()[0], "path").text(), "/*/user/login");
}

TEST(CondensePlan, DroppedPrefixReportedOnceWithTheParentCount) {
  // b/x, b/y, a/x and a/y are dropped with their always-object parents: one entry per parent, with its count.
  std::string big = std::string(2000, 'x');
  std::string doc = records(6, [&](int i) {
    std::string inner = R"({"x":")" + big + std::to_string(i) + R"(","y":")" + big + std::to_string(i) + "\"}";
    return shared_fields(i) + R"(,"b":)" + inner + R"(,"a":)" + inner;
  });
  auto e = shrink(doc, CONDENSE);
  ASSERT_EQ(e.counter("arrays_condensed"), "1");
  std::vector<std::string> paths;
  for (const Value& d : get(e.report(), "dropped_fields").items())
    paths.push_back(std::string(get(d, "path").text()) + "=" + std::string(get(d, "items").text()));
  // Equal counts are listed in byte order of the path text, not in column order.
  // b keeps x, so only b/y is dropped under it.
  EXPECT_EQ(paths, (Strings{"/*/a=6", "/*/b/y=6"})) << e.text();
  EXPECT_EQ(e.counter("fields_dropped"), "2");
}

TEST(CondensePlan, SecondAttemptRunsWithoutRelevance) {
  // The query lifts the url column to the top, but its long links are kept whole and cannot fit, so the top
  // gate fails at both widths; the second attempt plans without relevance and the description leads.
  std::string doc = records(8, [](int i) {
    return R"("url":"https://example.org/)" + std::string(250, 'u') + std::to_string(i) +
           R"(","description":"Item number )" + std::to_string(i) + R"(","note":")" + std::string(200, 'n') + "\"";
  });
  auto without = shrink(doc, CONDENSE);
  auto with = shrink(doc, R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":1500,
                            "arguments":{"q":"url link"}})");
  ASSERT_TRUE(with.ok()) << with.error();
  EXPECT_EQ(without.counter("arrays_condensed"), "1");
  ASSERT_EQ(with.counter("arrays_condensed"), "1");
  EXPECT_FALSE(get(*decision(with, "/*/url"), "kept").as_bool());
  for (const Value& d : get(with.report(), "field_decisions").items())
    EXPECT_EQ(json::to_string(get(d, "relevance")), "0.000") << get(d, "path").text();
}

TEST(CondensePlan, ArraysThatAreNotAllRecordsAreSampled) {
  auto one = shrink(R"([{"id":1,"body":")" + std::string(3000, 'b') + R"("}])", CONDENSE);
  EXPECT_EQ(one.counter("arrays_condensed"), "0");
  std::string mixed = records(8, shared_fields);
  mixed.insert(1, "7,");
  auto e = shrink(mixed, CONDENSE);
  EXPECT_EQ(e.counter("arrays_condensed"), "0");
  EXPECT_EQ(e.counter("arrays_sampled"), "1");
}

// ---- projection --------------------------------------------------------------

TEST(CondenseProject, KeepsSelectedPathsAndPrefixObjects) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  PathSet selected = {{"a", "b"}, {"s"}};
  PathSet prefixes = {{"a"}, {"a", "b"}, {"s"}};
  Path working;
  auto run = [&](std::string_view json) {
    Value v = parse(json);
    return json::to_string(Value::object(p.project(v.members(), working, prefixes, selected)));
  };
  EXPECT_EQ(run(R"({"a":{"b":1,"c":2},"d":3})"), R"({"a":{"b":1}})");
  EXPECT_EQ(run(R"({"a":{"c":2}})"), R"({"a":{}})");
  EXPECT_EQ(run(R"({"a":"x"})"), "{}");
  EXPECT_EQ(run(R"({"s":{"deep":{"z":1}},"s":2})"), R"({"s":{"deep":{"z":1}},"s":2})");
  EXPECT_EQ(run(R"({"q":1})"), "{}");
  EXPECT_TRUE(working.empty());
}

// ---- fill --------------------------------------------------------------------

TEST(CondenseFill, SmallNeedsFirstAndUnusedShareReturnsToThePool) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path path;
  Value::Array values = {Value::string(std::string(100, 'a')), Value::string(std::string(10, 'b')),
                         Value::string(std::string(100, 'c'))};
  std::vector<Meta> metas;
  std::vector<std::uint64_t> floors;
  std::vector<Child> pairs;
  for (const Value& v : values) metas.push_back(p.analyze_at(v, 1, path, false));
  for (std::size_t i = 0; i < values.size(); ++i) {
    floors.push_back(p.floor(values[i], metas[i], 1));
    pairs.push_back({&values[i], &metas[i], nullptr});
  }
  // Floors 38, 12, 38; the short string needs nothing, so the spare 60 is shared 30 / 30 by the long ones.
  Pruner::Filled f = p.fill(pairs, floors, 60, 1);
  ASSERT_EQ(f.values.size(), 3u);
  EXPECT_EQ(f.values[1].text(), std::string(10, 'b'));
  EXPECT_LE(f.total, 38u + 12 + 38 + 60);
  EXPECT_GT(f.values[0].text().size(), 30u);
  EXPECT_GT(f.values[2].text().size(), 30u);
  // A negative spare gives every value its floor only.
  Pruner::Filled tight = p.fill(pairs, floors, -5, 1);
  EXPECT_LE(tight.total, 38u + 12 + 38);
}

// ---- end to end over the corpus ------------------------------------------------------

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const Value* at_path(const Value& v, const Path& p) {
  const Value* cur = &v;
  for (const std::string& k : p) {
    cur = &get(*cur, k);
    if (cur->is_null()) return nullptr;
  }
  return cur;
}

bool contains_key_path(const Value& v, const std::vector<std::string>& segs, std::size_t i) {
  if (i == segs.size()) return true;
  if (segs[i] == "*") {
    if (!v.is_array()) return false;
    for (const Value& x : v.items())
      if (contains_key_path(x, segs, i + 1)) return true;
    return false;
  }
  if (!v.is_object()) return false;
  for (const Member& m : v.members())
    if (m.key == segs[i] && contains_key_path(m.value, segs, i + 1)) return true;
  return false;
}

std::vector<std::string> split_path(std::string_view text) {
  std::vector<std::string> out;
  std::size_t pos = 1;
  while (pos <= text.size()) {
    std::size_t next = text.find('/', pos);
    if (next == std::string::npos) next = text.size();
    out.emplace_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
  return out;
}

// Identifier and title keys whose values a condensed record keeps exactly as in the input.
bool whole_key(std::string_view k) { return k == "id" || k == "sha" || k == "key" || k == "iid" || k == "title"; }

// Whether the table was condensed.
bool check_table(const std::string& name, const Value& input, const Path& at, std::uint64_t budget) {
  SCOPED_TRACE(name + " at " + std::to_string(budget));
  std::string options =
      R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":)" + std::to_string(budget) + "}";
  auto e = shrink(json::to_string(input), options);
  EXPECT_TRUE(e.ok()) << e.error();
  EXPECT_LE(std::stoull("0" + e.counter("output_chars")), budget);
  // The table itself was condensed when a decision names one of its own columns (no further array item).
  const std::string prefix = Pruner::path_string(at, {});
  bool table_condensed = false;
  for (const Value& d : get(e.report(), "field_decisions").items()) {
    std::string_view p = get(d, "path").text();
    if (p.compare(0, prefix.size(), prefix) == 0 && p.find("/*", prefix.size()) == std::string::npos)
      table_condensed = true;
  }
  if (!table_condensed) return false;
  Value out = parse(e.text());
  const Value* in_table = at_path(input, at);
  const Value* out_table = at_path(out, at);
  EXPECT_TRUE(out_table && out_table->is_array());
  if (!out_table || !out_table->is_array()) return true;
  EXPECT_EQ(out_table->items().size(), in_table->items().size());
  for (std::size_t i = 0; i < std::min(in_table->items().size(), out_table->items().size()); ++i) {
    const Value& row = out_table->items()[i];
    EXPECT_TRUE(row.is_object());
    for (const Member& m : row.members()) {
      if (!whole_key(m.key)) continue;
      EXPECT_EQ(json::to_string(m.value), json::to_string(get(in_table->items()[i], m.key))) << m.key;
    }
  }
  // Fields dropped from this table (nested tables report their own, which may differ record to record).
  for (const Value& d : get(e.report(), "dropped_fields").items()) {
    std::string_view p = get(d, "path").text();
    if (p.compare(0, prefix.size(), prefix) != 0 || p.find("/*", prefix.size()) != std::string::npos) continue;
    std::vector<std::string> segs = split_path(p);
    EXPECT_FALSE(contains_key_path(out, segs, 0)) << get(d, "path").text();
  }
  return true;
}

Value generated_table(int rows) {
  Value::Array items;
  items.reserve(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    Value::Object o;
    o.push_back({"id", Value::number(std::to_string(i))});
    o.push_back({"title", Value::string("Row " + std::to_string(i) + " of the table")});
    o.push_back({"status", Value::string(i % 3 == 0 ? "open" : "closed")});
    o.push_back({"created_at", Value::string("2024-01-" + std::to_string(10 + i % 20) + "T10:00:00Z")});
    o.push_back({"score", Value::number(std::to_string(i * 7 % 101))});
    o.push_back({"body", Value::string(std::string(static_cast<std::size_t>(40 + i % 60), 'b'))});
    items.push_back(Value::object(std::move(o)));
  }
  return Value::array(std::move(items));
}

TEST(CondenseCorpus, TablesKeepOneRecordPerItemInOrder) {
  struct Case {
    const char* file;
    Path at;
  };
  const Case cases[] = {{"github-commits-list.json", {}},  {"gitlab-merge-requests-list.json", {}},
                        {"github-releases-list.json", {}}, {"helm-repo-search-redis.json", {}},
                        {"k8s-pods-list.json", {"items"}}, {"jira-search-issues.json", {"issues"}}};
  int condensed = 0;
  for (const Case& c : cases) {
    std::string text = read_file(testing::shared_dir() + "/corpus/real/" + c.file);
    ASSERT_FALSE(text.empty()) << c.file;
    Value input = parse(text);
    for (std::uint64_t budget : {500u, 2000u, 5000u, 10000u, 20000u}) {
      condensed += check_table(c.file, input, c.at, budget) ? 1 : 0;
    }
  }
  Value table = generated_table(10000);
  // 10,000 records need more than 20,000 characters for their braces and commas alone: no plan, and the
  // sampled result still fits.
  for (std::uint64_t budget : {500u, 2000u, 20000u}) EXPECT_FALSE(check_table("generated", table, {}, budget));
  Value small = generated_table(300);
  int generated = 0;
  for (std::uint64_t budget : {10000u, 20000u}) generated += check_table("generated", small, {}, budget) ? 1 : 0;
  EXPECT_EQ(generated, 2);
  EXPECT_GE(condensed, 12);
}

}  // namespace
}  // namespace tavisk
