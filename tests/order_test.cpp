// Orders among equals that decide what a call keeps: equal key scores, equal
// column scores (then the cheaper floor, then the column's position), equal
// needs in water filling, and the report's lists of equal entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace tavisk {
namespace {

using testing::Envelope;
using testing::get;
using testing::shrink;

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> out;
  for (const Member& m : v.members()) out.emplace_back(m.key.view());
  return out;
}

// Keys ranked by score (condense strategy): three keys of one score, of which
// the budget holds one. The first in the document stays, however the keys sort
// by name.
TEST(EqualScores, KeysKeepTheirDocumentOrder) {
  const std::string doc = R"({"zeta":"0123456789","alpha":"abcdefghij","mid":"ABCDEFGHIJ"})";
  for (const char* scorer : {"heuristic", "compact"}) {
    Envelope e = shrink(doc, std::string(R"({"indent":0,"max_chars":50,"array_strategy":"condense","field_scorer":")") +
                                 scorer + "\"}");
    ASSERT_TRUE(e.ok()) << e.error();
    auto back = json::parse(e.text());
    ASSERT_TRUE(back) << e.text();
    EXPECT_EQ(keys_of(back.value()), (std::vector<std::string>{"zeta", "…"})) << scorer << ": " << e.text();
  }
  // A shorter value scores higher under the compact scorer and wins over the first key.
  Envelope shorter = shrink(R"({"zeta":"0123456789","alpha":"abcdefgh","mid":"ABCDEFGHIJ"})",
                            R"({"indent":0,"max_chars":50,"array_strategy":"condense","field_scorer":"compact"})");
  ASSERT_TRUE(shorter.ok()) << shorter.error();
  EXPECT_EQ(shorter.text().rfind(R"({"alpha":"abcdefgh",)", 0), 0u) << shorter.text();
}

// Condensed columns "q" and "p" score the same (equal mean sizes), but "p"
// has the lower floor (short and long strings against 41-character ones).
// Either fits alone, not both: the cheaper "p" is tried first and kept,
// although "q" comes first. The report lists equal scores by path.
TEST(EqualScores, CondensedColumnsTryTheLowerFloorFirst) {
  std::string doc = "[";
  for (int i = 0; i < 6; ++i) {
    if (i) doc += ",";
    const std::string q(41, static_cast<char>('a' + i));
    const std::string p(i % 2 ? 72 : 10, static_cast<char>('A' + i));
    doc += R"({"q":")" + q + R"(","p":")" + p + "\"}";
  }
  doc += "]";
  for (const char* budget : {"350", "400"}) {
    Envelope e = shrink(doc, std::string(R"({"indent":0,"field_scorer":"compact","array_strategy":"condense",)") +
                                 R"("explain":true,"max_chars":)" + budget + "}");
    ASSERT_TRUE(e.ok()) << e.error();
    auto back = json::parse(e.text());
    ASSERT_TRUE(back) << e.text();
    ASSERT_EQ(back.value().items().size(), 6u) << e.text();
    for (const Value& row : back.value().items())
      EXPECT_EQ(keys_of(row), (std::vector<std::string>{"p"})) << budget << ": " << e.text();
    const auto& decisions = get(e.report(), "field_decisions").items();
    ASSERT_EQ(decisions.size(), 2u);
    EXPECT_EQ(get(decisions[0], "path").text(), "/*/p");
    EXPECT_EQ(get(decisions[1], "path").text(), "/*/q");
    EXPECT_EQ(get(decisions[0], "score").text(), get(decisions[1], "score").text());
    EXPECT_TRUE(get(decisions[0], "kept").as_bool());
    EXPECT_FALSE(get(decisions[1], "kept").as_bool());
  }
}

// Two strings of equal need share the spare budget in document order: a
// string of short lines cannot use all of its share (it is cut at a line), and
// what it leaves goes to the string after it, never to one before it.
TEST(EqualNeeds, WaterFillingGoesInDocumentOrder) {
  std::string lines;
  for (int i = 0; i < 60; ++i) lines += "a\\n";
  const std::string plain(180, 'b');
  for (const char* budget : {"200", "231"}) {
    const std::string opts = std::string(R"({"indent":0,"max_chars":)") + budget + "}";
    Envelope lines_first = shrink(R"({"x":")" + lines + R"(","y":")" + plain + "\"}", opts);
    Envelope plain_first = shrink(R"({"x":")" + plain + R"(","y":")" + lines + "\"}", opts);
    ASSERT_TRUE(lines_first.ok() && plain_first.ok());
    auto a = json::parse(lines_first.text());
    auto b = json::parse(plain_first.text());
    ASSERT_TRUE(a && b) << lines_first.text() << "\n" << plain_first.text();
    const std::size_t plain_after = get(a.value(), "y").text().size();
    const std::size_t plain_before = get(b.value(), "x").text().size();
    const std::size_t lines_before = get(a.value(), "x").text().size();
    const std::size_t lines_after = get(b.value(), "y").text().size();
    EXPECT_GT(plain_after, plain_before) << budget;
    EXPECT_EQ(lines_before, lines_after) << budget;
  }
}

}  // namespace
}  // namespace tavisk
