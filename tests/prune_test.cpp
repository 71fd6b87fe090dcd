// The fit driver, array sampling, object fitting and water filling.
#include "prune.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <random>
#include <set>

#include "fields.h"
#include "json.h"
#include "lexical.h"
#include "pipeline.h"
#include "test_util.h"
#include "utf8.h"

namespace tavisk {
namespace {

Value parse(std::string_view text) {
  auto r = json::parse(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? std::move(r).value() : Value();
}

// A document, its options and its analysis, ready for fitting.
struct Fixture {
  Value doc;
  Options options;
  std::uint64_t indent;
  Meta meta;

  Fixture(std::string_view json, std::string_view options_json = "{}", std::uint64_t ind = 0)
      : doc(parse(json)), options(Options::from_value(parse(options_json)).value()), indent(ind) {
    Pruner p = pruner();
    Path root;
    meta = p.analyze_at(doc, 0, root, false);
  }
  Pruner pruner() const { return Pruner::with_scorer(indent > 0, indent, options, scorer_for(options.field_scorer)); }
  std::string render_compact(const Value& v) const { return render(v, indent, Format::Json); }
};

std::string compact(const Value& v) { return json::to_string(v); }

std::string items(int n, const std::string& item) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + item;
  return s + "]";
}

TEST(Fit, BudgetEqualToFullKeepsTheValue) {
  Fixture f(R"({"a":"hello world","b":[1,2,3]})");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, f.meta.full(), 0);
  EXPECT_EQ(compact(r.value), R"({"a":"hello world","b":[1,2,3]})");
  EXPECT_EQ(r.size, f.meta.full());
}

TEST(Fit, BudgetAtOrBelowMinGivesTheMinimalForm) {
  Fixture f(R"({"a":"hello world","b":[1,2,3]})");
  for (std::uint64_t b : {f.meta.min(), f.meta.min() - 1, std::uint64_t{0}}) {
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, b, 0);
    EXPECT_EQ(compact(r.value), R"({"…":"2 keys omitted"})");
    EXPECT_EQ(r.size, f.meta.min());
    EXPECT_EQ(p.stats.containers_collapsed, 1u);
    EXPECT_EQ(p.stats.keys_omitted, 2u);
  }
  Fixture s("\"" + std::string(40, 'a') + "\"");
  ASSERT_EQ(s.meta.min(), 14u);
  for (std::uint64_t b : {std::uint64_t{14}, std::uint64_t{13}, std::uint64_t{3}}) {
    Pruner p = s.pruner();
    Fitted r = p.fit(s.doc, s.meta, b, 0);
    EXPECT_EQ(compact(r.value), R"("…[+40 chars]")") << b;
    EXPECT_EQ(r.size, 14u);
    EXPECT_EQ(p.stats.strings_truncated, 1u);
  }
  Fixture a(items(100, "1"));
  ASSERT_EQ(a.meta.min(), 24u);
  for (std::uint64_t b : {std::uint64_t{24}, std::uint64_t{10}}) {
    Pruner pa = a.pruner();
    Fitted r = pa.fit(a.doc, a.meta, b, 0);
    EXPECT_EQ(compact(r.value), R"(["…[100 items omitted]"])") << b;
    EXPECT_EQ(r.size, 24u);
    EXPECT_EQ(pa.stats.items_omitted, 100u);
    EXPECT_EQ(pa.stats.containers_collapsed, 1u);
    EXPECT_EQ(pa.stats.arrays_sampled, 0u);
  }
}

TEST(Fit, StringBetweenMinAndFullIsCutOnce) {
  Fixture s("\"" + std::string(40, 'a') + "\"");
  for (std::uint64_t b = 15; b < 42; ++b) {
    Pruner p = s.pruner();
    Fitted r = p.fit(s.doc, s.meta, b, 0);
    // The longest head that fits beside its marker: k letters and "…[+N chars]" with N = 40 - k.
    std::uint64_t k = b - 14;  // N keeps two digits up to the full size
    EXPECT_EQ(compact(r.value), "\"" + std::string(k, 'a') + "…[+" + std::to_string(40 - k) + " chars]\"") << b;
    EXPECT_EQ(r.size, utf8::count(compact(r.value)));
    EXPECT_EQ(p.stats.strings_truncated, 1u);
    EXPECT_EQ(p.stats.containers_collapsed, 0u);
  }
}

TEST(Fit, ProtectedSubtreeOverBudgetIsReturnedWhole) {
  Fixture f(R"({"keep":{"x":"a long protected value"},"drop":"zzzzzzzzzzzzzzzzzzzzzzzzzzzz"})",
            R"({"protect":["/keep"]})");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 10, 0);
  EXPECT_EQ(compact(r.value), R"({"keep":{"x":"a long protected value"},"…":"1 keys omitted"})");
  EXPECT_EQ(p.stats.protected_omitted, 0u);
}

TEST(Fit, ProtectedContentOneKeyDeepSurvivesMinimal) {
  Fixture f(R"({"a":{"id":7,"x":"yyyyyyyyyyyyyyyyyyyy"},"b":[1,2,3,4,5,6,7,8,9]})", R"({"protect":["id"]})");
  Pruner p = f.pruner();
  Fitted r = p.minimal(f.doc, f.meta, 0);
  EXPECT_EQ(compact(r.value), R"({"a":{"id":7,"…":"1 keys omitted"},"…":"1 keys omitted"})");
  EXPECT_EQ(r.size, utf8::count(compact(r.value)));
  EXPECT_EQ(p.stats.containers_collapsed, 2u);
}

