// The relevance query built from the call's arguments, and the lexical
// matching of field names and values against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavisk {

struct TokenHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Hash of a short byte string for the flat tables; membership only, never order.
inline std::uint64_t token_hash(std::string_view s) noexcept {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    h = (h ^ x) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  if (n > 0) {
    // The last 1 to 7 bytes without a library call: two overlapping loads, or the first, middle and
    // last byte; with the length in h, equal tails give equal x and unequal ones unequal x.
    std::uint64_t x;
    if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      x = a | static_cast<std::uint64_t>(b) << 32;
    } else {
      x = static_cast<unsigned char>(p[0]) | static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
          static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    h = (h ^ x) * 0x94D049BB133111EBull;
    h ^= h >> 29;
  }
  h *= 0xFF51AFD7ED558CCDull;
  return h ^ (h >> 32);
}

// Set of normalised words: the texts lie back to back in one buffer and one open-addressing table
// (linear probing, at most half full) indexes them, so adding a word allocates nothing per word.
// Members iterate in insertion order. Membership only.
class TokenSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    const_iterator(const TokenSet* set, std::size_t i) : set_(set), i_(i) {}
    std::string_view operator*() const { return set_->member(i_); }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }

   private:
    const TokenSet* set_ = nullptr;
    std::size_t i_ = 0;
  };

  TokenSet() = default;
  template <class It>
  TokenSet(It first, It last) {
    for (; first != last; ++first) insert(std::string_view(*first));
  }

  // Adds word unless present; true when it was added.
  bool insert(std::string_view word) { return insert(word, token_hash(word)); }
  bool contains(std::string_view word) const { return contains(word, token_hash(word)); }
  // The same with the word's token_hash already at hand.
  bool insert(std::string_view word, std::uint64_t hash);
  bool contains(std::string_view word, std::uint64_t hash) const;
  // Adds every member of other.
  void merge(const TokenSet& other);
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Empties the set and keeps its storage.
  void clear();
  std::string_view member(std::size_t i) const { return {bytes_.data() + entries_[i].offset, entries_[i].size}; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, entries_.size()}; }

 private:
  struct Entry {
    std::size_t offset;
    std::size_t size;
    std::uint64_t hash;
  };
  static constexpr std::uint32_t EMPTY = 0;

  // The slot holding word, or the empty slot where it would go.
  std::size_t probe(std::string_view word, std::uint64_t hash) const;
  void grow();

  std::string bytes_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry index + 1, or EMPTY; the size is a power of two
};

// Most tokens a value token set holds.
inline constexpr std::size_t MAX_VALUE_TOKENS = 256;

// Light plural folding: drops a final "s" (not "ss") from words of 4 bytes or more.
// The result is a prefix of word and borrows its storage.
std::string_view norm(std::string_view word);

// Whether a lowercase word may serve as a query term or value token.
bool informative(std::string_view word);

// informative() for a word of `chars` characters.
bool informative(std::string_view word, std::uint64_t chars);

// Adds the normalised informative words of text to set, which stops growing at MAX_VALUE_TOKENS entries.
void value_tokens(std::string_view text, TokenSet& set);
// The same, splitting words into the caller's scratch buffer.
void value_tokens(std::string_view text, TokenSet& set, std::string& scratch);

// The term occurs in set exactly or, for terms longer than 5 bytes, within one edit of a member longer than 4 bytes.
bool token_hit(std::string_view term, const TokenSet& set);

// The fuzzy part of token_hit for one member: term longer than 5 bytes (of term_chars characters),
// token longer than 4 bytes, within one edit.
bool near_token(std::string_view term, std::uint64_t term_chars, std::string_view token);

// Query terms matched against one token at a time: some term hits a token set exactly when it hits
// one of the set's members alone.
class TermMatcher {
 public:
  TermMatcher() = default;
  explicit TermMatcher(std::span<const std::string> terms);
  // Some term equals token or lies within one edit of it (token_hit on a set holding only token).
  bool hits(std::string_view token) const;
  // The same for a token of `chars` characters whose token_hash is `hash`.
  bool hits(std::string_view token, std::uint64_t hash, std::uint64_t chars) const;
  bool empty() const { return terms_.empty(); }

 private:
  struct Term {
    std::string_view text;  // borrowed
    std::uint64_t chars;
    std::uint64_t hash;
  };
  std::vector<Term> terms_;
  std::vector<Term> fuzzy_;  // the terms longer than 5 bytes, which also match within one edit
};

// a and b differ by at most one substituted, inserted or deleted character.
bool within_one_edit(std::string_view a, std::string_view b);
// The same for words of la and lb characters.
bool within_one_edit(std::string_view a, std::uint64_t la, std::string_view b, std::uint64_t lb);

struct Query {
  std::vector<std::string> terms;  // distinct terms in order of first occurrence
  TokenSet term_set;               // the same strings as terms
  TokenSet order_terms;            // words found only in an ORDER BY clause

  // How well a field name matches: key words against terms (and order terms), context words against terms.
  double name_match(std::span<const std::string> key_words, std::span<const std::string> context_words) const;
};

// The query of an arguments text, or none when the text yields no term and no order term.
std::optional<Query> build_query(std::string_view arguments);

}  // namespace tavisk
