#include "focus.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fields.h"
#include "lines.h"
#include "prune.h"
#include "unicode.h"
#include "utf8.h"

namespace tavisk::focus {

namespace {

// Characters stripped from both ends of an exact token.
bool wrapping(char32_t c) {
  switch (c) {
    case '"': case '\'': case '`': case '(': case ')': case '[': case ']': case '{': case '}': case '<':
    case '>': case ',': case '.': case ';': case ':': case '!': case '?':
    case U'\u2018': case U'\u2019': case U'\u201C': case U'\u201D': case U'\u00AB': case U'\u00BB':
      return true;
    default: return false;
  }
}

// The token without its wrapping characters at either end.
std::string_view strip(std::string_view t) {
  while (!t.empty()) {
    std::size_t i = 0;
    if (!wrapping(utf8::next(t, i))) break;
    t.remove_prefix(i);
  }
  while (!t.empty()) {
    std::size_t start = t.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(t[start]) & 0xC0) == 0x80) --start;
    std::size_t i = start;
    if (!wrapping(utf8::next(t, i))) break;
    t.remove_suffix(t.size() - start);
  }
  return t;
}

bool exact_worthy(std::string_view t) {
  std::size_t chars = 0;
  bool alnum = false, other = false;
  for (std::size_t i = 0; i < t.size();) {
    const char32_t c = utf8::next(t, i);
    ++chars;
    const bool letter = unicode::alphabetic(c);
    alnum = alnum || letter || unicode::numeric(c);
    other = other || !letter;
  }
  return chars >= 2 && alnum && other;
}

void lower_into(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size();) unicode::append_lower(out, utf8::next(text, i));
}

bool ascii(std::string_view s) {
  unsigned char any = 0;
  for (char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

bool upper(char c) { return c >= 'A' && c <= 'Z'; }

// Whether ASCII strings within one byte of each other in length are within one edit.
bool ascii_one_edit(std::string_view a, std::string_view b) {
  if (a.size() < b.size()) std::swap(a, b);
  std::size_t i = 0;
  while (i < b.size() && a[i] == b[i]) ++i;
  if (i == b.size()) return true;
  return a.substr(i + 1) == b.substr(a.size() == b.size() ? i + 1 : i);
}

constexpr bool word_byte(unsigned char c) { return c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// The bytes of a number's text, letters lowercased.
constexpr bool number_byte(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e'; }


// Bytes of a run of word bytes, ASCII letters folded to lower case; 0 for the bytes between runs.
constexpr std::array<unsigned char, 256> RUN_BYTE = [] {
  std::array<unsigned char, 256> t{};
  for (unsigned c = 1; c < 256; ++c)
    if (word_byte(static_cast<unsigned char>(c))) t[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
  return t;
}();

// Two bytes of a word as one number, as a run's bytes give it.
unsigned pair_of(char a, char b) {
  auto fold = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) | (upper(c) ? 0x20 : 0)); };
  return fold(a) << 8 | fold(b);
}

// A lowercase ASCII letter's capital; any other byte as it is.
unsigned letter_case(unsigned c) { return c >= 'a' && c <= 'z' ? c - 0x20 : c; }

// Two bytes as a little-endian load gives them: the first in the low byte.
unsigned two_bytes(const unsigned char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

#if defined(__SSE2__)
// The word bytes (ASCII letters and digits) of 16 bytes, one bit each; false when some byte is not
// ASCII.
[[gnu::always_inline]] inline bool word_bytes16(const unsigned char* p, std::uint64_t& out) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if (_mm_movemask_epi8(x) != 0) return false;
  // Unsigned c - low <= span, as min(c - low, span) == c - low.
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i digit = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  const __m128i word = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(25)), letter),
                                    _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit));
  out = static_cast<std::uint16_t>(_mm_movemask_epi8(word));
  return true;
}
#endif

// The word bytes (ASCII letters and digits) of an ASCII text of at most 64 bytes, one bit each,
// into mask, and where to read its bytes (the text, or a copy in buf, 16 bytes, when shorter);
// false when some byte is not ASCII.
bool ascii_word_mask(std::string_view text, unsigned char* buf, const unsigned char*& bytes, std::uint64_t& mask) {
  const std::size_t n = text.size();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::uint64_t m = 0;
#if defined(__SSE2__)
  if (n < 16) {
    std::memset(buf, 0, 16);  // zero bytes are not word bytes
    std::memcpy(buf, p, n);
    p = buf;
    if (!word_bytes16(p, m)) return false;
  } else {
    // Whole sixteens, then the last 16 bytes for the rest (read again in part).
    std::size_t k = 0;
    std::uint64_t w;
    for (; k + 16 <= n; k += 16) {
      if (!word_bytes16(p + k, w)) return false;
      m |= w << k;
    }
    if (k < n) {
      if (!word_bytes16(p + n - 16, w)) return false;
      m |= (w >> (k + 16 - n)) << k;
    }
  }
#else
  for (std::size_t k = 0; k < n; ++k) {
    if (p[k] >= 0x80) return false;
    m |= std::uint64_t{RUN_BYTE[p[k]] != 0} << k;
  }
#endif
  bytes = p;
  mask = m;
  return true;
}

}  // namespace

std::vector<std::string> exact_tokens(std::string_view arguments) {
  std::vector<std::string> out;
  auto take = [&](std::string_view raw) {
    const std::string_view t = strip(raw);
    if (!exact_worthy(t)) return;
    std::string low = unicode::lower(t);
    if (std::find(out.begin(), out.end(), low) == out.end()) out.push_back(std::move(low));
  };
  std::size_t start = 0, i = 0;
  while (i < arguments.size()) {
    const std::size_t at = i;
    if (unicode::white_space(utf8::next(arguments, i))) {
      if (at > start) take(arguments.substr(start, at - start));
      start = i;
    }
  }
  if (arguments.size() > start) take(arguments.substr(start));
  return out;
}

Terms Terms::of(std::string_view arguments) {
  Terms t;
  if (auto q = build_query(arguments)) {
    for (const std::string& w : q->terms) {
      if (t.words_.size() >= MAX_TERMS) break;
      t.words_.push_back(w);
    }
  }
  for (std::string& e : exact_tokens(arguments)) {
    if (t.size() >= MAX_TERMS) break;
    if (std::find(t.words_.begin(), t.words_.end(), e) != t.words_.end()) continue;
    t.exact_.push_back(std::move(e));
  }
  t.index_words();
  return t;
}