// The priority order with keep_last_item: 0, 9, then 1 .. 8.
TEST(FitArray, FirstAndLastItemsComeFirst) {
  const std::string item = R"({"k":"0123456789"})";  // 18 characters
  Fixture f(items(10, item));
  // Room for items 0 and 9 and one 18-character gap marker, but not for item 1.
  std::uint64_t budget = 1 + 18 + 1 + 20 + 1 + 18 + 1 + 5;
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, budget, 0);
  EXPECT_EQ(compact(r.value), "[" + item + R"(,"…[8 items omitted]",)" + item + "]");
  EXPECT_EQ(r.size, utf8::count(compact(r.value)));
  EXPECT_EQ(p.stats.arrays_sampled, 1u);
  EXPECT_EQ(p.stats.items_omitted, 8u);

  Fixture nolast(items(10, item), R"({"keep_last_item":false})");
  Pruner q = nolast.pruner();
  EXPECT_EQ(compact(q.fit(nolast.doc, nolast.meta, budget, 0).value),
            "[" + item + "," + item + R"(,"…[8 items omitted]"])");
}

TEST(FitArray, PartialItemNeedsMinPartialChars) {
  std::string long_text(200, 'x');
  std::string doc = R"(["short",")" + long_text + R"("])";
  Fixture f(doc, R"({"keep_last_item":false})");
  // "short" whole (7) leaves room for a cut second item only when the room reaches 40.
  for (std::uint64_t budget : {std::uint64_t{40}, std::uint64_t{60}, std::uint64_t{120}}) {
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, budget, 0);
    std::string out = compact(r.value);
    EXPECT_EQ(r.size, utf8::count(out)) << out;
    std::uint64_t room = budget - (2 + 1 + 7);
    if (room >= 40)
      EXPECT_NE(out.find("xxx"), std::string::npos) << budget << " " << out;
    else
      EXPECT_EQ(out, R"(["short","…[1 items omitted]"])");
  }
}

TEST(FitArray, PhaseTwoKeepsAtMostMaxSamplesShapes) {
  std::string big(300, 'y');
  std::string doc = "[";
  for (int i = 0; i < 6; ++i)
    doc += std::string(i ? "," : "") + R"({"k)" + std::to_string(i) + R"(":")" + big + R"("})";
  doc += "]";
  for (int samples : {1, 2, 3}) {
    Fixture f(doc, R"({"max_samples":)" + std::to_string(samples) + "}");
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, 250, 0);
    ASSERT_TRUE(r.value.is_array());
    int objects = 0;
    for (const Value& v : r.value.items()) objects += v.is_object();
    EXPECT_EQ(objects, samples);
    EXPECT_EQ(r.size, utf8::count(compact(r.value)));
    EXPECT_LE(r.size, 250u);
  }
}

TEST(FitArray, OneItemArrayIsGrownByWaterFill) {
  Fixture f(R"([")" + std::string(500, 'z') + R"("])");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 100, 0);
  EXPECT_EQ(r.size, 100u) << compact(r.value);
  EXPECT_EQ(utf8::count(compact(r.value)), 100u);
}

TEST(FitObject, InputOrderRuleFallsBackToMinimal) {
  Fixture f(R"({"aaaaaaaaaa":"bbbbbbbbbbbbbbbbbbbb","c":"dddddddddddddddddddddddd"})");
  // 22 = the collapsed object; a budget below the first key plus the marker collapses.
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 30, 0);
  EXPECT_EQ(compact(r.value), R"({"…":"2 keys omitted"})");
}

TEST(FitObject, ProtectedFirstRuleKeepsProtectedKeysOverBudget) {
  Fixture f(R"({"x":"1111111111","p":"protected text here","q":"also protected....","y":"2"})",
            R"({"protect":["p","q"]})");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 75, 0);
  EXPECT_EQ(compact(r.value), R"({"p":"protected text here","q":"also protected....","…":"2 keys omitted"})");
  EXPECT_EQ(p.stats.objects_trimmed, 1u);
  EXPECT_EQ(p.stats.keys_omitted, 2u);
}

TEST(FitObject, KeysMarkerCostsTwentyForThreeKeysCompact) {
  EXPECT_EQ(size::keys_marker_cost({false, 0}, 3), 20u);
  EXPECT_EQ(size::keys_marker_cost({true, 2}, 3), 21u);
}

TEST(FitObject, RelevanceRuleSkipsAKeyThatDoesNotFitAndContinues) {
  // The identifier ranks first but its 40-digit number cannot shrink; the smaller key after it is kept.
  Fixture f(R"({"id":1234567890123456789012345678901234567890,"note":1})", R"({"array_strategy":"condense"})");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 45, 0);
  EXPECT_EQ(compact(r.value), R"({"note":1,"…":"1 keys omitted"})");
  EXPECT_EQ(r.size, 31u);
}

TEST(FitObject, RelevanceRuleFollowsTheArguments) {
  std::string doc = R"({"alpha":")" + std::string(60, 'a') + R"(","shipping":"free delivery to the door","gamma":")" +
                    std::string(60, 'g') + R"("})";
  auto with = testing::shrink(doc, R"({"array_strategy":"condense","indent":0,"max_chars":70,"arguments":"delivery"})");
  ASSERT_TRUE(with.ok()) << with.error();
  EXPECT_NE(with.text().find("free delivery"), std::string::npos) << with.text();
}

// The compact rendering of a sampled array: the kept items, and one gap marker per run of omitted ones.
std::string sampled(const std::vector<std::string>& item_texts, const std::set<std::size_t>& kept) {
  std::string out = "[";
  std::size_t next = 0;
  auto add = [&out](const std::string& part) { out += (out.size() > 1 ? "," : "") + part; };
  for (std::size_t i : kept) {
    if (i > next) add("\"…[" + std::to_string(i - next) + " items omitted]\"");
    add(item_texts[i]);
    next = i + 1;
  }
  if (next < item_texts.size()) add("\"…[" + std::to_string(item_texts.size() - next) + " items omitted]\"");
  return out + "]";
}

