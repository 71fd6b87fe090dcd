#include "text.h"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

std::uint64_t lines_from(std::string_view s, std::size_t pos) { return pos == npos ? 0 : count_lines(s.substr(pos)); }

// Bytes of text measured at a time by measure_within: enough to make the calls few, small enough
// to stop soon after the budget is passed.
constexpr std::size_t MEASURE_CHUNK = 1 << 16;

// The end of the last whole character at or before byte i of text.
std::size_t char_floor(std::string_view text, std::size_t i) {
  if (i >= text.size()) return text.size();
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return i;
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

// preview with the text's character count known and its measure found once: text_measure holds
// it, or the largest value until it is needed.
std::string preview_known(std::string_view text, std::uint64_t n, Measure measure, std::uint64_t total,
                          std::uint64_t& text_measure) {
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
  if (text_measure == u64_max) text_measure = measure(text);
  return measure(candidate) < text_measure ? candidate : std::string(text);
}

// Yields the pieces of render_pieces one at a time, so a caller can stop early. S is a list of
// sections, or Sections, which reads them as they are needed.
template <class S>
class PieceWriter {
 public:
  PieceWriter(S& sections, std::uint64_t head_allowance, std::uint64_t x, Measure measure)
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
        piece = preview_of(i_, i_ == 0 ? std::max(head_, x_) : x_);
      }
    } else {
      piece = preview_of(i_, x_);
    }
    piece.append(s.separator);
    ++i_;
    return piece;
  }

 private:
  std::string preview_of(std::size_t i, std::uint64_t n) {
    if constexpr (requires { sections_.preview(i, n, measure_); })
      return sections_.preview(i, n, measure_);
    else
      return preview(sections_[i].text, n, measure_);
  }

  S& sections_;
  std::uint64_t head_, x_;
  Measure measure_;
  std::size_t i_ = 0;
  std::uint64_t sum_ = 0;
  bool overflowed_ = false;
};

enum class SplitKind { Paragraphs, Lines, Sentences };

// Reads the pieces of one split of a text in order, one at a time.
class PieceReader {
 public:
  PieceReader(std::string_view s, SplitKind kind) : s_(s), kind_(kind) {}

  // The next piece; false after the last.
  bool next(Piece& out) {
    if (done_) return false;
    switch (kind_) {
      case SplitKind::Paragraphs: return next_paragraph(out);
      case SplitKind::Lines: {
        const Line l = take_line(s_, at_);
        done_ = at_ == npos;
        out = {l.text, l.terminator};
        return true;
      }
      case SplitKind::Sentences: break;
    }
    return next_sentence(out);
  }

 private:
  // A paragraph ends at a line feed followed by blank space holding another line feed, unless
  // that run ends the text; the separator runs from the first to the last of those line feeds.
  bool next_paragraph(Piece& out) {
    std::size_t lf;
    while ((lf = s_.find('\n', at_)) != npos) {
      std::size_t j = lf + 1, last_lf = npos;
      for (; j < s_.size() && (s_[j] == ' ' || s_[j] == '\t' || s_[j] == '\r' || s_[j] == '\n'); ++j)
        if (s_[j] == '\n') last_lf = j;
      at_ = j;
      if (last_lf != npos && last_lf + 1 != s_.size()) {
        out = {s_.substr(start_, lf - start_), s_.substr(lf, last_lf + 1 - lf)};
        start_ = last_lf + 1;
        return true;
      }
    }
    return last(out);
  }

  // A sentence ends after '.', '!' or '?' followed by spaces or tabs that do not end the text.
  bool next_sentence(Piece& out) {
    for (; at_ < s_.size(); ++at_) {
      if (s_[at_] != '.' && s_[at_] != '!' && s_[at_] != '?') continue;
      std::size_t j = at_ + 1;
      while (j < s_.size() && (s_[j] == ' ' || s_[j] == '\t')) ++j;
      if (j == at_ + 1 || j == s_.size()) continue;
      out = {s_.substr(start_, at_ + 1 - start_), s_.substr(at_ + 1, j - at_ - 1)};
      start_ = at_ = j;
      return true;
    }
    return last(out);
  }

