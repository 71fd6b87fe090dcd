// Focus on the request: the option, its report keys, the term list and its cap,
// item scores and promotion, the lookup threshold, key relevance with halved
// tiers, line fitting with exact markers, and the index the analysis builds.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "fields.h"
#include "focus.h"
#include "json.h"
#include "lexical.h"
#include "pipeline.h"
#include "prune.h"
#include "test_util.h"
#include "utf8.h"

namespace tavisk {
namespace {

using testing::get;
using testing::shrink;

const char* const FOCUS_KEYS[] = {"items_promoted", "arrays_focused", "keys_promoted", "lines_omitted",
                                  "lines_matched"};

std::vector<std::string> report_key_list(const testing::Envelope& e) {
  std::vector<std::string> keys;
  for (const Member& m : e.report().members()) keys.emplace_back(m.key.view());
  return keys;
}

// A JSON array of n records {"id":i,"tag":"<tag(i)>"}.
std::string records(int n, const std::function<std::string(int)>& tag) {
  std::string out = "[";
  for (int i = 0; i < n; ++i)
    out += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"tag\":\"" + tag(i) + "\"}";
  return out + "]";
}

// The ids of the records a shrunk array kept, in order.
std::vector<int> kept_ids(const std::string& text) {
  std::vector<int> ids;
  const Value v = json::parse(text).value();
  for (const Value& item : v.items())
    if (item.is_object() && get(item, "id").is_number()) ids.push_back(std::stoi(std::string(get(item, "id").text())));
  return ids;
}

TEST(Focus, OptionValuesAndReportKeys) {
  const std::string doc = records(40, [](int i) { return "t" + std::to_string(i); });
  const std::string base = R"({"max_chars":300)";
  const auto plain = shrink(doc, base + "}");
  ASSERT_TRUE(plain.ok());
  struct Case {
    const char* value;
    bool ok, reports_focus;
  };
  const Case cases[] = {{R"("none")", true, false}, {R"("NONE")", true, false}, {R"("auto")", true, true},
                        {R"("Auto")", true, true},  {R"("on")", false, false},  {"true", false, false},
                        {"1", false, false},        {R"("auto ")", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const auto e = shrink(doc, base + R"(,"focus":)" + c.value + "}");
    ASSERT_EQ(e.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(e.error(), "invalid options: focus must be \"none\" or \"auto\"");
      continue;
    }
    std::vector<std::string> want = testing::report_keys();
    if (c.reports_focus) want.insert(want.end(), std::begin(FOCUS_KEYS), std::end(FOCUS_KEYS));
    EXPECT_EQ(report_key_list(e), want);
    // Without arguments or lines there is nothing to focus on: the same text either way.
    EXPECT_EQ(e.text(), plain.text());
  }
  // A document that fits reports the five keys as zeros.
  const auto small = shrink("[1,2]", R"({"focus":"auto"})");
  for (const char* k : FOCUS_KEYS) EXPECT_EQ(small.counter(k), "0") << k;
}

TEST(Focus, ExactTokens) {
  struct Case {
    const char* arguments;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"show batch/v1 jobs", {"batch/v1"}},
      {"version 1.1.2. please", {"1.1.2"}},
      {"HTTP 404 lines", {"404"}},
      {"(RIPPLE-12), and \"ripple-12\"", {"ripple-12"}},  // stripped, lowercased, deduplicated
      {"x 7 -- ... plain words", {}},                     // too short, no letter or digit, only letters
      {"a1 [id=5] é9", {"a1", "id=5", "é9"}},
      {"created_at\tupdated_at", {"created_at", "updated_at"}},
  };
  for (const Case& c : cases) EXPECT_EQ(focus::exact_tokens(c.arguments), c.tokens) << c.arguments;
}

TEST(Focus, TermsAreCappedAtSixtyFour) {
  // 70 distinct words: only the first 64 get a bit, and no exact token is left room.
  std::string many;
  for (int i = 0; i < 70; ++i) many += "word" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i / 26 * 7) + "x ";
  focus::Terms t = focus::Terms::of(many + "1.2.3");
  EXPECT_EQ(t.size(), focus::MAX_TERMS);
  EXPECT_TRUE(t.exact().empty());
  // 62 words leave room for exactly two of three exact tokens.
  std::string some;
  for (int i = 0; i < 62; ++i) some += "word" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i / 26 * 7) + "x ";
  t = focus::Terms::of(some + "1.2.3 4.5.6 7.8.9");
  EXPECT_EQ(t.word_count(), 62u);
  EXPECT_EQ(t.exact(), (std::vector<std::string>{"1.2.3", "4.5.6"}));
  EXPECT_EQ(t.exact_bits(), std::uint64_t{3} << 62);

  // End to end: the needle promotes its record as the 64th term, not as the 65th.
  const std::string doc = records(30, [](int i) { return i == 17 ? "zebra" : "plain"; });
  for (int fillers : {63, 64}) {
    std::string args;
    for (int i = 0; i < fillers; ++i) args += "qq" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i / 26) + " ";
    const auto e = shrink(doc, R"({"max_chars":150,"focus":"auto","arguments":")" + args + "zebra\"}");
    ASSERT_TRUE(e.ok());
    const std::vector<int> ids = kept_ids(e.text());
    const bool kept = std::find(ids.begin(), ids.end(), 17) != ids.end();
    EXPECT_EQ(kept, fillers == 63) << fillers;
  }
}