std::string join(const std::vector<std::string>& parts) {
  std::string out = "[";
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + parts[i];
  return out + "]";
}

// Each budget is the exact size of the expected sample, so one more item in priority order never fits.
TEST(FitArray, PriorityOrderTakesFirstThenLastThenAscending) {
  const std::vector<std::string> texts(10, R"({"k":"0123456789"})");
  struct Case {
    bool keep_last;
    std::set<std::size_t> kept;
  } cases[] = {
      {true, {0}},  {true, {0, 9}},  {true, {0, 1, 9}},  {true, {0, 1, 2, 3, 9}},

      {false, {0}}, {false, {0, 1}}, {false, {0, 1, 2}}, {false, {0, 1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    Fixture f(join(texts), c.keep_last ? "{}" : R"({"keep_last_item":false})");
    const std::string want = sampled(texts, c.kept);
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, utf8::count(want), 0);
    EXPECT_EQ(compact(r.value), want) << c.keep_last;
    EXPECT_EQ(r.size, utf8::count(want));
    EXPECT_EQ(p.stats.arrays_sampled, 1u);
    EXPECT_EQ(p.stats.items_omitted, 10 - c.kept.size());
  }
}

// Items 0..69 have distinct shapes, items 70..99 share item 0's shape. New shapes are taken first until
// 64 distinct shapes are seen (items 0..63), then the last item, then the rest in order (64, 65, ...).
TEST(FitArray, NewShapesComeFirstUpToSixtyFour) {
  std::vector<std::string> texts;
  for (int i = 0; i < 100; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "k%02d", i < 70 ? i : 0);
    texts.push_back(std::string(R"({")") + key + R"(":0})");
  }
  Fixture f(join(texts));
  std::set<std::size_t> first64, with_last, with_next;
  for (std::size_t i = 0; i < 64; ++i) first64.insert(i);
  with_last = first64;
  with_last.insert(99);
  with_next = with_last;
  with_next.insert(64);
  for (const auto& kept : {first64, with_last, with_next}) {
    const std::string want = sampled(texts, kept);
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, utf8::count(want), 0);
    EXPECT_EQ(compact(r.value), want) << kept.size();
  }
}

TEST(FitArray, OneGapMarkerPerRun) {
  const std::string big = R"({"a":")" + std::string(40, 'x') + R"("})";
  // Item 5 is the only other shape, so it follows item 0 in priority; item 1 is too large to follow.
  std::string doc = R"([{"a":1},)" + big + "," + big + "," + big + "," + big + R"(,{"b":1},)" + big + "," + big + "]";
  for (int indent : {0, 2}) {
    Fixture f(doc, R"({"keep_last_item":false})", static_cast<std::uint64_t>(indent));
    const std::uint64_t budget = indent ? 110 : 60;
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, budget, 0);
    EXPECT_EQ(compact(r.value), R"([{"a":1},"…[4 items omitted]",{"b":1},"…[2 items omitted]"])");
    EXPECT_EQ(r.size, utf8::count(render(r.value, f.indent, Format::Json)));
    EXPECT_EQ(p.stats.items_omitted, 6u);
    EXPECT_EQ(p.stats.arrays_sampled, 1u);
  }
}

// The room for the partial item is the budget less the array with it at its minimum, plus that minimum:
// here budget - 10. It must reach min_partial_chars and the item's min (15 for the string, 22 for the
// object, whose smallest form is the one-entry keys marker object).
TEST(FitArray, PartialItemThreshold) {
  const std::string text = R"(["short",")" + std::string(200, 'x') + R"("])";
  const std::string object = R"(["short",{"a":")" + std::string(200, 'x') + R"("}])";
  struct Case {
    const std::string& doc;
    const char* options;
    std::uint64_t budget;
    bool partial;
  } cases[] = {
      {text, R"({"keep_last_item":false})", 49, false},
      {text, R"({"keep_last_item":false})", 50, true},
      {text, R"({"keep_last_item":false,"min_partial_chars":100})", 109, false},
      {text, R"({"keep_last_item":false,"min_partial_chars":100})", 110, true},
      {object, R"({"keep_last_item":false,"min_partial_chars":0})", 31, false},
      {object, R"({"keep_last_item":false,"min_partial_chars":0})", 32, true},
      {object, R"({"keep_last_item":false,"min_partial_chars":30})", 39, false},
      {object, R"({"keep_last_item":false,"min_partial_chars":30})", 40, true},
  };
  for (const Case& c : cases) {
    Fixture f(c.doc, c.options);
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, c.budget, 0);
    const std::string out = compact(r.value);
    SCOPED_TRACE(std::string(c.options) + " " + std::to_string(c.budget) + " " + out);
    EXPECT_EQ(r.size, utf8::count(out));
    EXPECT_LE(r.size, c.budget);
    EXPECT_EQ(p.stats.arrays_sampled, 1u);
    if (c.partial) {
      ASSERT_EQ(r.value.items().size(), 2u);
      EXPECT_EQ(r.value.items()[1].kind(), f.doc.items()[1].kind());
      EXPECT_EQ(out.find("items omitted"), std::string::npos);
      EXPECT_EQ(p.stats.items_omitted, 0u);
      // The partial item takes its whole room.
      EXPECT_EQ(r.size, c.budget);
    } else {
      EXPECT_EQ(out, R"(["short","…[1 items omitted]"])");
      EXPECT_EQ(p.stats.items_omitted, 1u);
    }
  }
}

