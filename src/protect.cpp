#include "protect.h"

#include <functional>

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

namespace {

constexpr std::uint32_t none = UINT32_MAX;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// Slots for `n` entries at a load of at most a half: a power of two.
std::size_t slots_for(std::size_t n) {
  std::size_t s = 16;
  while (s < 2 * n) s *= 2;
  return s;
}

// Slots for `n` entries at a load of at most four fifths: a power of two.
std::size_t tight_slots(std::size_t n) {
  std::size_t s = 16;
  while (4 * s < 5 * n) s *= 2;
  return s;
}

}  // namespace

class PatternSet::Trie {
 public:
  Trie() { nodes_.push_back({}); }

  // Adds one pattern given by its segments, last first.
  void add(const std::vector<std::string_view>& reversed, bool anchored) {
    std::uint32_t at = 0;
    for (std::string_view seg : reversed) {
      if (seg == "*") {
        if (nodes_[at].star == none) {
          nodes_[at].star = new_node();
        }
        at = nodes_[at].star;
        continue;
      }
      const std::uint32_t id = intern(seg);
      std::uint32_t next = child(at, id);
      if (next == none) {
        next = new_node();
        add_edge(at, id, next);
      }
      at = next;
    }
    if (at != 0) nodes_[at].ends |= anchored ? anchored_end : floating_end;
  }

  bool matches(const Path& path) const {
    // The trie nodes reached by the last k segments; each is reached once,
    // since every node has one way down from the root.
    std::vector<std::uint32_t> states{0}, next;
    for (std::size_t k = 1; k <= path.size() && !states.empty(); ++k) {
      const std::string& text = path[path.size() - k];
      const std::uint32_t id = find_segment(text);
      next.clear();
      for (std::uint32_t s : states) {
        if (id != none) {
          if (std::uint32_t c = child(s, id); c != none) next.push_back(c);
        }
        if (nodes_[s].star != none) next.push_back(nodes_[s].star);
      }
      for (std::uint32_t s : next) {
        const std::uint8_t ends = nodes_[s].ends;
        if ((ends & floating_end) || ((ends & anchored_end) && k == path.size())) return true;
      }
      states.swap(next);
    }
    return false;
  }

  // Packs the tables once every pattern is in: no spare capacity, hash tables
  // at a load of up to four fifths.
  void finish() {
    nodes_.shrink_to_fit();
    text_.shrink_to_fit();
    segment_start_.shrink_to_fit();
    if (const std::size_t n = segment_start_.size(); n && tight_slots(n) < segment_slots_.size()) {
      segment_slots_.assign(tight_slots(n), none);
      for (std::uint32_t k = 0; k < n; ++k) place_segment(k);
    }
    if (edge_count_ && tight_slots(edge_count_) < edges_.size()) {
      std::vector<Edge> old(tight_slots(edge_count_));
      old.swap(edges_);
      for (const Edge& e : old)
        if (e.to != none) place_edge(e);
    }
  }

  std::size_t node_count() const { return nodes_.size(); }
  std::size_t segment_count() const { return segment_start_.size(); }

 private:
  static constexpr std::uint8_t floating_end = 1, anchored_end = 2;
  struct Node {
    std::uint32_t star = none;
    std::uint8_t ends = 0;
  };
  struct Edge {
    std::uint32_t from = none, segment = none, to = none;
  };

  std::uint32_t new_node() {
    nodes_.push_back({});
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }

  std::string_view segment(std::uint32_t id) const {
    const std::size_t start = segment_start_[id];
    const std::size_t end = id + 1 < segment_start_.size() ? segment_start_[id + 1] : text_.size();
    return std::string_view(text_).substr(start, end - start);
  }

  static std::size_t hash_text(std::string_view s) { return std::hash<std::string_view>{}(s); }

  std::uint32_t find_segment(std::string_view s) const {
    if (segment_slots_.empty()) return none;
    const std::size_t mask = segment_slots_.size() - 1;
    for (std::size_t i = hash_text(s) & mask;; i = (i + 1) & mask) {
      const std::uint32_t id = segment_slots_[i];
      if (id == none) return none;
      if (segment(id) == s) return id;
    }
  }

