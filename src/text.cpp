#include "text.h"

#include <algorithm>
#include <limits>

#include "unicode.h"
#include "utf8.h"

namespace tavisk::text {

namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? u64_max : r;
}
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > u64_max - b ? u64_max : a + b; }
std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

const char ellipsis[] = "\xE2\x80\xA6";

std::string chars_marker(std::uint64_t n) { return std::string(ellipsis) + "[+" + std::to_string(n) + " chars]"; }

std::string counted_marker(std::uint64_t n, const char* unit, std::uint64_t m) {
  return std::string(ellipsis) + "[+" + std::to_string(n) + unit + std::to_string(m) + " chars]";
}

// Reads the line starting at pos; pos becomes npos after the last line.
Line take_line(std::string_view s, std::size_t& pos) {
  std::size_t lf = s.find('\n', pos);
  if (lf == npos) {
    Line line{s.substr(pos), {}};
    pos = npos;
    return line;
  }
  std::size_t end = lf > pos && s[lf - 1] == '\r' ? lf - 1 : lf;
  Line line{s.substr(pos, end - pos), s.substr(end, lf + 1 - end)};
  pos = lf + 1 == s.size() ? npos : lf + 1;
  return line;
}

std::uint64_t lines_from(std::string_view s, std::size_t pos) {
  std::uint64_t n = 0;
  while (pos != npos) {
    take_line(s, pos);
    ++n;
  }
  return n;
}

std::uint64_t line_chars(const Line& l) { return utf8::count(l.text) + utf8::count(l.terminator); }

std::string multi_line_preview(std::string_view text, std::uint64_t total, std::uint64_t n, Measure measure) {
  std::size_t pos = 0;
  Line first = take_line(text, pos);
  std::string out = preview(first.text, n, measure);
  out.append(first.terminator);
  std::uint64_t written = utf8::count(out);
  std::uint64_t shown = line_chars(first);
  std::uint64_t per = std::max<std::uint64_t>(n / 4, 8);
  std::uint64_t limit = sat_mul(2, n);
  while (pos != npos) {
    std::size_t line_start = pos;
    Line line = take_line(text, pos);
    std::string piece = preview(line.text, per, measure);
    piece.append(line.terminator);
    written = sat_add(written, utf8::count(piece));
    if (written > limit) {
      out += counted_marker(lines_from(text, line_start), " lines, ", total - shown);
      break;
    }
    out += piece;
    shown += line_chars(line);
  }
  return out;
}

// Yields the pieces of render_pieces one at a time, so a caller can stop early.
class PieceWriter {
 public:
  PieceWriter(const std::vector<Section>& sections, std::uint64_t head_allowance, std::uint64_t x, Measure measure)
      : sections_(sections), head_(head_allowance), x_(x), measure_(measure) {}

  bool done() const { return i_ == sections_.size(); }

  std::string next() {
    const Section& s = sections_[i_];
    std::string piece;
    if (!overflowed_) {
      sum_ = sat_add(sum_, s.chars);
      if (sum_ <= head_) {
        piece.reserve(s.text.size() + s.separator.size());
        piece.append(s.text);
      } else {
        overflowed_ = true;
        piece = preview(s.text, i_ == 0 ? std::max(head_, x_) : x_, measure_);
      }
    } else {
      piece = preview(s.text, x_, measure_);
    }
    piece.append(s.separator);
    ++i_;
    return piece;
  }

 private:
  const std::vector<Section>& sections_;
  std::uint64_t head_, x_;
  Measure measure_;
  std::size_t i_ = 0;
  std::uint64_t sum_ = 0;
  bool overflowed_ = false;
};

std::vector<Piece> line_pieces(std::string_view s) {
  std::vector<Piece> out;
  for (const Line& l : split_lines(s)) out.emplace_back(l.text, l.terminator);
  return out;
}

// Paragraphs, else lines, else sentences: the first split with two pieces or more.
std::vector<Piece> split_for_sections(std::string_view s) {
  std::vector<Piece> pieces = split_paragraphs(s);
  if (pieces.size() >= 2) return pieces;
  pieces = line_pieces(s);
  if (pieces.size() >= 2) return pieces;
  return split_sentences(s);
}

