#include "lines.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "utf8.h"

namespace tavisk::lines {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > u64_max - b ? u64_max : a + b; }
std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }
std::uint64_t percent_of(std::uint64_t x, std::uint64_t p) {
  // x * p / 100 without overflow for any x.
  return x / 100 * p + x % 100 * p / 100;
}

// One line: its text is [start, end), its terminator [end, next).
struct Span {
  std::size_t start = 0, end = 0, next = 0;
};

// The line that ends (terminator included) at byte `next` > 0.
Span line_ending_at(std::string_view s, std::size_t next) {
  Span l;
  l.next = next;
  l.end = next;
  if (s[next - 1] == '\n') {
    l.end = next - 1;
    if (l.end > 0 && s[l.end - 1] == '\r') --l.end;
  }
  const void* lf = l.end ? memrchr(s.data(), '\n', l.end) : nullptr;
  l.start = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - s.data()) + 1 : 0;
  if (l.end < l.start) l.end = l.start;
  return l;
}

// The line that starts at byte `start` < size.
Span line_starting_at(std::string_view s, std::size_t start) {
  Span l;
  l.start = start;
  const void* lf = std::memchr(s.data() + start, '\n', s.size() - start);
  if (!lf) {
    l.end = l.next = s.size();
    return l;
  }
  std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - s.data());
  l.end = at > start && s[at - 1] == '\r' ? at - 1 : at;
  l.next = at + 1;
  return l;
}

struct Kept {
  std::uint64_t index = 0;
  Span span;
  std::string cut;  // the line cut to the cap with a chars marker; empty when whole
  bool is_cut = false;
};

class Selector {
 public:
  // chars: of s, or TextFacts::unknown.
  Selector(std::string_view s, std::uint64_t n, std::uint64_t avail, text::Measure measure, const Rules& rules,
           std::uint64_t chars)
      : s_(s), n_(n), avail_(avail), measure_(measure), base_(measure({})), chars_(chars), kept_(n, false) {
    cap_ = std::max<std::uint64_t>(percent_of(avail, rules.line_percent), 40);
    // The widest marker line (bytes bound characters).
    marker_cost_ = extra(marker(n, s.size())) + extra("\r\n");
    used_ = marker_cost_;  // nothing kept yet: one run of left-out lines
  }

  bool kept(std::uint64_t i) const { return kept_[i]; }
  std::uint64_t used() const { return used_; }

  // Keeps line i when the whole result stays within the budget and the cost
  // of the line stays within `limit`; adds the cost to `spent`.
  bool add(std::uint64_t i, const Span& span, std::uint64_t& spent, std::uint64_t limit) {
    Kept k{i, span, {}, false};
    std::uint64_t cost = extra(s_.substr(span.start, span.end - span.start));
    if (cost > cap_) {
      // Every character costs at least one, so the cut keeps fewer than cap_
      // characters: the search need not look further, however long the line.
      std::string_view t = s_.substr(span.start, span.end - span.start);
      std::string_view head = t.substr(0, utf8::offset_of(t, cap_));
      k.cut = text::fit_flat(head, utf8::count(t), cap_ + base_, measure_);
      k.is_cut = true;
      cost = extra(k.cut);
    }
    cost = sat_add(cost, extra(s_.substr(span.end, span.next - span.end)));
    const bool left_open = i > 0 && !kept_[i - 1], right_open = i + 1 < n_ && !kept_[i + 1];
    std::uint64_t total = sat_add(used_, cost);
    if (left_open && right_open) total = sat_add(total, marker_cost_);
    if (!left_open && !right_open) total = sat_sub(total, marker_cost_);
    if (total > avail_ || sat_add(spent, cost) > limit) return false;
    used_ = total;
    spent += cost;
    kept_[i] = true;
    list_.push_back(std::move(k));
    return true;
  }

  // The kept lines in order, with one marker line for each run between them.
  Fit assemble() {
    std::sort(list_.begin(), list_.end(), [](const Kept& a, const Kept& b) { return a.index < b.index; });
    Fit out;
    std::size_t bytes = 0;
    for (const Kept& k : list_) bytes += (k.is_cut ? k.cut.size() : k.span.end - k.span.start) + 48;
    out.text.reserve(bytes);
    // The widest gap, whose characters follow from the text's when those are known.
    std::size_t widest = 0, widest_bytes = 0;
    for (std::size_t j = 1; j < list_.size(); ++j) {
      const std::size_t b = list_[j].span.start - list_[j - 1].span.next;
      if (list_[j - 1].index + 1 < list_[j].index && b > widest_bytes) {
        widest = j;
        widest_bytes = b;
      }
    }
    for (std::size_t j = 0; j < list_.size(); ++j) {
      const Kept& k = list_[j];
      if (j > 0 && list_[j - 1].index + 1 < k.index) {
        const Kept& prev = list_[j - 1];
        const std::uint64_t lines = k.index - prev.index - 1;
        std::string_view gap = s_.substr(prev.span.next, k.span.start - prev.span.next);
        std::uint64_t gap_chars;
        if (j == widest && chars_ != TextFacts::unknown && gap.size() > s_.size() / 2)
          gap_chars = chars_ - utf8::count(s_.substr(0, prev.span.next)) - utf8::count(s_.substr(k.span.start));
        else
          gap_chars = utf8::count(gap);
        out.text += marker(lines, gap_chars);
        // The marker line ends like the last line it stands for.
        std::size_t t = gap.size();
        if (t >= 2 && gap[t - 2] == '\r' && gap[t - 1] == '\n')
          out.text += "\r\n";
        else
          out.text += '\n';
        out.lines_omitted += lines;
      }
      if (k.is_cut)
        out.text += k.cut;
      else
        out.text.append(s_.substr(k.span.start, k.span.end - k.span.start));
      out.text.append(s_.substr(k.span.end, k.span.next - k.span.end));
    }
    return out;
  }

