#include "fields.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tavisk {
namespace {

using Strings = std::vector<std::string>;
using Tweak = std::function<void(FieldStats&)>;

// One scalar value of the given kind in one object, as object fitting describes a key.
FieldStats single(std::span<const std::string> path, Kind kind = Kind::String, double mean_chars = 10) {
  FieldStats st;
  st.path = path;
  st.kind_counts[static_cast<std::size_t>(kind)] = 1;
  st.rows = st.present = 1;
  st.distinct = st.scalars = kind == Kind::Array || kind == Kind::Object ? 0 : 1;
  st.mean_chars = mean_chars;
  return st;
}

// A column of n string values with d distinct ones.
void strings(FieldStats& st, std::uint64_t n, std::uint64_t d) {
  st.kind_counts = {0, 0, 0, n, 0, 0};
  st.rows = st.present = st.scalars = n;
  st.distinct = d;
}

TEST(Words, SplitsAtSeparatorsAndHumps) {
  const std::pair<const char*, Strings> cases[] = {
      {"userID", {"user", "id"}},
      {"user_id", {"user", "id"}},
      {"XMLParser", {"xmlparser"}},
      {"item2Name", {"item2", "name"}},
      {"createdAt", {"created", "at"}},
      {"$id", {"id"}},
      {"a-b.c$d e__f", {"a", "b", "c", "d", "e", "f"}},
      {"", {}},
      {"_-$", {}},
      {"имяПользователя", {"имя", "пользователя"}},
      {"ÉCOLE", {"école"}},
      {"éA", {"é", "a"}},
      {"कीमत", {"कीमत"}},  // the vowel sign U+0940 is alphabetic and stays in the word
      {"नाम_पता", {"नाम", "पता"}},
      {"कीमतValue", {"कीमतvalue"}},          // a letter without case does not end a hump
      {"a\u00A9b", {"a", "b"}},              // U+00A9 is not a word character
      {"a\u00B2b", {"a\u00B2b"}},            // U+00B2 is numeric and above U+00A9
      {"x\u00B2B", {"x\u00B2b"}},            // only decimal digits end a hump, U+00B2 is No
      {"v\u0663Name", {"v\u0663", "name"}},  // Arabic-Indic digit three is Nd
      {"İstanbul", {"i\u0307stanbul"}},      // full lowercasing
      {"नमस्ते", {"नमस", "ते"}},                // the virama U+094D is not alphabetic and ends a word
      {"\u212Aind", {"kind"}},               // the Kelvin sign lowers to an ASCII k
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(words(text), expected) << text;
}

TEST(TierOf, FirstTierInTableOrderWins) {
  EXPECT_FALSE(tier_of({}).matched);
  EXPECT_EQ(tier_of({}).value, 0.55);
  const Strings title_id = {"title", "id"};
  EXPECT_EQ(tier_of(title_id).value, 0.98);
  const Strings at_status = {"at", "status"};
  EXPECT_EQ(tier_of(at_status).value, 0.85);
  const Strings foo = {"foo"};
  EXPECT_FALSE(tier_of(foo).matched);
  EXPECT_EQ(tier_of(foo).value, 0.55);
}

struct PriorCase {
  Strings path;
  Tweak tweak;
  bool named;
  double prior;
};

TEST(NamePrior, EveryExitAndAdjustment) {
  const Tweak none = [](FieldStats&) {};
  const Tweak distinct_urls = [](FieldStats& s) { strings(s, 3, 3); };
  const PriorCase cases[] = {
      {{"avatarUrls", "small"}, none, true, 0.08},
      {{"_rev"}, none, true, 0.08},
      {{"a", "", "b"}, none, true, 0.08},
      {{""}, none, true, 0.08},
      {{"_source"}, none, false, 0.5},
      {{"_id"}, none, true, 0.98},
      {{"hash"}, none, true, 0.1},
      {{"iconUrl"}, none, true, 0.1},
      {{"type_name"}, none, true, 0.1},  // joined words make a noise word
      {{"schemaUrl"}, none, true, 0.6},
      {{"schemaUrl"}, distinct_urls, true, 0.8},
      {{"metadata"}, none, true, 0.25},
      {{"userSettings"}, none, true, 0.25},
      {{"first_name"}, none, true, 0.9},
      {{"file_name"}, none, true, 0.78},
      {{"user_display_name"}, none, true, 0.9},
      {{"username"}, none, true, 0.9},
      {{"user_login"}, none, true, 0.55},
      {{"login"}, none, true, 0.9},
      {{"createdAt"}, none, true, 0.55},
      {{"title_id"}, none, true, 0.72},
      {{"title_id"}, [](FieldStats& s) { s.opaque = true; }, true, 0.3 - 0.1},
      {{"title_id"}, [](FieldStats& s) { s.mean_chars = 17; }, true, 0.72 - 0.1},
      {{"title_id"}, [](FieldStats& s) { s.mean_chars = 16; }, true, 0.72},
      {{"id"}, [](FieldStats& s) { s.numeric_like = true; }, true, 0.98 - 0.04},
      {{"title_id"}, [](FieldStats& s) { s.numeric_like = true; }, true, 0.72},
      {{"postcreated"}, none, true, 0.55},
      {{"usertitle"}, none, true, 0.95},
      {{"xstate"}, none, true, 0.85},
      {{"mydate"}, none, true, 0.55},
      {{"xxxend"}, none, false, 0.5},  // "end" is shorter than 4 bytes
      {{"xdate"}, none, false, 0.5},   // 5-byte keys get no suffix search
      {{"foo12"}, none, false, 0.5},
      {{"foo12"}, [](FieldStats& s) { s.date_like = true; }, true, 0.55},
      {{"homeUrl"}, distinct_urls, true, 0.8},
      {{"homeUrl"}, [](FieldStats& s) { strings(s, 3, 2); }, true, 0.6},
      {{"homeUrl"}, [](FieldStats& s) { strings(s, 10, 9); }, true, 0.8},
      {{"user", "name"}, none, true, 0.9 * 0.88},
      {{"order", "id"}, none, true, 0.98 * 0.6},
      {{"data", "name"}, none, true, 0.9},
      {{"items", "title"}, none, true, 0.95 * 0.88},
      {{"user", "--"}, none, false, 0.5 * 0.88},
      {{"user", "title", "$"}, none, true, 0.95 * 0.88},  // marker skipped: key title under user
      {{"title", "$"}, none, true, 0.95},
      {{}, none, false, 0.5},
  };
  for (const auto& c : cases) {
    FieldStats st = single(c.path);
    c.tweak(st);
    const Prior p = HeuristicScorer::name_prior(st);
    std::string label = c.path.empty() ? "(empty)" : c.path.back();
    EXPECT_EQ(p.named, c.named) << label;
    EXPECT_NEAR(p.prior, c.prior, 1e-12) << label;
  }
}

// Ancestor and marker words are only compared with the tables, never stored; words longer than any
// table word, or lowered from non-ASCII capitals, must still count as words.
TEST(NamePrior, AncestorAndMarkerWordsOfAnyLength) {
  const std::string long_word = "abcdefghijklmnopqrstuvwxyz0123456789";  // longer than any buffer for table words
  const Strings long_parent = {long_word, "title"};
  const Strings long_noise = {"avatarurlsavatarurlsavatarurlsavatarurls", "title"};  // one word, not "avatarurls"
  const Strings kelvin_noise = {"LIN\u212AS", "title"};                              // lowers to "links"
  const Strings upper_wrapper = {"DATA", "title"};
  const Strings cyrillic_parent = {"ПользовательскиеДанныеКлиента", "title"};

  const std::pair<const Strings*, double> priors[] = {
      {&long_parent, 0.95 * 0.88}, {&long_noise, 0.95 * 0.88},      {&kelvin_noise, 0.08},
      {&upper_wrapper, 0.95},      {&cyrillic_parent, 0.95 * 0.88},
  };
  for (const auto& [path, prior] : priors) {
    const FieldStats st = single(*path);
    EXPECT_NEAR(HeuristicScorer::name_prior(st).prior, prior, 1e-12) << path->front();
  }
  EXPECT_EQ(HEURISTIC.role(single(long_parent)), "group:" + long_word);
  EXPECT_EQ(HEURISTIC.role(single(cyrillic_parent)), "group:ПользовательскиеДанныеКлиента");
  EXPECT_EQ(HEURISTIC.role(single(upper_wrapper)), "title");

  // The status test reads the marker segment after the key; "$\u212Aind" holds the status word kind.
  const Strings kind_marker = {"foo12", "$\u212Aind"};
  const Strings long_marker = {"foo12", "$" + long_word + "status"};
  FieldStats st = single(kind_marker);
  st.rows = 4;
  EXPECT_NEAR(HEURISTIC.score(st), 0.5 * (0.85 + 0.15 * 0.25), 1e-12);
  st.path = long_marker;
  EXPECT_NEAR(HEURISTIC.score(st), 0.5 * (0.55 + 0.45 * 0.25), 1e-12);
}

struct ScoreCase {
  const char* what;
  Strings path;
  Tweak tweak;
  double score;
};

TEST(HeuristicScore, Steps) {
  const ScoreCase cases[] = {
      {"plain title", {"title"}, [](FieldStats&) {}, 0.95},
      {"all empty", {"title"}, [](FieldStats& s) { s.present = s.rows = s.empty = 2; }, 0.95 * 0.03},
      {"status presence",
       {"status"},
       [](FieldStats& s) { s.rows = 4, s.present = s.scalars = s.distinct = 2; },
       0.85 * (0.85 + 0.15 * 0.5)},
      {"other presence",
       {"title"},
       [](FieldStats& s) { s.rows = 4, s.present = s.scalars = s.distinct = 2; },
       0.95 * (0.55 + 0.45 * 0.5)},
      {"status from last segment only",
       {"state", "$"},
       [](FieldStats& s) { s.rows = 4, s.present = s.scalars = s.distinct = 2; },
       0.85 * (0.55 + 0.45 * 0.5)},
      {"empty ratio 0.4", {"title"}, [](FieldStats& s) { strings(s, 10, 5), s.empty = 4; }, 0.95 * (1 - 0.7 * 0.4)},
      {"empty ratio 0.3", {"title"}, [](FieldStats& s) { strings(s, 10, 5), s.empty = 3; }, 0.95},
      {"constant 3 rows", {"title"}, [](FieldStats& s) { strings(s, 3, 1), s.constant = true; }, 0.95 * 0.2},
      {"constant 2 rows", {"title"}, [](FieldStats& s) { strings(s, 2, 1), s.constant = true; }, 0.95},
      {"shape distinct", {"foo12"}, [](FieldStats& s) { strings(s, 3, 3); }, 0.7},
      {"shape opaque", {"foo12"}, [](FieldStats& s) { strings(s, 3, 3), s.opaque = true; }, 0.3},
      {"shape categorical", {"foo12"}, [](FieldStats& s) { strings(s, 10, 2); }, 0.65},
      {"shape middle", {"foo12"}, [](FieldStats& s) { strings(s, 10, 5); }, 0.5},
      {"shape long values", {"foo12"}, [](FieldStats& s) { strings(s, 3, 3), s.mean_chars = 41; }, 0.5},
      {"shape numeric", {"foo12"}, [](FieldStats& s) { strings(s, 3, 3), s.numeric_like = true; }, 0.5},
      {"shape two rows", {"foo12"}, [](FieldStats& s) { strings(s, 2, 2); }, 0.5},
      {"shape named", {"title"}, [](FieldStats& s) { strings(s, 3, 3); }, 0.95},
      {"boost by name", {"foo12"}, [](FieldStats& s) { s.relevance = s.name_relevance = 0.5; }, 0.7},
      {"boost by value", {"foo12"}, [](FieldStats& s) { s.relevance = s.value_relevance = 1; }, 0.9},
      {"boost small prior", {"hash"}, [](FieldStats& s) { s.relevance = s.value_relevance = 1; }, 0.2},
      {"boost keeps high", {"title"}, [](FieldStats& s) { s.relevance = s.value_relevance = 1; }, 0.95},
      {"boost full name", {"title"}, [](FieldStats& s) { s.relevance = s.name_relevance = 1; }, 1},
      {"boost categorical split",
       {"foo12"},
       [](FieldStats& s) { strings(s, 10, 2), s.relevance = s.value_relevance = 0.75, s.value_hit_rate = 0.5; },
       0.8},
      {"boost categorical all hit",
       {"foo12"},
       [](FieldStats& s) { strings(s, 10, 2), s.relevance = s.value_relevance = 0.75, s.value_hit_rate = 1; },
       0.65},
      {"no boost when constant",
       {"title"},
       [](FieldStats& s) { strings(s, 2, 1), s.constant = true, s.relevance = s.value_relevance = 1; },
       0.95},
      {"size 2500", {"title"}, [](FieldStats& s) { s.mean_chars = 2500; }, 0.95 * 0.7},
      {"size 2000", {"title"}, [](FieldStats& s) { s.mean_chars = 2000; }, 0.95 * 0.85},
      {"size 200", {"title"}, [](FieldStats& s) { s.mean_chars = 200; }, 0.95},
      {"container high", {"title"}, [](FieldStats& s) { s = single(s.path, Kind::Object); }, 0.95},
      {"container low", {"foo12"}, [](FieldStats& s) { s = single(s.path, Kind::Array); }, 0.5 * 0.85},
      {"containers at half",
       {"foo12"},
       [](FieldStats& s) { s.rows = s.present = 3, s.kind_counts = {0, 0, 0, 2, 1, 0}, s.scalars = 2; },
       0.5},
      {"containers over half",
       {"foo12"},
       [](FieldStats& s) { s.rows = s.present = 3, s.kind_counts = {0, 0, 0, 1, 1, 1}, s.scalars = 1; },
       0.5 * 0.85},
  };
  for (const auto& c : cases) {
    FieldStats st = single(c.path);
    c.tweak(st);
    EXPECT_NEAR(HEURISTIC.score(st), c.score, 1e-12) << c.what;
  }
}

TEST(OtherScorers, CompactAndKeyOrder) {
  const Strings path = {"anything"};
  FieldStats st = single(path, Kind::String, 0);
  EXPECT_EQ(COMPACT.score(st), 1);
  st.mean_chars = 40;
  EXPECT_EQ(COMPACT.score(st), 0.5);
  st.constant = true;
  EXPECT_NEAR(COMPACT.score(st), 0.05, 1e-15);
  st.constant = false;
  st.empty = 1;
  EXPECT_NEAR(COMPACT.score(st), 0.05, 1e-15);
  st.present = st.empty = 0;
  EXPECT_NEAR(COMPACT.score(st), 0.05, 1e-15);

  EXPECT_EQ(KEY_ORDER.score(st), 1);
  st.mean_position = 1;
  EXPECT_EQ(KEY_ORDER.score(st), 0.5);
  st.mean_position = 3;
  EXPECT_EQ(KEY_ORDER.score(st), 0.25);
  EXPECT_FALSE(KEY_ORDER.exact(st));
  EXPECT_FALSE(COMPACT.role(st).has_value());
}

TEST(Scorers, NamesAndOptionMapping) {
  EXPECT_EQ(&scorer_for(ScorerKind::Heuristic), &HEURISTIC);
  EXPECT_EQ(&scorer_for(ScorerKind::Compact), &COMPACT);
  EXPECT_EQ(&scorer_for(ScorerKind::KeyOrder), &KEY_ORDER);
  EXPECT_EQ(HEURISTIC.name(), "heuristic");
  EXPECT_EQ(COMPACT.name(), "compact");
  EXPECT_EQ(KEY_ORDER.name(), "key_order");
}

struct ExactCase {
  const char* what;
  Strings path;
  Tweak tweak;
  bool exact;
};

TEST(HeuristicExact, IdentifiersAndDistinctValues) {
  const auto numbers = [](FieldStats& s, std::uint64_t n, std::uint64_t d) {
    strings(s, n, d);
    s.kind_counts = {0, 0, n, 0, 0, 0};
  };
  const ExactCase cases[] = {
      {"id repeating numbers", {"user_id"}, [&](FieldStats& s) { numbers(s, 3, 1); }, true},
      {"id constant", {"user_id"}, [&](FieldStats& s) { numbers(s, 3, 1), s.constant = true; }, false},
      {"website repeating", {"website"}, [](FieldStats& s) { strings(s, 3, 1); }, false},
      {"link distinct", {"homeUrl"}, [](FieldStats& s) { strings(s, 3, 3); }, true},
      {"link 9 of 10", {"homeUrl"}, [](FieldStats& s) { strings(s, 10, 9); }, true},
      {"link 8 of 10", {"homeUrl"}, [](FieldStats& s) { strings(s, 10, 8); }, false},
      {"link two values", {"homeUrl"}, [](FieldStats& s) { strings(s, 2, 2); }, false},
      {"opaque distinct", {"foo"}, [](FieldStats& s) { strings(s, 3, 3), s.opaque = true; }, true},
      {"plain distinct", {"foo"}, [](FieldStats& s) { strings(s, 3, 3); }, false},
      {"mean 300", {"user_id"}, [](FieldStats& s) { s.mean_chars = 300; }, true},
      {"mean 301", {"user_id"}, [](FieldStats& s) { s.mean_chars = 301; }, false},
      {"absent", {"user_id"}, [](FieldStats& s) { s.present = 0; }, false},
      {"null among values",
       {"user_id"},
       [](FieldStats& s) { strings(s, 2, 2), s.kind_counts = {1, 0, 0, 1, 0, 0}; },
       false},
      {"marker segment", {"userId", "$"}, [](FieldStats&) {}, true},
      {"dollar key", {"$id"}, [](FieldStats&) {}, true},
  };
  for (const auto& c : cases) {
    FieldStats st = single(c.path);
    c.tweak(st);
    EXPECT_EQ(HEURISTIC.exact(st), c.exact) << c.what;
  }
}

TEST(HeuristicRole, GroupsAndKinds) {
  const std::pair<Strings, const char*> cases[] = {
      {{"data", "user", "email"}, "group:user"},
      {{"items", "title"}, "group:items"},
      {{"order", "customer", "name"}, "group:order/customer"},
      {{"data", "node", "id"}, "identity"},
      {{"--", "title"}, "title"},
      {{"a", ""}, "group:a"},
      {{"createdAt"}, "time"},
      {{"updatedBy"}, "time"},
      {{"href"}, "link"},
      {{"titleId"}, "identity"},
      {{"title"}, "title"},
      {{"createdAt", "$"}, "time"},
      {{"user", "createdAt", "$"}, "group:user"},
      {{"$id"}, "identity"},
      {{"foo"}, nullptr},
      {{"data", "$"}, nullptr},
      {{}, nullptr},
  };
  for (const auto& [path, expected] : cases) {
    FieldStats st = single(path);
    const auto role = HEURISTIC.role(st);
    if (expected == nullptr)
      EXPECT_FALSE(role.has_value()) << *role;
    else
      EXPECT_EQ(role.value_or("(none)"), expected);
  }
}

}  // namespace
}  // namespace tavisk