TEST(Focus, ItemScores) {
  struct Case {
    std::vector<std::uint64_t> masks;
    std::uint64_t exact;
    std::vector<std::uint64_t> scores;
    std::uint64_t weighted;
    std::vector<std::uint32_t> promoted;
  };
  const Case cases[] = {
      // bit 0 hits 3 of 4 items (weight 1), bit 1 one (weight 3).
      {{1, 1, 3, 0}, 0, {1, 1, 4, 0}, 3, {2, 0, 1}},
      // A bit that hits every item is worth nothing.
      {{1, 1, 1}, 0, {0, 0, 0}, 0, {}},
      // Equal scores keep index order.
      {{0, 2, 0, 2, 4}, 0, {0, 3, 0, 3, 4}, 6, {4, 1, 3}},
      // The bit of an exact token weighs double.
      {{1, 2, 0, 0}, 2, {3, 6, 0, 0}, 3, {1, 0}},
  };
  for (const Case& c : cases) {
    std::uint64_t weighted = 99;
    std::vector<std::uint64_t> got;
    focus::scores(c.masks.data(), c.masks.size(), c.exact, weighted, got);
    EXPECT_EQ(got, c.scores);
    EXPECT_EQ(weighted, c.weighted);
    EXPECT_EQ(focus::promote(got), c.promoted);
    // Arrays take the same order from their items' masks alone.
    EXPECT_EQ(focus::promoted(c.masks.data(), c.masks.size(), c.exact), c.promoted);
  }
}

TEST(Focus, PromotedItemsComeFirstWithTheLastItemRightAfter) {
  const std::string doc = records(40, [](int i) { return i == 21 ? "needle-21" : i == 30 ? "near" : "filler"; });
  struct Case {
    const char* arguments;
    std::vector<int> order;     // the priority order's first items
    std::vector<int> promoted;  // items with a positive score
  };
  std::vector<int> fillers;
  for (int i = 0; i < 40; ++i)
    if (i != 21 && i != 30) fillers.push_back(i);
  const Case cases[] = {
      // The best match, then the last item, then the usual order.
      {"needle-21", {21, 39, 0, 1, 2}, {21}},
      // Two matches; the exact token weighs more, the last item keeps its place after the best.
      {"near needle-21", {21, 39, 30, 0, 1}, {21, 30}},
      // A word most records hold still weighs what it misses.
      {"filler", {0, 39, 1, 2, 3}, fillers},
      // A key every record holds changes nothing.
      {"tag", {0, 39, 1, 2, 3}, {}},
  };
  for (std::uint64_t budget : {110, 130, 160}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.arguments) + " at " + std::to_string(budget));
      const auto e = shrink(doc, R"({"max_chars":)" + std::to_string(budget) +
                                     R"(,"indent":0,"focus":"auto","arguments":")" + c.arguments + "\"}");
      ASSERT_TRUE(e.ok());
      const std::vector<int> ids = kept_ids(e.text());
      ASSERT_GE(ids.size(), 2u) << e.text();
      ASSERT_LE(ids.size(), c.order.size()) << e.text();
      std::vector<int> want(c.order.begin(), c.order.begin() + static_cast<std::ptrdiff_t>(ids.size()));
      std::sort(want.begin(), want.end());
      EXPECT_EQ(ids, want) << e.text();
      std::uint64_t promoted = 0;
      for (int id : ids) promoted += std::count(c.promoted.begin(), c.promoted.end(), id);
      EXPECT_EQ(e.counter("items_promoted"), std::to_string(promoted));
    }
  }
  // A request for the last entry tries the last item first.
  const auto last = shrink(doc, R"({"max_chars":60,"indent":0,"focus":"auto","arguments":"the last tag"})");
  EXPECT_EQ(kept_ids(last.text()), std::vector<int>{39}) << last.text();
  // Matches that are items the usual order tries early (the first, the last) are tried once, where
  // the matches put them; the usual order then passes over them.
  const std::string ends = records(40, [](int i) {
    return i == 0 || i == 20 || i == 39 ? "needle-" + std::to_string(i) : std::string("x");
  });
  const std::pair<const char*, std::vector<int>> orders[] = {
      {"needle-39 needle-20", {20, 39, 0, 1}},   // the last item follows the best match, and only there
      {"needle-0 needle-20", {0, 39, 20, 1}},    // the first item is the best match: the head skips it
      {"needle-39 needle-20 last", {39, 20, 0, 1}},  // asked for the end, which also matches
  };
  for (const auto& [arguments, order] : orders) {
    SCOPED_TRACE(arguments);
    // Items are kept in the order's sequence until one does not fit: every budget keeps a prefix.
    std::size_t longest = 0;
    for (std::uint64_t budget = 40; budget <= 160; budget += 4) {
      const auto e = shrink(ends, R"({"max_chars":)" + std::to_string(budget) +
                                      R"(,"indent":0,"focus":"auto","arguments":")" + arguments + "\"}");
      ASSERT_TRUE(e.ok());
      const std::vector<int> ids = kept_ids(e.text());
      const std::size_t k = std::min(ids.size(), order.size());
      std::vector<int> want(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k));
      std::sort(want.begin(), want.end());
      if (ids.size() <= order.size()) {
        EXPECT_EQ(ids, want) << budget << ": " << e.text();
      } else {
        EXPECT_TRUE(std::includes(ids.begin(), ids.end(), want.begin(), want.end())) << budget << ": " << e.text();
      }
      longest = std::max(longest, ids.size());
    }
    EXPECT_GE(longest, order.size());
  }
}

TEST(Focus, LookupArraysAreSampledUpToAQuarter) {
  // Condensing keeps every record; a request that points at a few records samples them instead.
  for (int n : {8, 9, 12}) {
    for (int hits = 1; hits <= 4; ++hits) {
      SCOPED_TRACE(std::to_string(n) + " records, " + std::to_string(hits) + " hit");
      std::string doc = "[";
      for (int i = 0; i < n; ++i)
        doc += std::string(i ? "," : "") + R"({"id":)" + std::to_string(i) + R"(,"tag":")" +
               (i < hits ? "rare word" : "common text") +
               R"(","note":"lorem ipsum dolor sit amet lorem ipsum dolor sit amet","owner":"someone)" +
               std::to_string(i) + "\"}";
      doc += "]";
      const std::string opts = R"({"max_chars":400,"indent":0,"array_strategy":"condense","arguments":"rare")";
      const auto plain = shrink(doc, opts + "}");
      const auto e = shrink(doc, opts + R"(,"focus":"auto"})");
      ASSERT_TRUE(e.ok() && plain.ok());
      ASSERT_EQ(plain.counter("arrays_condensed"), "1");
      const bool focused = 4 * hits <= n;
      EXPECT_EQ(e.counter("arrays_focused"), focused ? "1" : "0");
      EXPECT_EQ(e.counter("arrays_condensed"), focused ? "0" : "1");
      EXPECT_EQ(e.counter("arrays_sampled"), focused ? "1" : "0");
    }
  }
  // Fewer than four records are never a lookup.
  const auto three = shrink(records(3, [](int i) { return i ? "x" : "rare"; }),
                            R"({"max_chars":60,"array_strategy":"condense","focus":"auto","arguments":"rare"})");
  EXPECT_EQ(three.counter("arrays_focused"), "0");
}