void Terms::index_words() {
  pairs_.assign(words_.empty() ? 0 : 65536, 0);
  for (std::size_t j = 0; j < words_.size(); ++j) {
    const std::string& w = words_[j];
    for (std::size_t k = 1; k < w.size(); ++k) {
      // Listed by the bytes as a text has them: each ASCII letter in either case.
      const unsigned pair = pair_of(w[k - 1], w[k]), x = pair >> 8, y = pair & 0xFF;
      if (!word_byte(static_cast<unsigned char>(x)) || !word_byte(static_cast<unsigned char>(y))) continue;
      for (unsigned a : {x, letter_case(x)})
        for (unsigned b : {y, letter_case(y)}) pairs_[b << 8 | a] = 1;
    }
    word_starts_[static_cast<unsigned char>(w[0]) >> 6] |= std::uint64_t{1} << (w[0] & 63);
    if (w.size() < 64) word_lengths_ |= std::uint64_t{1} << w.size();
    if (w.size() > 5) long_words_.push_back({j, utf8::count(w), ascii(w)});
    tail_ = tail_ || w == "last" || w == "final";
    if (w.size() <= 2) min_pairs_ = 1;
    if (informative(w)) informative_as_is_ |= std::uint64_t{1} << j;
    if (informative(w + "s")) informative_plural_ |= std::uint64_t{1} << j;
    longest_word_ = std::max(longest_word_, w.size());
  }
  for (const std::string& w : words_) {
    std::size_t others = 0;  // characters: continuation bytes are not counted
    for (char c : w) others += (c < '0' || c > '9') && c != 'e' && (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    numbers_hit_ = numbers_hit_ || others <= 1;
  }
  for (const std::string& e : exact_)
    numbers_hit_ = numbers_hit_ || std::all_of(e.begin(), e.end(), number_byte);
  for (std::size_t k = 0; k < exact_.size(); ++k) {
    exact_bit_.emplace(exact_[k], static_cast<unsigned>(words_.size() + k));
    longest_exact_ = std::max(longest_exact_, exact_[k].size());
    if (exact_[k].size() < 64) exact_lengths_ |= std::uint64_t{1} << exact_[k].size();
  }
}

std::uint64_t Terms::exact_bits() const {
  std::uint64_t bits = 0;
  for (std::size_t k = 0; k < exact_.size(); ++k) bits |= std::uint64_t{1} << (words_.size() + k);
  return bits;
}

std::uint64_t Terms::one_word(std::string_view w, std::uint64_t chars, std::uint64_t bits) const {
  const std::string_view t = norm(w);
  if (t.size() < w.size()) --chars;
  bool checked = false, ok = false;
  auto worth = [&] {
    if (!checked) ok = informative(w), checked = true;
    return ok;
  };
  if (t.size() < 64 && ((word_lengths_ >> t.size()) & 1) && ((word_starts_[static_cast<unsigned char>(t[0]) >> 6] >> (t[0] & 63)) & 1)) {
    for (std::size_t j = 0; j < words_.size(); ++j)
      if (words_[j] == t) {  // the words are distinct
        // Whether w is informative, known for both forms of each term.
        ok = (((t.size() < w.size() ? informative_plural_ : informative_as_is_) >> j) & 1) != 0;
        checked = true;
        if (ok) bits |= std::uint64_t{1} << j;
        break;
      }
  }
  if (t.size() <= 4) return bits;
  for (const Long& l : long_words_) {
    if ((bits >> l.word) & 1) continue;
    if ((chars > l.chars ? chars - l.chars : l.chars - chars) > 1) continue;
    // One edit leaves the first or the last byte in place.
    const std::string& term = words_[l.word];
    if (term.front() != t.front() && term.back() != t.back()) continue;
    const bool edit = l.ascii && chars == t.size() ? ascii_one_edit(term, t) : within_one_edit(term, t);
    if (edit && worth()) bits |= std::uint64_t{1} << l.word;
  }
  return bits;
}

// A direct-mapped table of runs of up to 16 bytes and the bits their words hit.
class Terms::RunMemo {
 public:
  static constexpr std::size_t LONGEST = 16;  // bytes

  template <class Compute>
  std::uint64_t get(std::string_view run, Compute compute) {
    std::uint64_t a, b;
    table::words(run, a, b);
    const std::uint64_t h = (a * 0x9E3779B97F4A7C15ull ^ (b + run.size()) * 0xC2B2AE3D27D4EB4Full) >> (64 - BITS);
    Slot& slot = slots_[static_cast<std::size_t>(h)];
    if (slot.size != run.size() || slot.a != a || slot.b != b) slot = {run.size(), a, b, compute()};
    return slot.bits;
  }

 private:
  static constexpr unsigned BITS = 10;
  struct Slot {
    std::size_t size = 0;  // the empty run hits nothing
    std::uint64_t a = 0, b = 0, bits = 0;
  };
  std::array<Slot, std::size_t{1} << BITS> slots_{};
};

std::uint64_t Terms::ascii_words(std::string_view run, std::uint64_t bits) const {
  // Words are split where a capital follows a lowercase letter or digit; a word longer than any
  // term can hit (plural s and one edit included) is skipped.
  const std::size_t limit = longest_word_ + 2, n = run.size();
  const auto* p = reinterpret_cast<const unsigned char*>(run.data());
  char buf[64];
  std::size_t start = 0;
  for (std::size_t i = 1; i <= n; ++i) {
    if (i < n && !(upper(static_cast<char>(p[i])) && !upper(static_cast<char>(p[i - 1])))) continue;
    const std::size_t len = i - start;
    if (len <= limit) {
      if (len <= sizeof buf) {
        for (std::size_t k = 0; k < len; ++k) buf[k] = static_cast<char>(RUN_BYTE[p[start + k]]);
        bits = one_word(std::string_view(buf, len), len, bits);
      } else {
        std::string w(len, ' ');
        for (std::size_t k = 0; k < len; ++k) w[k] = static_cast<char>(RUN_BYTE[p[start + k]]);
        bits = one_word(w, len, bits);
      }
    }
    start = i;
  }
  return bits;
}

std::uint64_t Terms::split_words(std::string_view run, Scratch& s, std::uint64_t bits) const {
  WordSplitter split(run);
  while (split.next(s.word))
    if (s.word.size() <= 4 * longest_word_ + 4) bits = one_word(s.word, utf8::count(s.word), bits);
  return bits;
}

std::uint64_t Terms::word_hits(std::string_view text, Scratch& s) const {
  if (words_.empty()) return 0;
  std::uint64_t bits = 0;
  // An ASCII character other than a letter or digit always ends a word: the text is taken run by
  // run between them, ASCII runs without decoding, the others through the word splitter. An
  // ASCII run is split only when it holds enough byte pairs of the words (counted by position):
  // a hit equals a word of two bytes or more, holding all its pairs (two or more unless the word
  // has two bytes), or is a text of five bytes or more one edit away from a word of six or more,
  // which keeps two of its pairs or more: an edit of an ASCII word breaks at most two of its five
  // or more pairs, and a word with one character that is not ASCII keeps four ASCII bytes or more
  // around it, with two pairs or more among them.
  const unsigned char* pairs = pairs_.data();
  // The runs of an ASCII text of up to 64 bytes, from a mask of its word bytes.
  unsigned char buf[16];
  const unsigned char* bytes;
  std::uint64_t m;
  if (text.size() <= 64 && ascii_word_mask(text, buf, bytes, m)) {
    while (m) {
      const auto start = static_cast<unsigned>(std::countr_zero(m));
      const auto end = start + static_cast<unsigned>(std::countr_one(m >> start));
      unsigned pair = 0;
      const unsigned char* q = bytes + start;
      const unsigned char* const last = bytes + end - 1;
      for (; q + 1 < last; q += 2) pair += pairs[two_bytes(q)] + pairs[two_bytes(q + 1)];
      if (q < last) pair += pairs[two_bytes(q)];
      if (pair >= min_pairs_) {
        const std::string_view run = text.substr(start, end - start);
        bits |= s.runs && run.size() <= RunMemo::LONGEST ? s.runs->get(run, [&] { return ascii_words(run, 0); })
                                                         : ascii_words(run, bits);
      }
      m &= m + (m & (~m + 1));  // without its lowest run of ones
    }
    return bits;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (true) {
    while (i < n && RUN_BYTE[p[i]] == 0) ++i;
    if (i == n) break;
    const std::size_t start = i;
    unsigned high = p[i], pair = 0;
    for (++i; i < n; ++i) {
      const unsigned c = p[i];
      if (RUN_BYTE[c] == 0) break;
      pair += pairs[c << 8 | p[i - 1]];
      high |= c;
    }
    const std::string_view run(text.data() + start, i - start);
    if (high < 0x80) {
      // The hits of a run's words add to the hits so far.
      if (pair >= min_pairs_)
        bits |= s.runs && run.size() <= RunMemo::LONGEST ? s.runs->get(run, [&] { return ascii_words(run, 0); })
                                                         : ascii_words(run, bits);
    } else if (s.runs && run.size() <= RunMemo::LONGEST) {
      // Short runs with other characters repeat too (café, naïve).
      bits |= s.runs->get(run, [&] { return split_words(run, s, 0); });
    } else {
      bits = split_words(run, s, bits);
    }
  }
  return bits;
}

std::uint64_t Terms::exact_hits(std::string_view text, Scratch& s) const {
  if (exact_.empty() || text.empty() || text.size() > 3 * longest_exact_) return 0;
  if (ascii(text)) {
    if (text.size() < 64 ? !((exact_lengths_ >> text.size()) & 1) : text.size() > longest_exact_) return 0;
    // Compared in place: the tokens are distinct, so at most one is equal.
    for (std::size_t k = 0; k < exact_.size(); ++k) {
      const std::string& e = exact_[k];
      if (e.size() != text.size()) continue;
      std::size_t b = 0;
      while (b < e.size() && static_cast<char>(text[b] | (upper(text[b]) ? 0x20 : 0)) == e[b]) ++b;
      if (b == e.size()) return std::uint64_t{1} << (words_.size() + k);
    }
    return 0;
  }
  lower_into(text, s.lowered);
  auto it = exact_bit_.find(std::string_view(s.lowered));
  return it == exact_bit_.end() ? 0 : std::uint64_t{1} << it->second;
}

std::uint64_t Terms::exact_inside(std::string_view text, Scratch& s) const {
  if (exact_.empty()) return 0;
  lower_into(text, s.lowered);
  const std::string_view hay = s.lowered;
  std::uint64_t bits = 0;
  for (std::size_t k = 0; k < exact_.size(); ++k) {
    const std::string& e = exact_[k];
    // A match must not run on into more of a word at either end (404 is not inside 14044).
    const bool word_start = word_byte(static_cast<unsigned char>(e.front()));
    const bool word_end = word_byte(static_cast<unsigned char>(e.back()));
    for (std::size_t p = hay.find(e); p != std::string_view::npos; p = hay.find(e, p + 1)) {
      const bool open = !word_start || p == 0 || !word_byte(static_cast<unsigned char>(hay[p - 1]));
      const std::size_t end = p + e.size();
      const bool close = !word_end || end == hay.size() || !word_byte(static_cast<unsigned char>(hay[end]));
      if (open && close) {
        bits |= std::uint64_t{1} << (words_.size() + k);
        break;
      }
    }
  }
  return bits;
}

// ---- lines --------------------------------------------------------------------

namespace {

constexpr std::string_view SEVERITY_WORDS[] = {
    "abort",   "aborted",  "crash",   "crashed", "critical", "denied",   "err",       "error",     "errors",
    "exception", "fail",   "failed",  "failing", "fails",    "failure",  "fatal",     "killed",    "panic",
    "panicked", "refused", "segfault", "timeout", "traceback", "unhandled", "warn",    "warning"};

// A quoted request followed by a 4xx or 5xx status, as access logs write them: `" 404 `.
bool http_error_status(std::string_view line) {
  for (std::size_t p = line.find("\" "); p != std::string_view::npos; p = line.find("\" ", p + 1)) {
    const std::size_t d = p + 2;
    if (d + 3 > line.size()) return false;
    const char a = line[d], b = line[d + 1], c = line[d + 2];
    if ((a == '4' || a == '5') && b >= '0' && b <= '9' && c >= '0' && c <= '9' &&
        (d + 3 == line.size() || line[d + 3] == ' '))
      return true;
  }
  return false;
}

}  // namespace

bool severity_word(std::string_view word) {
  return std::binary_search(std::begin(SEVERITY_WORDS), std::end(SEVERITY_WORDS), word);
}

bool LineMatcher::operator()(std::string_view line) {
  if (http_error_status(line)) return true;
  WordSplitter split(line);
  while (split.next(scratch_.word))
    if (severity_word(scratch_.word)) return true;
  return terms_ && (terms_->word_hits(line, scratch_) != 0 || terms_->exact_inside(line, scratch_) != 0);
}

std::string fit_string(std::string_view s, std::uint64_t budget, const Options& options,
                       std::uint64_t (*measure)(std::string_view), const Terms* terms, Stats& stats) {
  const lines::Matcher matcher = LineMatcher(terms);
  lines::Rules rules;
  rules.head_percent = 0;  // the first line only
  rules.tail_percent = 30;
  rules.matcher = &matcher;
  return lines::fit_string(s, budget, options, measure, true, stats, rules);
}

// ---- per-container orders ----------------------------------------------

namespace {

// How many of n children each bit hits, for the bits that hit some but not all of them (varying).
struct BitCounts {
  std::array<std::uint64_t, MAX_TERMS> of{};
  std::uint64_t varying = 0;
};

BitCounts bit_counts(const std::uint64_t* masks, std::size_t n) {
  // Most bits hit every child or none: they are told by one pass and need no count.
  std::uint64_t any = 0, all = ~std::uint64_t{0};
  for (std::size_t i = 0; i < n; ++i) any |= masks[i], all &= masks[i];
  BitCounts c;
  c.varying = any & ~all;
  if (c.varying)
    for (std::size_t i = 0; i < n; ++i)
      for (std::uint64_t m = masks[i] & c.varying; m; m &= m - 1) ++c.of[static_cast<std::size_t>(std::countr_zero(m))];
  return c;
}

// A child's score: the weights of its bits that hit some but not all children.
std::uint64_t score_of(std::uint64_t mask, const BitCounts& c, std::size_t n, std::uint64_t exact) {
  std::uint64_t score = 0;
  for (std::uint64_t m = mask & c.varying; m; m &= m - 1) {
    const auto j = static_cast<std::size_t>(std::countr_zero(m));
    score += (n - c.of[j]) << ((exact >> j) & 1);
  }
  return score;
}

bool narrow(const BitCounts& c, std::size_t n) {
  if (n < 4) return false;
  for (std::uint64_t m = c.varying; m; m &= m - 1)
    if (4 * c.of[static_cast<std::size_t>(std::countr_zero(m))] <= n) return true;
  return false;
}

// The children with a positive score (a varying bit), by score descending, then index.
std::vector<std::uint32_t> promoted_from(const std::uint64_t* masks, std::size_t n, const BitCounts& c,
                                         std::uint64_t exact) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> hit;
  if (c.varying)
    for (std::size_t i = 0; i < n; ++i)
      if (masks[i] & c.varying) hit.emplace_back(score_of(masks[i], c, n, exact), static_cast<std::uint32_t>(i));
  std::stable_sort(hit.begin(), hit.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::uint32_t> out(hit.size());
  for (std::size_t k = 0; k < hit.size(); ++k) out[k] = hit[k].second;
  return out;
}

}  // namespace

void scores(const std::uint64_t* masks, std::size_t n, std::uint64_t exact, std::uint64_t& weighted,
            std::vector<std::uint64_t>& out) {
  const BitCounts c = bit_counts(masks, n);
  weighted = c.varying;
  out.assign(n, 0);
  if (c.varying)
    for (std::size_t i = 0; i < n; ++i) out[i] = score_of(masks[i], c, n, exact);
}

std::vector<std::uint32_t> promote(const std::vector<std::uint64_t>& scores) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < scores.size(); ++i)
    if (scores[i] > 0) out.push_back(static_cast<std::uint32_t>(i));
  std::stable_sort(out.begin(), out.end(), [&](std::uint32_t a, std::uint32_t b) { return scores[a] > scores[b]; });
  return out;
}