  std::uint32_t intern(std::string_view s) {
    if (std::uint32_t id = find_segment(s); id != none) return id;
    const auto id = static_cast<std::uint32_t>(segment_start_.size());
    segment_start_.push_back(text_.size());
    text_.append(s);
    if (2 * segment_start_.size() > segment_slots_.size()) {
      segment_slots_.assign(slots_for(segment_start_.size()), none);
      for (std::uint32_t k = 0; k <= id; ++k) place_segment(k);
    } else {
      place_segment(id);
    }
    return id;
  }

  void place_segment(std::uint32_t id) {
    const std::size_t mask = segment_slots_.size() - 1;
    std::size_t i = hash_text(segment(id)) & mask;
    while (segment_slots_[i] != none) i = (i + 1) & mask;
    segment_slots_[i] = id;
  }

  static std::size_t edge_hash(std::uint32_t from, std::uint32_t seg) {
    return static_cast<std::size_t>(mix((std::uint64_t{from} << 32) | seg));
  }

  std::uint32_t child(std::uint32_t from, std::uint32_t seg) const {
    if (edges_.empty()) return none;
    const std::size_t mask = edges_.size() - 1;
    for (std::size_t i = edge_hash(from, seg) & mask;; i = (i + 1) & mask) {
      const Edge& e = edges_[i];
      if (e.to == none) return none;
      if (e.from == from && e.segment == seg) return e.to;
    }
  }

  void add_edge(std::uint32_t from, std::uint32_t seg, std::uint32_t to) {
    ++edge_count_;
    if (2 * edge_count_ > edges_.size()) {
      std::vector<Edge> old(slots_for(edge_count_));
      old.swap(edges_);
      for (const Edge& e : old)
        if (e.to != none) place_edge(e);
    }
    place_edge({from, seg, to});
  }

  void place_edge(const Edge& e) {
    const std::size_t mask = edges_.size() - 1;
    std::size_t i = edge_hash(e.from, e.segment) & mask;
    while (edges_[i].to != none) i = (i + 1) & mask;
    edges_[i] = e;
  }

  std::vector<Node> nodes_;
  std::string text_;                         // the distinct segment texts, back to back
  std::vector<std::size_t> segment_start_;   // where each one starts in text_
  std::vector<std::uint32_t> segment_slots_; // segment ids by text hash
  std::vector<Edge> edges_;                  // edges by (node, segment)
  std::size_t edge_count_ = 0;
};

PatternSet::PatternSet(const std::vector<Pattern>& patterns) {
  auto trie = std::make_shared<Trie>();
  std::vector<std::string_view> reversed;
  bool any = false;
  for (const Pattern& p : patterns) {
    reversed.assign(p.segments.rbegin(), p.segments.rend());
    if (reversed.empty()) continue;
    trie->add(reversed, p.anchored);
    any = true;
  }
  if (!any) return;
  trie->finish();
  trie_ = std::move(trie);
}

namespace {

// Adds the segments of one protect entry, last first; empty ones are skipped, as compile_patterns does.
void reversed_segments(std::string_view entry, std::vector<std::string_view>& out) {
  out.clear();
  while (!entry.empty()) {
    const std::size_t slash = entry.rfind('/');
    const std::string_view part = slash == std::string_view::npos ? entry : entry.substr(slash + 1);
    if (!part.empty()) out.push_back(part);
    if (slash == std::string_view::npos) break;
    entry.remove_suffix(entry.size() - slash);
  }
}

}  // namespace

template <class Entries>
std::shared_ptr<const PatternSet::Trie> PatternSet::compile(const Entries& entries) {
  auto trie = std::make_shared<Trie>();
  std::vector<std::string_view> reversed;
  bool any = false;
  for (std::string_view entry : entries) {
    reversed_segments(entry, reversed);
    if (reversed.empty()) continue;
    trie->add(reversed, entry.front() == '/');
    any = true;
  }
  if (!any) return nullptr;
  trie->finish();
  return trie;
}

PatternSet::PatternSet(const std::vector<std::string>& protect) : trie_(compile(protect)) {}

bool PatternSet::matches(const Path& path) const { return trie_ && trie_->matches(path); }

std::size_t PatternSet::node_count() const { return trie_ ? trie_->node_count() : 0; }
std::size_t PatternSet::segment_count() const { return trie_ ? trie_->segment_count() : 0; }

}  // namespace tavisk