  bool last(Piece& out) {
    out = {s_.substr(start_), {}};
    done_ = true;
    return true;
  }

  std::string_view s_;
  SplitKind kind_;
  std::size_t start_ = 0, at_ = 0;
  bool done_ = false;
};

std::vector<Piece> all_pieces(std::string_view s, SplitKind kind) {
  std::vector<Piece> out;
  PieceReader reader(s, kind);
  Piece p;
  while (reader.next(p)) out.push_back(p);
  return out;
}

// The sections of a long text (paragraphs, else lines, else sentences: the first split with two
// pieces or more), read only as far as fitting asks for them and counted without being kept.
// Each section's characters and measure are found once, however often it is previewed.
class Sections {
 public:
  // facts: of s when known, so that its paragraphs and lines need not be counted.
  Sections(std::string_view s, const TextFacts* facts) : reader_(s, SplitKind::Paragraphs) {
    for (SplitKind kind : {SplitKind::Paragraphs, SplitKind::Lines, SplitKind::Sentences}) {
      count_ = count(s, kind, facts);
      if (count_ >= 2 || kind == SplitKind::Sentences) {
        reader_ = PieceReader(s, kind);
        break;
      }
    }
  }

  std::size_t size() const { return count_; }

  const Section& operator[](std::size_t i) {
    while (read_.size() <= i) {
      Piece p;
      reader_.next(p);
      const std::uint64_t text_chars = utf8::count(p.first);
      read_.push_back({p.first, p.second, text_chars + utf8::count(p.second)});
      known_.push_back({text_chars, UNKNOWN});
    }
    return read_[i];
  }

  std::uint64_t longest() {
    if (count_ > 0) (*this)[count_ - 1];
    std::uint64_t out = 0;
    for (const Section& s : read_) out = std::max(out, s.chars);
    return out;
  }

  std::string preview(std::size_t i, std::uint64_t n, Measure measure) {
    const Section& s = (*this)[i];
    Known& k = known_[i];
    return preview_known(s.text, n, measure, k.chars, k.measure);
  }

 private:
  static constexpr std::uint64_t UNKNOWN = u64_max;
  struct Known {
    std::uint64_t chars;
    std::uint64_t measure;  // of the text, UNKNOWN until needed
  };

  static std::size_t count(std::string_view s, SplitKind kind, const TextFacts* facts) {
    if (facts && kind == SplitKind::Paragraphs && facts->paragraphs != TextFacts::unknown)
      return static_cast<std::size_t>(facts->paragraphs);
    if (facts && kind == SplitKind::Lines && facts->line_feeds != TextFacts::unknown)
      return static_cast<std::size_t>(facts->lines(s));
    if (kind == SplitKind::Lines) return static_cast<std::size_t>(count_lines(s));
    PieceReader r(s, kind);
    Piece p;
    std::size_t n = 0;
    while (r.next(p)) ++n;
    return n;
  }