std::vector<std::uint32_t> promoted(const std::uint64_t* masks, std::size_t n, std::uint64_t exact) {
  return promoted_from(masks, n, bit_counts(masks, n), exact);
}

bool narrow(const std::uint64_t* masks, std::size_t n) { return narrow(bit_counts(masks, n), n); }

// ---- the index -------------------------------------------------------------

namespace {

std::size_t child_count(const Value& v) {
  return v.is_array() ? v.items().size() : v.is_object() ? v.members().size() : 0;
}

// Whether matching goes into a child's children (the analysis went there too).
bool descends(const Value& v, const Meta& m) { return child_count(v) > 0 && !m.children().empty(); }

// Whether matching goes into none of an object's children.
bool flat(const Value& v, const Meta& m) {
  const std::size_t n = std::min(v.members().size(), m.children().size());
  const Member* members = v.members().data();
  for (std::size_t i = 0; i < n; ++i)
    if (!members[i].value.is_scalar() && descends(members[i].value, m.children()[i])) return false;
  return true;
}

template <class T>
const T* find_sorted(const std::vector<std::pair<const Meta*, T>>& list, const Meta* m) {
  auto it = std::lower_bound(list.begin(), list.end(), m, [](const auto& e, const Meta* key) {
    return std::less<const Meta*>()(e.first, key);
  });
  return it != list.end() && it->first == m ? &it->second : nullptr;
}

template <class T>
void sort_by_meta(std::vector<std::pair<const Meta*, T>>& list) {
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return std::less<const Meta*>()(a.first, b.first); });
}

}  // namespace

