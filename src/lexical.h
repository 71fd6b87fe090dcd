// The relevance query built from the call's arguments, and the lexical
// matching of field names and values against it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tavisk {

struct TokenHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Set of normalised words, looked up by string_view without copying. Membership only.
using TokenSet = std::unordered_set<std::string, TokenHash, std::equal_to<>>;

// Most tokens a value token set holds.
inline constexpr std::size_t MAX_VALUE_TOKENS = 256;

// Light plural folding: drops a final "s" (not "ss") from words of 4 bytes or more.
// The result is a prefix of word and borrows its storage.
std::string_view norm(std::string_view word);

// Whether a lowercase word may serve as a query term or value token.
bool informative(std::string_view word);

// Adds the normalised informative words of text to set, which stops growing at MAX_VALUE_TOKENS entries.
void value_tokens(std::string_view text, TokenSet& set);

// The term occurs in set exactly or, for terms longer than 5 bytes, within one edit of a member longer than 4 bytes.
bool token_hit(std::string_view term, const TokenSet& set);

// a and b differ by at most one substituted, inserted or deleted character.
bool within_one_edit(std::string_view a, std::string_view b);

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
