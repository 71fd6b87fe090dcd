#include "lexical.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "fields.h"
#include "unicode.h"
#include "utf8.h"

namespace tavisk {

namespace {

constexpr std::string_view STOP_WORDS[] = {
    "an",       "the",   "of",    "in",     "on",     "at",   "to",    "for",  "with",  "and",     "or",     "not",
    "is",       "are",   "by",    "from",   "as",     "be",   "me",    "my",   "all",   "any",     "select", "where",
    "order",    "asc",   "desc",  "limit",  "offset", "like", "null",  "true", "false", "between", "group",  "having",
    "distinct", "count", "query", "search", "find",   "get",  "list",  "show", "what",  "which",   "who",    "when",
    "how",      "that",  "this",  "it",     "user",   "http", "https", "www",  "com"};
static_assert(std::size(STOP_WORDS) == 57);
constexpr std::size_t LONGEST_STOP_WORD = 8;
static_assert(std::all_of(std::begin(STOP_WORDS), std::end(STOP_WORDS), [](std::string_view w) {
  return w.size() >= 2 && w.size() <= LONGEST_STOP_WORD && !(w[0] >= '0' && w[0] <= '9');
}));

// A word of at most 8 bytes as one number (first byte lowest); distinct words give distinct numbers.
constexpr std::uint64_t packed(std::string_view w) {
  std::uint64_t x = 0;
  for (std::size_t i = 0; i < w.size(); ++i) x |= static_cast<std::uint64_t>(static_cast<unsigned char>(w[i])) << (8 * i);
  return x;
}

// The stop words packed into an open-addressing table (linear probing, under half full; 0 marks an
// empty slot, which no packed word of two bytes or more equals).
constexpr std::size_t STOP_SLOTS = 128;
constexpr std::size_t stop_slot(std::uint64_t x) { return static_cast<std::size_t>((x * 0x9E3779B97F4A7C15ull) >> 57); }
static_assert(2 * std::size(STOP_WORDS) < STOP_SLOTS);
constexpr auto STOP_TABLE = [] {
  std::array<std::uint64_t, STOP_SLOTS> out{};
  for (std::string_view w : STOP_WORDS) {
    std::size_t i = stop_slot(packed(w));
    while (out[i] != 0) i = (i + 1) % STOP_SLOTS;
    out[i] = packed(w);
  }
  return out;
}();

bool stop_word(std::string_view w) {
  if (w.size() > LONGEST_STOP_WORD) return false;
  std::uint64_t x = 0;
  for (std::size_t i = 0; i < w.size(); ++i) x |= static_cast<std::uint64_t>(static_cast<unsigned char>(w[i])) << (8 * i);
  for (std::size_t i = stop_slot(x);; i = (i + 1) % STOP_SLOTS) {
    if (STOP_TABLE[i] == x) return true;
    if (STOP_TABLE[i] == 0) return false;
  }
}

constexpr std::string_view ORDER_BY = "order by";
constexpr std::string_view CLAUSE_ENDS[] = {"limit", "offset", "group by", "having"};

bool contains(const TokenSet& set, std::string_view word) { return set.contains(word); }

// Lowercased text that remembers, once some character changed its byte length, which
// original character each lowered byte came from.
struct Lowered {
  std::string text;
  std::vector<std::size_t> origin;  // empty while lowered and original offsets agree

