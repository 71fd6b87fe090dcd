// Protect patterns: slash-separated key paths with "*" wildcards,
// anchored at the root by a leading "/".
#pragma once

#include <string>
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

}  // namespace tavisk
