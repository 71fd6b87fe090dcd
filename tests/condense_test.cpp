// Condensing arrays of records: survey arithmetic, column choice, projection,
// reporting, and end-to-end tables from the corpus.
#include "condense.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "fields.h"
#include "json.h"
#include "size.h"
#include "test_util.h"
#include "utf8.h"

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

  PlanOutcome plan(std::uint64_t budget) { return pruner.plan(doc.items(), meta.children(), budget, 0, true); }

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
}

TEST(CondenseSurvey, ValueHashesAndMixMatchAnIndependentSipHash13) {
  // Digests from a separate SipHash-1-3 implementation (zero key) over tag byte, bool byte or text + 0xFF.
  struct Case {
    Value v;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {Value::null(), 7541581120933061747ull},
      {Value::boolean(true), 5473066677718280640ull},
      {Value::boolean(false), 10500823559348167161ull},
      {Value::number("1"), 13357019328650370127ull},
      {Value::string("1"), 9142623349140127573ull},
      // Several 8-byte blocks and multi-byte characters.
      {Value::string("h\xC3\xA9llo w\xC3\xB6rld, a longer text"), 10643565805929397266ull},
  };
  for (const Case& c : cases) EXPECT_EQ(value_hash(c.v), c.hash) << json::to_string(c.v);
  EXPECT_EQ(mix(1), 18397679261073338994ull);
}

TEST(CondenseSurvey, ColumnsCountsAndShapeHints) {
  Fixture f(R"([
    {"id":"2024-01-31T10:00:00Z","n":"12.5","u":{"name":"a"},"h":"0123456789abcdef","z":null},
    {"id":"2024-1-31","n":"-3","u":"plain","h":"abcdef-abcdef","z":""},
    {"id":"2024-02-01","n":"1.2.3","u":{"name":"b","x":{}},"h":"Abc123def456G","z":[]}])");
  Discovery d;
  Path prefix;
  for (std::size_t i = 0; i < 3; ++i)
    f.pruner.visit(d, f.doc.items()[i].members(), f.doc.items()[i].members().size(), f.meta.children()[i], std::nullopt,
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
    f.pruner.visit(d, f.doc.items()[i].members(), 2, f.meta.children()[i], std::nullopt, prefix, 1, i);
  EXPECT_TRUE(d.columns[0].date_like);
  EXPECT_TRUE(d.columns[1].numeric_like);
  EXPECT_FALSE(d.columns[1].date_like);
}

