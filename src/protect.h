// Protect patterns: slash-separated key paths with "*" wildcards,
// anchored at the root by a leading "/".
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

namespace tavisk {

using Path = std::vector<std::string>;

struct Pattern {
  std::vector<std::string> segments;  // at least one
  bool anchored = false;
};

// Compiles the protect option; entries that yield no segment are skipped.
std::vector<Pattern> compile_patterns(const std::vector<std::string>& protect);

// Whether the pattern matches the path (object keys, "*" for array items).
bool matches(const Pattern& p, const Path& path);

// Whether any of the patterns matches.
bool any_matches(const std::vector<Pattern>& patterns, const Path& path);

// Patterns compiled into a trie over their segments read from the last one
// back, so a path is matched by one walk from its end however many patterns
// there are, and repeated patterns cost nothing. A walk visits at most the
// trie nodes at each depth it reaches, one step per path segment.
class PatternSet {
 public:
  PatternSet() = default;
  explicit PatternSet(const std::vector<Pattern>& patterns);
  bool empty() const { return nodes_.size() <= 1; }
  bool matches(const Path& path) const;

 private:
  static constexpr std::uint32_t none = UINT32_MAX;
  struct Node {
    std::unordered_map<std::string, std::uint32_t> children;  // lookups only
    std::uint32_t star = none;
    bool ends = false;           // a floating pattern ends here
    bool ends_anchored = false;  // an anchored pattern ends here
  };
  std::vector<Node> nodes_;
};

}  // namespace tavisk