// Smallest budget at which fitting the object keeps key "a".
std::uint64_t smallest_keeping_a(const std::string& doc, const std::string& arguments) {
  const Value v = json::parse(doc).value();
  const Options o = Options::from_value(json::parse(R"({"focus":"auto","field_scorer":"key_order","indent":0,)"
                                                    R"("arguments":")" + arguments + "\"}")
                                            .value())
                        .value();
  const Meta meta = analyze(v, o, 0);
  const auto index = focus::Index::build(v, meta, o);
  for (std::uint64_t b = 1; b < 1000; ++b) {
    Pruner p = Pruner::with_scorer(false, 0, o, scorer_for(o.field_scorer));
    p.focus_index = index.get();
    const Value out = p.fit(v, meta, b, 0).value;
    if (out.is_object() && get(out, "a").is_number()) return b;
  }
  return 0;
}

TEST(Focus, OtherKeysGetHalfTheirTierBesideARelevantOne) {
  // Key order scores: a 1.0 (whole budget), b 0.5, the long keys below 0.45.
  const std::string doc = R"({"a":1111,"b":2024,"cccccccccccccccccccccccccccccccccccccccc":3333,)"
                          R"("dddddddddddddddddddddddddddddddddddddddd":4444})";
  // b matches: it is tried first, and a then needs its fixed cost within half the budget.
  EXPECT_EQ(smallest_keeping_a(doc, "2024"), 2 * utf8::count(json::to_string(
                                                     json::parse(R"({"a":1111,"b":2024,"…":"2 keys omitted"})").value())));
  // Nothing matches: a is tried first with its whole tier.
  EXPECT_EQ(smallest_keeping_a(doc, "7777"),
            utf8::count(json::to_string(json::parse(R"({"a":1111,"…":"3 keys omitted"})").value())));
}

TEST(Focus, RelevantKeysAreKeptAndServedFirst) {
  // An object whose wanted key comes last in input order.
  std::string doc = "{";
  for (int i = 0; i < 12; ++i) doc += "\"field" + std::to_string(i) + "\":\"" + std::string(60, 'x') + "\",";
  doc += R"("commits_url":"https://example.org/repos/demo/pulls/18/commits"})";
  const std::string opts = R"({"max_chars":240,"indent":0,"arguments":"what is the commits_url")";
  const auto plain = shrink(doc, opts + "}");
  const auto focused = shrink(doc, opts + R"(,"focus":"auto"})");
  ASSERT_TRUE(plain.ok() && focused.ok());
  EXPECT_EQ(plain.text().find("pulls/18/commits"), std::string::npos);
  EXPECT_NE(focused.text().find("\"https://example.org/repos/demo/pulls/18/commits\""), std::string::npos)
      << focused.text();
  EXPECT_GE(std::stoull(focused.counter("keys_promoted")), 1u);
  EXPECT_EQ(focused.counter("objects_trimmed"), "1");
}

// Checks every line marker of a fitted text against the original lines; returns the lines left out.
std::uint64_t check_line_markers(const std::string& original, const std::string& fitted) {
  std::vector<std::string> lines;
  for (std::size_t p = 0; p <= original.size();) {
    const std::size_t lf = original.find('\n', p);
    lines.push_back(original.substr(p, lf == std::string::npos ? std::string::npos : lf - p));
    if (lf == std::string::npos) break;
    p = lf + 1;
  }
  std::vector<std::string> out;
  for (std::size_t p = 0; p <= fitted.size();) {
    const std::size_t lf = fitted.find('\n', p);
    out.push_back(fitted.substr(p, lf == std::string::npos ? std::string::npos : lf - p));
    if (lf == std::string::npos) break;
    p = lf + 1;
  }
  const std::regex marker("\xE2\x80\xA6\\[\\+([0-9]+) lines, ([0-9]+) chars\\]");
  std::size_t at = 0;  // next original line
  std::uint64_t omitted = 0;
  for (const std::string& l : out) {
    std::smatch m;
    if (std::regex_match(l, m, marker)) {
      const std::uint64_t n = std::stoull(m[1]), chars = std::stoull(m[2]);
      std::uint64_t counted = 0;
      for (std::uint64_t k = 0; k < n; ++k) counted += utf8::count(lines.at(at + k)) + 1;
      EXPECT_EQ(chars, counted) << l;
      at += n;
      omitted += n;
      continue;
    }
    // A kept line is the original line or, when cut, its beginning with a chars marker.
    const std::string& want = lines.at(at++);
    if (l != want) {
      EXPECT_EQ(want.rfind(l.substr(0, l.find("\xE2\x80\xA6")), 0), 0u) << l;
    }
  }
  EXPECT_EQ(at, lines.size());
  return omitted;
}

