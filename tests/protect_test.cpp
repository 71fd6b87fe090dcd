#include "protect.h"

#include <gtest/gtest.h>

namespace tavisk {
namespace {

TEST(Protect, CompileSplitsAndSkipsEmptyEntries) {
  auto ps = compile_patterns({"", "/", "///", "/a/b", "a//b/", "items/*/id", " x ", "/*"});
  ASSERT_EQ(ps.size(), 5u);
  EXPECT_TRUE(ps[0].anchored);
  EXPECT_EQ(ps[0].segments, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(ps[1].anchored);
  EXPECT_EQ(ps[1].segments, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ps[2].segments, (std::vector<std::string>{"items", "*", "id"}));
  // Kept byte for byte: no trimming.
  EXPECT_EQ(ps[3].segments, (std::vector<std::string>{" x "}));
  EXPECT_TRUE(ps[4].anchored);
  EXPECT_EQ(ps[4].segments, (std::vector<std::string>{"*"}));
}

struct MatchCase {
  const char* pattern;
  Path path;
  bool expected;
};

TEST(Protect, Matching) {
  const MatchCase cases[] = {
      {"/a/b", {"a", "b"}, true},
      {"/a/b", {"x", "a", "b"}, false},
      {"/a/b", {"a", "b", "c"}, false},
      {"/a/b", {"a"}, false},
      {"a/b", {"a", "b"}, true},
      {"a/b", {"x", "y", "a", "b"}, true},
      {"a/b", {"a", "b", "x"}, false},
      {"a/b", {"b"}, false},
      {"items/*/id", {"items", "*", "id"}, true},
      {"items/*/id", {"root", "items", "*", "id"}, true},
      {"items/*/id", {"items", "key", "id"}, true},
      {"items/*/id", {"items", "*", "name"}, false},
      {"b", {"*"}, false},
      {"*", {"*"}, true},
      {"/*", {"a"}, true},
      {"/*", {"a", "b"}, false},
      {"A", {"a"}, false},
      {"\xC3\xA9", {"x", "\xC3\xA9"}, true},
  };
  for (const MatchCase& c : cases) {
    auto ps = compile_patterns({c.pattern});
    ASSERT_EQ(ps.size(), 1u) << c.pattern;
    EXPECT_EQ(matches(ps[0], c.path), c.expected) << c.pattern << " on path of " << c.path.size();
  }
}

TEST(Protect, RootIsNeverMatched) {
  auto ps = compile_patterns({"/*", "*", "a", "/a"});
  ASSERT_EQ(ps.size(), 4u);
  EXPECT_FALSE(any_matches(ps, {}));
  EXPECT_TRUE(any_matches(ps, {"a"}));
  EXPECT_TRUE(any_matches(ps, {"q", "z"}));  // "*" matches any last segment
  EXPECT_FALSE(any_matches(compile_patterns({"/a", "b/c"}), {"q", "c"}));
  EXPECT_FALSE(any_matches({}, {"a"}));
}

}  // namespace
}  // namespace tavisk