// Keys repeat from record to record, and so do many short strings: a table of two-slot sets
// remembers the hits of recent texts of up to 16 bytes (the newer first), told apart by their
// length and two words loaded from them (which hold all their bytes). A set fills one cache line
// and the table stays within a core's own cache. An empty slot stands for the empty text, whose
// hits are none. Each key position of an object at a given depth also remembers the last key it
// held, of any length.
class Index::HitCache {
 public:
  static constexpr std::size_t SHORT = table::SHORT;  // bytes

  HitCache(const Terms& terms, Terms::Scratch& scratch) : terms_(terms), scratch_(scratch) {}

  // The hits of a text of at most SHORT bytes.
  [[gnu::always_inline]] KeyHits get(std::string_view text) {
    std::uint64_t a, b;
    table::words(text, a, b);
    return get(text, a, b);
  }


  table::Set* sets() { return sets_.data(); }

  // The hits of a text of at most SHORT bytes with these words.
  KeyHits get(std::string_view text, std::uint64_t a, std::uint64_t b) {
    return get(text, a, b, table::set_of(a, b, text.size()));
  }

  // The hits of key i of an object at this depth: objects of one kind repeat their keys in order,
  // so each position remembers the last key it saw before the table is asked.
  [[gnu::always_inline]] KeyHits key(std::size_t depth, std::size_t i, std::string_view text) {
    std::uint64_t a, b;
    table::words(text, a, b);
    if (depth >= ROW_DEPTH || i >= ROW_KEYS) return lookup(text, a, b);
    Row& row = rows_[depth * ROW_KEYS + i];
    if (!(row.size == text.size() && row.a == a && row.b == b &&
          (text.size() <= SHORT || std::memcmp(row.data, text.data(), text.size()) == 0)))
      row = {text.size(), a, b, text.data(), lookup(text, a, b)};
    return row.hits;
  }