// No item fits whole: one item per new shape in priority order (A A B A C D: items 0, 2, 4, 5), at most
// max(max_samples, 1) of them.
TEST(FitArray, PhaseTwoPicksNewShapesUpToMaxSamples) {
  const std::string big(300, 'y');
  std::vector<std::string> texts;
  for (const char* key : {"a", "a", "b", "a", "c", "d"})
    texts.push_back(std::string(R"({")") + key + R"(":")" + big + "\"}");
  const std::string doc = join(texts);
  struct Case {
    int max_samples;
    std::vector<std::string> pattern;  // "o" for a kept item, else the gap marker's count
  } cases[] = {
      {0, {"o", "5"}},
      {1, {"o", "5"}},
      {2, {"o", "1", "o", "3"}},
      {3, {"o", "1", "o", "1", "o", "1"}},
      {10, {"o", "1", "o", "1", "o", "o"}},
  };
  for (const Case& c : cases) {
    Fixture f(doc, R"({"max_samples":)" + std::to_string(c.max_samples) + "}");
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, 200, 0);
    ASSERT_TRUE(r.value.is_array());
    std::vector<std::string> pattern;
    for (const Value& v : r.value.items()) {
      if (v.is_object()) {
        pattern.push_back("o");
      } else {
        std::string t(v.text());
        pattern.push_back(t.substr(t.find('[') + 1, t.find(' ') - t.find('[') - 1));
      }
    }
    EXPECT_EQ(pattern, c.pattern) << c.max_samples << " " << compact(r.value);
    EXPECT_EQ(r.size, utf8::count(compact(r.value)));
    EXPECT_LE(r.size, 200u);
    // water_fill hands out the whole spare budget: the sample comes within a few characters of it.
    EXPECT_GE(r.size, 190u) << compact(r.value);
    EXPECT_EQ(p.stats.arrays_sampled, 1u);
  }
}

TEST(FitArray, ProtectedContentOfOmittedItemsIsCounted) {
  std::vector<std::string> texts;
  for (int i = 0; i < 10; ++i) texts.push_back(R"({"id":)" + std::to_string(i) + R"(,"t":"0123456789"})");
  Fixture f(join(texts), R"({"protect":["id"]})");
  const std::string want = sampled(texts, {0, 9});
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, utf8::count(want), 0);
  EXPECT_EQ(compact(r.value), want);
  EXPECT_EQ(p.stats.items_omitted, 8u);
  EXPECT_EQ(p.stats.protected_omitted, 8u);
}

// Strings of letters fit text exactly to any budget of 20 or more, so each child uses its whole share.
// A string of n letters (n >= 12) is full n + 2 and min 12 + digits(n).
TEST(WaterFill, SmallNeedsAreServedFirst) {
  const std::string need10(22, 'a'), need50(62, 'b'), need200(213, 'c');  // mins 14, 14, 15
  const std::vector<std::vector<std::string>> orders = {
      {need10, need50, need200}, {need200, need50, need10}, {need50, need200, need10}};
  for (const auto& order : orders) {
    Fixture f(R"([")" + order[0] + R"(",")" + order[1] + R"(",")" + order[2] + R"("])");
    Pruner p = f.pruner();
    std::vector<Child> children;
    for (std::size_t i = 0; i < 3; ++i) children.push_back({&f.doc.items()[i], &f.meta.children()[i], nullptr});
    Pruner::Filled filled = p.water_fill(children, 100, 1);
    ASSERT_EQ(filled.values.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      const std::uint64_t extra = utf8::count(compact(filled.values[i])) - f.meta.children()[i].min();
      EXPECT_EQ(extra, order[i] == need10 ? 10u : 45u) << i << " " << compact(filled.values[i]);
      EXPECT_EQ(filled.values[i].text()[0], order[i][0]);
    }
    EXPECT_EQ(filled.total, 24u + 59u + 60u);
    EXPECT_TRUE(p.path.empty());
  }
}

// Equal needs keep child order: with spare 40 and three equal children, the shares are 3, 3 and 4.
TEST(WaterFill, EqualNeedsKeepChildOrder) {
  const std::string text(100, 'q');
  Fixture f(R"([")" + text + R"(",")" + text + R"(",")" + text + R"("])");
  Pruner p = f.pruner();
  std::vector<Child> children;
  for (std::size_t i = 0; i < 3; ++i) children.push_back({&f.doc.items()[i], &f.meta.children()[i], nullptr});
  Pruner::Filled filled = p.water_fill(children, 40, 1);
  std::vector<std::uint64_t> sizes;
  for (const Value& v : filled.values) sizes.push_back(utf8::count(compact(v)));
  const std::uint64_t m = f.meta.children()[0].min();
  EXPECT_EQ(sizes, (std::vector<std::uint64_t>{m + 13, m + 13, m + 14}));
}

// Scores keys from a table (by key name); unknown keys score 0.
class TableScorer final : public FieldScorer {
 public:
  explicit TableScorer(std::vector<std::pair<std::string, double>> table) : table_(std::move(table)) {}
  std::string_view name() const override { return "table"; }
  double score(const FieldStats& stats) const override {
    for (const auto& [key, score] : table_)
      if (stats.last() == key) return score;
    return 0;
  }

 private:
  std::vector<std::pair<std::string, double>> table_;
};

Fitted fit_scored(std::string_view doc, std::string_view options, const FieldScorer& scorer, std::uint64_t budget,
                  Stats* stats = nullptr) {
  Fixture f(doc, options);
  Pruner p = Pruner::with_scorer(false, 0, f.options, scorer);
  Fitted r = p.fit(f.doc, f.meta, budget, 0);
  EXPECT_EQ(r.size, utf8::count(compact(r.value))) << doc << " " << budget;
  if (stats) *stats = p.stats;
  return r;
}

