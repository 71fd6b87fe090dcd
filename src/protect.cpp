#include "protect.h"

namespace tavisk {

std::vector<Pattern> compile_patterns(const std::vector<std::string>& protect) {
  std::vector<Pattern> out;
  for (const std::string& entry : protect) {
    Pattern p;
    p.anchored = !entry.empty() && entry.front() == '/';
    std::string_view rest = entry;
    while (!rest.empty()) {
      std::size_t slash = rest.find('/');
      std::string_view part = rest.substr(0, slash);
      if (!part.empty()) p.segments.emplace_back(part);
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
    if (!p.segments.empty()) out.push_back(std::move(p));
  }
  return out;
}

bool matches(const Pattern& p, const Path& path) {
  std::size_t s = p.segments.size();
  if (s == 0 || path.size() < s || (p.anchored && path.size() != s)) return false;
  std::size_t base = path.size() - s;
  for (std::size_t i = 0; i < s; ++i) {
    const std::string& seg = p.segments[i];
    if (seg != "*" && seg != path[base + i]) return false;
  }
  return true;
}

bool any_matches(const std::vector<Pattern>& patterns, const Path& path) {
  for (const Pattern& p : patterns)
    if (matches(p, path)) return true;
  return false;
}

}  // namespace tavisk
