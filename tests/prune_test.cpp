// The fit driver, array sampling, object fitting and water filling.
#include "prune.h"

#include <gtest/gtest.h>

#include <random>

#include "fields.h"
#include "json.h"
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
  Fitted r = p.fit(f.doc, f.meta, f.meta.full, 0);
  EXPECT_EQ(compact(r.value), R"({"a":"hello world","b":[1,2,3]})");
  EXPECT_EQ(r.size, f.meta.full);
}

TEST(Fit, BudgetAtOrBelowMinGivesTheMinimalForm) {
  Fixture f(R"({"a":"hello world","b":[1,2,3]})");
  for (std::uint64_t b : {f.meta.min, f.meta.min - 1, std::uint64_t{0}}) {
    Pruner p = f.pruner();
    Fitted r = p.fit(f.doc, f.meta, b, 0);
    EXPECT_EQ(compact(r.value), R"({"…":"2 keys omitted"})");
    EXPECT_EQ(r.size, f.meta.min);
    EXPECT_EQ(p.stats.containers_collapsed, 1u);
    EXPECT_EQ(p.stats.keys_omitted, 2u);
  }
  Fixture s("\"" + std::string(40, 'a') + "\"");
  ASSERT_EQ(s.meta.min, 14u);
  for (std::uint64_t b : {std::uint64_t{14}, std::uint64_t{13}, std::uint64_t{3}}) {
    Pruner p = s.pruner();
    Fitted r = p.fit(s.doc, s.meta, b, 0);
    EXPECT_EQ(compact(r.value), R"("…[+40 chars]")") << b;
    EXPECT_EQ(r.size, 14u);
    EXPECT_EQ(p.stats.strings_truncated, 1u);
  }
  Fixture a(items(100, "1"));
  ASSERT_EQ(a.meta.min, 24u);
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

TEST(FitArray, OneGapMarkerPerRun) {
  // Items 0 and 5 have the only distinct shapes, so they are taken first; item 1 is too large to follow.
  const std::string big = R"({"a":")" + std::string(40, 'x') + R"("})";
  std::string doc = R"([{"a":1},)" + big + "," + big + "," + big + "," + big + R"(,{"b":1},)" + big + "," + big + "]";
  Fixture f(doc, R"({"keep_last_item":false})");
  Pruner p = f.pruner();
  Fitted r = p.fit(f.doc, f.meta, 60, 0);
  EXPECT_EQ(compact(r.value), R"([{"a":1},"…[4 items omitted]",{"b":1},"…[2 items omitted]"])");
  EXPECT_EQ(r.size, 59u);
  EXPECT_EQ(p.stats.items_omitted, 6u);
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

TEST(WaterFill, SmallNeedsAreServedFirst) {
  // Three strings needing 10, 50 and 200 more characters than their minimum.
  auto text = [](std::uint64_t need) {
    // A string of n letters has min 14 (placeholder) for n >= 12: full = n + 2.
    return std::string(need + 12, 'a');
  };
  Fixture f(R"([")" + text(10) + R"(",")" + text(50) + R"(",")" + text(200) + R"("])");
  Pruner p = f.pruner();
  std::vector<Child> children;
  for (std::size_t i = 0; i < 3; ++i) children.push_back({&f.doc.items()[i], &f.meta.children[i], nullptr});
  Pruner::Filled filled = p.water_fill(children, 100, 1);
  ASSERT_EQ(filled.values.size(), 3u);
  EXPECT_EQ(filled.values[0].text(), text(10));
  std::uint64_t s1 = utf8::count(compact(filled.values[1])), s2 = utf8::count(compact(filled.values[2]));
  // The second gets at most its share of 90 / 2; what it leaves flows to the third.
  EXPECT_LE(s1, 14u + 45u);
  EXPECT_GE(s1, 14u + 40u);
  const std::uint64_t min2 = f.meta.children[2].min;  // "…[+212 chars]" quoted: 15
  EXPECT_EQ(min2, 15u);
  EXPECT_LE(s2, min2 + (90u - (s1 - 14u)));
  EXPECT_GE(s2, min2 + 40u);
  EXPECT_EQ(filled.total, 24u + s1 + s2);
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
      for (std::uint64_t b : {f.meta.full / 2, f.meta.full / 5, f.meta.min, f.meta.min + 7}) {
        Pruner p = f.pruner();
        Fitted r = p.fit(f.doc, f.meta, b, 0);
        std::string out = render(r.value, indent, Format::Json);
        ASSERT_EQ(r.size, utf8::count(out)) << text << "\nbudget " << b << " indent " << indent << "\n" << out;
        if (b >= f.meta.min) {
          EXPECT_LE(r.size, b) << text << " budget " << b;
        }
        Fitted m = f.pruner().minimal(f.doc, f.meta, 0);
        ASSERT_EQ(m.size, utf8::count(render(m.value, indent, Format::Json)));
        ASSERT_EQ(m.size, f.meta.min);
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