  // Offset in the original text (of original_size bytes) of lowered offset p, or none when p
  // falls inside the lowered form of one character.
  std::optional<std::size_t> to_original(std::size_t p, std::size_t original_size) const {
    if (origin.empty()) return p;
    if (p >= text.size()) return original_size;
    if (p > 0 && origin[p - 1] == origin[p]) return std::nullopt;
    return origin[p];
  }
};

Lowered lower_with_origins(std::string_view text) {
  Lowered out;
  out.text.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = utf8::next(text, i);
    const std::size_t before = out.text.size();
    unicode::append_lower(out.text, c);
    const bool resized = out.text.size() - before != i - start;
    if (out.origin.empty() && resized) {
      // Until now every character kept its length, so each byte came from the character that holds it.
      out.origin.reserve(text.size() + 8);
      for (std::size_t j = 0; j < start;) {
        const std::size_t char_start = j;
        utf8::next(text, j);
        out.origin.resize(j, char_start);
      }
    }
    if (!out.origin.empty() || resized) out.origin.resize(out.text.size(), start);
  }
  return out;
}

struct Split {
  std::string main;
  std::string_view clause;
};

// Cuts the ORDER BY clause out of the text: the clause runs from after "order by" to the earliest
// "limit", "offset", "group by" or "having", and the main text keeps what surrounds it.
Split split_order_by(std::string_view text) {
  const Lowered lower = lower_with_origins(text);
  const std::size_t lp = lower.text.find(ORDER_BY);
  if (lp == std::string::npos) return {std::string(text), {}};
  const auto start = lower.to_original(lp, text.size());
  const auto tail = lower.to_original(lp + ORDER_BY.size(), text.size());
  if (!start || !tail) return {std::string(text), {}};

  std::size_t le = lower.text.size();
  for (auto end_word : CLAUSE_ENDS) le = std::min(le, lower.text.find(end_word, lp + ORDER_BY.size()));
  const std::size_t end = lower.to_original(le, text.size()).value_or(text.size());

  Split out;
  out.main.reserve(*start + 1 + (text.size() - end));
  out.main.append(text.substr(0, *start));
  out.main.push_back(' ');
  out.main.append(text.substr(end));
  out.clause = text.substr(*tail, end - *tail);
  return out;
}

}  // namespace

std::size_t TokenSet::probe(std::string_view word, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const std::uint32_t s = slots_[i];
    if (s == EMPTY) return i;
    const Entry& e = entries_[s - 1];
    if (e.hash == hash && e.size == word.size() && std::memcmp(bytes_.data() + e.offset, word.data(), e.size) == 0)
      return i;
  }
}

void TokenSet::grow() {
  const std::size_t size = slots_.empty() ? 16 : 2 * slots_.size();
  slots_.assign(size, EMPTY);
  const std::size_t mask = size - 1;
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    std::size_t i = static_cast<std::size_t>(entries_[k].hash) & mask;
    while (slots_[i] != EMPTY) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(k + 1);
  }
}

bool TokenSet::insert(std::string_view word, std::uint64_t hash) {
  if (2 * (entries_.size() + 1) > slots_.size()) grow();
  const std::size_t i = probe(word, hash);
  if (slots_[i] != EMPTY) return false;
  entries_.push_back({bytes_.size(), word.size(), hash});
  bytes_.append(word);
  slots_[i] = static_cast<std::uint32_t>(entries_.size());
  return true;
}

bool TokenSet::contains(std::string_view word, std::uint64_t hash) const {
  if (entries_.empty()) return false;
  return slots_[probe(word, hash)] != EMPTY;
}

void TokenSet::merge(const TokenSet& other) {
  for (std::size_t k = 0; k < other.entries_.size(); ++k) insert(other.member(k));
}

void TokenSet::clear() {
  if (entries_.empty()) return;
  bytes_.clear();
  entries_.clear();
  std::fill(slots_.begin(), slots_.end(), EMPTY);
}

std::string_view norm(std::string_view word) {
  if (word.size() >= 4 && word.back() == 's' && word[word.size() - 2] != 's') word.remove_suffix(1);
  return word;
}

bool informative(std::string_view word) {
  // A word of five bytes or more holds at least two characters.
  return informative(word, word.size() < 5 ? utf8::count(word) : word.size());
}

bool informative(std::string_view word, std::uint64_t chars) {
  if (word.size() < 2 || chars < 2) return false;
  if (word[0] >= '0' && word[0] <= '9') {
    // No stop word starts with a digit; digits alone are informative from four on.
    for (std::size_t i = 1; i < word.size(); ++i)
      if (word[i] < '0' || word[i] > '9') return true;
    return word.size() >= 4;
  }
  return !stop_word(word);
}

void value_tokens(std::string_view text, TokenSet& set) {
  std::string w;
  value_tokens(text, set, w);
}