 private:
  std::uint64_t extra(std::string_view part) const { return sat_sub(measure_(part), base_); }

  std::string_view s_;
  std::uint64_t n_, avail_;
  text::Measure measure_;
  std::uint64_t base_, chars_, cap_ = 0, marker_cost_ = 0, used_ = 0;
  std::vector<bool> kept_;
  std::vector<Kept> list_;
};

}  // namespace

std::string marker(std::uint64_t n, std::uint64_t m) {
  return "\xE2\x80\xA6[+" + std::to_string(n) + " lines, " + std::to_string(m) + " chars]";
}

std::optional<Fit> fit(std::string_view s, std::uint64_t budget, text::Measure measure, const Rules& rules,
                       const TextFacts* facts) {
  const bool known = facts && facts->line_feeds != TextFacts::unknown;
  const std::uint64_t n = known ? facts->lines(s) : text::count_lines(s);
  if (n < 3) return std::nullopt;
  const std::uint64_t avail = sat_sub(budget, measure({}));
  Selector sel(s, n, avail, measure, rules, facts ? facts->chars : TextFacts::unknown);

  // 1. The first line, then more from the start within the head's share.
  std::uint64_t head_spent = 0;
  Span line = line_starting_at(s, 0);
  if (!sel.add(0, line, head_spent, u64_max)) return std::nullopt;
  const std::uint64_t head_limit = percent_of(avail, rules.head_percent);
  std::uint64_t head_end = 1;  // lines [0, head_end) are the head
  while (head_end < n - 1) {
    Span next = line_starting_at(s, line.next);
    if (!sel.add(head_end, next, head_spent, head_limit)) break;
    line = next;
    ++head_end;
  }
  const std::size_t head_bytes = line.next;

  // 2. The last line, then more from the end within the tail's share.
  std::uint64_t tail_spent = 0;
  std::uint64_t tail_start = n - 1;  // lines [tail_start, n) are the tail
  Span tail = line_ending_at(s, s.size());
  if (!sel.add(n - 1, tail, tail_spent, u64_max)) return std::nullopt;
  const std::uint64_t tail_limit = percent_of(avail, rules.tail_percent);
  while (tail_start > head_end) {
    Span prev = line_ending_at(s, tail.start);
    if (!sel.add(tail_start - 1, prev, tail_spent, tail_limit)) break;
    tail = prev;
    --tail_start;
  }

  // 3. Flagged lines between head and tail, from the end.
  std::uint64_t matched = 0;
  if (rules.matcher && *rules.matcher) {
    std::uint64_t spent = 0;
    std::size_t pos = tail.start;
    for (std::uint64_t i = tail_start; i > head_end && pos > head_bytes; --i) {
      Span l = line_ending_at(s, pos);
      pos = l.start;
      if ((*rules.matcher)(s.substr(l.start, l.end - l.start)) && sel.add(i - 1, l, spent, u64_max)) ++matched;
    }
  }

  // 4. The rest, from the end of what is left, until a line does not fit.
  {
    std::uint64_t spent = 0;
    std::size_t pos = tail.start;
    for (std::uint64_t i = tail_start; i > head_end && pos > head_bytes; --i) {
      Span l = line_ending_at(s, pos);
      pos = l.start;
      if (!sel.kept(i - 1) && !sel.add(i - 1, l, spent, u64_max)) break;
    }
  }

  Fit out = sel.assemble();
  out.lines_matched = matched;
  if (measure(out.text) > budget) return std::nullopt;
  return out;
}

std::string fit_string(std::string_view s, std::uint64_t budget, const Options& options, text::Measure measure,
                       bool by_lines, Stats& stats, const Rules& rules, const TextFacts* facts) {
  ++stats.strings_truncated;
  if (by_lines) {
    if (std::optional<Fit> f = fit(s, budget, measure, rules, facts)) {
      stats.lines_omitted += f->lines_omitted;
      stats.lines_matched += f->lines_matched;
      return std::move(f->text);
    }
  }
  return text::fit_text(s, budget, options, measure, facts);
}

}  // namespace tavisk::lines