 private:
  static constexpr unsigned BITS = table::SETS_BITS;
  static constexpr std::size_t ROW_DEPTH = 16, ROW_KEYS = 32;
  using Slot = table::Slot;
  using Set = table::Set;
  struct Row {
    std::size_t size = 0;
    std::uint64_t a = 0, b = 0;
    const char* data = nullptr;  // into the document, which outlives the build
    KeyHits hits{0, 0};
  };

  KeyHits lookup(std::string_view text, std::uint64_t a, std::uint64_t b) {
    return text.size() <= SHORT ? get(text, a, b) : compute(text);
  }

  static KeyHits hits(const Slot& slot) {
    return {slot.all, slot.exact ? std::uint64_t{1} << (slot.exact - 1) : 0};
  }

  [[gnu::always_inline]] KeyHits get(std::string_view text, std::uint64_t a, std::uint64_t b, std::uint32_t at) {
    Slot* set = sets_[at].slot;
    if (set[0].size == text.size() && set[0].a == a && set[0].b == b) return hits(set[0]);
    if (set[1].size == text.size() && set[1].a == a && set[1].b == b) {
      std::swap(set[0], set[1]);
      return hits(set[0]);
    }
    return miss(set, text, a, b);
  }

  [[gnu::noinline]] KeyHits compute(std::string_view text) {
    const std::uint64_t exact = terms_.exact_hits(text, scratch_);
    return {terms_.word_hits(text, scratch_) | exact, exact};
  }

  [[gnu::noinline]] KeyHits miss(Slot* set, std::string_view text, std::uint64_t a, std::uint64_t b) {
    set[1] = set[0];
    const KeyHits h = compute(text);
    // Exact hits are one bit at most: the tokens are distinct.
    set[0] = {a, b, h.all, static_cast<std::uint32_t>(text.size()),
              h.exact ? static_cast<std::uint32_t>(std::countr_zero(h.exact)) + 1 : 0};
    return h;
  }

  const Terms& terms_;
  Terms::Scratch& scratch_;
  std::vector<Set> sets_ = std::vector<Set>(std::size_t{1} << BITS);
  std::vector<Row> rows_ = std::vector<Row>(ROW_DEPTH * ROW_KEYS);
};

std::unique_ptr<Index> Index::build(const Value& doc, const Meta& meta, const Options& options) {
  if (!options.arguments) return nullptr;
  auto index = std::make_unique<Index>();
  index->terms_ = Terms::of(*options.arguments);
  if (index->terms_.empty()) return nullptr;
  Scratch s;
  if (!descends(doc, meta)) {
    index->root_ = index->scalar_hits(doc, s.terms, nullptr);
    return index;
  }
  HitCache cache(index->terms_, s.terms);
  auto runs = std::make_unique<Terms::RunMemo>();
  s.terms.runs = runs.get();
  std::vector<std::uint64_t> listed;
  index->root_ = index->walk(doc, meta, s, &cache, index.get(), &listed);
  sort_by_meta(index->nodes_);
  sort_by_meta(index->kept_masks_);
  return index;
}

const Node* Index::node(const Meta& container) const { return find_sorted(nodes_, &container); }

const std::uint64_t* Index::kept_mask(const Meta& container) const { return find_sorted(kept_masks_, &container); }

std::uint64_t Index::scalar_hits(const Value& v, Terms::Scratch& s, HitCache* cache) const {
  return v.is_string() ? string_hits(v.text(), s, cache) : v.is_number() ? number_hits(v.text(), s) : 0;
}

inline std::uint64_t Index::string_hits(std::string_view text, Terms::Scratch& s, HitCache* cache) const {
  // Short strings repeat (names, states, kinds).
  if (cache && text.size() <= HitCache::SHORT) return cache->get(text).all;
  return terms_.hits(text, s);
}

inline std::uint64_t Index::number_hits(std::string_view text, Terms::Scratch& s) const {
  // Numbers mostly do not repeat, and would only push short strings out of the table.
  // A number's text is JSON number syntax (it is written out as it is), made of the bytes that
  // numbers_hit() considers.
  if (!terms_.numbers_hit()) return 0;
  return terms_.hits(text, s);
}

Index::KeyHits Index::key_hits(std::size_t depth, std::size_t i, std::string_view key, Terms::Scratch& s,
                               HitCache* cache) const {
  if (cache) return cache->key(depth, i, key);
  const std::uint64_t exact = terms_.exact_hits(key, s);
  return KeyHits{terms_.word_hits(key, s) | exact, exact};
}

bool Index::flat_object_mask(const Value& v, const Meta& m, std::size_t depth, Scratch& s, HitCache* cache,
                             std::uint64_t& out) const {
  const std::size_t n = std::min(v.members().size(), m.children().size());
  if (n >= KEPT_SCORES_ENTRIES) return false;
  const Member* members = v.members().data();
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Value& c = members[i].value;
    std::uint64_t hits = 0;
    if (c.is_string())
      hits = string_hits(c.text(), s.terms, cache);
    else if (c.is_number())
      hits = number_hits(c.text(), s.terms);
    const std::string_view key = members[i].key;
    mask |= hits | (cache ? cache->key(depth, i, key).all : key_hits(depth, i, key, s.terms, nullptr).all);
  }
  out = mask;
  return true;
}