void value_tokens(std::string_view text, TokenSet& set, std::string& scratch) {
  WordSplitter split(text);
  Word w;
  while (set.size() < MAX_VALUE_TOKENS && split.next(scratch, w))
    if (informative(w.text, w.ascii ? w.text.size() : utf8::count(w.text))) set.insert(norm(w.text));
}

bool within_one_edit(std::string_view a, std::string_view b) {
  return within_one_edit(a, utf8::count(a), b, utf8::count(b));
}

bool within_one_edit(std::string_view a, std::uint64_t la, std::string_view b, std::uint64_t lb) {
  if (la < lb) {
    std::swap(a, b);
    std::swap(la, lb);
  }
  if (la - lb > 1) return false;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    std::size_t ni = i;
    std::size_t nj = j;
    if (utf8::next(a, ni) != utf8::next(b, nj)) break;
    i = ni;
    j = nj;
  }
  if (j == b.size()) return true;  // identical, or a has one character more at the end
  if (la == a.size() && lb == b.size()) return a.substr(i + 1) == b.substr(la == lb ? j + 1 : j);
  utf8::next(a, i);
  if (la == lb) utf8::next(b, j);
  return a.substr(i) == b.substr(j);
}

bool token_hit(std::string_view term, const TokenSet& set) {
  if (set.empty()) return false;
  if (contains(set, term)) return true;
  if (term.size() <= 5) return false;
  const std::uint64_t chars = utf8::count(term);
  for (const std::string_view member : set)
    if (near_token(term, chars, member)) return true;
  return false;
}

bool near_token(std::string_view term, std::uint64_t term_chars, std::string_view token) {
  if (term.size() <= 5 || token.size() <= 4) return false;
  const std::uint64_t m = utf8::count(token);
  if ((m > term_chars ? m - term_chars : term_chars - m) > 1) return false;
  return within_one_edit(term, term_chars, token, m);
}

TermMatcher::TermMatcher(std::span<const std::string> terms) {
  for (const std::string& t : terms) {
    terms_.push_back({t, utf8::count(t), token_hash(t)});
    if (t.size() > 5) fuzzy_.push_back(terms_.back());
  }
}

bool TermMatcher::hits(std::string_view token) const {
  return hits(token, token_hash(token), utf8::count(token));
}

bool TermMatcher::hits(std::string_view token, std::uint64_t hash, std::uint64_t chars) const {
  for (const Term& t : terms_)
    if (t.hash == hash && t.text == token) return true;
  if (token.size() <= 4) return false;
  for (const Term& t : fuzzy_)
    if ((chars > t.chars ? chars - t.chars : t.chars - chars) <= 1 && within_one_edit(t.text, t.chars, token, chars))
      return true;
  return false;
}

double Query::name_match(std::span<const std::string> key_words, std::span<const std::string> context_words) const {
  if (key_words.empty()) return 0;
  double m = 0;
  for (const auto& w : key_words) {
    const std::string_view t = norm(w);
    if (contains(term_set, t))
      m += 1;
    else if (contains(order_terms, t))
      m += 0.35;
  }
  if (m == 0) return 0;
  const double r = m / static_cast<double>(key_words.size());
  if (r >= 1) return 1;
  double s = 0.5 * r;
  if (!term_set.empty())
    for (const auto& w : context_words)
      if (contains(term_set, norm(w))) {
        s += 0.5;
        break;
      }
  return s;
}

std::optional<Query> build_query(std::string_view arguments) {
  const Split split = split_order_by(arguments);
  Query q;
  std::string w;
  WordSplitter main_words(split.main);
  while (main_words.next(w)) {
    if (!informative(w)) continue;
    const std::string_view t = norm(w);
    if (contains(q.term_set, t)) continue;
    q.term_set.insert(t);
    q.terms.emplace_back(t);
  }
  WordSplitter clause_words(split.clause);
  while (clause_words.next(w)) {
    if (!informative(w)) continue;
    const std::string_view t = norm(w);
    if (!contains(q.term_set, t) && !contains(q.order_terms, t)) q.order_terms.insert(t);
  }
  if (q.terms.empty() && q.order_terms.empty()) return std::nullopt;
  return q;
}

}  // namespace tavisk
