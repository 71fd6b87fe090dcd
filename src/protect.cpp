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

PatternSet::PatternSet(const std::vector<Pattern>& patterns) {
  nodes_.emplace_back();
  for (const Pattern& p : patterns) {
    std::uint32_t at = 0;
    for (auto seg = p.segments.rbegin(); seg != p.segments.rend(); ++seg) {
      std::uint32_t next = *seg == "*" ? nodes_[at].star : none;
      if (*seg != "*") {
        auto found = nodes_[at].children.find(*seg);
        if (found != nodes_[at].children.end()) next = found->second;
      }
      if (next == none) {
        next = static_cast<std::uint32_t>(nodes_.size());
        if (*seg == "*")
          nodes_[at].star = next;
        else
          nodes_[at].children.emplace(*seg, next);
        nodes_.emplace_back();
      }
      at = next;
    }
    if (at == 0) continue;  // no segments
    (p.anchored ? nodes_[at].ends_anchored : nodes_[at].ends) = true;
  }
}

bool PatternSet::matches(const Path& path) const {
  if (empty()) return false;
  // The trie nodes reached by the last k segments; each is reached once,
  // since every node has one way down from the root.
  std::vector<std::uint32_t> states{0}, next;
  for (std::size_t k = 1; k <= path.size() && !states.empty(); ++k) {
    const std::string& seg = path[path.size() - k];
    next.clear();
    for (std::uint32_t s : states) {
      const Node& n = nodes_[s];
      if (auto it = n.children.find(seg); it != n.children.end()) next.push_back(it->second);
      if (n.star != none) next.push_back(n.star);
    }
    for (std::uint32_t s : next) {
      const Node& n = nodes_[s];
      if (n.ends || (n.ends_anchored && k == path.size())) return true;
    }
    states.swap(next);
  }
  return false;
}

}  // namespace tavisk
