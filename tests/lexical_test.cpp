#include "lexical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace tavisk