std::string concat(const std::vector<std::string>& pieces, std::size_t n, std::string_view tail = {}) {
  std::size_t bytes = tail.size();
  for (std::size_t i = 0; i < n; ++i) bytes += pieces[i].size();
  std::string out;
  out.reserve(bytes);
  for (std::size_t i = 0; i < n; ++i) out += pieces[i];
  out.append(tail);
  return out;
}

struct TextFitter {
  const std::vector<Section>& sections;
  std::uint64_t budget;
  Measure measure;
  std::uint64_t base;  // measure of the empty text

  // What a part adds to the measure of a concatenation.
  std::uint64_t extra(std::string_view part) const { return sat_sub(measure(part), base); }

  // Renders the pieces for preview size x; stops at the first piece that
  // overflows the budget. True when all pieces fit.
  bool attempt(std::uint64_t x, std::uint64_t head, std::uint64_t sec, std::vector<std::string>& pieces) const {
    pieces.clear();
    PieceWriter writer(sections, sat_mul(x, head) / sec, x, measure);
    std::uint64_t m = base;
    while (!writer.done()) {
      pieces.push_back(writer.next());
      m = sat_add(m, extra(pieces.back()));
      if (m > budget) return false;
    }
    return m <= budget;
  }

  // Leading pieces kept greedily, then a sections marker for the rest.
  std::string with_marker(const std::vector<std::string>& pieces, std::uint64_t total) const {
    std::string marker = counted_marker(sections.size(), " sections, ", total);
    std::uint64_t kept_measure = base, left = total;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pieces.size() && i + 1 < sections.size(); ++i) {
      std::uint64_t left_i = sat_sub(left, sections[i].chars);
      std::string marker_i = counted_marker(sections.size() - i - 1, " sections, ", left_i);
      std::uint64_t with_piece = sat_add(kept_measure, extra(pieces[i]));
      if (sat_add(with_piece, extra(marker_i)) > budget) break;
      kept_measure = with_piece;
      left = left_i;
      marker = std::move(marker_i);
      kept = i + 1;
    }
    return concat(pieces, kept, marker);
  }
};

}  // namespace

Cut cut(std::string_view text, std::uint64_t count) {
  std::size_t i = 0;
  std::uint64_t index = 0;
  bool have_break = false;
  std::uint64_t w = 0, trimmed_chars = 0, solid_chars = 0;
  std::size_t trimmed_end = 0, solid_end = 0;  // solid: end of the last non-whitespace character
  while (index < count && i < text.size()) {
    char32_t c = utf8::next(text, i);
    if (unicode::white_space(c)) {
      have_break = true;
      w = index;
      trimmed_end = solid_end;
      trimmed_chars = solid_chars;
    } else {
      solid_end = i;
      solid_chars = index + 1;
    }
    ++index;
  }
  if (i >= text.size()) return {text, index};
  // Break at whitespace only when it lies in the last quarter: 4w >= 3 count.
  if (have_break && w >= 1 && w >= count - count / 4) return {text.substr(0, trimmed_end), trimmed_chars};
  return {text.substr(0, i), count};
}

std::vector<Line> split_lines(std::string_view text) {
  std::vector<Line> out;
  std::size_t pos = 0;
  while (pos != npos) out.push_back(take_line(text, pos));
  return out;
}

std::vector<Section> mk_sections(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
  std::vector<Section> out;
  out.reserve(pairs.size());
  for (const auto& [t, sep] : pairs) out.push_back(Section{t, sep, utf8::count(t) + utf8::count(sep)});
  return out;
}

std::vector<Piece> split_paragraphs(std::string_view s) {
  std::vector<Piece> out;
  std::size_t start = 0, from = 0, lf;
  while ((lf = s.find('\n', from)) != npos) {
    std::size_t j = lf + 1, last_lf = npos;
    for (; j < s.size() && (s[j] == ' ' || s[j] == '\t' || s[j] == '\r' || s[j] == '\n'); ++j)
      if (s[j] == '\n') last_lf = j;
    if (last_lf != npos && last_lf + 1 != s.size()) {
      out.emplace_back(s.substr(start, lf - start), s.substr(lf, last_lf + 1 - lf));
      start = last_lf + 1;
    }
    from = j;
  }
  out.emplace_back(s.substr(start), std::string_view{});
  return out;
}