TEST(Focus, LinesKeepTheEndsAndFlaggedLinesWithExactMarkers) {
  std::string log;
  for (int i = 0; i < 300; ++i) {
    std::string line = "2026-01-01 INFO step " + std::to_string(i) + " done";
    if (i == 40) line = "2026-01-01 ERROR disk full on /dev/sda1";
    if (i == 90) line = "GET /favicon.ico HTTP/1.1\" 404 209";
    if (i == 120) line = "2026-01-01 INFO shipment RIPPLE-12 created";
    log += line + (i < 299 ? "\n" : "");
  }
  const std::string doc = json::to_string(Value::string(log));
  struct Case {
    const char* arguments;
    std::vector<std::string> wanted;  // lines that must be kept
    const char* matched;
  };
  const Case cases[] = {
      {"", {"ERROR disk full", "\" 404 209"}, "2"},
      {"where is RIPPLE-12", {"ERROR disk full", "\" 404 209", "RIPPLE-12 created"}, "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const auto e = shrink(doc, std::string(R"({"max_chars":1500,"focus":"auto","arguments":")") + c.arguments + "\"}");
    ASSERT_TRUE(e.ok());
    const std::string text(json::parse(e.text()).value().text());
    EXPECT_EQ(text.substr(0, text.find('\n')), "2026-01-01 INFO step 0 done");
    EXPECT_TRUE(text.ends_with("step 299 done"));
    for (const std::string& w : c.wanted) EXPECT_NE(text.find(w), std::string::npos) << w;
    EXPECT_EQ(std::to_string(check_line_markers(log, text)), e.counter("lines_omitted"));
    EXPECT_EQ(e.counter("lines_matched"), c.matched);
    EXPECT_LE(utf8::count(e.text()), 1500u);
  }
  // Without focus the same string is cut by text fitting: no line markers, no line counters.
  const auto plain = shrink(doc, R"({"max_chars":1500})");
  EXPECT_EQ(plain.text().find(" lines, "), std::string::npos);
  EXPECT_EQ(plain.counter("lines_omitted"), "");
}

TEST(Focus, TwoLinesAreNotFittedByLines) {
  const std::string doc = json::to_string(Value::string(std::string(400, 'a') + "\n" + std::string(400, 'b')));
  const auto e = shrink(doc, R"({"max_chars":200,"focus":"auto"})");
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e.counter("lines_omitted"), "0");
  EXPECT_EQ(e.text().find(" lines, "), std::string::npos);
}

// The hits of a text by the plain rules: every word of the Unicode splitter, plural-folded,
// equal to a term or (terms longer than five bytes) within one edit of one.
std::uint64_t reference_word_hits(const focus::Terms& t, std::string_view text) {
  std::uint64_t bits = 0;
  for (const std::string& w : words(text)) {
    if (!informative(w)) continue;
    const std::string_view n = norm(w);
    for (std::size_t j = 0; j < t.words().size(); ++j) {
      const std::string& term = t.words()[j];
      if (term == n) bits |= std::uint64_t{1} << j;
      const auto a = utf8::count(term), b = utf8::count(n);
      if (term.size() > 5 && n.size() > 4 && (a > b ? a - b : b - a) <= 1 && within_one_edit(term, n))
        bits |= std::uint64_t{1} << j;
    }
  }
  return bits;
}

TEST(Focus, WordHitsAgreeWithTheWordSplitter) {
  const focus::Terms t = focus::Terms::of("record login user417 café naïve straße kelvin requests thi");
  ASSERT_GE(t.word_count(), 7u);
  const char* const texts[] = {
      "Record number 12 of the table",
      "RecordNumber userLogin XMLHttpRequest loginID",  // camel-case humps
      "records recordss RECORDS Records. record's",    // plural folding, case
      "recrod recod recorde rcord",                     // one edit (substitution, deletion, insertion)
      "user471 user4170 usr417 user41",                 // one edit on a word with digits
      "value 233 caf\xC3\xA9 cafe CAF\xC3\x89",         // ASCII runs beside a non-ASCII one
      "na\xC3\xAFve-naive stra\xC3\x9F" "e strasse",    // non-ASCII terms
      "\xE2\x84\xAA" "elvin kelvin",                    // Kelvin sign lowercases to an ASCII k
      "record\xC2\xA0table loginrecord re-cord",        // no-break space inside a run
      "requestsrequestsrequestsrequestsrequestsrequestsrequestsrequestsrequestsrequests records",
      "\xEF\xBC\xB2\xEF\xBD\x85\xEF\xBD\x83\xEF\xBD\x8F\xEF\xBD\x92\xEF\xBD\x84",  // full-width letters
      "this thi This THIS",  // a plural form that is a stop word does not hit
      "", "----", "a", "7 77 777 7777",
  };
  focus::Terms::Scratch s;
  for (const char* text : texts) EXPECT_EQ(t.word_hits(text, s), reference_word_hits(t, text)) << text;
  // The stop word "this" folds to the term "thi" and still does not hit it.
  ASSERT_NE(std::find(t.words().begin(), t.words().end(), "thi"), t.words().end());
  EXPECT_EQ(t.word_hits("this", s), 0u);
  EXPECT_NE(t.word_hits("Thi", s), 0u);
  // Exact tokens equal the whole text, ignoring case, ASCII or not.
  const focus::Terms e = focus::Terms::of("find USER-417 and \xC3\x9C" "BER-9");
  ASSERT_EQ(e.exact(), (std::vector<std::string>{"user-417", "\xC3\xBC" "ber-9"}));
  const std::uint64_t first = std::uint64_t{1} << e.word_count();
  EXPECT_EQ(e.exact_hits("User-417", s), first);
  EXPECT_EQ(e.exact_hits("user-4170", s), 0u);
  EXPECT_EQ(e.exact_hits("user-41", s), 0u);
  EXPECT_EQ(e.exact_hits("user_417", s), 0u);
  EXPECT_EQ(e.exact_hits("\xC3\x9C" "BER-9", s), first << 1);
  EXPECT_EQ(e.exact_hits("\xC3\xBC" "ber-9", s), first << 1);
}