std::uint64_t Index::walk(const Value& root, const Meta& root_meta, Scratch& s, HitCache* cache, Index* keep,
                          std::vector<std::uint64_t>* listed) const {
  auto& stack = s.stack;
  const std::size_t bottom = stack.size();
  auto open = [&](const Value& v, const Meta& m) {
    const std::size_t n = std::min(child_count(v), m.children().size());
    const bool list = keep && (v.is_array() || n >= KEPT_SCORES_ENTRIES);
    stack.push_back({&v, &m, n, 0, listed ? listed->size() : 0, 0, list});
  };
  // A finished child of the top frame: its key's hits join its mask.
  auto finish_child = [&](std::uint64_t mask) {
    Scratch::Frame& f = stack.back();
    if (f.v->is_object()) {
      const std::string_view key = f.v->members()[f.next - 1].key;
      mask |= cache ? cache->key(stack.size(), f.next - 1, key).all
                    : key_hits(stack.size(), f.next - 1, key, s.terms, nullptr).all;
    }
    f.mask |= mask;
    if (f.keep) listed->push_back(mask);
  };
  std::uint64_t result = 0;
  open(root, root_meta);
  while (stack.size() > bottom) {
    Scratch::Frame& f = stack.back();
    // The children up to the next one to go into, in a row.
    const bool object = f.v->is_object();
    const Member* members = object ? f.v->members().data() : nullptr;
    const Value* items = object ? nullptr : f.v->items().data();
    const MetaList metas = f.m->children();
    const std::size_t depth = stack.size(), n = f.n;
    const bool list = f.keep;
    std::size_t i = f.next;
    std::uint64_t mask = f.mask;
    const Value* inner = nullptr;
    for (; i < n; ++i) {
      const Value& c = object ? members[i].value : items[i];
      std::uint64_t hits = 0;
      if (c.is_string()) {
        hits = string_hits(c.text(), s.terms, cache);
      } else if (c.is_number()) {
        hits = number_hits(c.text(), s.terms);
      } else if (!c.is_scalar() && descends(c, metas[i])) {
        const Meta& cm = metas[i];
        if (const std::uint64_t* kept = keep ? nullptr : cm.full() > KEPT_MASK_SIZE ? find_sorted(kept_masks_, &cm)
                                                                                 : nullptr) {
          hits = *kept;
        } else if (!c.is_object() || cm.full() > KEPT_MASK_SIZE || !flat(c, cm) ||
                   !flat_object_mask(c, cm, depth + 1, s, cache, hits)) {
          inner = &c;
          break;
        }
      }
      if (object) {
        const std::string_view key = members[i].key;
        hits |= cache ? cache->key(depth, i, key).all : key_hits(depth, i, key, s.terms, nullptr).all;
      }
      mask |= hits;
      if (list) listed->push_back(hits);
    }
    f.mask = mask;
    if (inner) {
      f.next = i + 1;
      open(*inner, f.m->children()[i]);  // f is not used again before this frame is back on top
      continue;
    }
    f.next = i;
    const Scratch::Frame done = f;
    stack.pop_back();
    if (keep) {
      keep->keep_container(*done.v, done.m, done.m->full(), done.mask, listed->data() + done.base, done.n, done.keep,
                           stack.size() + 1, s, cache);
      if (done.keep) listed->resize(done.base);
    }
    if (stack.size() == bottom)
      result = done.mask;
    else
      finish_child(done.mask);
  }
  return result;
}

std::uint64_t Index::subtree_mask(const Value& v, const Meta& m, Scratch& s) const {
  if (!descends(v, m)) return scalar_hits(v, s.terms, nullptr);
  if (m.full() > KEPT_MASK_SIZE)
    if (const std::uint64_t* kept = find_sorted(kept_masks_, &m)) return *kept;
  return walk(v, m, s, nullptr, nullptr, nullptr);
}

bool Index::object_scores(const std::uint64_t* masks, const std::uint64_t* key_exact, std::size_t n,
                          std::vector<std::uint64_t>& out) const {
  bool any = false;
  for (std::size_t i = 0; i < n && !any; ++i) any = masks[i] != 0;
  out.clear();
  if (!any) return false;
  std::uint64_t weighted = 0;
  scores(masks, n, terms_.exact_bits(), weighted, out);
  // A key equal to an exact token is relevant even when every sibling shares its hits.
  bool relevant = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (key_exact[i] && out[i] == 0) out[i] = 1;
    relevant = relevant || out[i] > 0;
  }
  if (!relevant) out.clear();
  return relevant;
}

bool Index::entry_scores(const Value& object, const Meta& meta, Scratch& s, std::vector<std::uint64_t>& out) const {
  const std::size_t n = std::min(object.members().size(), meta.children().size());
  if (n >= KEPT_SCORES_ENTRIES) {
    if (const Node* node = this->node(meta)) {
      out.clear();
      if (node->any_relevant) out.assign(values_.begin() + static_cast<std::ptrdiff_t>(node->values),
                                         values_.begin() + static_cast<std::ptrdiff_t>(node->values + node->count));
      return node->any_relevant;
    }
  }
  s.masks.resize(n);
  s.exact.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Member& e = object.members()[i];
    const KeyHits h = key_hits(0, i, e.key, s.terms, nullptr);
    s.masks[i] = h.all | subtree_mask(e.value, meta.children()[i], s);
    s.exact[i] = h.exact;
  }
  return object_scores(s.masks.data(), s.exact.data(), n, out);
}

void Index::keep_container(const Value& v, const Meta* m, std::uint64_t full, std::uint64_t mask,
                           const std::uint64_t* masks, std::size_t n, bool listed, std::size_t depth, Scratch& s,
                           HitCache* cache) {
  if (listed) {
    if (v.is_array()) {
      if (mask) add_array(v, m, masks, n);
    } else {
      // Wide objects keep their entries' scores (or that none is relevant).
      s.exact.resize(n);
      for (std::size_t k = 0; k < n; ++k) s.exact[k] = key_hits(depth, k, v.members()[k].key, s.terms, cache).exact;
      Node node;
      node.count = n;
      node.any_relevant = object_scores(masks, s.exact.data(), n, scratch_);
      if (node.any_relevant) {
        node.values = values_.size();
        values_.insert(values_.end(), scratch_.begin(), scratch_.end());
      }
      nodes_.emplace_back(m, node);
    }
  }
  if (full > KEPT_MASK_SIZE) kept_masks_.emplace_back(m, mask);
}