std::vector<Piece> split_sentences(std::string_view s) {
  std::vector<Piece> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '.' && s[i] != '!' && s[i] != '?') continue;
    std::size_t j = i + 1;
    while (j < s.size() && (s[j] == ' ' || s[j] == '\t')) ++j;
    if (j == i + 1 || j == s.size()) continue;
    out.emplace_back(s.substr(start, i + 1 - start), s.substr(i + 1, j - i - 1));
    start = j;
    i = j - 1;
  }
  out.emplace_back(s.substr(start), std::string_view{});
  return out;
}

std::string preview(std::string_view text, std::uint64_t n, Measure measure) {
  std::uint64_t total = utf8::count(text);
  if (total <= n) return std::string(text);
  std::string candidate;
  if (text.find('\n') == npos || text.find('\n') + 1 == text.size()) {
    Cut c = cut(text, n);
    candidate.reserve(c.prefix.size() + 24);
    candidate.append(c.prefix);
    candidate += chars_marker(total - c.kept);
  } else {
    candidate = multi_line_preview(text, total, n, measure);
  }
  return measure(candidate) < measure(text) ? candidate : std::string(text);
}

std::vector<std::string> render_pieces(const std::vector<Section>& sections, std::uint64_t head_allowance,
                                       std::uint64_t x, Measure measure) {
  std::vector<std::string> out;
  out.reserve(sections.size());
  PieceWriter writer(sections, head_allowance, x, measure);
  while (!writer.done()) out.push_back(writer.next());
  return out;
}

std::string fit_flat(std::string_view text, std::uint64_t total_chars, std::uint64_t budget, Measure measure) {
  auto render = [&](std::uint64_t k) {
    Cut c = cut(text, k);
    std::string out;
    out.reserve(c.prefix.size() + 24);
    out.append(c.prefix);
    out += chars_marker(sat_sub(total_chars, c.kept));
    return out;
  };
  std::string best = render(0);
  if (measure(best) > budget) return best;
  std::uint64_t lo = 0, hi = total_chars;
  while (lo < hi) {
    std::uint64_t mid = lo + (hi - lo + 1) / 2;
    std::string r = render(mid);
    if (measure(r) <= budget) {
      lo = mid;
      best = std::move(r);
    } else {
      hi = mid - 1;
    }
  }
  return best;
}

std::string fit_text(std::string_view s, std::uint64_t budget, const Options& options, Measure measure) {
  if (measure(s) <= budget) return std::string(s);
  std::uint64_t total = utf8::count(s);
  std::vector<Section> sections = mk_sections(split_for_sections(s));
  if (sections.size() < 2) return fit_flat(s, total, budget, measure);

  std::uint64_t head = options.string_head_chars;
  std::uint64_t sec = std::max<std::uint64_t>(options.string_section_chars, 1);
  std::uint64_t x0 = std::max<std::uint64_t>(options.string_min_section_chars, 1);
  std::uint64_t longest = 0;
  for (const Section& sc : sections) longest = std::max(longest, sc.chars);

  TextFitter fitter{sections, budget, measure, measure({})};
  std::vector<std::string> best, trial;
  if (fitter.attempt(x0, head, sec, best)) {
    std::uint64_t lo = x0, hi = std::max(longest, x0);
    while (lo < hi) {
      std::uint64_t mid = lo + (hi - lo + 1) / 2;
      if (fitter.attempt(mid, head, sec, trial)) {
        lo = mid;
        best.swap(trial);
      } else {
        hi = mid - 1;
      }
    }
    return concat(best, best.size());
  }
  if (measure(counted_marker(sections.size(), " sections, ", total)) > budget)
    return fit_flat(s, total, budget, measure);
  return fitter.with_marker(best, total);
}

}  // namespace tavisk::text
