#include "fields.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "unicode.h"
#include "utf8.h"

namespace tavisk {

namespace {

static_assert(std::size(vocab::IDENTITY) == 17 && std::size(vocab::TITLE) == 6 && std::size(vocab::TIME) == 15 &&
              std::size(vocab::LINK) == 7 && std::size(vocab::STATUS) == 32 && std::size(vocab::WRAPPER) == 15);
static_assert(std::size(vocab::NAME) == 13 && std::size(vocab::CONTACT) == 5 && std::size(vocab::TEXT) == 13 &&
              std::size(vocab::PERSON) == 11 && std::size(vocab::METRIC) == 24 && std::size(vocab::NOISE) == 28);
static_assert(std::size(vocab::IMAGE) == 7 && std::size(vocab::CONFIG) == 16 &&
              std::size(vocab::NAME_QUALIFIERS) == 11 && std::size(vocab::ALLOWED_UNDERSCORE) == 3);

constexpr std::size_t longest(vocab::List list) {
  std::size_t n = 0;
  for (auto w : list) n = std::max(n, w.size());
  return n;
}
// A truncated TableWord must differ from every word it is compared with.
static_assert(TableWord::CAPACITY > longest(vocab::NOISE) && TableWord::CAPACITY > longest(vocab::WRAPPER) &&
              TableWord::CAPACITY > longest(vocab::STATUS));

// ASCII letters and digits, and above U+00A9 Unicode alphabetic or numeric characters.
bool word_char(char32_t c) {
  if (c < 0x80) return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9');
  return c > 0xA9 && (unicode::alphabetic(c) || unicode::numeric(c));
}

// An uppercase letter that may start a camel-case hump.
bool hump_upper(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return c >= 0xC0 && c <= 0x1F3FF && unicode::uppercase(c);
}

bool lower_or_digit(char32_t c) { return unicode::lowercase(c) || unicode::decimal_digit(c); }

// Some word of text belongs to list; splits lazily without building a word list.
bool text_has_word(std::string_view text, vocab::List list) {
  WordSplitter split(text);
  TableWord w;
  while (split.next(w))
    if (vocab::contains(list, w.view())) return true;
  return false;
}

// Some word of the segment is not a wrapper word (an ancestor that names a group).
bool names_group(std::string_view segment) {
  WordSplitter split(segment);
  TableWord w;
  while (split.next(w))
    if (!vocab::contains(vocab::WRAPPER, w.view())) return true;
  return false;
}

// The words concatenated without separator equal target, which has their total length.
bool joined_equals(std::span<const std::string> ws, std::string_view target) {
  std::size_t at = 0;
  for (const auto& w : ws) {
    if (target.compare(at, w.size(), w) != 0) return false;
    at += w.size();
  }
  return true;
}

// The words concatenated without separator are an entry of list (only checked for two or more words:
// a single word is its own concatenation).
bool joined_in(std::span<const std::string> ws, vocab::List list) {
  if (ws.size() < 2) return false;
  std::size_t total = 0;
  for (const auto& w : ws) total += w.size();
  for (auto entry : list)
    if (entry.size() == total && entry[0] == ws[0][0] && joined_equals(ws, entry)) return true;
  return false;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && !suffix.empty() && s.back() == suffix.back() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The longest tier word of at least 4 bytes that ends word, or "" when none does.
std::string_view longest_suffix(std::string_view word) {
  std::string_view best;
  for (const auto& tier : vocab::SUFFIX_TIERS)
    for (auto entry : tier.words)
      if (entry.size() >= 4 && entry.size() > best.size() && ends_with(word, entry)) best = entry;
  return best;
}

Match tier_of_word(std::string_view word) {
  for (const auto& tier : vocab::TIERS)
    if (vocab::contains(tier.words, word)) return {true, tier.value};
  return {false, 0.55};
}

// Compound names such as file_name rank below plain names unless every earlier word qualifies the name.
double refine_compound(std::span<const std::string> kw, double prior) {
  const std::string& last = kw.back();
  if (last == "login") return 0.55;
  if (!vocab::contains(vocab::QUALIFIED_NAMES, last)) return prior;
  for (std::size_t i = 0; i + 1 < kw.size(); ++i)
    if (!vocab::contains(vocab::NAME_QUALIFIERS, kw[i])) return std::min(prior, 0.78);
  return prior;
}

// Steps 6 and 7 of the prior: the tier of the key's words.
Match vocabulary_prior(std::span<const std::string> kw, bool date_like) {
  const double unnamed = date_like ? 0.55 : 0.5;
  if (kw.empty()) return {false, unnamed};
  Match m = tier_of_word(kw.back());
  if (m.matched) return {true, kw.size() >= 2 ? refine_compound(kw, m.value) : m.value};
  m = tier_of(kw);
  if (m.matched) return m;
  if (kw.size() == 1 && kw[0].size() >= 6) {
    std::string_view suffix = longest_suffix(kw[0]);
    if (!suffix.empty()) return tier_of_word(suffix);
  }
  return {false, unnamed};
}

double adjust_prior(const FieldStats& st, std::span<const std::string> kw, double prior) {
  const bool identity = any(kw, vocab::IDENTITY);
  if (any(kw, vocab::LINK) && st.count(Kind::String) == st.present && st.scalars >= 3 &&
      10 * st.distinct >= 9 * st.scalars)
    prior = std::max(prior, 0.8);
  if (st.numeric_like && identity) prior -= 0.04;
  if (identity) {
    if (kw.size() >= 2 && kw.back() == "id") prior = std::min(prior, st.opaque ? 0.3 : 0.72);
    if (st.opaque || st.mean_chars > 16) prior -= 0.1;
  }
  return prior;
}

// Heuristic score, value shape: unnamed all-string fields are judged by the shape of their values.
double shape_override(const FieldStats& st, double u) {
  if (st.opaque) return 0.3;
  const double distinct_ratio = static_cast<double>(st.distinct) / static_cast<double>(st.present);
  if (distinct_ratio >= 0.9 && st.mean_chars <= 40) return 0.7;
  if (distinct_ratio <= 0.2 && st.mean_chars <= 24 && !st.constant) return 0.65;
  return u;
}

// Heuristic score, query boost: raise fields whose name or values match the query.
double query_boost(const FieldStats& st, double u) {
  double v = 1;
  if (st.count(Kind::String) == st.present && 5 * st.distinct <= std::max<std::uint64_t>(st.scalars, 1) &&
      st.mean_chars <= 24)
    v = 2 * st.value_hit_rate * (1 - st.value_hit_rate);
  const double s = std::min(1.0, std::max(0.25, 2 * u));
  const double b = std::min(1.0, u + 0.4 * s * st.name_relevance);
  return std::min(b + 0.4 * s * v * st.value_relevance, std::max(b, 0.9));
}

}  // namespace

void TableWord::append_lower(char32_t c) {
  if (c < 0x80) {
    if (size_ < CAPACITY) buf_[size_] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    ++size_;
    return;
  }
  char lowered[unicode::LOWER_MAX];
  const std::size_t n = unicode::lower_slow(c, lowered);
  if (size_ < CAPACITY) std::memcpy(buf_ + size_, lowered, std::min(n, CAPACITY - size_));
  size_ += n;
}

template <class Out>
bool WordSplitter::next_into(Out& out) {
  out.clear();
  bool prev_lower_or_digit = false;
  while (pos_ < text_.size()) {
    const std::size_t start = pos_;
    const char32_t c = utf8::next(text_, pos_);
    if (!word_char(c)) {
      if (!out.empty()) return true;
      continue;
    }
    if (prev_lower_or_digit && hump_upper(c)) {
      pos_ = start;  // the capital starts the next word
      return true;
    }
    if constexpr (std::is_same_v<Out, std::string>)
      unicode::append_lower(out, c);
    else
      out.append_lower(c);
    prev_lower_or_digit = lower_or_digit(c);
  }
  return !out.empty();
}

bool WordSplitter::next(std::string& out) { return next_into(out); }

namespace {

bool ascii_word_byte(unsigned char b) { return ((b | 0x20) >= 'a' && (b | 0x20) <= 'z') || (b >= '0' && b <= '9'); }

bool all_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}

}  // namespace

bool WordSplitter::next(std::string& scratch, Word& out) {
  const std::size_t n = text_.size();
  const char* p = text_.data();
  while (pos_ < n) {
    const auto b = static_cast<unsigned char>(p[pos_]);
    if (b < 0x80) {
      if (ascii_word_byte(b)) break;
      ++pos_;
      continue;
    }
    std::size_t i = pos_;
    if (word_char(utf8::next(text_, i))) break;
    pos_ = i;
  }
  if (pos_ >= n) return false;

  // ASCII letters and digits: a capital after a lowercase letter or digit starts the next word.
  const std::size_t start = pos_;
  bool prev_lower_or_digit = false, capitals = false;
  for (; pos_ < n; ++pos_) {
    const auto b = static_cast<unsigned char>(p[pos_]);
    if (b >= 0x80 || !ascii_word_byte(b)) break;
    const bool capital = b >= 'A' && b <= 'Z';
    if (prev_lower_or_digit && capital) break;
    capitals |= capital;
    prev_lower_or_digit = !capital;
  }
  const std::string_view run = text_.substr(start, pos_ - start);
  if (pos_ >= n || static_cast<unsigned char>(p[pos_]) < 0x80) {
    if (!capitals) {
      out = {run, true};
      return true;
    }
    scratch.assign(run);
    for (char& ch : scratch)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    out = {scratch, true};
    return true;
  }

  // A non-ASCII character follows: the rest of the word takes the Unicode way.
  scratch.assign(run);
  for (char& ch : scratch)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  while (pos_ < n) {
    const std::size_t at = pos_;
    const char32_t c = utf8::next(text_, pos_);
    if (!word_char(c)) break;
    if (prev_lower_or_digit && hump_upper(c)) {
      pos_ = at;
      break;
    }
    unicode::append_lower(scratch, c);
    prev_lower_or_digit = lower_or_digit(c);
  }
  out = {scratch, all_ascii(scratch)};
  return true;
}
bool WordSplitter::next(TableWord& out) { return next_into(out); }

void append_words(std::string_view text, std::vector<std::string>& out) {
  WordSplitter split(text);
  std::string w;
  while (split.next(w)) out.push_back(std::move(w));
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  append_words(text, out);
  return out;
}

bool vocab::contains(List list, std::string_view word) {
  if (word.empty()) return false;  // no table holds the empty word
  for (auto entry : list)
    if (entry.size() == word.size() && entry[0] == word[0] && std::memcmp(entry.data(), word.data(), word.size()) == 0)
      return true;
  return false;
}

bool any(std::span<const std::string> ws, vocab::List list) {
  for (const auto& w : ws)
    if (vocab::contains(list, w)) return true;
  return false;
}

Match tier_of(std::span<const std::string> ws) {
  for (const auto& tier : vocab::TIERS)
    if (any(ws, tier.words)) return {true, tier.value};
  return {false, 0.55};
}

std::size_t FieldStats::key_count() const {
  const std::size_t n = path.size();
  if (n > 1 && !path.back().empty() && path.back()[0] == '$') return n - 1;
  return n;
}

std::string_view FieldStats::key() const {
  const std::size_t k = key_count();
  return k == 0 ? std::string_view() : std::string_view(path[k - 1]);
}

Prior HeuristicScorer::name_prior(const FieldStats& st) { return prior_of(st, words(st.key())); }

Prior HeuristicScorer::prior_of(const FieldStats& st, std::span<const std::string> kw) {
  const std::size_t k = st.key_count();
  const auto segments = st.path.first(k);
  const auto ancestors = segments.first(k == 0 ? 0 : k - 1);
  bool nested = false;
  TableWord w;
  for (const auto& seg : ancestors) {
    WordSplitter split(seg);
    while (split.next(w)) {
      if (vocab::contains(vocab::NOISE, w.view())) return {true, 0.08};
      if (!vocab::contains(vocab::WRAPPER, w.view())) nested = true;
    }
  }
  for (const auto& seg : segments)
    if (seg.empty() || (seg[0] == '_' && !vocab::contains(vocab::ALLOWED_UNDERSCORE, seg))) return {true, 0.08};

  if (any(kw, vocab::NOISE) || joined_in(kw, vocab::NOISE)) {
    if (!any(kw, vocab::LINK) || any(kw, vocab::IMAGE)) return {true, 0.1};
  }
  if (any(kw, vocab::CONFIG)) return {true, 0.25};

  const Match m = vocabulary_prior(kw, st.date_like);
  double prior = m.value;
  if (!kw.empty()) {
    prior = adjust_prior(st, kw, prior);
    if (nested) prior *= any(kw, vocab::IDENTITY) ? 0.6 : 0.88;
  } else if (nested) {
    prior *= 0.88;
  }
  return {m.matched || st.date_like, prior};
}

double HeuristicScorer::score(const FieldStats& st) const {
  // The status test reads the last segment; it is the key itself unless a marker follows the key.
  const std::vector<std::string> kw = words(st.key());
  const Prior p = prior_of(st, kw);
  const bool status =
      st.key_count() == st.path.size() ? any(kw, vocab::STATUS) : text_has_word(st.last(), vocab::STATUS);
  if (st.present > 0 && st.empty == st.present) return std::min(p.prior * 0.03, 0.05);

  const double present = static_cast<double>(st.present);
  const double presence = present / static_cast<double>(std::max<std::uint64_t>(st.rows, 1));
  const double empty_ratio = static_cast<double>(st.empty) / std::max(present, 1.0);
  double base = empty_ratio > 0.3 ? p.prior * (1 - 0.7 * empty_ratio) : p.prior;
  if (st.scalars == st.present && st.rows >= 3 && st.constant) base *= 0.2;
  double u = status ? base * (0.85 + 0.15 * presence) : base * (0.55 + 0.45 * presence);

  if (!p.named && st.scalars >= 3 && st.scalars == st.present && st.count(Kind::String) == st.present &&
      !st.numeric_like)
    u = shape_override(st, u);
  if (st.relevance > 0 && !st.constant) u = query_boost(st, u);

  if (st.mean_chars > 2000)
    u *= 0.7;
  else if (st.mean_chars > 200)
    u *= 0.85;
  if (st.count(Kind::Array) + st.count(Kind::Object) > st.present / 2 && u < 0.8) u *= 0.85;
  return std::clamp(u, 0.0, 1.0);
}

bool HeuristicScorer::exact(const FieldStats& st) const {
  if (st.present == 0 || st.mean_chars > 300 || st.count(Kind::Number) + st.count(Kind::String) != st.present)
    return false;
  const std::vector<std::string> ws = words(st.key());
  const bool low_distinct = st.scalars < 3 || 10 * st.distinct < 9 * st.scalars;
  if (any(ws, vocab::IDENTITY) && !st.constant) return true;
  if (low_distinct) return false;
  if (st.opaque) return true;
  return any(ws, vocab::LINK);
}

std::optional<std::string> HeuristicScorer::role(const FieldStats& st) const {
  const std::size_t k = st.key_count();
  std::string label;
  for (std::size_t i = 0; i + 1 < k; ++i) {
    if (!names_group(st.path[i])) continue;
    label += label.empty() ? "group:" : "/";
    label += st.path[i];
  }
  if (!label.empty()) return label;
  const std::vector<std::string> ws = words(st.key());
  if (any(ws, vocab::IDENTITY)) return "identity";
  if (any(ws, vocab::TITLE)) return "title";
  if (any(ws, vocab::TIME)) return "time";
  if (any(ws, vocab::LINK)) return "link";
  return std::nullopt;
}

double CompactScorer::score(const FieldStats& st) const {
  const double r = 1 / (1 + st.mean_chars / 40);
  return st.constant || st.empty == st.present ? 0.1 * r : r;
}

double KeyOrderScorer::score(const FieldStats& st) const { return 1 / (1 + st.mean_position); }

const HeuristicScorer HEURISTIC;
const CompactScorer COMPACT;
const KeyOrderScorer KEY_ORDER;

const FieldScorer& scorer_for(ScorerKind kind) {
  switch (kind) {
    case ScorerKind::Compact: return COMPACT;
    case ScorerKind::KeyOrder: return KEY_ORDER;
    case ScorerKind::Heuristic: break;
  }
  return HEURISTIC;
}

bool looks_numeric(std::string_view s) {
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  if (s.empty()) return false;
  int digits = 0, points = 0;
  for (char c : s) {
    if (c >= '0' && c <= '9')
      ++digits;
    else if (c == '.')
      ++points;
    else
      return false;
  }
  return digits > 0 && points <= 1;
}

bool looks_like_date(std::string_view s) {
  auto digit = [&](std::size_t i) { return s[i] >= '0' && s[i] <= '9'; };
  return s.size() >= 10 && digit(0) && digit(1) && digit(2) && digit(3) && s[4] == '-' && digit(5) && digit(6) &&
         s[7] == '-' && digit(8) && digit(9);
}

}  // namespace tavisk