void Index::place_root(const Meta& root) {
  // Only the root's own entries are still unplaced (null sorts first).
  for (auto& e : nodes_)
    if (!e.first) e.first = &root;
  for (auto& e : kept_masks_)
    if (!e.first) e.first = &root;
  sort_by_meta(nodes_);
  sort_by_meta(kept_masks_);
}

void Index::add_array(const Value& v, const Meta* m, const std::uint64_t* masks, std::size_t n) {
  const BitCounts c = bit_counts(masks, n);
  if (!c.varying) return;  // no item scores, and no lookup
  Node node;
  node.values = values_.size();
  node.count = n;
  node.weighted = c.varying;
  std::vector<std::uint32_t> order = promoted_from(masks, n, c, terms_.exact_bits());
  node.lookup = narrow(c, n) && std::all_of(v.items().begin(), v.items().end(), [](const Value& item) {
                  return item.is_object();
                });
  if (order.empty() && !node.lookup) return;  // nothing to act on
  values_.insert(values_.end(), masks, masks + n);
  node.order = order_.size();
  node.promoted = order.size();
  order_.insert(order_.end(), order.begin(), order.end());
  nodes_.emplace_back(m, node);
}

// ---- the index built by the analysis ------------------------------------------

std::unique_ptr<Builder> Builder::of(const Options& options) {
  if (options.focus != Focus::Auto || !options.arguments) return nullptr;
  auto index = std::make_unique<Index>();
  index->terms_ = Terms::of(*options.arguments);
  if (index->terms_.empty()) return nullptr;
  return std::make_unique<Builder>(std::move(index));
}

Builder::Builder(std::unique_ptr<Index> index)
    : index_(std::move(index)),
      cache_(std::make_unique<Index::HitCache>(index_->terms_, scratch_.terms)),
      runs_(std::make_unique<Terms::RunMemo>()),
      sets_(cache_->sets()),
      numbers_(index_->terms_.numbers_hit()),
      marks_(64) {
  scratch_.terms.runs = runs_.get();
  // The document's own place: a root scalar is matched by finish, and the root container's
  // entries are placed by Index::place_root.
  top_ = marks_.data();
  marks_end_ = marks_.data() + marks_.size();
  *top_ = {0, 0, 0, true, false};
}

Builder::~Builder() = default;

void Builder::grow() {
  const std::size_t open = marks_.size();
  marks_.resize(2 * open);
  top_ = marks_.data() + open;
  marks_end_ = marks_.data() + marks_.size();
}

void Builder::make_room(std::size_t n) {
  // Room for a long array's hits at once, without losing the doubling of nested ones.
  done_.reserve(std::max(done_.size() + n, 2 * done_.capacity()));
}

std::uint64_t Builder::short_hits(std::string_view text, std::uint64_t a, std::uint64_t b) {
  return cache_->get(text, a, b).all;
}

std::uint64_t Builder::number_hits(std::string_view text) { return index_->number_hits(text, scratch_.terms); }

void Builder::place_children(const Value& v, const Meta* kids) {
  Index& index = *index_;
  // The last entries are those of v's children, in order: matched from the end.
  const bool object = v.is_object();
  for (std::size_t i = object ? v.members().size() : v.items().size(); i-- > 0 && !unplaced_.empty();) {
    const Unplaced& u = unplaced_.back();
    if (&(object ? v.members()[i].value : v.items()[i]) != u.container) continue;
    if (u.node != NONE) index.nodes_[u.node].first = kids + i;
    if (u.kept != NONE) index.kept_masks_[u.kept].first = kids + i;
    unplaced_.pop_back();
  }
}

void Builder::close_fully(const Value& v, const Meta* kids, std::uint64_t full) {
  Index& index = *index_;
  Index::HitCache& cache = *cache_;
  const Mark mark = *top_--;
  const auto depth = static_cast<std::size_t>(top_ - marks_.data());
  const bool object = v.is_object();
  const std::size_t n = object ? v.members().size() : v.items().size();
  std::uint64_t mask = mark.mask;
  std::uint64_t* listed = nullptr;
  if (mark.listed) {
    // Each child's hits, in order, with its key's.
    listed = done_.data() + mark.done;
    assert(done_.size() - mark.done == n);
    if (object)
      for (std::size_t i = 0; i < n; ++i) listed[i] |= cache.key(depth, i, v.members()[i].key).all;
    for (std::size_t i = 0; i < n; ++i) mask |= listed[i];
  } else if (mark.keys) {
    // Objects of one kind repeat their keys: the hits of a key sequence are found once.
    KeySequence& seq = key_sequences_[mark.keys % key_sequences_.size()];
    if (seq.keys != mark.keys) {
      std::uint64_t hits = 0;
      for (std::size_t i = 0; i < n; ++i) hits |= cache.key(depth, i, v.members()[i].key).all;
      seq = {mark.keys, hits};
    }
    mask |= seq.hits;
  } else {
    for (std::size_t i = 0; i < n; ++i) mask |= cache.key(depth, i, v.members()[i].key).all;
  }
  if (mark.unplaced) place_children(v, kids);
  if (mark.listed || full > KEPT_MASK_SIZE) {
    const std::size_t nodes = index.nodes_.size(), masks = index.kept_masks_.size();
    index.keep_container(v, nullptr, full, mask, listed, n, mark.listed, depth, scratch_, cache_.get());
    const std::size_t node = index.nodes_.size() != nodes ? nodes : NONE;
    const std::size_t kept = index.kept_masks_.size() != masks ? masks : NONE;
    if (node != NONE || kept != NONE) {
      unplaced_.push_back({&v, node, kept});
      top_->unplaced = true;
    }
  }
  if (mark.listed) done_.resize(mark.done);
  give(mask);
}

std::unique_ptr<Index> Builder::finish(const Value& root) {
  Index& index = *index_;
  if (root.is_scalar())
    index.root_ = index.scalar_hits(root, scratch_.terms, nullptr);
  else if (!done_.empty())
    index.root_ = done_.back();
  return std::move(index_);
}

}  // namespace tavisk::focus