// Texts on which quick rejections could go wrong: byte pairs of the words split by case, digits,
// one edit or a character that is not ASCII; plurals; numbers; exact tokens with punctuation.
const char* const TRICKY_TEXTS[] = {
    "Record number 12 of the table", "RecordNumber userLogin XMLHttpRequest loginID", "records RECORDS Records.",
    "recrod recod recorde rcord xrecord recordx", "user471 user4170 usr417 user41 USER417",
    "value 233 caf\xC3\xA9 cafe CAF\xC3\x89", "na\xC3\xAFve-naive naxve nave stra\xC3\x9F" "e strasse",
    "\xE2\x84\xAA" "elvin kelvin KELVIN", "record\xC2\xA0table loginrecord re-cord",
    "abcdxfgh abcdfgh ABCD\xC3\x89" "FGH abcd\xC3\xA9" "fghs",  // one edit of a word with one é
    "IP ip iP Ip ipx", "7777 77777 777 x7777", "x12345 x12346 X12345 112345 e12345",
    "1.1.2 batch/v1 BATCH/V1 404 (404) 4040", "thi this", "\xD0\x97\xD0\xB0\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C record",
    "", "a", "----", "zz"};

// The hits of a text matched without an index's tables: every word of the Unicode splitter.
std::uint64_t reference_hits(const focus::Terms& t, std::string_view text) {
  focus::Terms::Scratch s;
  return reference_word_hits(t, text) | t.exact_hits(text, s);
}

TEST(Focus, IndexMasksAgreeWithPlainMatching) {
  const std::string arguments = "record login user417 caf\xC3\xA9 na\xC3\xAFve stra\xC3\x9F" "e kelvin ip 7777 "
                                "x12345 e12345 abcd\xC3\xA9" "fgh thi 1.1.2 batch/v1 404 \xD0\xB7\xD0\xB0\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C";
  const focus::Terms t = focus::Terms::of(arguments);
  ASSERT_TRUE(t.numbers_hit());
  // Each text as a string value, inside a longer string, as a key, as a value under a key, and
  // again (tables and memos then answer); numbers as numbers.
  Value::Array items;
  std::vector<std::uint64_t> expected;
  for (int round = 0; round < 2; ++round)
    for (const char* text : TRICKY_TEXTS) {
      const std::string longer = std::string("some words before ") + text + " and after";
      items.push_back(Value::string(text));
      expected.push_back(reference_hits(t, text));
      items.push_back(Value::string(longer));
      expected.push_back(reference_hits(t, longer));
      Value::Object keyed;
      keyed.push_back({Key(text), Value::number("1")});
      keyed.push_back({Key("k"), Value::string(text)});
      items.push_back(Value::object(std::move(keyed)));
      expected.push_back(reference_hits(t, text) | reference_hits(t, "k"));
    }
  for (const char* number : {"7777", "17777", "112345", "1E12345", "404", "4.04", "-7777"}) {
    items.push_back(Value::number(number));
    expected.push_back(reference_hits(t, number));
  }
  items.push_back(Value::string("zzz"));  // hits nothing, so every hit has a weight
  expected.push_back(0);
  const Value doc = Value::array(std::move(items));
  const Options o = Options::from_value(json::parse(R"({"focus":"auto"})").value()).value();
  Options with = o;
  with.arguments = arguments;
  const Meta meta = analyze(doc, with, 0);
  const auto index = focus::Index::build(doc, meta, with);
  ASSERT_NE(index, nullptr);
  const focus::Node* node = index->node(meta);
  ASSERT_NE(node, nullptr);
  std::size_t hitting = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(index->mask(*node, i), expected[i]) << json::to_string(doc.items()[i]);
    hitting += expected[i] != 0;
  }
  EXPECT_GT(hitting, expected.size() / 2);  // the texts do hit
}

TEST(Focus, NumbersAreMatchedOnlyWhenSomeTermCanHitOne) {
  // A word with at most one character other than a digit or e, or an exact token of number
  // characters, can hit a number's text.
  const std::pair<const char*, bool> cases[] = {
      {"which record has the login user417", false}, {"port 7777", true},  {"code x12345", true},
      {"code xy12345", false},                        {"status 404", true}, {"version 1.1.2", true},
      {"exponent e12345", true},                      {"tag batch/vv1", false},
  };
  for (const auto& [arguments, hit] : cases) EXPECT_EQ(focus::Terms::of(arguments).numbers_hit(), hit) << arguments;
}

// The ids of the items a focused shrink promotes first, read off a budget that holds a few items.
std::vector<int> first_kept(const std::string& doc, const std::string& arguments) {
  const auto e = shrink(doc, R"({"max_chars":260,"indent":0,"focus":"auto","arguments":")" + arguments + "\"}");
  return kept_ids(e.text());
}

TEST(Focus, RepeatedKeysAndValuesAreToldApart) {
  // Keys of one length that share their first and last eight bytes, and short values that differ
  // in one byte: each item is matched on its own text, however often the others repeat.
  std::string doc = "[";
  for (int i = 0; i < 400; ++i) {
    const std::string key = std::string("alpha_br_") + (i == 213 ? "needle" : "filler") + "_lie_delta";
    const std::string value = i == 307 ? "mark-0417" : "mark-0471";
    // Beyond the remembered texts: a distinct key per item as well.
    doc += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"" + key + "\":1,\"v\":\"" + value +
           "\",\"k" + std::to_string(i) + "\":0}";
  }
  doc += "]";
  for (const char* arguments : {"needle", "mark-0417", "k377"}) {
    const int want = arguments[0] == 'n' ? 213 : arguments[0] == 'm' ? 307 : 377;
    const std::vector<int> ids = first_kept(doc, arguments);
    ASSERT_FALSE(ids.empty()) << arguments;
    EXPECT_NE(std::find(ids.begin(), ids.end(), want), ids.end()) << arguments;
    EXPECT_LE(ids.size(), 3u) << arguments;  // only the match, the first or last item beside it
  }
}