const std::string fifty_digits(50, '7');

TEST(FitObject, InputOrderRuleStopsAtTheFirstKeyThatDoesNotFit) {
  // Keeping the first key costs 3 + 13 + 14 (its string at the minimum) + 20 (the marker) = 50.
  const std::string doc = R"({"aaaaaaaaaa":"bbbbbbbbbbbbbbbbbbbb","c":123456789012345678901234})";
  struct Case {
    std::string doc;
    std::uint64_t budget;
    std::string want;
  } cases[] = {
      {doc, 50, R"({"aaaaaaaaaa":"…[+20 chars]","…":"1 keys omitted"})"},
      {doc, 49, R"({"…":"2 keys omitted"})"},
      // A large first key that cannot shrink ends the walk: the small keys after it are not tried.
      {R"({"big":)" + fifty_digits + R"(,"c":1,"d":2})", 40, R"({"…":"3 keys omitted"})"},
  };
  for (const Case& c : cases) {
    Fixture f(c.doc);
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, c.budget, 0);
    EXPECT_EQ(compact(r.value), c.want) << c.budget;
    EXPECT_EQ(r.size, utf8::count(c.want));
    const bool collapsed = c.want.rfind(R"({"…")", 0) == 0;
    EXPECT_EQ(p.stats.containers_collapsed, collapsed ? 1u : 0u);
    EXPECT_EQ(p.stats.objects_trimmed, collapsed ? 0u : 1u);
  }
}

TEST(FitObject, ProtectedFirstRuleGoesOverBudgetAndStopsAtTheFirstMiss) {
  Stats st;
  const std::string over = R"({"x":"1111111111","p":"protected text here","q":"also protected....","y":"2"})";
  Fitted r = fit_scored(over, R"({"protect":["p","q"]})", scorer_for(ScorerKind::Heuristic), 30, &st);
  EXPECT_EQ(compact(r.value), R"({"p":"protected text here","q":"also protected....","…":"2 keys omitted"})");
  EXPECT_GT(r.size, 30u);
  // Below the object's min the result is its minimal form, which keeps the same keys.
  EXPECT_EQ(st.containers_collapsed, 1u);
  EXPECT_EQ(st.keys_omitted, 2u);
  EXPECT_EQ(st.protected_omitted, 0u);

  // After the protected key, "big" does not fit; "c" after it would, but the walk has ended.
  const std::string doc = R"({"big":)" + fifty_digits + R"(,"p":"P","c":1})";
  r = fit_scored(doc, R"({"protect":["p"]})", scorer_for(ScorerKind::Heuristic), 40, &st);
  EXPECT_EQ(compact(r.value), R"({"p":"P","…":"2 keys omitted"})");
  // Without "big" in the way, "c" is kept.
  r = fit_scored(R"({"p":"P","c":1,"big":)" + fifty_digits + "}", R"({"protect":["p"]})",
                 scorer_for(ScorerKind::Heuristic), 40, &st);
  EXPECT_EQ(compact(r.value), R"({"p":"P","c":1,"…":"1 keys omitted"})");
}

TEST(FitObject, OmittedProtectedContentIsCounted) {
  // The list holds protected ids but is an array, so its key is not protected-first.
  Stats st;
  Fitted r = fit_scored(R"({"a":1,"list":[{"id":1},{"id":2},{"id":3}],"b":2})", R"({"protect":["id"]})",
                        scorer_for(ScorerKind::Heuristic), 30, &st);
  EXPECT_EQ(compact(r.value), R"({"a":1,"…":"2 keys omitted"})");
  EXPECT_EQ(st.objects_trimmed, 1u);
  EXPECT_EQ(st.keys_omitted, 2u);
  EXPECT_EQ(st.protected_omitted, 3u);
}

// Keeping "k" costs 3 + 4 + 1 + 20 = 28; "z" never fits. A key is kept when 28 <= floor(budget * f).
TEST(FitObject, RelevanceRuleTierLimits) {
  const std::string doc = R"({"k":1,"z":)" + fifty_digits + "}";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double score;
    std::uint64_t budget;
    bool kept;
  } cases[] = {
      {0.8, 28, true},  {0.8, 27, false}, {0.75, 28, true}, {0.74, 31, false},  {0.74, 32, true},
      {0.5, 31, false}, {0.5, 32, true},  {0.45, 32, true}, {0.449, 39, false}, {0.449, 41, true},
      {0.3, 39, false}, {0.3, 41, true},  {nan, 39, false}, {nan, 41, true},    {-2.0, 41, true},
  };
  for (const Case& c : cases) {
    TableScorer scorer({{"k", c.score}});
    Fitted r = fit_scored(doc, R"({"array_strategy":"condense"})", scorer, c.budget);
    EXPECT_EQ(compact(r.value), c.kept ? R"({"k":1,"…":"1 keys omitted"})" : R"({"…":"2 keys omitted"})")
        << c.score << " " << c.budget;
  }
}

TEST(FitObject, RelevanceRuleSkipsAndContinues) {
  // The best key does not fit; lower-scored keys after it still can.
  TableScorer scorer({{"big", 0.9}, {"a", 0.2}, {"b", 0.1}});
  Stats st;
  Fitted r =
      fit_scored(R"({"a":1,"big":)" + fifty_digits + R"(,"b":2})", R"({"array_strategy":"condense"})", scorer, 41, &st);
  EXPECT_EQ(compact(r.value), R"({"a":1,"…":"2 keys omitted"})");
  EXPECT_EQ(st.keys_omitted, 2u);
  EXPECT_EQ(st.objects_trimmed, 1u);
}

TEST(FitObject, RelevanceRuleTriesEqualScoresInInputOrder) {
  std::string doc = "{";
  for (int i = 0; i < 20; ++i)
    doc += std::string(i ? "," : "") + "\"k" + (i < 10 ? "0" : "") + std::to_string(i) + "\":1";
  doc += "}";
  // Three keys and the marker for 17: 5 + 3 * 7 + 21 = 47.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<std::pair<std::string, double>> table;
    std::uint64_t budget;
    std::string want;
  };
  std::vector<Case> cases = {
      {{}, 68, R"({"k00":1,"k01":1,"k02":1,"…":"17 keys omitted"})"},
      {{{"k07", 0.6}, {"k13", 0.6}}, 68, R"({"k00":1,"k07":1,"k13":1,"…":"17 keys omitted"})"},
      {{{"k15", 0.5}, {"k16", 0.5}, {"k17", 0.5}, {"k18", 0.5}},
       53,
       R"({"k15":1,"k16":1,"k17":1,"…":"17 keys omitted"})"},
  };
  std::vector<std::pair<std::string, double>> all_nan;
  for (int i = 0; i < 20; ++i) all_nan.push_back({std::string(i < 10 ? "k0" : "k") + std::to_string(i), nan});
  cases.push_back({all_nan, 68, R"({"k00":1,"k01":1,"k02":1,"…":"17 keys omitted"})"});
  for (const Case& c : cases) {
    TableScorer scorer(c.table);
    Fitted r = fit_scored(doc, R"({"array_strategy":"condense"})", scorer, c.budget);
    EXPECT_EQ(compact(r.value), c.want);
  }
}

TEST(FitObject, KeysMarkerIsLastAndCostsTwentyForThreeKeys) {
  // Two of five keys kept, in input order: 4 + 2 * 6 + 20 = 36.
  const std::string doc = R"({"k1":1,"k2":2,"k3":)" + fifty_digits + R"(,"k4":4,"k5":5})";
  TableScorer scorer({{"k4", 0.9}, {"k1", 0.8}});
  Fitted r = fit_scored(doc, R"({"array_strategy":"condense"})", scorer, 36);
  EXPECT_EQ(compact(r.value), R"({"k1":1,"k4":4,"…":"3 keys omitted"})");
  EXPECT_EQ(r.size, 36u);
  r = fit_scored(doc, R"({"array_strategy":"condense"})", scorer, 35);
  EXPECT_EQ(compact(r.value), R"({"k4":4,"…":"4 keys omitted"})");
}

TEST(FitObject, ProtectedKeysScoreInfinityInTheRelevanceRule) {
  // "p" would score 0 from the table, "a" 0.99; only one of them fits (28 of 30, both 34).
  TableScorer scorer({{"a", 0.99}, {"p", 0.0}});
  const std::string doc = R"({"a":1,"p":2,"z":)" + fifty_digits + "}";
  Fitted r = fit_scored(doc, R"({"array_strategy":"condense","protect":["p"]})", scorer, 30);
  EXPECT_EQ(compact(r.value), R"({"p":2,"…":"2 keys omitted"})");
  r = fit_scored(doc, R"({"array_strategy":"condense"})", scorer, 30);
  EXPECT_EQ(compact(r.value), R"({"a":1,"…":"2 keys omitted"})");
}

// What the scorer sees for each key of an object under the relevance rule.
class RecordingScorer final : public FieldScorer {
 public:
  struct Seen {
    std::string key;
    FieldStats stats;
  };
  std::string_view name() const override { return "recording"; }
  double score(const FieldStats& stats) const override {
    seen.push_back({std::string(stats.last()), stats});
    seen.back().stats.path = {};
    return 0.5;
  }
  mutable std::vector<Seen> seen;
};

TEST(FitObject, RelevanceRuleFieldStatsPerKey) {
  const std::string doc =
      R"({"n":null,"e":"","num":-12.5,"ns":"-12.5","bad":"1.2.3","d":"2024-01-02T03:04:05Z","o":"a1B2c3D4e5F6",)"
      R"("h":"dead-beef_01","nh":"deadbeefcafe","arr":[],"obj":{"x":1},"t":"free delivery to the door",)"
      R"("u":"delivery only","pad":")" +
      std::string(200, 'p') + R"("})";
  for (bool with_query : {false, true}) {
    RecordingScorer scorer;
    Fixture f(doc, with_query ? R"({"array_strategy":"condense","arguments":"delivery door"})"
                              : R"({"array_strategy":"condense"})");
    Pruner p = Pruner::with_scorer(false, 0, f.options, scorer);
    p.fit(f.doc, f.meta, 100, 0);
    ASSERT_EQ(scorer.seen.size(), f.doc.members().size());
    const Query* q = p.query();
    ASSERT_EQ(q != nullptr, with_query);
    for (std::size_t i = 0; i < scorer.seen.size(); ++i) {
      const auto& [key, st] = scorer.seen[i];
      const Value& v = f.doc.members()[i].value;
      SCOPED_TRACE(key);
      EXPECT_EQ(key, f.doc.members()[i].key);
      EXPECT_EQ(st.count(v.kind()), 1u);
      EXPECT_EQ(st.rows, 1u);
      EXPECT_EQ(st.present, 1u);
      EXPECT_EQ(st.empty, (key == "n" || key == "e" || key == "arr") ? 1u : 0u);
      EXPECT_EQ(st.distinct, v.is_scalar() ? 1u : 0u);
      EXPECT_EQ(st.scalars, st.distinct);
      EXPECT_EQ(st.mean_chars, static_cast<double>(f.meta.children()[i].full()));
      EXPECT_EQ(st.mean_position, static_cast<double>(i));
      EXPECT_EQ(st.numeric_like, key == "num" || key == "ns");
      EXPECT_EQ(st.date_like, key == "d");
      EXPECT_EQ(st.opaque, key == "o" || key == "h");
      EXPECT_FALSE(st.constant);
      double value_relevance = 0;
      if (with_query && (key == "t" || key == "u")) {
        ASSERT_EQ(q->terms.size(), 2u);
        value_relevance = key == "t" ? 1.0 : 0.75;
      }
      EXPECT_EQ(st.value_relevance, value_relevance);
      EXPECT_EQ(st.value_hit_rate, value_relevance > 0 ? 1.0 : 0.0);
      EXPECT_EQ(st.relevance, std::max(st.name_relevance, st.value_relevance));
      if (!with_query) {
        EXPECT_EQ(st.name_relevance, 0.0);
      }
    }
  }
}

// Random trees: every fitted result measures exactly what it renders to.
Value random_tree(std::mt19937& rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 4 ? 3 : 5);
  switch (kind(rng)) {
    case 0: return Value::null();
    case 1: return Value::number(std::to_string(rng() % 100000));
    case 2: return Value::boolean(rng() % 2);
    case 3: {
      std::string s;
      int n = static_cast<int>(rng() % 120);
      for (int i = 0; i < n; ++i) {
        int c = static_cast<int>(rng() % 40);
        s += c < 30    ? static_cast<char>('a' + c % 26)
             : c < 33  ? ' '
             : c == 33 ? '\n'
             : c == 34 ? '"'
             : c == 35 ? '\t'
             : c == 36 ? '\x01'
                       : '.';
        if (c == 39) s += "\xC3\xA9";
      }
      return Value::string(s);
    }
    case 4: {
      Value::Array a;
      int n = static_cast<int>(rng() % 12);
      for (int i = 0; i < n; ++i) a.push_back(random_tree(rng, depth + 1));
      return Value::array(std::move(a));
    }
    default: {
      Value::Object o;
      int n = static_cast<int>(rng() % 8);
      for (int i = 0; i < n; ++i) o.push_back({"k" + std::to_string(rng() % 10), random_tree(rng, depth + 1)});
      return Value::object(std::move(o));
    }
  }
}

TEST(Fit, ReturnedSizeEqualsRenderedLength) {
  std::mt19937 rng(7);
  const char* strategies[] = {R"({})", R"({"array_strategy":"condense","arguments":"k3 title"})",
                              R"({"protect":["k1"],"keep_last_item":false})"};
  for (int t = 0; t < 300; ++t) {
    Value doc = random_tree(rng, 0);
    std::string text = json::to_string(doc);
    for (std::uint64_t indent : {0u, 2u}) {
      Fixture f(text, strategies[t % 3], indent);
      for (std::uint64_t b : {f.meta.full() / 2, f.meta.full() / 5, f.meta.min(), f.meta.min() + 7}) {
        Pruner p = f.pruner();
        Fitted r = p.fit(f.doc, f.meta, b, 0);
        std::string out = render(r.value, indent, Format::Json);
        ASSERT_EQ(r.size, utf8::count(out)) << text << "\nbudget " << b << " indent " << indent << "\n" << out;
        if (b >= f.meta.min()) {
          EXPECT_LE(r.size, b) << text << " budget " << b;
        }
        Fitted m = f.pruner().minimal(f.doc, f.meta, 0);
        ASSERT_EQ(m.size, utf8::count(render(m.value, indent, Format::Json)));
        ASSERT_EQ(m.size, f.meta.min());
      }
    }
  }
}

TEST(BudgetSearch, ZeroBudgetMakesOneAttemptThatDoesNotFit) {
  Value doc = parse(R"({"a":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"})");
  Options o = Options::from_value(parse(R"({"max_chars":0})")).value();
  BudgetSearch s = search_budget(doc, o, Format::Json, 2);
  EXPECT_EQ(s.attempts, 1);
  EXPECT_FALSE(s.fits);
  EXPECT_EQ(s.budgets, std::vector<std::uint64_t>{0});
  auto e = testing::shrink(R"({"a":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"})", R"({"max_chars":0})");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(testing::get(e.report(), "fits").as_bool(), false);
  EXPECT_EQ(testing::get(e.report(), "pruned").as_bool(), true);
}

TEST(BudgetSearch, JsonStopsAtTheFirstFit) {
  std::string doc = "[";
  for (int i = 0; i < 200; ++i)
    doc += std::string(i ? "," : "") + R"({"id":)" + std::to_string(i) + R"(,"name":"item number )" +
           std::to_string(i) + R"("})";
  doc += "]";
  Value v = parse(doc);
  Options o = Options::from_value(parse(R"({"max_chars":1000,"indent":0})")).value();
  BudgetSearch s = search_budget(v, o, Format::Json, 0);
  EXPECT_TRUE(s.fits);
  EXPECT_EQ(s.attempts, 1);
  EXPECT_LE(s.chars, 1000u);
}

TEST(BudgetSearch, YamlBelowTwoHundredSearchesWhileRoomIsLeft) {
  std::string doc = R"({"text":")" + std::string(3000, 'w') + R"("})";
  Value v = parse(doc);
  Options o = Options::from_value(parse(R"({"max_chars":150})")).value();
  BudgetSearch s = search_budget(v, o, Format::Yaml, 2);
  EXPECT_TRUE(s.fits);
  EXPECT_GT(s.attempts, 1);
  EXPECT_LE(s.chars, 150u);
  EXPECT_GE(s.chars, 140u);
}

BudgetSearch search(const std::string& doc_json, const std::string& options_json, Format format) {
  Value doc = parse(doc_json);
  Options o = Options::from_value(parse(options_json)).value();
  std::uint64_t indent = format == Format::Yaml ? std::max<std::uint64_t>(o.indent, 2) : o.indent;
  return search_budget(doc, o, format, indent);
}

std::string quoted_letters(std::string_view head, std::size_t n) {
  return "\"" + std::string(head) + std::string(n, 'w') + "\"";
}

TEST(BudgetSearch, OvershootWithoutAFitShrinksTheBudgetToZero) {
  // A protected string that renders at 1000 whatever the budget: 100, then 100 * 100 / 1000 * 0.97 = 9.7,
  // then 9 * 100 / 1000 * 0.97 < 1, and the attempt at 0 ends the search.
  BudgetSearch s = search(R"({"p":)" + quoted_letters("", 992) + "}", R"({"max_chars":100,"indent":0,"protect":["p"]})",
                          Format::Json);
  EXPECT_EQ(s.budgets, (std::vector<std::uint64_t>{100, 9, 0}));
  EXPECT_FALSE(s.fits);
  EXPECT_EQ(s.chars, 1000u);
}

TEST(BudgetSearch, YamlCorrectsTheBudgetUpwardAndDownward) {
  // A plain YAML scalar renders one character shorter than its JSON size (no quotes, one line feed):
  // 149 fits with room, 150 * 150 / 149 = 151.006 gives 151, which fills the budget exactly.
  BudgetSearch up = search(quoted_letters("", 3000), R"({"max_chars":150})", Format::Yaml);
  EXPECT_EQ(up.budgets, (std::vector<std::uint64_t>{150, 151}));
  EXPECT_TRUE(up.fits);
  EXPECT_EQ(up.chars, 150u);
  EXPECT_EQ(up.text, std::string(135, 'w') + "…[+2865 chars]\n");

  // A leading "@" needs quotes in YAML: one character longer than the JSON size. 100 overshoots (101),
  // 100 * 100 / 101 * 0.97 = 96.04 gives 96 (97 fits), then bisection between 96 and 100: 98, 99.
  BudgetSearch down = search(quoted_letters("@", 3000), R"({"max_chars":100})", Format::Yaml);
  EXPECT_EQ(down.budgets, (std::vector<std::uint64_t>{100, 96, 98, 99}));
  EXPECT_TRUE(down.fits);
  EXPECT_EQ(down.chars, 100u);
  EXPECT_EQ(down.text, "\"@" + std::string(82, 'w') + "…[+2918 chars]\"\n");
}

TEST(BudgetSearch, YamlStopsWithinTheSlack) {
  struct Case {
    std::uint64_t max_chars;
    int attempts;
    std::uint64_t chars;
  };
  // The first attempt leaves one character of room: the slack is 199 / 200 = 0, 200 / 200 = 1, 1000 / 200 = 5.
  const Case cases[] = {{199, 2, 199}, {200, 1, 199}, {1000, 1, 999}};
  for (const Case& c : cases) {
    BudgetSearch s =
        search(quoted_letters("", 3000), R"({"max_chars":)" + std::to_string(c.max_chars) + "}", Format::Yaml);
    EXPECT_EQ(s.attempts, c.attempts) << c.max_chars;
    EXPECT_EQ(s.chars, c.chars) << c.max_chars;
    EXPECT_TRUE(s.fits);
  }
  // JSON stops at the first fit even with room left.
  BudgetSearch json =
      search(R"({"a":)" + quoted_letters("", 3000) + "}", R"({"max_chars":150,"indent":0})", Format::Json);
  EXPECT_EQ(json.attempts, 1);
  EXPECT_EQ(json.chars, 150u);
}

// The report's counters come from the chosen attempt, not from the last one made.
TEST(BudgetSearch, ReportsTheChosenAttemptsCounters) {
  std::string doc = "{";
  for (int k = 0; k < 12; ++k)
    doc += (k ? ",\"" : "\"") + std::string("key") + std::to_string(k) + "\":[" +
           items(k + 3, R"("@)" + std::string(10 + 7 * k, 'v') + R"(")") + "]";
  doc += "}";
  Value v = parse(doc);
  int differing = 0;
  for (std::uint64_t m = 150; m < 1500; m += 37) {
    Options o = Options::from_value(parse(R"({"max_chars":)" + std::to_string(m) + "}")).value();
    BudgetSearch s = search_budget(v, o, Format::Yaml, 2);
    Meta meta = analyze(v, o, 2);
    std::optional<Stats> chosen;
    Stats last;
    for (std::uint64_t b : s.budgets) {
      Pruner p = Pruner::with_scorer(true, 2, o, scorer_for(o.field_scorer));
      std::string text = render(p.fit(v, meta, b, 0).value, 2, Format::Yaml);
      if (!chosen && text == s.text) chosen = p.stats;
      last = p.stats;
    }
    ASSERT_TRUE(chosen.has_value()) << m;
    EXPECT_EQ(s.stats.items_omitted, chosen->items_omitted) << m;
    EXPECT_EQ(s.stats.keys_omitted, chosen->keys_omitted) << m;
    EXPECT_EQ(s.stats.arrays_sampled, chosen->arrays_sampled) << m;
    EXPECT_EQ(s.stats.strings_truncated, chosen->strings_truncated) << m;
    EXPECT_EQ(s.stats.containers_collapsed, chosen->containers_collapsed) << m;
    differing += last.items_omitted != chosen->items_omitted || last.keys_omitted != chosen->keys_omitted ||
                 last.strings_truncated != chosen->strings_truncated;
  }
  // Some searches end on an attempt that is not the chosen one and counted differently.
  EXPECT_GT(differing, 0);
}

}  // namespace
}  // namespace tavisk
