#include "lexical.h"

#include <algorithm>

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

constexpr std::string_view ORDER_BY = "order by";
constexpr std::string_view CLAUSE_ENDS[] = {"limit", "offset", "group by", "having"};

bool contains(const TokenSet& set, std::string_view word) { return set.find(word) != set.end(); }

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

std::string_view norm(std::string_view word) {
  if (word.size() >= 4 && word.back() == 's' && word[word.size() - 2] != 's') word.remove_suffix(1);
  return word;
}

bool informative(std::string_view word) {
  if (utf8::count(word) < 2) return false;
  if (std::find(std::begin(STOP_WORDS), std::end(STOP_WORDS), word) != std::end(STOP_WORDS)) return false;
  if (std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) return word.size() >= 4;
  return true;
}

void value_tokens(std::string_view text, TokenSet& set) {
  WordSplitter split(text);
  std::string w;
  while (set.size() < MAX_VALUE_TOKENS && split.next(w))
    if (informative(w)) {
      const std::string_view t = norm(w);
      if (!contains(set, t)) set.emplace(t);
    }
}

bool within_one_edit(std::string_view a, std::string_view b) {
  std::uint64_t la = utf8::count(a);
  std::uint64_t lb = utf8::count(b);
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
  utf8::next(a, i);
  if (la == lb) utf8::next(b, j);
  return a.substr(i) == b.substr(j);
}

bool token_hit(std::string_view term, const TokenSet& set) {
  if (set.empty()) return false;
  if (contains(set, term)) return true;
  if (term.size() <= 5) return false;
  const std::uint64_t chars = utf8::count(term);
  for (const auto& member : set) {
    if (member.size() <= 4) continue;
    const std::uint64_t m = utf8::count(member);
    if ((m > chars ? m - chars : chars - m) > 1) continue;
    if (within_one_edit(term, member)) return true;
  }
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
    q.term_set.emplace(t);
    q.terms.emplace_back(t);
  }
  WordSplitter clause_words(split.clause);
  while (clause_words.next(w)) {
    if (!informative(w)) continue;
    const std::string_view t = norm(w);
    if (!contains(q.term_set, t) && !contains(q.order_terms, t)) q.order_terms.emplace(t);
  }
  if (q.terms.empty() && q.order_terms.empty()) return std::nullopt;
  return q;
}

}  // namespace tavisk
