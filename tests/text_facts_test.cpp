// The facts of long strings, found by the JSON reader while it decodes them (and by one pass over
// a plain text), agree with the measures counted afresh; and a call reads the same with or
// without them, in every attempt of its budget search.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "arena.h"
#include "json.h"
#include "lines.h"
#include "pipeline.h"
#include "prune.h"
#include "size.h"
#include "text.h"
#include "text_facts.h"
#include "utf8.h"

namespace tavisk {
namespace {

// Pieces of a JSON string literal's body: escapes of every kind, surrogate pairs and lone
// surrogates, raw non-ASCII, spaces, and the line breaks paragraphs and lines are cut at.
const std::vector<std::string> PIECES = {
    "word",        " ",           "\\n",          "\\r",          "\\r\\n",         "\\t",
    "\\n\\n",      "\\n \\n",     "\\n\\t\\r\\n", "\\n  ",        "\\\"",           "\\\\",
    "\\/",         "\\b",         "\\f",          "\\u0001",      "\\u001f",        "\\u000a",
    "\\u0020",     "\\u000D",     "\\u0022",      "\\u005c",      "\\u00e9",        "\\u20AC",
    "\\ud83d\\ude00", "\\ud800",  "\\udc00",      "\\ud800\\u0041", "\\ud800\\ud800", "caf\xC3\xA9",
    "\xE6\x97\xA5\xE6\x9C\xAC",   "\xF0\x9F\x98\x80", "x\xC2\xA9y",  "0123456789abcdef0123",
};

struct Rng {
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  std::uint64_t operator()(std::uint64_t n) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x % n;
  }
};

// Literal bodies of at least `min_bytes`, with chosen starts and ends (lines at the edges).
std::vector<std::string> bodies(std::size_t count, std::size_t min_bytes) {
  const std::vector<std::string> edges = {"", "\\n", "\\n\\n", "\\r\\n", "\\n  ", " \\n", "\\n\\n ", "\\r"};
  Rng rnd;
  std::vector<std::string> out;
  for (std::size_t k = 0; k < count; ++k) {
    std::string body = edges[k % edges.size()];
    while (body.size() < min_bytes) body += PIECES[rnd(PIECES.size())];
    body += edges[(k / edges.size()) % edges.size()];
    out.push_back(body);
  }
  // Long plain runs (more than 255 blocks of sixteen bytes) and a literal of one repeated escape.
  out.push_back(std::string(5000, 'a') + "\xC3\xA9" + std::string(4099, 'b') + "\\n");
  out.push_back(std::string(300, 'z'));
  std::string feeds;
  for (int i = 0; i < 200; ++i) feeds += "\\n";
  out.push_back(feeds);
  return out;
}

std::uint64_t line_feeds(std::string_view s) { return static_cast<std::uint64_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(TextFacts, TheReaderFindsWhatCountingTheDecodedTextFinds) {
  for (const std::string& body : bodies(400, 256)) {
    Arena arena;
    const std::string literal = "\"" + body + "\"";  // the tree borrows from it
    auto tree = json::parse(literal, arena);
    ASSERT_TRUE(tree.ok()) << body;
    const Value& v = tree.value().root();
    const TextFacts* f = v.facts();
    ASSERT_NE(f, nullptr) << body;
    const std::string_view t = v.text();
    EXPECT_EQ(f->chars, utf8::count(t)) << body;
    EXPECT_EQ(f->cost, size::char_costs(t)) << body;
    EXPECT_EQ(f->line_feeds, line_feeds(t)) << body;
    EXPECT_EQ(f->lines(t), text::count_lines(t)) << body;
    EXPECT_EQ(f->paragraphs, text::split_paragraphs(t).size()) << body;
    // A copy owns its text and carries no pointer into the arena.
    const Value copy = v;
    EXPECT_EQ(copy.facts(), nullptr);
  }
}

TEST(TextFacts, ParagraphsAtTheEdgesCountAsTheSplitterCuts) {
  const std::vector<std::string> texts = {"", "\n", "\n\n", "a\n\nb", "a\n \n", "a\n\n ", "a\n \t\r\nb", "\n\nb",
                                          "a\nb\nc", "a\n\n\n\nb\n\n", "a\r\n\r\nb", " \n\n x", "a\n\n"};
  for (const std::string& t : texts) {
    ParagraphCounter c;
    for (char ch : t) c.character(static_cast<unsigned char>(ch));
    EXPECT_EQ(c.paragraphs(), text::split_paragraphs(t).size()) << "[" << t << "]";
  }
}

TEST(TextFacts, OneScanOfAPlainTextCountsItsCharactersAndLineFeeds) {
  Rng rnd;
  const std::vector<std::string> units = {"a", "\n", "\r\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " "};
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 4079u, 4080u, 4081u, 9000u}) {
    std::string t;
    while (t.size() < n) t += units[rnd(units.size())];
    const TextFacts f = TextFacts::of_lines(t);
    EXPECT_EQ(f.chars, utf8::count(t)) << n;
    EXPECT_EQ(f.line_feeds, line_feeds(t)) << n;
    EXPECT_EQ(f.lines(t), text::count_lines(t)) << n;
  }
}

// Fitting reads the same with facts as without, whichever of them it uses.
TEST(TextFacts, FittingWithFactsMatchesFittingWithout) {
  Options o;
  const text::Measure chars = [](std::string_view s) { return utf8::count(s); };
  Rng rnd;
  const std::vector<std::string> lines = {"short", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC line", "", "  indented",
                                          std::string(120, 'w')};
  for (int k = 0; k < 12; ++k) {
    std::string t;
    const char* eol = k % 3 == 0 ? "\r\n" : "\n";
    for (int i = 0; i < 300; ++i) t += lines[rnd(lines.size())] + eol;
    if (k % 2) t.pop_back();
    const TextFacts f = TextFacts::of_lines(t);
    for (std::uint64_t budget : {60u, 400u, 2000u, 9000u}) {
      auto with = lines::fit(t, budget, chars, {}, &f), without = lines::fit(t, budget, chars, {});
      ASSERT_EQ(with.has_value(), without.has_value());
      if (with) {
        EXPECT_EQ(with->text, without->text) << k << " " << budget;
      }
      EXPECT_EQ(text::fit_text(t, budget, o, chars, &f), text::fit_text(t, budget, o, chars)) << k << " " << budget;
    }
  }
}

// The same document read into an arena (strings with facts) and read into a tree that owns its
// storage (no facts) gives the same analysis and the same budget search, attempt by attempt.
TEST(TextFacts, EveryAttemptOfTheBudgetSearchReadsAlikeWithAndWithoutFacts) {
  std::string log;
  for (int i = 0; i < 400; ++i)
    log += "2026-12-09T01:00:0" + std::to_string(i % 10) + "Z INFO caf\\u00e9 \\\"job " + std::to_string(i) +
           "\\\" \xE6\x97\xA5 done" + (i % 7 == 0 ? "\\r\\n" : i % 11 == 0 ? "\\n\\n" : "\\n");
  const std::vector<std::string> docs = {
      "\"" + log + "\"",
      "{\"log\":\"" + log + "\",\"id\":7,\"note\":\"" + std::string(300, 'n') + "\"}",
      "[\"" + log + "\",\"" + log + "\",\"" + std::string(400, 'p') + "\"]",
  };
  for (const std::string& d : docs) {
    Arena arena;
    auto fast = json::parse(d, arena);
    auto owned = json::parse(d);
    ASSERT_TRUE(fast.ok() && owned.ok());
    for (std::uint64_t indent : {0u, 2u}) {
      for (std::uint64_t max_chars : {30u, 200u, 1500u, 6000u, 20000u}) {
        Options o;
        o.max_chars = max_chars;
        const Meta a = analyze(fast.value().root(), o, indent), b = analyze(owned.value(), o, indent);
        EXPECT_EQ(a.full(), b.full());
        EXPECT_EQ(a.min(), b.min());
        const BudgetSearch x = search_budget(fast.value().root(), a, o, Format::Json, indent);
        const BudgetSearch y = search_budget(owned.value(), b, o, Format::Json, indent);
        EXPECT_EQ(x.text, y.text) << max_chars << " " << indent;
        EXPECT_EQ(x.budgets, y.budgets) << max_chars << " " << indent;
        EXPECT_EQ(x.stats.strings_truncated, y.stats.strings_truncated);
      }
    }
  }
}

}  // namespace
}  // namespace tavisk
