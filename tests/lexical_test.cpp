#include "lexical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fields.h"
#include "options.h"
#include "prune.h"
#include "test_util.h"

namespace tavisk {
namespace {

using Strings = std::vector<std::string>;

Strings sorted(const TokenSet& set) {
  Strings out(set.begin(), set.end());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Lexical, Informative) {
  const std::pair<const char*, bool> cases[] = {
      {"id", true}, {"x", false},    {"123", false}, {"2024", true}, {"0123", true}, {"the", false},
      {"x1", true}, {"user", false}, {"com", false}, {"é", false},   {"éé", true},   {"", false},
  };
  for (const auto& [word, expected] : cases) EXPECT_EQ(informative(word), expected) << word;
}

TEST(Lexical, Norm) {
  const std::pair<const char*, const char*> cases[] = {
      {"news", "new"}, {"items", "item"}, {"status", "statu"}, {"class", "class"}, {"boss", "boss"},
      {"bus", "bus"},  {"uses", "use"},   {"s", "s"},          {"ssss", "ssss"},   {"data", "data"},
  };
  for (const auto& [word, expected] : cases) EXPECT_EQ(norm(word), expected) << word;
}

TEST(Lexical, ValueTokens) {
  TokenSet set;
  value_tokens("The Items and items, 12 2024 createdAt", set);
  EXPECT_EQ(sorted(set), (Strings{"2024", "created", "item"}));

  TokenSet big;
  std::string text;
  for (int i = 0; i < 300; ++i) text += "w" + std::to_string(i) + " ";
  value_tokens(text, big);
  EXPECT_EQ(big.size(), MAX_VALUE_TOKENS);
  EXPECT_TRUE(big.contains("w255"));
  EXPECT_FALSE(big.contains("w256"));
  value_tokens("another", big);  // a full set stops growing
  EXPECT_FALSE(big.contains("another"));
}

TEST(Lexical, TokenHit) {
  struct Case {
    const char* term;
    Strings set;
    bool hit;
  };
  const Case cases[] = {
      {"timestamp", {"timestamp"}, true},
      {"timestamp", {"timestanp"}, true},   // substitution
      {"timestamp", {"timestamps"}, true},  // insertion
      {"timestamp", {"timestam"}, true},    // deletion
      {"timestamp", {"timstamp"}, true},    // deletion inside
      {"timestamp", {"timestmap"}, false},  // transposition is two edits
      {"timestamp", {"timestampsx"}, false},
      {"timestamp", {"xtimestampx"}, false},
      {"timestamp", {"foo", "bar", "timestanp"}, true},
      {"timestamp", {}, false},
      {"state", {"state"}, true},
      {"state", {"states"}, false},  // five-byte terms match exactly only
      {"state", {"stata"}, false},
      {"abcdef", {"abcde"}, true},  // member of 5 bytes takes part
      {"abcdef", {"abcdeg"}, true},
      {"naïve1", {"naive1"}, true},  // one character, two bytes
      {"ééé", {"éée"}, true},
      {"ééé", {"éé"}, false},  // a member of 4 bytes only matches exactly
  };
  for (const auto& c : cases) {
    TokenSet set(c.set.begin(), c.set.end());
    EXPECT_EQ(token_hit(c.term, set), c.hit) << c.term << " vs " << (c.set.empty() ? "" : c.set.back());
  }
}

TEST(Lexical, NameMatch) {
  const auto q = build_query("created customer");
  ASSERT_TRUE(q.has_value());
  const Strings created_at = {"created", "at"};
  const Strings customer = {"customer"};
  const Strings other = {"other"};
  EXPECT_EQ(q->name_match(created_at, {}), 0.25);
  EXPECT_EQ(q->name_match(created_at, customer), 0.75);
  EXPECT_EQ(q->name_match(created_at, Strings{"other", "customers", "customer"}), 0.75);  // context counts once
  EXPECT_EQ(q->name_match(Strings{"created", "customers"}, other), 1);
  EXPECT_EQ(q->name_match({}, customer), 0);
  EXPECT_EQ(q->name_match(other, customer), 0);  // context alone gives nothing

  const auto order_only = build_query("ORDER BY created");
  ASSERT_TRUE(order_only.has_value());
  EXPECT_TRUE(order_only->terms.empty());
  EXPECT_NEAR(order_only->name_match(Strings{"created"}, {}), 0.175, 1e-15);
  EXPECT_NEAR(order_only->name_match(Strings{"created"}, Strings{"created"}), 0.175, 1e-15);
}

struct QueryCase {
  const char* text;
  Strings terms;
  Strings order_terms;
};

TEST(Lexical, BuildQuery) {
  const QueryCase cases[] = {
      {"select title, body from posts where author is alice order by created_at desc limit 10",
       {"title", "body", "post", "author", "alice"},
       {"created"}},
      {"select title order by created_at limit 5 rows", {"title", "row"}, {"created"}},
      {"ORDER BY name", {}, {"name"}},
      {"title order by limit 10 price", {"title", "price"}, {}},
      {"border by createdDate", {}, {"created", "date"}},
      {"select created from t order by created, price", {"created"}, {"price"}},
      {"order by price offset 3 limit 10 zebra", {"zebra"}, {"price"}},
      {"limit 5 then order by price", {"then"}, {"price"}},
      {"order by price group by region", {"region"}, {"price"}},
      {"order by price having total order by rank", {"total", "rank"}, {"price"}},
      {"Items item ITEMS", {"item"}, {}},
      // Lowercasing lengthens U+0130 and shortens the Kelvin sign: the cuts must follow the original text.
      {"İİİİ title ORDER BY price LIMIT 5 region", {"i\u0307i\u0307i\u0307i\u0307", "title", "region"}, {"price"}},
      {"\u212A\u212A\u212A\u212A title order by price limit 5 region", {"kkkk", "title", "region"}, {"price"}},
      {"title order by İstanbul price limit 5 region", {"title", "region"}, {"i\u0307stanbul", "price"}},
  };
  for (const auto& c : cases) {
    const auto q = build_query(c.text);
    ASSERT_TRUE(q.has_value()) << c.text;
    EXPECT_EQ(q->terms, c.terms) << c.text;
    EXPECT_EQ(sorted(q->term_set), sorted(TokenSet(c.terms.begin(), c.terms.end()))) << c.text;
    EXPECT_EQ(sorted(q->order_terms), c.order_terms) << c.text;
  }
}

TEST(Lexical, NoQuery) {
  for (const char* text : {"", "   ", "the 12 of and", "select * from x where 1 limit 10", "order by"})
    EXPECT_FALSE(build_query(text).has_value()) << text;
}

TEST(Lexical, PrunerQuery) {
  Options with;
  with.arguments = "select title order by price";
  Pruner p = Pruner::with_scorer(false, 0, with, HEURISTIC);
  ASSERT_NE(p.query(), nullptr);
  EXPECT_EQ(p.query()->terms, Strings{"title"});
  EXPECT_EQ(sorted(p.query()->order_terms), Strings{"price"});
  p.query_suppressed = true;
  EXPECT_EQ(p.query(), nullptr);
  p.query_suppressed = false;
  EXPECT_NE(p.query(), nullptr);

  const Options without;
  EXPECT_EQ(Pruner::with_scorer(false, 0, without, HEURISTIC).query(), nullptr);
  Options stop_words;
  stop_words.arguments = "select * from the list limit 10";
  EXPECT_EQ(Pruner::with_scorer(false, 0, stop_words, HEURISTIC).query(), nullptr);
}

// Keys of equal worth are kept in input order; a query term ranks its key first, an order term
// lifts its key above unmatched keys. Characters whose lowercase form changes length before the
// clause must not move where the clause is cut.
TEST(Lexical, QueryRanksKeysEndToEnd) {
  const std::string doc =
      R"({"alpha":"vvvvvvvvvvvvvvvvvvvv","beta":"vvvvvvvvvvvvvvvvvvvv","gamma":"vvvvvvvvvvvvvvvvvvvv",)"
      R"("delta":"vvvvvvvvvvvvvvvvvvvv","zeta":"vvvvvvvvvvvvvvvvvvvv","theta":"vvvvvvvvvvvvvvvvvvvv"})";
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {nullptr, {"alpha", "beta"}},
      {"zeta ORDER BY gamma", {"gamma", "zeta"}},
      {"ORDER BY theta", {"alpha", "theta"}},
      {"\u0130\u0130\u0130\u0130 zeta ORDER BY gamma", {"gamma", "zeta"}},
      {"\u212A\u212A\u212A\u212A zeta order by gamma", {"gamma", "zeta"}},
      {"ORDER BY \u0130\u0130\u0130\u0130 theta LIMIT 3 zeta", {"zeta", "theta"}},
  };
  for (const auto& [arguments, kept] : cases) {
    std::string options = R"({"max_chars":90,"indent":0,"array_strategy":"condense")";
    if (arguments != nullptr) options += R"(,"arguments":")" + std::string(arguments) + "\"";
    options += "}";
    const auto e = testing::shrink(doc, options);
    ASSERT_TRUE(e.ok()) << e.error();
    auto parsed = json::parse(e.text());
    ASSERT_TRUE(parsed) << e.text();
    std::vector<std::string> keys;
    for (const Member& m : parsed.value().members())
      if (m.key != "…") keys.emplace_back(m.key);
    EXPECT_EQ(keys, kept) << (arguments ? arguments : "(no arguments)");
  }
}

}  // namespace
}  // namespace tavisk