TEST(CondenseSurvey, FingerprintsMatchOnlyForEqualValuesInEqualRows) {
  Fixture f(R"([{"a":1,"b":1,"c":2},{"a":2,"b":2,"c":1}])");
  Discovery d;
  Path prefix;
  for (std::size_t i = 0; i < 2; ++i)
    f.pruner.visit(d, f.doc.items()[i].members(), 3, f.meta.children()[i], std::nullopt, prefix, 1, i);
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

TEST(CondenseChoice, EqualWeakerColumnsLeaveInTheOrderTheyWereChosen) {
  // x (score 0.9, cost 150) is left out by the greedy pass; w1 and w2 (0.3 each, cost 60) are in.
  std::vector<Column> cols(3);
  const char* names[] = {"x", "w1", "w2"};
  for (std::size_t i = 0; i < cols.size(); ++i) {
    cols[i].path = {names[i]};
    cols[i].present = 10;
    cols[i].key_chars = 40;
    cols[i].floor_chars = i == 0 ? 100 : 10;
  }
  std::vector<char> exact(cols.size(), 0);
  const TableLayout tl{{false, 0}, 0};
  const std::vector<double> score_of = {0.9, 0.3, 0.3};
  for (const std::vector<std::size_t>& chosen : {std::vector<std::size_t>{1, 2}, std::vector<std::size_t>{2, 1}}) {
    ColumnChoice ch(cols, exact, tl, 10);
    Candidates forced;
    for (std::size_t c : chosen) forced.push_back({c, 0.3});
    ch.greedy(forced, 240);  // base 21 + 60 + 60 = 141 ≤ ⌊0.7 × 240⌋
    ASSERT_EQ(ch.list, chosen);
    // All three cost 291 > 240; removing one weak column (231) is enough, and the first chosen goes.
    ch.swap_in_stronger({{0, 0.9}, {1, 0.3}, {2, 0.3}}, score_of, 240);
    EXPECT_EQ(ch.list, (std::vector<std::size_t>{chosen[1], 0}));
    EXPECT_EQ(ch.running, 231u);
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

TEST(CondensePlan, WorthinessCountsTopLevelOccurrencesOfCommonKeys) {
  // Record i holds the listed keys (each with value i); "p" keys are private (suffixed with the record index).
  auto build = [](int n, const std::function<std::vector<std::string>(int)>& keys) {
    return records(n, [&](int i) {
      std::string s;
      for (std::string k : keys(i)) {
        if (k == "p") k += std::to_string(i);
        if (k == "q") k += std::to_string(i);
        s += (s.empty() ? "" : ",") + ("\"" + k + "\":") + (k == "nest" ? R"({"x":1,"y":2,"z":3})" : std::to_string(i));
      }
      return s;
    });
  };
  struct Case {
    const char* name;
    std::string doc;
    bool first;
    bool condensable;
  };
  const std::vector<std::string> abc = {"a", "b", "c"}, abcp = {"a", "b", "c", "p"}, abcpq = {"a", "b", "c", "p", "q"};
  const Case cases[] = {
      {"24 of 44",
       build(10,
             [&](int i) {
               return i < 8 ? abcpq : Strings{"p", "q"};
             }),
       true, false},
      {"24 of 34", build(10, [&](int i) { return i < 8 ? abcp : Strings{"p"}; }), true, true},
      {"24 of 44, later pass",
       build(10,
             [&](int i) {
               return i < 8 ? abcpq : Strings{"p", "q"};
             }),
       false, true},
      // A key in exactly half the records is common: 6 of 8 (counted as 4 of 8 it would fail).
      {"half",
       build(4,
             [](int i) {
               return i < 2 ? Strings{"id", "half"} : Strings{"id", "p"};
             }),
       true, true},
      // Exactly 70 %: 7 of 10.
      {"70 percent", build(10, [](int i) { return i < 7 ? Strings{"a"} : Strings{"p"}; }), true, true},
      {"69 percent", build(13, [](int i) { return i < 9 ? Strings{"a"} : Strings{"p"}; }), true, false},
      // Only top-level keys count: 4 of 8, although the nested keys are shared by every record.
      {"nested",
       build(4,
             [](int) {
               return Strings{"nest", "p"};
             }),
       true, false},
  };
  for (const Case& c : cases) {
    Fixture f(c.doc);
    PlanOutcome o = f.pruner.plan(f.doc.items(), f.meta.children(), 100000, 0, c.first);
    f.pruner.pinned.clear();
    EXPECT_EQ(o.status != PlanStatus::NotCondensable, c.condensable) << c.name;
  }
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

TEST(CondensePlan, NameAndValueRelevanceOfColumnPaths) {
  std::string doc = records(6, [](int i) {
    const std::string n = std::to_string(i);
    return R"("title":"Entry number )" + n + R"( of the list","account":{"id":)" + std::to_string(100 + i) +
           R"(},"data":{"items":{"name":"n)" + n + R"("}},"author":{"login_name":"a)" + n +
           R"("},"records":{"login_name":"r)" + n + R"("},"note":"alpha )" + n + R"(","body":")" +
           std::string(300, 'x') + "\"";
  });
  auto relevance = [&](const std::string& arguments) {
    auto e = shrink(doc, R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":1200,"arguments":")" +
                             arguments + "\"}");
    EXPECT_EQ(e.counter("arrays_condensed"), "1") << e.text();
    std::map<std::string, std::string> out;
    for (const Value& d : get(e.report(), "field_decisions").items())
      out[std::string(get(d, "path").text())] = json::to_string(get(d, "relevance"));
    return out;
  };
  auto r = relevance("name author records alpha");
  // data and items are collection words and name is generic: the label falls back to the last segment.
  EXPECT_EQ(r["/*/data/items/name"], "1.000");
  // Half the label words hit (0.25), and the segment before the label is context that hits (+ 0.5) ...
  EXPECT_EQ(r["/*/author/login_name"], "0.750");
  // ... unless it is a collection word, which is removed from the context as well.
  EXPECT_EQ(r["/*/records/login_name"], "0.250");
  // One of four terms among the values: 0.5 + 0.5 × 1 / 4.
  EXPECT_EQ(r["/*/note"], "0.625");
  EXPECT_EQ(r["/*/account/id"], "0.000");
  // A generic last segment does not name the field: account/id is labelled by account.
  EXPECT_EQ(relevance("id")["/*/account/id"], "0.000");
  EXPECT_EQ(relevance("account")["/*/account/id"], "1.000");
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

TEST(CondensePlan, DroppedFieldsListTheMoreFrequentFirst) {
  // Bulky fields are dropped; "z/y" is in every record and "a" in four of six,
  // so the count decides the order against the byte order of the paths.
  std::string big = std::string(2000, 'x');
  std::string doc = records(6, [&](int i) {
    std::string inner = R"({"x":")" + big + std::to_string(i) + R"(","y":")" + big + std::to_string(i) + "\"}";
    std::string out = shared_fields(i) + R"(,"z":)" + inner;
    if (i % 3 != 0) out += R"(,"a":)" + inner;
    return out;
  });
  auto e = shrink(doc, CONDENSE);
  ASSERT_EQ(e.counter("arrays_condensed"), "1");
  std::vector<std::string> paths;
  for (const Value& d : get(e.report(), "dropped_fields").items())
    paths.push_back(std::string(get(d, "path").text()) + "=" + std::string(get(d, "items").text()));
  EXPECT_EQ(paths, (Strings{"/*/z/y=6", "/*/a=4"})) << e.text();
}

std::vector<std::string> dropped_entries(const testing::Envelope& e) {
  std::vector<std::string> out;
  for (const Value& d : get(e.report(), "dropped_fields").items())
    out.push_back(std::string(get(d, "path").text()) + "=" + std::string(get(d, "items").text()));
  return out;
}

TEST(CondensePlan, DroppedPrefixCountsTheParentNotTheDroppedColumn) {
  // a is an object in all 6 records; a/x occurs in 4 of them and a/y in 3. Both are dropped, so a is
  // reported once, with a's own count.
  std::string doc = records(6, [](int i) {
    std::string a = i < 4 ? R"("x":")" + std::string(2000, 'x') + std::to_string(i) + "\"" : "";
    if (i >= 3) a += (a.empty() ? "" : ",") + (R"("y":")" + std::string(2000, 'y') + std::to_string(i) + "\"");
    return shared_fields(i) + R"(,"a":{)" + a + "}";
  });
  auto e = shrink(doc, R"({"array_strategy":"condense","indent":0,"max_chars":800})");
  ASSERT_EQ(e.counter("arrays_condensed"), "1") << e.text();
  EXPECT_EQ(dropped_entries(e), (Strings{"/*/a=6"}));
  EXPECT_EQ(e.counter("fields_dropped"), "1");
}

