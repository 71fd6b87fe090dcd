// The shortcuts of condensing: the cheapest table that lets condensing give up before the survey,
// the projection by column lookups, and the digit rule of informative words.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "condense.h"
#include "fields.h"
#include "json.h"
#include "lexical.h"

namespace tavisk {
namespace {

// Records of mixed shapes: shared and private keys, repeated keys, nested objects (some deeper than
// four keys, some replaced by a string), short, long, escaped and non-ASCII texts.
std::string records(std::uint32_t seed, int count) {
  std::mt19937 rnd(seed);
  auto pick = [&](int n) { return static_cast<int>(rnd() % static_cast<std::uint32_t>(n)); };
  const char* texts[] = {"\"\"", "\"a\"", "\"Lyon\"", "\"Z\\u00fcrich caf\u00e9\"", "\"line\\none\"",
                         "\"customer 4545 shipped\"", "\"2026-01-31T10:00:00Z\"", "null", "true", "12345678901",
                         "3.5", "[]", "{}", "[1,2]"};
  std::string out = "[";
  for (int i = 0; i < count; ++i) {
    if (i) out += ",";
    out += "{\"id\":" + std::to_string(pick(1000));
    if (pick(4)) out += ",\"name\":" + std::string(texts[pick(14)]);
    if (pick(3) == 0) out += ",\"note\":\"" + std::string(static_cast<std::size_t>(pick(90)), 'n') + "\"";
    if (pick(2)) out += ",\"user\":" + (pick(5) ? "{\"login\":\"u" + std::to_string(pick(9)) +
                                                      "\",\"deep\":{\"x\":{\"y\":{\"z\":" + std::to_string(pick(3)) + "}}}}"
                                                : std::string("\"gone\""));
    if (pick(6) == 0) out += ",\"p" + std::to_string(pick(4)) + "\":" + texts[pick(14)];
    if (pick(8) == 0) out += ",\"id\":7";  // a repeated key
    out += "}";
  }
  return out + "]";
}

// Whether plan() finds a plan at this budget in any attempt and width that try_condense makes.
bool some_plan(Pruner& p, const Value& doc, const Meta& meta, std::uint64_t budget, std::uint64_t depth) {
  for (bool suppressed : {false, true}) {
    p.query_suppressed = suppressed;
    for (std::uint64_t width : {24u, 12u}) {
      p.floor_head_chars = width;
      const PlanOutcome o = p.plan(doc.items(), meta.children(), budget, depth, width == 24);
      p.floor_head_chars = 24;
      p.pinned.clear();
      if (o.status == PlanStatus::Ready) return p.query_suppressed = false, true;
      if (o.status == PlanStatus::NotCondensable) return p.query_suppressed = false, false;
    }
  }
  p.query_suppressed = false;
  return false;
}

// Below the cheapest table no attempt finds a plan; the smallest budget with a plan is at or above it.
TEST(CondenseBound, CheapestTableNeverExceedsAPlannableBudget) {
  int bounded = 0;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    const Value doc = json::parse(records(seed, 6 + static_cast<int>(seed % 5) * 7)).value();
    for (std::uint64_t indent : {0u, 2u}) {
      Options o;
      o.array_strategy = ArrayStrategy::Condense;
      if (seed % 2) o.arguments = "customer shipped login";
      if (seed % 3 == 0) o.protect = {"*/user/login"};
      Pruner p = Pruner::with_scorer(indent > 0, indent, o, HEURISTIC);
      for (std::uint64_t depth : {0u, 3u}) {
        Path root;
        const Meta meta = p.analyze_at(doc, depth, root, false);
        const std::uint64_t cheapest = cheapest_table(p, doc.items(), meta.children(), depth);
        // The smallest budget that admits a plan, found by scanning up in coarse and then in fine steps.
        constexpr std::uint64_t step = 48;
        std::uint64_t first = 0;
        bool found = false;
        for (std::uint64_t b = step; b < meta.full() + step && !found; b += step) {
          if (!some_plan(p, doc, meta, b, depth)) continue;
          for (first = b - step + 1; !some_plan(p, doc, meta, first, depth);) ++first;
          found = true;
        }
        if (!found) continue;
        EXPECT_LE(cheapest, first) << "seed " << seed << " indent " << indent << " depth " << depth;
        // The bound is not trivial: it lies above the framing and record overheads alone.
        const TableLayout tl{{indent > 0, indent}, depth};
        const std::uint64_t n = doc.items().size();
        EXPECT_GT(cheapest, tl.framing(n) + n * tl.record_overhead());
        ++bounded;
      }
    }
  }
  EXPECT_GT(bounded, 20);
}

// One protected column of distinct values: its table costs exactly the cheapest table, so the first
// budget that condenses is the bound itself.
TEST(CondenseBound, OneProtectedColumnIsPlannedFromTheBoundOn) {
  std::string text = "[";
  for (int i = 0; i < 25; ++i)
    text += std::string(i ? "," : "") + "{\"comment\":\"v" + std::to_string(i * 37) + " caf\u00e9\\n\"}";
  const Value doc = json::parse(text + "]").value();
  for (std::uint64_t indent : {0u, 2u, 4u}) {
    Options o;
    o.array_strategy = ArrayStrategy::Condense;
    o.protect = {"/*/comment"};
    Pruner p = Pruner::with_scorer(indent > 0, indent, o, HEURISTIC);
    Path root;
    const Meta meta = p.analyze_at(doc, 0, root, false);
    const std::uint64_t cheapest = cheapest_table(p, doc.items(), meta.children(), 0);
    EXPECT_FALSE(some_plan(p, doc, meta, cheapest - 1, 0)) << indent;
    EXPECT_TRUE(some_plan(p, doc, meta, cheapest, 0)) << indent;
  }
}

TEST(CondenseBound, NoColumnsOrNoRecordsGiveTheMaximum) {
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  for (const char* text : {"[{},{}]", "[]", "[1,2]"}) {
    const Value doc = json::parse(text).value();
    Path root;
    const Meta meta = p.analyze_at(doc, 0, root, false);
    EXPECT_EQ(cheapest_table(p, doc.items(), meta.children(), 0), UINT64_MAX) << text;
  }
}

// A condensed call at the smallest budget that condenses, and one just below the cheapest table.
TEST(CondenseBound, CallsAroundTheBoundCondenseOrSampleAsPlanned) {
  const Value doc = json::parse(records(5, 30)).value();
  Options o;
  o.array_strategy = ArrayStrategy::Condense;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path root;
  const Meta meta = p.analyze_at(doc, 0, root, false);
  const std::uint64_t cheapest = cheapest_table(p, doc.items(), meta.children(), 0);
  ASSERT_LT(cheapest, meta.full());
  for (std::uint64_t budget : {cheapest - 1, cheapest, cheapest + 200, meta.full() - 1}) {
    SurveyCache cache;
    Pruner with = Pruner::with_scorer(false, 0, o, HEURISTIC);
    with.surveys = &cache;
    const Fitted f = with.fit(doc, meta, budget, 0);
    EXPECT_EQ(with.stats.arrays_condensed > 0, some_plan(p, doc, meta, budget, 0)) << budget;
    EXPECT_LE(f.size, budget);
  }
}

// ---- projection by columns -----------------------------------------------------

std::string path_text(const Path& p) {
  std::string s;
  for (const std::string& x : p) s += "/" + x;
  return s;
}

TEST(CondenseProjection, ColumnLookupsGiveThePathSetProjection) {
  // Keys that share lengths, first and last bytes; repeats; objects that turn into strings; entries
  // beyond their record's analysis are not in it here, but deep and empty objects are.
  std::vector<std::string> docs = {records(3, 40), records(4, 25)};
  docs.push_back(R"([{"abcdefgh":1,"abcdXfgh":2,"abcdefghijklmnop":3,"abcdefghijkXmnop":4,"ab":5,"aXb":6,"":7},
                     {"aXb":1,"ab":{"q":1},"":{"":2},"abcdefghijklmnopq":8,"abcdefghijklmnoXq":9,"\u00e9t\u00e9":1},
                     {"ab":{"q":2,"r":3},"ab":"x","\u00e9t\u00e9":{"a":{"b":{"c":{"d":1}}}},"abcdefgh":{}}])");
  int compared = 0;
  for (const std::string& text : docs) {
    const Value doc = json::parse(text).value();
    Options o;
    Pruner p = Pruner::with_scorer(true, 2, o, HEURISTIC);
    Path root;
    const Meta meta = p.analyze_at(doc, 0, root, false);
    Discovery d;
    Path prefix;
    for (std::size_t i = 0; i < doc.items().size(); ++i)
      p.visit(d, doc.items()[i].members(), doc.items()[i].members().size(), meta.children()[i], std::nullopt, prefix,
              1, i);
    std::mt19937 rnd(static_cast<std::uint32_t>(text.size()));
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<std::size_t> chosen;
      for (std::size_t c = 0; c < d.columns.size(); ++c)
        if (rnd() % 3 == 0) chosen.push_back(c);
      PathSet selected, prefixes;
      for (std::size_t c : chosen) {
        const Path& path = d.columns[c].path;
        selected.insert(path);
        for (std::size_t k = 1; k <= path.size(); ++k)
          prefixes.insert(Path(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(k)));
      }
      ColumnProjector projector(d, chosen);
      for (const Value& item : doc.items()) {
        Path working;
        const std::string want = json::to_string(Value::object(p.project(item.members(), working, prefixes, selected)));
        EXPECT_EQ(json::to_string(Value::object(projector.project(item.members()))), want)
            << "columns " << chosen.size() << " first " << (chosen.empty() ? "" : path_text(d.columns[chosen[0]].path));
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 1000);
}

// ---- informative words ---------------------------------------------------------

bool informative_reference(std::string_view w) {
  static const std::vector<std::string_view> stops = {
      "an",    "the",  "of",     "in",     "on",     "at",       "to",    "for",   "with",    "and",   "or",    "not",
      "is",    "are",  "by",     "from",   "as",     "be",       "me",    "my",    "all",     "any",   "select", "where",
      "order", "asc",  "desc",   "limit",  "offset", "like",     "null",  "true",  "false",   "between", "group",
      "having", "distinct", "count", "query", "search", "find",  "get",   "list",  "show",    "what",  "which", "who",
      "when",  "how",  "that",   "this",   "it",     "user",     "http",  "https", "www",     "com"};
  std::size_t chars = 0;
  for (unsigned char c : w) chars += (c & 0xC0) != 0x80;
  if (chars < 2 || std::find(stops.begin(), stops.end(), w) != stops.end()) return false;
  if (std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; })) return w.size() >= 4;
  return true;
}

TEST(CondenseInformative, DigitsAndStopWordsAsTheRuleSays) {
  for (std::string_view w : {"1", "12", "123", "1234", "0000", "99999", "1a", "1st", "10k", "2024x", "x1", "x2024",
                             "a1", "12ab34", "\u0663\u0664\u0665\u0666", "9\u00e9", "the", "them", "user", "users",
                             "order", "orders", "http", "https", "between", "betweens", "select", "selected", "id",
                             "\u00e9", "\u00e9t", "ab", "a"}) {
    EXPECT_EQ(informative(w), informative_reference(w)) << w;
  }
}

}  // namespace
}  // namespace tavisk