// ---- fitting with focus (Pruner) -------------------------------------------

namespace tavisk {

bool Pruner::focused_lookup(const Value&, const Meta& meta) const {
  const focus::Node* node = focus_index->node(meta);
  return node && node->lookup;
}

const focus::Node* Pruner::focused_items(const Meta& meta) const {
  const focus::Node* node = focus_index->node(meta);
  return node && node->promoted > 0 ? node : nullptr;
}

std::vector<std::size_t> Pruner::focused_first(const Meta& meta, const focus::Node* node) const {
  const std::size_t n = meta.children().size();
  const bool keep_last = options->keep_last_item;
  std::vector<std::size_t> first;
  if (n == 0) return first;
  bool last_taken = false;
  auto take_last = [&] {
    if (!last_taken) first.push_back(n - 1);
    last_taken = true;
  };
  // A request for the end of a list wants the last item before anything else.
  if (keep_last && focus_index->terms().tail()) take_last();
  const std::size_t promoted = node ? node->promoted : 0;
  first.reserve(promoted + 1);
  for (std::size_t k = 0; k < promoted; ++k) {
    const std::size_t i = focus_index->promoted(*node)[k];
    if (i == n - 1) {
      take_last();
    } else {
      first.push_back(i);
    }
    // The last item keeps its place right after the best match.
    if (k == 0 && keep_last) take_last();
  }
  return first;
}

namespace {

// Fixed cost of an object keeping k entries whose entry costs (key and child minimum) sum to kept_sum.
std::uint64_t object_cost(size::Layout l, std::uint64_t n, std::uint64_t d, std::uint64_t k, std::uint64_t kept_sum) {
  const std::uint64_t omitted = n - k;
  return size::overhead(l, k + (omitted ? 1 : 0), d) + kept_sum + (omitted ? size::keys_marker_cost(l, omitted) : 0);
}

}  // namespace

std::vector<std::size_t> Pruner::focused_keys(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  const auto& members = v.members();
  const std::size_t n = members.size();
  const size::Layout l = layout();
  focus::Scratch scratch;
  std::vector<std::uint64_t> relevance;
  const bool any_relevant = projecting == 0 && focus_index->entry_scores(v, meta, scratch, relevance);
  const Query* q = query();
  const bool condense = options->array_strategy == ArrayStrategy::Condense;
  struct Ranked {
    std::size_t i;
    double score;
    std::uint64_t hits;  // the entry's focus score
    int group;           // 0 protected, 1 relevant, 2 the rest
  };
  std::vector<Ranked> ranked(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Meta& c = meta.children()[i];
    const std::uint64_t hits = i < relevance.size() ? relevance[i] : 0;
    const int group = c.has_protected() ? 0 : hits > 0 ? 1 : 2;
    ranked[i] = {i, entry_score(members[i], c, i, q, *scorer), hits, group};
  }
  // Scores that are not numbers compare equal to everything and keep their place.
  std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& c) {
    if (a.group != c.group) return a.group < c.group;
    if (a.hits != c.hits) return a.hits > c.hits;
    return a.score > c.score;
  });
  std::vector<std::size_t> kept;
  std::uint64_t kept_sum = 0;
  for (const Ranked& r : ranked) {
    const std::uint64_t with = kept_sum + size::entry_cost(l, members[r.i].key) + meta.children()[r.i].min();
    if (r.group != 0 || condense) {
      std::uint64_t limit = tier_limit(b, r.score);
      if (r.group == 2 && any_relevant) limit /= 2;
      if (object_cost(l, n, d, kept.size() + 1, with) > limit) continue;
    }
    kept_sum = with;
    kept.push_back(r.i);
  }
  std::vector<char> plain(n, 0);
  for (std::size_t i : condense ? select_keys(v, meta, b, d) : sample_keys(v, meta, b, d)) plain[i] = 1;
  for (std::size_t i : kept) stats.keys_promoted += plain[i] ? 0 : 1;
  return kept;
}

Pruner::Filled Pruner::focused_fill(const Value& v, const Meta& meta, const std::vector<std::size_t>& kept,
                                    const std::vector<Child>& children, std::uint64_t spare, std::uint64_t depth) {
  focus::Scratch scratch;
  std::vector<std::uint64_t> relevance;
  if (projecting > 0 || !focus_index->entry_scores(v, meta, scratch, relevance))
    return water_fill(children, spare, depth);
  auto score = [&](std::size_t i) { return i < relevance.size() ? relevance[i] : 0; };
  const std::size_t m = children.size();
  std::vector<int> group(m);
  bool any = false;
  for (std::size_t k = 0; k < m; ++k) {
    group[k] = score(kept[k]) > 0 ? 0 : 1;
    any = any || group[k] == 0;
  }
  if (!any) return water_fill(children, spare, depth);
  // Relevant children first, best matches first: children of one score share what the better
  // ones left, smallest need first; the others then share what is left.
  std::vector<std::size_t> order(m);
  for (std::size_t k = 0; k < m; ++k) order[k] = k;
  auto need = [&](std::size_t k) { return children[k].meta->full() - children[k].meta->min(); };
  auto level = [&](std::size_t k) { return group[k] == 0 ? score(kept[k]) : 0; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t c) {
    if (level(a) != level(c)) return level(a) > level(c);
    return need(a) < need(c);
  });
  Filled out;
  out.values.resize(m);
  std::size_t remaining = 0;  // children left at the current level
  for (std::size_t pos = 0; pos < m; ++pos) {
    const std::size_t k = order[pos];
    if (remaining == 0)
      while (pos + remaining < m && level(order[pos + remaining]) == level(k)) ++remaining;
    const Child& c = children[k];
    const std::uint64_t extra = std::min(spare / remaining, need(k));
    path.push_back(c.key ? std::string(c.key->view()) : std::string("*"));
    Fitted f = fit(*c.value, *c.meta, c.meta->min() + extra, depth);
    path.pop_back();
    if (f.size >= c.meta->min()) spare = f.size - c.meta->min() < spare ? spare - (f.size - c.meta->min()) : 0;
    out.total += f.size;
    out.values[k] = std::move(f.value);
    --remaining;
  }
  return out;
}

}  // namespace tavisk