TEST(Focus, EntryScoresOfSmallLargeAndWideObjects) {
  // The wanted key comes last; its value holds the match in a small container, in one too large
  // to be matched again at fitting time, or directly, in objects around the width whose entry
  // scores are kept. Each way the key is kept and its match shown, whole.
  struct Case {
    int keys;
    std::string value;
  };
  std::string large = "[";
  for (int i = 0; i < 80; ++i) large += std::string(i ? "," : "") + "\"item " + std::to_string(i) + " of a long list of words\"";
  const std::string large_with = large + ",\"needle-77\"]";
  ASSERT_GT(large_with.size(), focus::KEPT_MASK_SIZE);
  const Case cases[] = {
      {12, R"({"a":"x","b":"needle-77"})"},
      {12, large_with},
      {static_cast<int>(focus::KEPT_SCORES_ENTRIES) - 1, R"("needle-77")"},
      {static_cast<int>(focus::KEPT_SCORES_ENTRIES), R"("needle-77")"},
      {static_cast<int>(focus::KEPT_SCORES_ENTRIES) + 5, R"({"deep":{"deeper":["needle-77"]}})"},
  };
  for (const Case& c : cases) {
    std::string doc = "{";
    for (int i = 0; i < c.keys - 1; ++i) doc += "\"field" + std::to_string(i) + "\":\"" + std::string(50, 'x') + "\",";
    doc += "\"zz_wanted\":" + c.value + "}";
    ASSERT_EQ(json::parse(doc).value().members().size(), static_cast<std::size_t>(c.keys));
    const std::string opts = R"({"max_chars":400,"indent":0,"arguments":"show needle-77")";
    const auto plain = shrink(doc, opts + "}");
    const auto focused = shrink(doc, opts + R"(,"focus":"auto"})");
    ASSERT_TRUE(plain.ok() && focused.ok());
    SCOPED_TRACE(std::to_string(c.keys) + " keys, value " + c.value.substr(0, 40));
    EXPECT_NE(focused.text().find("\"needle-77\""), std::string::npos) << focused.text();
    // Counted as promoted exactly when the rule without focus leaves the key out.
    const bool plain_keeps = plain.text().find("\"zz_wanted\"") != std::string::npos;
    EXPECT_EQ(focused.counter("keys_promoted"), plain_keeps ? "0" : "1");
    if (c.keys > 12) {
      EXPECT_FALSE(plain_keeps);
    }
  }
}


// ---- the index built by the analysis -------------------------------------------

// Expects the two indexes to hold the same focus data for every container below v; counts the
// containers that have some.
void expect_same_index(const focus::Index& fused, const focus::Index& walked, const Value& v, const Meta& m,
                       const std::string& path, int& with_data) {
  if (v.is_scalar()) return;
  SCOPED_TRACE(path);
  const std::uint64_t* kept = fused.kept_mask(m);
  ASSERT_EQ(kept != nullptr, m.full() > focus::KEPT_MASK_SIZE);
  if (kept) {
    EXPECT_EQ(*kept, *walked.kept_mask(m));
  }
  with_data += kept != nullptr;
  const focus::Node* a = fused.node(m);
  const focus::Node* b = walked.node(m);
  ASSERT_EQ(a == nullptr, b == nullptr);
  if (a) {
    ++with_data;
    EXPECT_EQ(a->count, b->count);
    EXPECT_EQ(a->promoted, b->promoted);
    EXPECT_EQ(a->weighted, b->weighted);
    EXPECT_EQ(a->lookup, b->lookup);
    EXPECT_EQ(a->any_relevant, b->any_relevant);
    if (v.is_array()) {
      for (std::size_t i = 0; i < a->count; ++i) EXPECT_EQ(fused.mask(*a, i), walked.mask(*b, i)) << "item " << i;
    }
    for (std::size_t k = 0; k < a->promoted; ++k) EXPECT_EQ(fused.promoted(*a)[k], walked.promoted(*b)[k]);
  }
  if (v.is_object()) {
    focus::Scratch s;
    std::vector<std::uint64_t> sa, sb;
    const bool ra = fused.entry_scores(v, m, s, sa);
    EXPECT_EQ(ra, walked.entry_scores(v, m, s, sb));
    EXPECT_EQ(sa, sb);
    with_data += ra;
  }
  for (std::size_t i = 0; i < m.children().size(); ++i) {
    const Value& c = v.is_array() ? v.items()[i] : v.members()[i].value;
    const std::string key = v.is_array() ? std::to_string(i) : std::string(v.members()[i].key.view());
    expect_same_index(fused, walked, c, m.children()[i], path + "/" + key, with_data);
  }
}

// Binds the index built in the analysis to its root and expects it to equal the separately
// walked one; returns how many containers carry data.
int expect_fused_as_walked(focus::Index& fused, const Value& doc, const Meta& meta, const Options& o) {
  fused.place_root(meta);
  const auto walked = focus::Index::build(doc, meta, o);
  if (!walked) {
    ADD_FAILURE() << "no walked index";
    return 0;
  }
  EXPECT_EQ(fused.root_mask(), walked->root_mask());
  int with_data = 0;
  expect_same_index(fused, *walked, doc, meta, "", with_data);
  return with_data;
}