  PieceReader reader_;
  std::size_t count_ = 0;
  std::vector<Section> read_;
  std::vector<Known> known_;
};

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
  Sections& sections;
  std::uint64_t budget;
  Measure measure;
  std::uint64_t base;  // measure of the empty text

  // What a part adds to the measure of a concatenation.
  std::uint64_t extra(std::string_view part) const { return sat_sub(measure(part), base); }

  // Renders the pieces for preview size x; stops at the first piece that
  // overflows the budget. True when all pieces fit.
  bool attempt(std::uint64_t x, std::uint64_t head, std::uint64_t sec, std::vector<std::string>& pieces) const {
    pieces.clear();
    PieceWriter<Sections> writer(sections, sat_mul(x, head) / sec, x, measure);
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

std::uint64_t count_lines(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t size = s.size();
  constexpr std::uint64_t ones = 0x0101010101010101ull, lows = 0x7F7F7F7F7F7F7F7Full;
  std::uint64_t lf = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time; per-lane counters take at most 255 blocks before they are summed.
  while (i + 16 <= size) {
    __m128i acc = _mm_setzero_si128();
    const std::size_t blocks = std::min<std::size_t>((size - i) / 16, 255);
    for (std::size_t b = 0; b < blocks; ++b, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    }
    const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    lf += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i + 8 <= size; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    // Bytes equal to a line feed become zero; a zero byte is one whose high
    // bit stays clear after adding 0x7F to its low bits and or-ing it back.
    std::uint64_t x = w ^ (ones * '\n');
    lf += utf8::count_high_bits(~(((x & lows) + lows) | x) & ~lows);
  }
  for (; i < size; ++i) lf += p[i] == '\n';
  return size > 0 && s.back() == '\n' ? lf : lf + 1;
}

bool measure_within(std::string_view text, std::uint64_t budget, Measure measure) {
  const std::uint64_t base = measure({});
  if (base > budget) return false;
  std::uint64_t total = base;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = char_floor(text, at + MEASURE_CHUNK);
    if (end <= at) end = std::min(text.size(), at + MEASURE_CHUNK);
    total = sat_add(total, sat_sub(measure(text.substr(at, end - at)), base));
    if (total > budget) return false;
    at = end;
  }
  return true;
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

std::vector<Piece> split_paragraphs(std::string_view s) { return all_pieces(s, SplitKind::Paragraphs); }

std::vector<Piece> split_sentences(std::string_view s) { return all_pieces(s, SplitKind::Sentences); }

std::string preview(std::string_view text, std::uint64_t n, Measure measure) {
  std::uint64_t text_measure = u64_max;
  return preview_known(text, n, measure, utf8::count(text), text_measure);
}

std::vector<std::string> render_pieces(const std::vector<Section>& sections, std::uint64_t head_allowance,
                                       std::uint64_t x, Measure measure) {
  std::vector<std::string> out;
  out.reserve(sections.size());
  PieceWriter<const std::vector<Section>> writer(sections, head_allowance, x, measure);
  while (!writer.done()) out.push_back(writer.next());
  return out;
}

std::string fit_flat(std::string_view text, std::uint64_t total_chars, std::uint64_t budget, Measure measure) {
  const std::uint64_t base = measure({});
  auto render = [&](std::uint64_t k) {
    Cut c = cut(text, k);
    std::string out;
    out.reserve(c.prefix.size() + 24);
    out.append(c.prefix);
    out += chars_marker(sat_sub(total_chars, c.kept));
    return out;
  };
  // measure(render(k)) <= budget without building the rendering: the measure of a concatenation
  // is the sum of its parts' costs, and the prefix is measured only as far as the budget reaches.
  auto fits = [&](std::uint64_t k) {
    Cut c = cut(text, k);
    const std::uint64_t marker = sat_sub(measure(chars_marker(sat_sub(total_chars, c.kept))), base);
    return marker <= budget && measure_within(c.prefix, budget - marker, measure);
  };
  if (!fits(0)) return render(0);
  std::uint64_t lo = 0, hi = total_chars;
  while (lo < hi) {
    std::uint64_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid))
      lo = mid;
    else
      hi = mid - 1;
  }
  return render(lo);
}

std::string fit_text(std::string_view s, std::uint64_t budget, const Options& options, Measure measure,
                     const TextFacts* facts) {
  if (measure_within(s, budget, measure)) return std::string(s);
  Sections sections(s, facts);
  auto chars = [&] { return facts && facts->chars != TextFacts::unknown ? facts->chars : utf8::count(s); };
  if (sections.size() < 2) return fit_flat(s, chars(), budget, measure);

  std::uint64_t head = options.string_head_chars;
  std::uint64_t sec = std::max<std::uint64_t>(options.string_section_chars, 1);
  std::uint64_t x0 = std::max<std::uint64_t>(options.string_min_section_chars, 1);

  TextFitter fitter{sections, budget, measure, measure({})};
  std::vector<std::string> best, trial;
  if (fitter.attempt(x0, head, sec, best)) {
    std::uint64_t lo = x0, hi = std::max(sections.longest(), x0);
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
  // The whole text's characters are needed only by the markers of the fallbacks.
  const std::uint64_t total = chars();
  if (measure(counted_marker(sections.size(), " sections, ", total)) > budget)
    return fit_flat(s, total, budget, measure);
  return fitter.with_marker(best, total);
}

}  // namespace tavisk::text