TEST(CondensePlan, DroppedFieldsWithEqualCountsFollowTheBytesOfTheText) {
  // Candidate order is a-b, z, a/b, é; byte order puts "-" (0x2D) before "/" (0x2F) and "z" before the
  // lead byte 0xC3 of "é".
  std::string doc = records(6, [](int i) {
    auto longer = [&](char c) { return "\"" + std::string(2000, c) + std::to_string(i) + "\""; };
    return shared_fields(i) + R"(,"z":)" + longer('z') + ",\"\xC3\xA9\":" + longer('e') + R"(,"a-b":)" + longer('w') +
           R"(,"a":{"b":)" + longer('v') + R"(,"name":"n)" + std::to_string(i) + "\"}";
  });
  auto e = shrink(doc, R"({"array_strategy":"condense","indent":0,"max_chars":800})");
  ASSERT_EQ(e.counter("arrays_condensed"), "1") << e.text();
  EXPECT_EQ(dropped_entries(e), (Strings{"/*/a-b=6", "/*/a/b=6", "/*/z=6", "/*/\xC3\xA9=6"}));
}

TEST(CondensePlan, DroppedFieldListIsCappedButEveryFieldIsCounted) {
  // Two tables of 6 records each drop 15 long columns: the list keeps the first 24 entries (the whole first
  // table, then the second table's in text order); the counter has all 30.
  auto table = [](char tag) {
    return records(6, [&](int i) {
      std::string s = R"("id":)" + std::to_string(1000 + i) + R"(,"title":"Title number )" + std::to_string(i) + "\"";
      for (int k = 0; k < 15; ++k) {
        std::string name = std::string(1, tag) + (k < 10 ? "0" : "") + std::to_string(k);
        std::string unit = name + " " + std::to_string(i) + " ";
        std::string text;
        for (int r = 0; r < 300; ++r) text += unit;
        s += ",\"" + name + "\":\"" + text + "\"";
      }
      return s;
    });
  };
  std::string doc = R"({"first":)" + table('f') + R"(,"second":)" + table('s') + "}";
  auto e = shrink(doc, R"({"array_strategy":"condense","indent":0,"max_chars":600})");
  ASSERT_EQ(e.counter("arrays_condensed"), "2") << e.text();
  EXPECT_EQ(e.counter("fields_dropped"), "30");
  std::vector<std::string> listed = dropped_entries(e);
  ASSERT_EQ(listed.size(), 24u);
  for (int k = 0; k < 24; ++k) {
    std::string name =
        (k < 15 ? "/first/*/f" : "/second/*/s") + std::string(k % 15 < 10 ? "0" : "") + std::to_string(k % 15) + "=6";
    EXPECT_EQ(listed[static_cast<std::size_t>(k)], name);
  }
}

TEST(CondensePlan, NarrowerFloorsAreTriedWhenAStrongColumnIsLeftOut) {
  // At a floor width of 24 the long titles (score above 0.8) do not fit beside id and name; at 12 they do, and
  // that plan replaces the first one.
  std::string doc = records(10, [](int i) {
    return R"("id":)" + std::to_string(1000 + i) + R"(,"name":"User name )" + std::to_string(i) +
           R"(","title":"Title )" + std::to_string(i) + " " + std::string(200, 't') + "\"";
  });
  Options o;
  o.array_strategy = ArrayStrategy::Condense;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Value v = parse(doc);
  Path path;
  Meta m = p.analyze_at(v, 0, path, false);
  std::optional<Fitted> f = p.try_condense(v, m, 750, 0);
  ASSERT_TRUE(f);
  EXPECT_LE(f->size, 750u);
  EXPECT_EQ(f->size, utf8::count(json::to_string(f->value)));
  ASSERT_EQ(f->value.items().size(), 10u);
  for (const Value& row : f->value.items()) {
    ASSERT_EQ(row.members().size(), 3u) << json::to_string(row);
    EXPECT_EQ(row.members()[2].key, "title");
  }
  EXPECT_EQ(p.stats.fields_dropped, 0u);
}

TEST(CondensePlan, ReportedSizeIsTheRenderedSizeInEveryLayout) {
  // Nested tables under a key, with nested record objects filled field by field: the size a condensed fit
  // reports is the length of its rendering, compact or indented.
  std::string table = records(8, [](int i) {
    return shared_fields(i) + R"(,"user":{"name":"User )" + std::to_string(i) + R"(","bio":")" + std::string(150, 'b') +
           R"("},"tags":["a","b"])";
  });
  Value doc = parse(R"({"outer":{"list":)" + table + "}}");
  for (std::uint64_t indent : {0u, 2u, 4u}) {
    for (std::uint64_t budget : {900u, 1500u, 3000u}) {
      SCOPED_TRACE(std::to_string(indent) + " / " + std::to_string(budget));
      Options o;
      o.array_strategy = ArrayStrategy::Condense;
      Pruner p = Pruner::with_scorer(indent > 0, indent, o, HEURISTIC);
      Path path;
      Meta m = p.analyze_at(doc, 0, path, false);
      Fitted f = p.fit(doc, m, budget, 0);
      EXPECT_EQ(p.stats.arrays_condensed, 1u);
      std::string text;
      json::write_value(text, f.value, indent > 0, indent, 0);
      EXPECT_EQ(f.size, utf8::count(text));
      EXPECT_LE(f.size, budget);
    }
  }
}

TEST(CondensePlan, PrunerStateIsRestoredOnEveryWayOut) {
  Options o;
  o.array_strategy = ArrayStrategy::Condense;
  o.arguments = "release notes";  // a second attempt without relevance runs when the first finds no plan
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  struct Case {
    const char* name;
    std::string doc;
    bool condensed;
  };
  const Case cases[] = {
      {"one record", records(1, shared_fields), false},
      {"not all records", "[" + records(1, shared_fields) + ",7]", false},
      {"not condensable", records(6, [](int i) { return "\"p" + std::to_string(i) + "\":1"; }), false},
      // Low-variety flags only: the content gate refuses every plan, in both attempts and at both widths.
      {"no plan", records(6, [](int i) { return std::string(R"("flag":)") + (i % 2 ? "true" : "false"); }), false},
      {"condensed", records(6, shared_fields), true},
  };
  for (const Case& c : cases) {
    Value v = parse(c.doc);
    Path path;
    Meta m = p.analyze_at(v, 0, path, false);
    const std::uint64_t before = p.stats.arrays_condensed;
    p.floor_head_chars = 7;
    std::optional<Fitted> f = p.try_condense(v, m, 600, 0);
    EXPECT_EQ(f.has_value(), c.condensed) << c.name;
    EXPECT_EQ(p.stats.arrays_condensed - before, c.condensed ? 1u : 0u) << c.name;
    EXPECT_EQ(p.floor_head_chars, 7u) << c.name;
    EXPECT_FALSE(p.query_suppressed) << c.name;
    EXPECT_TRUE(p.pinned.empty()) << c.name;
    EXPECT_NE(p.query(), nullptr) << c.name;
  }
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

// The values of one fill with their analyses, floors and children (pointers into this object).
struct FillInput {
  Value::Array values;
  std::vector<Meta> metas;
  std::vector<std::uint64_t> floors;
  std::vector<Child> pairs;

  FillInput(Pruner& p, Value::Array vs) : values(std::move(vs)) {
    Path path;
    for (const Value& v : values) metas.push_back(p.analyze_at(v, 1, path, false));
    for (std::size_t i = 0; i < values.size(); ++i) {
      floors.push_back(p.floor(values[i], metas[i], 1));
      pairs.push_back({&values[i], &metas[i], nullptr});
    }
  }
  FillInput(const FillInput&) = delete;
  FillInput& operator=(const FillInput&) = delete;
};

TEST(CondenseFill, SmallNeedsFirstAndUnusedShareReturnsToThePool) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  const FillInput even(p, {Value::string(std::string(100, 'a')), Value::string(std::string(10, 'b')),
                           Value::string(std::string(100, 'c'))});
  // Floors 38, 12, 38; the short string needs nothing, so the spare 60 is shared 30 / 30 by the long ones.
  Pruner::Filled f = p.fill(even.pairs, even.floors, 60, 1);
  ASSERT_EQ(f.values.size(), 3u);
  EXPECT_EQ(f.values[1].text(), std::string(10, 'b'));
  EXPECT_LE(f.total, 38u + 12 + 38 + 60);
  EXPECT_GT(f.values[0].text().size(), 30u);
  EXPECT_GT(f.values[2].text().size(), 30u);
  // What a value leaves of its share flows on: the 46-character string needs 10 of its 20 and the next long
  // string gets a share of 25 (floor 38 + 25), not 20.
  const FillInput uneven(p, {Value::string(std::string(100, 'a')), Value::string(std::string(46, 'b')),
                             Value::string(std::string(100, 'c'))});
  ASSERT_EQ(uneven.floors, (std::vector<std::uint64_t>{38, 38, 38}));
  Pruner::Filled g = p.fill(uneven.pairs, uneven.floors, 60, 1);
  EXPECT_EQ(g.values[1].text(), std::string(46, 'b'));
  const std::uint64_t first = size::quoted(g.values[0].text()), last = size::quoted(g.values[2].text());
  EXPECT_GT(first, 38u + 20);
  EXPECT_LE(first, 38u + 25);
  EXPECT_LE(last, 38u + 60 - 10 - (first - 38));
  EXPECT_EQ(g.total, first + 48 + last);
  // A negative spare gives every value its floor only.
  Pruner::Filled tight = p.fill(even.pairs, even.floors, -5, 1);
  EXPECT_LE(tight.total, 38u + 12 + 38);
}

// Equal needs are filled in their order: a string whose tail is all six-character escapes cannot use its
// whole share, and what it leaves goes to the equal plain string after it.
TEST(CondenseFill, EqualNeedsGoInOrderAndTheLaterOneTakesWhatIsLeft) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  const std::string escaped = std::string(40, 'a') + std::string(90, '\x01');
  const FillInput in(p, {Value::string(escaped), Value::string(std::string(580, 'b'))});
  ASSERT_EQ(in.metas[0].full(), in.metas[1].full());
  ASSERT_EQ(in.floors[0], in.floors[1]);
  const std::uint64_t floor = in.floors[0];
  Pruner::Filled f = p.fill(in.pairs, in.floors, 101, 1);
  const std::uint64_t first = size::quoted(f.values[0].text()), second = size::quoted(f.values[1].text());
  EXPECT_LT(first, floor + 50);  // its share is 50; an escape does not fit in what remains
  EXPECT_EQ(second, floor + 101 - (first - floor));
  EXPECT_EQ(f.total, first + second);
}

// ---- end to end over the corpus ------------------------------------------------------

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

// The value at a key path below a record, or null when a key is missing.
const Value* field_at(const Value& record, const Path& p) {
  const Value* cur = &record;
  for (const std::string& k : p) {
    if (!cur->is_object()) return nullptr;
    const Value* next = nullptr;
    for (const Member& m : cur->members())
      if (m.key == k) {
        next = &m.value;
        break;
      }
    if (!next) return nullptr;
    cur = next;
  }
  return cur;
}

// Keys of out appear in record in the same order.
bool keys_in_record_order(const Value& out, const Value& record) {
  std::size_t j = 0;
  for (const Member& m : out.members()) {
    while (j < record.members().size() && record.members()[j].key != m.key) ++j;
    if (j == record.members().size()) return false;
    ++j;
  }
  return true;
}

struct Table {
  std::string name;
  Value input;
  Path at;                  // where the array of records sits
  std::vector<Path> whole;  // identifier and title columns
};

// Shrinks the table's document with condense; when the table itself was condensed, checks it and returns true.
bool check_table(const Table& t, std::uint64_t budget) {
  SCOPED_TRACE(t.name + " at " + std::to_string(budget));
  std::string options =
      R"({"array_strategy":"condense","explain":true,"indent":0,"max_chars":)" + std::to_string(budget) + "}";
  auto e = shrink(json::to_string(t.input), options);
  EXPECT_TRUE(e.ok()) << e.error();
  EXPECT_LE(std::stoull("0" + e.counter("output_chars")), budget);
  EXPECT_TRUE(get(e.report(), "fits").is_bool() && get(e.report(), "fits").as_bool());
  // The table itself was condensed when a decision names one of its own columns (no further array item).
  const std::string prefix = Pruner::path_string(t.at, {});
  bool table_condensed = false;
  for (const Value& d : get(e.report(), "field_decisions").items()) {
    std::string_view p = get(d, "path").text();
    if (p.compare(0, prefix.size(), prefix) == 0 && p.find("/*", prefix.size()) == std::string::npos)
      table_condensed = true;
  }
  if (!table_condensed) return false;
  Value out = parse(e.text());
  const Value* in_table = at_path(t.input, t.at);
  const Value* out_table = at_path(out, t.at);
  EXPECT_TRUE(out_table && out_table->is_array());
  if (!out_table || !out_table->is_array()) return true;
  // One object per record, in input order (the identifier pins the order), with the identifier or title
  // columns kept and whole.
  EXPECT_EQ(out_table->items().size(), in_table->items().size());
  for (std::size_t i = 0; i < std::min(in_table->items().size(), out_table->items().size()); ++i) {
    const Value& row = out_table->items()[i];
    const Value& record = in_table->items()[i];
    EXPECT_TRUE(row.is_object()) << i;
    if (!row.is_object()) continue;
    EXPECT_TRUE(keys_in_record_order(row, record)) << i;
    std::size_t kept = 0;
    for (const Path& w : t.whole) {
      const Value* got = field_at(row, w);
      if (!got) continue;
      ++kept;
      const Value* want = field_at(record, w);
      EXPECT_TRUE(want && json::to_string(*got) == json::to_string(*want)) << i << " " << w.back();
    }
    EXPECT_GT(kept, 0u) << i;
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

Value corpus(const std::string& file) {
  std::string text = testing::read_file(testing::shared_dir() + "/corpus/real/" + file);
  EXPECT_FALSE(text.empty()) << file;
  return parse(text);
}

// The issues of every listing page of a recorded paginated issue listing, as one array.
Value github_issues() {
  Value::Array issues;
  const Value recorded = corpus("github-recorded-http-paginate-issues.json");
  for (const Value& exchange : recorded.items()) {
    const Value& response = get(exchange, "response");
    if (response.is_array())
      for (const Value& issue : response.items()) issues.push_back(issue);
  }
  return Value::array(std::move(issues));
}

TEST(CondenseCorpus, TablesKeepOneRecordPerItemInOrder) {
  TAVISK_NEEDS_SHARED("corpus/real");
  const std::vector<Table> tables = {
      {"github issues", github_issues(), {}, {{"number"}, {"id"}, {"title"}}},
      {"github commits", corpus("github-commits-list.json"), {}, {{"sha"}}},
      {"gitlab merge requests", corpus("gitlab-merge-requests-list.json"), {}, {{"id"}, {"iid"}, {"title"}}},
      {"github releases", corpus("github-releases-list.json"), {}, {{"id"}, {"tag_name"}, {"name"}}},
      {"helm search hits", corpus("helm-repo-search-redis.json"), {}, {{"name"}}},
      {"kubernetes pods", corpus("k8s-pods-list.json"), {"items"}, {{"metadata", "name"}, {"metadata", "uid"}}},
      {"jira search hits", corpus("jira-search-issues.json"), {"issues"}, {{"id"}, {"key"}, {"fields", "summary"}}},
  };
  ASSERT_EQ(tables[0].input.items().size(), 13u);
  std::map<std::string, int> condensed;
  for (const Table& t : tables)
    for (std::uint64_t budget : {500u, 1000u, 2000u, 5000u, 10000u, 20000u})
      condensed[t.name] += check_table(t, budget);
  // Tables whose records share too little (helm: only three distinct names and descriptions) are sampled, and
  // small documents fit whole at the larger budgets.
  EXPECT_EQ(condensed["github issues"], 6);
  EXPECT_EQ(condensed["gitlab merge requests"], 6);
  EXPECT_GE(condensed["github releases"], 3);
  EXPECT_GE(condensed["jira search hits"], 5);
  EXPECT_GE(condensed["github commits"], 3);
  EXPECT_GE(condensed["kubernetes pods"], 1);

  // A generated table of 300 rows, through the whole pipeline.
  Table small{"generated 300", generated_table(300), {}, {{"id"}, {"title"}}};
  for (std::uint64_t budget : {10000u, 20000u}) EXPECT_TRUE(check_table(small, budget));
  // 10,000 records need more than 20,000 characters for their braces and commas alone: condensing declines
  // and the sampled result fits.
  Table large{"generated 10000", generated_table(10000), {}, {{"id"}, {"title"}}};
  for (std::uint64_t budget : {500u, 2000u, 20000u}) EXPECT_FALSE(check_table(large, budget));
}

TEST(CondenseCorpus, TenThousandRowsCondenseWhereTheyCanFit) {
  TAVISK_NEEDS_SHARED("corpus/real");
  // One fit of the table (the budget search would repeat it): every record stays, in order, with its id and
  // title whole, within the budget, and the reported size is the rendered size.
  Value table = generated_table(10000);
  Options o;
  o.array_strategy = ArrayStrategy::Condense;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path path;
  Meta m = p.analyze_at(table, 0, path, false);
  for (std::uint64_t budget : {500000u, 800000u}) {
    SCOPED_TRACE(budget);
    std::optional<Fitted> f = p.try_condense(table, m, budget, 0);
    ASSERT_TRUE(f);
    EXPECT_LE(f->size, budget);
    EXPECT_EQ(f->size, utf8::count(json::to_string(f->value)));
    ASSERT_EQ(f->value.items().size(), 10000u);
    for (std::size_t i = 0; i < 10000; ++i) {
      const Value& row = f->value.items()[i];
      const Value& record = table.items()[i];
      ASSERT_TRUE(keys_in_record_order(row, record)) << i;
      ASSERT_NE(field_at(row, {"id"}), nullptr) << i;
      ASSERT_NE(field_at(row, {"title"}), nullptr) << i;
      ASSERT_EQ(json::to_string(*field_at(row, {"id"})), json::to_string(*field_at(record, {"id"}))) << i;
      ASSERT_EQ(json::to_string(*field_at(row, {"title"})), json::to_string(*field_at(record, {"title"}))) << i;
    }
  }
  EXPECT_EQ(p.stats.arrays_condensed, 2u);
}

}  // namespace
}  // namespace tavisk