// A document of the shapes the index treats apart, with hits at every level.
std::string tricky_document() {
  std::string doc = "{\"records\":[";
  for (int i = 0; i < 300; ++i) {
    // Repeated keys in order (memo of key positions), keys longer than 16 bytes sharing their
    // ends, empty containers, numbers, non-ASCII texts, keys that hit.
    const std::string long_key = std::string("alpha_br_") + (i == 77 ? "login" : "other") + "_lie_delta";
    doc += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"" + long_key + "\":" +
           std::to_string(i * 37) + ",\"name\":\"" + (i % 50 == 3 ? "caf\xC3\xA9 user417" : "plain") +
           "\",\"empty\":{},\"list\":[],\"nested\":{\"deep\":[" + (i == 150 ? "\"batch/v1\"" : "\"x\"") +
           ",[],{}]},\"v" + std::to_string(i % 7) + "\":\"value " + std::to_string(i) + "\"}";
  }
  doc += "],\"wide\":{";
  for (int k = 0; k < 70; ++k)
    doc += std::string(k ? "," : "") + "\"key" + std::to_string(k) + "\":" +
           (k == 40 ? "{\"login\":[1,2,{\"x\":\"7777\"}]}" : k == 66 ? "\"1.1.2\"" : "\"filler text\"");
  doc += ",\"1.1.2\":0},\"deep\":";
  // Deeper than the key memo reaches, more keys than its rows hold.
  std::string deep = "\"user417\"";
  for (int d = 0; d < 20; ++d) {
    std::string o = "{";
    for (int k = 0; k < 40; ++k) o += "\"k" + std::to_string(k) + "\":" + (k == 35 ? deep : "\"z\"") + ",";
    deep = o + "\"record\":" + std::to_string(d) + "}";
  }
  doc += deep + ",\"many\":[";
  // More distinct short texts than the table of recent texts holds.
  for (int i = 0; i < 6000; ++i)
    doc += std::string(i ? "," : "") + "\"w" + std::to_string(i * 7919 % 100000) + (i % 997 == 5 ? " login" : "") + "\"";
  doc += "],\"large\":{\"inner\":[";
  for (int i = 0; i < 100; ++i) doc += std::string(i ? "," : "") + "\"a long text of words " + std::to_string(i) + "\"";
  return doc + ",\"7777\"]}}";
}

TEST(Focus, IndexBuiltByTheAnalysisEqualsTheWalkedOne) {
  const std::string arguments = "record login user417 caf\xC3\xA9 7777 1.1.2 batch/v1";
  struct Doc {
    std::string text;
    int least;  // containers with focus data
    bool hits;
  };
  const Doc docs[] = {
      {tricky_document(), 20, true},
      {R"([{"a":"login"},{"a":"x"},{"a":"x"},{"a":"x"},{"a":[]}])", 1, true},
      {R"({"login":{"user417":{},"b":2},"other":1})", 2, true},
      {R"("record login")", 0, true},
      {"[]", 0, false},
      {"7777", 0, true},
  };
  const Options o = Options::from_value(json::parse(R"({"focus":"auto","indent":0,"arguments":")" + arguments + "\"}")
                                            .value())
                        .value();
  for (const auto& [text, least, hits] : docs) {
    SCOPED_TRACE(text.substr(0, 60));
    const Value doc = json::parse(text).value();
    std::unique_ptr<focus::Index> fused;
    const Meta meta = analyze(doc, o, 0, nullptr, &fused);
    ASSERT_NE(fused, nullptr);
    EXPECT_GE(expect_fused_as_walked(*fused, doc, meta, o), least);
    EXPECT_EQ(fused->root_mask() != 0, hits);
    // The plain texts of the many short strings: each item's mask is its own text's hits.
    if (const Value& many = get(doc, "many"); doc.is_object() && many.is_array()) {
      const Meta& mm = meta.children()[3];
      const focus::Node* node = fused->node(mm);
      ASSERT_NE(node, nullptr);
      int hitting = 0;
      for (std::size_t i = 0; i < many.items().size(); ++i) {
        EXPECT_EQ(fused->mask(*node, i), reference_hits(fused->terms(), many.items()[i].text())) << i;
        hitting += fused->mask(*node, i) != 0;
      }
      EXPECT_EQ(hitting, 7);
    }
  }
}

TEST(Focus, EveryKindOfChildReachesItsContainerInTheAnalysis) {
  // Each child hands its hits to its container as the analysis meets it: arrays and wide objects
  // list them one by one (nulls, booleans and numbers that hit nothing included), other objects
  // gather them; containers with index entries are placed by their parents, wide or not, with
  // scalars and other such containers beside them.
  const std::string kinds = R"([null,true,false,7777,12,"login","a long text that names the record twice",[],{}])";
  const std::string pair = R"({"a":[{"x":"login"},{"x":"y"},{"x":"y"},{"x":"y"}],"n":7777,"b":[1,"user417",2,3],)"
                           R"("t":true,"c":[[["record"]],null]})";
  std::string big = R"({"k":[)";
  for (int i = 0; i < 120; ++i) big += std::string(i ? "," : "") + R"("filler text number )" + std::to_string(i) + "\"";
  big += R"(,"login"]})";
  std::string wide = "{";
  for (int k = 0; k < 70; ++k) {
    const std::string value = k % 7 == 0   ? kinds
                              : k % 7 == 1 ? pair
                              : k % 7 == 2 ? "null"
                              : k % 7 == 3 ? "7777"
                              : k % 7 == 4 ? "false"
                              : k % 7 == 5 ? big
                                           : "\"value " + std::to_string(k) + "\"";
    wide += std::string(k ? "," : "") + "\"w" + std::to_string(k) + "\":" + value;
  }
  wide += "}";
  const std::string doc = "[" + kinds + "," + pair + "," + big + "," + wide + R"(,{"p":)" + pair + R"(,"q":)" + wide +
                          R"(,"r":7777,"s":)" + big + "}," + kinds + "]";
  for (const char* arguments : {"record login user417 7777", "record login user417"}) {
    SCOPED_TRACE(arguments);
    const Options o = Options::from_value(json::parse(std::string(R"({"focus":"auto","indent":0,"arguments":")") +
                                                      arguments + "\"}")
                                              .value())
                          .value();
    const Value v = json::parse(doc).value();
    std::unique_ptr<focus::Index> fused;
    const Meta meta = analyze(v, o, 0, nullptr, &fused);
    ASSERT_NE(fused, nullptr);
    EXPECT_EQ(fused->terms().numbers_hit(), std::string(arguments).find("7777") != std::string::npos);
    EXPECT_GE(expect_fused_as_walked(*fused, v, meta, o), 60);
    // The first array's items: each its own hits.
    const Value& first = v.items()[0];
    const focus::Node* node = fused->node(meta.children()[0]);
    ASSERT_NE(node, nullptr);
    for (std::size_t i = 0; i < first.items().size(); ++i) {
      const Value& item = first.items()[i];
      const std::uint64_t want =
          item.is_string() || (item.is_number() && fused->terms().numbers_hit()) ? reference_hits(fused->terms(), item.text()) : 0;
      EXPECT_EQ(fused->mask(*node, i), want) << i;
    }
  }
}

