// Protect patterns: slash-separated key paths with "*" wildcards,
// anchored at the root by a leading "/".
#pragma once

#include <cstdint>
#include <string>
#include <memory>
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
//
// The trie is flat: each distinct segment text is stored once and numbered,
// and the edges are one open-addressing table keyed by (node, segment), so a
// large pattern list costs a few words per distinct segment and trie node.
// Compiled once, it is shared by copies (every attempt of a call reads it).
class PatternSet {
 public:
  PatternSet() = default;
  explicit PatternSet(const std::vector<Pattern>& patterns);
  // Compiles the protect option straight from its entries.
  explicit PatternSet(const std::vector<std::string>& protect);
  bool empty() const { return !trie_; }
  bool matches(const Path& path) const;

  // Counts of the compiled trie (for tests and measurements).
  std::size_t node_count() const;
  std::size_t segment_count() const;

 private:
  class Trie;
  template <class Entries>
  static std::shared_ptr<const Trie> compile(const Entries& entries);
  std::shared_ptr<const Trie> trie_;  // null: no pattern
};

}  // namespace tavisk