TEST(Focus, ShrinkingWithTheAnalysisIndexEqualsShrinkingWithTheWalkedOne) {
  const std::string doc = tricky_document();
  const Value v = json::parse(doc).value();
  for (const char* strategy : {"sample", "condense"})
    for (const std::uint64_t budget : {600, 2000, 8000}) {
      const std::string opts = std::string(R"({"focus":"auto","indent":0,"array_strategy":")") + strategy +
                               R"(","arguments":"which record has the login user417","max_chars":)" +
                               std::to_string(budget) + "}";
      const Options o = Options::from_value(json::parse(opts).value()).value();
      const auto fused = shrink(doc, opts);
      ASSERT_TRUE(fused.ok());
      const BudgetSearch walked = search_budget(v, analyze(v, o, 0), o, Format::Json, 0);
      EXPECT_EQ(fused.text(), walked.text) << strategy << " " << budget;
      EXPECT_NE(fused.counter("items_promoted"), "0");
    }
}

TEST(Focus, WordHitsOfShortAsciiTextsAgreeAtEveryLength) {
  // ASCII texts of up to 64 bytes are split into runs from a mask of their word bytes, read 16 at a
  // time: words placed across each 16-byte boundary and at both ends, in any letter case, for every
  // length around the boundaries, must hit as the word splitter finds them.
  const focus::Terms t = focus::Terms::of("record login user417 ip requests");
  ASSERT_GE(t.word_count(), 5u);
  const char* const words[] = {"ReCoRd", "LOGIN", "uSeR417", "IP", "recrod", "Records", "xlogin", "loginRecord"};
  focus::Terms::Scratch s;
  int hitting = 0;
  for (std::size_t n : {1u, 2u, 5u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 48u, 49u, 63u, 64u, 65u, 80u})
    for (const char* word : words)
      for (std::size_t at : {0u, 1u, 12u, 14u, 15u, 16u, 30u, 31u, 45u, 60u, 62u}) {
        std::string text(n, '-');
        for (std::size_t k = 0; k < n; k += 7) text[k] = 'z';  // runs that hit nothing
        const std::string w = word;
        if (at + w.size() > n) continue;
        text.replace(at, w.size(), w);
        const std::uint64_t expected = reference_word_hits(t, text);
        EXPECT_EQ(t.word_hits(text, s), expected) << '"' << text << '"';
        hitting += expected != 0;
        // The same text among others: the word bytes of one part never run into the next.
        const std::string joined = text + "." + text;
        EXPECT_EQ(t.word_hits(joined, s), reference_word_hits(t, joined)) << '"' << joined << '"';
      }
  EXPECT_GT(hitting, 300);
  // A byte that is not ASCII anywhere in a short text sends it the long way, with the same hits.
  for (std::size_t at : {0u, 15u, 16u, 40u, 62u}) {
    std::string text(64, ' ');
    text.replace(20, 6, "LOGIN1");
    text.replace(at, 2, "\xC3\xA9");
    EXPECT_EQ(t.word_hits(text, s), reference_word_hits(t, text)) << at;
  }
}

TEST(Focus, ShortStringsMetByTheAnalysisAreMatchedInOrder) {
  // Short strings are looked up when their container closes, in the order the analysis met them:
  // strings of every length around the short limit, between and inside nested containers, in
  // arrays and objects, at the root and in wide objects.
  std::string doc = "[";
  const char* const texts[] = {"", "login", "user417", "LOGIN user417 x", "record login 16b", "record login 17b.",
                               "caf\xC3\xA9", "x", "record", "a longer record text with login in it"};
  int k = 0;
  auto text = [&] { return std::string("\"") + texts[k++ % std::size(texts)] + "\""; };
  for (int i = 0; i < 40; ++i) {
    doc += std::string(i ? "," : "") + text() + ",[" + text() + ",{\"a\":" + text() + ",\"b\":[" + text() + ",{}," +
           text() + "],\"c\":" + text() + "}," + text() + "],{\"k" + std::to_string(i % 3) + "\":[[[" + text() +
           "]]]," + "\"n\":" + std::to_string(i) + ",\"s\":" + text() + "}";
  }
  doc += ",{";
  for (int w = 0; w < 70; ++w) doc += std::string(w ? "," : "") + "\"w" + std::to_string(w) + "\":" + text();
  doc += "}]";
  const Options o =
      Options::from_value(json::parse(R"({"focus":"auto","indent":0,"arguments":"record login user417"})").value())
          .value();
  for (const std::string& d : {doc, std::string("\"login\""), std::string("[\"login\",[\"user417\"],\"x\"]")}) {
    SCOPED_TRACE(d.substr(0, 40));
    const Value v = json::parse(d).value();
    std::unique_ptr<focus::Index> fused;
    const Meta meta = analyze(v, o, 0, nullptr, &fused);
    ASSERT_NE(fused, nullptr);
    expect_fused_as_walked(*fused, v, meta, o);
    EXPECT_NE(fused->root_mask(), 0u);
    if (v.is_array() && v.items().size() > 3) {
      // Each top-level string's mask is its own text's hits.
      const focus::Node* node = fused->node(meta);
      ASSERT_NE(node, nullptr);
      for (std::size_t i = 0; i < v.items().size(); ++i) {
        if (v.items()[i].is_string()) {
          EXPECT_EQ(fused->mask(*node, i), reference_hits(fused->terms(), v.items()[i].text())) << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavisk
