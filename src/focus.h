// Focus: keeping what the request asks for. The terms of a call's arguments
// (query words and exact tokens) are matched once against the whole document;
// arrays with matches keep their items' masks and the order in which matching
// items are tried, and objects get their entries' scores when a fit asks. Built
// once per call and read by every attempt of the budget search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lexical.h"
#include "options.h"
#include "stats.h"
#include "value.h"

namespace tavisk {

class Meta;

namespace focus {

// Most terms (query words and exact tokens together) a call matches: one bit each.
inline constexpr std::size_t MAX_TERMS = 64;

// Exact tokens of an arguments text: white-space separated words stripped of surrounding
// quotes, brackets and punctuation, kept when they have at least 2 characters, a letter or
// digit and a character that is not a letter (batch/v1, 1.1.2, 404, RIPPLE-12); lowercased,
// first occurrences in order.
std::vector<std::string> exact_tokens(std::string_view arguments);

// The terms of one call: bit j < words().size() is query word j; the following bits are the
// exact tokens.
class Terms {
 public:
  // The query words, then the exact tokens that are not also query words, at most MAX_TERMS.
  static Terms of(std::string_view arguments);

  bool empty() const { return words_.empty() && exact_.empty(); }
  std::size_t size() const { return words_.size() + exact_.size(); }
  std::size_t word_count() const { return words_.size(); }
  const std::vector<std::string>& words() const { return words_; }
  const std::vector<std::string>& exact() const { return exact_; }
  // The request asks for the end of a list ("last", "final").
  bool tail() const { return tail_; }
  // Bits of the exact tokens (already shifted past the words).
  std::uint64_t exact_bits() const;
  // Whether some term can hit a text of digits, dots, signs and exponent letters (a number's):
  // a word with at most one character other than a digit or e, or an exact token of those
  // characters only.
  bool numbers_hit() const { return numbers_hit_; }

  // The hits of recent short runs (a title's words repeat from record to record).
  class RunMemo;
  // Reusable buffers of the matching functions, so that no word costs an allocation.
  struct Scratch {
    std::string word;
    std::string lowered;
    RunMemo* runs = nullptr;  // set while an index is built
  };
  // Words that hit the text's informative words: exactly after plural folding, or (words longer
  // than 5 bytes) within one edit of a folded word longer than 4 bytes.
  std::uint64_t word_hits(std::string_view text, Scratch& s) const;
  // The bits one lowercase word hits (chars: its length in characters).
  std::uint64_t one_word(std::string_view w, std::uint64_t chars, std::uint64_t bits) const;
  // Exact tokens equal to the whole lowercased text.
  std::uint64_t exact_hits(std::string_view text, Scratch& s) const;
  // Exact tokens occurring anywhere in the text, ignoring letter case.
  std::uint64_t exact_inside(std::string_view text, Scratch& s) const;
  // A scalar's or key's hits: word hits and whole-text exact hits.
  std::uint64_t hits(std::string_view text, Scratch& s) const {
    if (empty()) return 0;
    const std::uint64_t words = word_hits(text, s);
    // exact_hits's own first test, without the call for long texts.
    return text.size() > 3 * longest_exact_ ? words : words | exact_hits(text, s);
  }

 private:
  void index_words();
  // The hits of the words of an ASCII run of letters and digits.
  std::uint64_t ascii_words(std::string_view run, std::uint64_t bits) const;
  // The hits of the words of a run with characters other than ASCII, through the word splitter.
  std::uint64_t split_words(std::string_view run, Scratch& s, std::uint64_t bits) const;

  std::vector<std::string> words_;
  std::vector<std::string> exact_;
  std::unordered_map<std::string, unsigned, TokenHash, std::equal_to<>> exact_bit_;
  struct Long {
    std::size_t word;
    std::uint64_t chars;
    bool ascii;
  };
  std::vector<Long> long_words_;      // words longer than 5 bytes, for the one-edit test
  std::uint64_t word_lengths_ = 0;    // bit k: some word has k bytes (k < 64)
  std::uint64_t informative_as_is_ = 0;  // bit j: word j is informative
  std::uint64_t informative_plural_ = 0;  // bit j: word j with a final s is informative
  std::uint64_t word_starts_[4] = {};  // bit b: some word starts with byte b
  // At b << 8 | a, 1 when some word holds the word bytes a, b in a row (ASCII letters in either
  // case). An ASCII run with fewer than min_pairs_ of them (counted by position) has no hit.
  std::vector<unsigned char> pairs_;
  unsigned min_pairs_ = 2;
  std::size_t longest_exact_ = 0;     // bytes
  std::size_t longest_word_ = 0;      // bytes
  std::uint64_t exact_lengths_ = 0;   // bit k: some exact token has k bytes (k < 64)
  bool tail_ = false;
  bool numbers_hit_ = false;
};

// Flags the lines of a text worth keeping before the plain lines from its end: lines with a
// severity word (see SEVERITY_WORDS), an HTTP error status (a quoted request followed by 4xx or
// 5xx), a hit of a query word, or an exact token inside.
class LineMatcher {
 public:
  explicit LineMatcher(const Terms* terms) : terms_(terms) {}
  bool operator()(std::string_view line);

 private:
  const Terms* terms_;  // null without terms
  Terms::Scratch scratch_;
};

// Lowercase words that mark a line as reporting trouble.
bool severity_word(std::string_view word);

// A string over its budget, fitted by lines when it has three or more: the first line, lines
// from the end within 30 % of the budget, then flagged lines from the end, then the rest from
// the end; text fitting when lines do not help. Counts the string and its lines in stats.
std::string fit_string(std::string_view s, std::uint64_t budget, const Options& options,
                       std::uint64_t (*measure)(std::string_view), const Terms* terms, Stats& stats);

// Focus data of an array (or a wide object), as offsets into the index's flat lists.
struct Node {
  std::size_t values = 0;    // first child value in the index: masks of items, scores of entries
  std::size_t count = 0;     // children
  std::size_t order = 0;     // arrays: first promoted item in Index::order
  std::size_t promoted = 0;  // arrays: items with a positive score
  std::uint64_t weighted = 0;  // arrays: bits that hit some but not all items
  bool lookup = false;       // arrays: records of which a few match (sampled, not condensed)
  bool any_relevant = false;  // objects: some entry has a positive score
};

// Scores of the children of one container: a bit's weight is the number of children it
// misses (a bit every child hits is worth nothing), doubled for the bits of exact tokens (a
// whole value the request names); a child's score is the sum of its bits' weights. weighted
// receives the bits that hit some but not all children.
void scores(const std::uint64_t* masks, std::size_t n, std::uint64_t exact, std::uint64_t& weighted,
            std::vector<std::uint64_t>& out);
// The children with a positive score, by score descending, then index.
std::vector<std::uint32_t> promote(const std::vector<std::uint64_t>& scores);
// The same from the children's masks: promote of their scores, without a score per child.
std::vector<std::uint32_t> promoted(const std::uint64_t* masks, std::size_t n, std::uint64_t exact);
// Whether some bit hits at least one and at most a quarter of n items (n ≥ 4).
bool narrow(const std::uint64_t* masks, std::size_t n);

// Containers whose full size exceeds this many characters keep their hit mask in the index;
// smaller ones are matched again when a fit asks for them (at most this much text each).
inline constexpr std::uint64_t KEPT_MASK_SIZE = 2048;
// Objects with at least this many entries keep their entries' scores in the index.
inline constexpr std::size_t KEPT_SCORES_ENTRIES = 64;

// Reusable buffers of the index's matching, owned by one fitting.
struct Scratch {
  Terms::Scratch terms;
  std::vector<std::uint64_t> masks, exact;
  struct Frame {
    const Value* v;
    const Meta* m;
    std::size_t n, next, base;  // base: first of its children's masks in the build's list
    std::uint64_t mask;         // the hits of its children so far
    bool keep;                  // its children's masks are listed (arrays, wide objects)
  };
  std::vector<Frame> stack;
};

class Builder;

// The table of recent short texts and their hits (see Index): where a text's entry would be.
namespace table {

// Texts of at most this many bytes have an entry.
inline constexpr std::size_t SHORT = 16;
// The table has 2^SETS_BITS sets of two entries, one cache line each.
inline constexpr unsigned SETS_BITS = 12;
inline constexpr std::size_t SET_BYTES = 64;

// Two words that, with the length, tell texts of up to 16 bytes apart (they hold all their bytes).
[[gnu::always_inline]] inline void words(std::string_view text, std::uint64_t& a, std::uint64_t& b) {
  a = 0, b = 0;
  const std::size_t n = text.size();
  if (n >= 8) {
    std::memcpy(&a, text.data(), 8);
    std::memcpy(&b, text.data() + n - 8, 8);
  } else if (n >= 4) {  // the first and last four bytes cover the text
    std::uint32_t head = 0, tail = 0;
    std::memcpy(&head, text.data(), 4);
    std::memcpy(&tail, text.data() + n - 4, 4);
    a = head | std::uint64_t{tail} << 32;
  } else {
    for (std::size_t k = 0; k < n; ++k) a |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
  }
}

// The set of a text of n bytes with these words.
[[gnu::always_inline]] inline std::uint32_t set_of(std::uint64_t a, std::uint64_t b, std::size_t n) {
  // The high bits of a product depend on all the bits of the factor.
  const std::uint64_t h = (a + n) * 0x9E3779B97F4A7C15ull ^ b * 0xC2B2AE3D27D4EB4Full;
  return static_cast<std::uint32_t>(h >> (64 - SETS_BITS));
}

// One remembered text: its words and length, its hits and its exact token. An empty slot
// stands for the empty text, whose hits are none.
struct Slot {
  std::uint64_t a = 0, b = 0, all = 0;
  std::uint32_t size = 0;
  std::uint32_t exact = 0;  // 1 + the bit of the exact token equal to the text; 0: none
};
// Two slots, the newer first, in one cache line.
struct alignas(SET_BYTES) Set {
  Slot slot[2];
};
static_assert(sizeof(Set) == SET_BYTES);

}  // namespace table

// The hit masks of one call's document. Built in one pass that keeps, per container, only
// what fitting cannot cheaply redo: the item masks and match order of arrays that have
// matches, the entry scores of wide objects, and the masks of large containers. Entry scores
// of other objects are worked out when a fit asks for them. The pass is either the analysis
// itself (see Builder) or a walk of its own over an analysed document (build).
class Index {
 public:
  // Null when the arguments give no term.
  static std::unique_ptr<Index> build(const Value& doc, const Meta& meta, const Options& options);
  // An index from a Builder, once the analysis of the whole document rests where fitting reads it.
  void place_root(const Meta& root);

  const Terms& terms() const { return terms_; }
  // The focus data of an array or a wide object, or null when it has nothing to act on.
  const Node* node(const Meta& container) const;
  // An array item's hit mask.
  std::uint64_t mask(const Node& n, std::size_t child) const { return values_[n.values + child]; }
  const std::uint32_t* promoted(const Node& n) const { return order_.data() + n.order; }
  // The hits of the whole document.
  std::uint64_t root_mask() const { return root_; }
  // The kept mask of a container larger than KEPT_MASK_SIZE, or null.
  const std::uint64_t* kept_mask(const Meta& container) const;
  // The match scores of an object's entries into out (one per entry; positive: relevant).
  // False, with out empty, when no entry is relevant.
  bool entry_scores(const Value& object, const Meta& meta, Scratch& s, std::vector<std::uint64_t>& out) const;

 private:
  friend class Builder;
  struct KeyHits {
    std::uint64_t all, exact;
  };
  class HitCache;

  Terms terms_;
  std::vector<std::pair<const Meta*, Node>> nodes_;    // sorted by analysis once built
  std::vector<std::pair<const Meta*, std::uint64_t>> kept_masks_;  // large containers, sorted likewise
  std::vector<std::uint64_t> values_;
  std::vector<std::uint64_t> scratch_;
  std::vector<std::uint32_t> order_;
  std::uint64_t root_ = 0;

  std::uint64_t scalar_hits(const Value& v, Terms::Scratch& s, HitCache* cache) const;
  std::uint64_t string_hits(std::string_view text, Terms::Scratch& s, HitCache* cache) const;
  std::uint64_t number_hits(std::string_view text, Terms::Scratch& s) const;
  // The hits of key i of an object at this depth of the walk.
  KeyHits key_hits(std::size_t depth, std::size_t i, std::string_view key, Terms::Scratch& s, HitCache* cache) const;
  // The mask of a container. Building (keep: the index being built, listed: its children's
  // masks), walks all of it and records what the index keeps; otherwise reads the kept masks of
  // large containers below it.
  std::uint64_t walk(const Value& v, const Meta& m, Scratch& s, HitCache* cache, Index* keep,
                     std::vector<std::uint64_t>* listed) const;
  // The mask of an object of scalars into out, without a frame of the walk; false (out
  // untouched) when it is wide.
  bool flat_object_mask(const Value& v, const Meta& m, std::size_t depth, Scratch& s, HitCache* cache,
                        std::uint64_t& out) const;
  std::uint64_t subtree_mask(const Value& v, const Meta& m, Scratch& s) const;
  // Entry scores from the entries' masks and their keys' exact hits; false when none is positive.
  bool object_scores(const std::uint64_t* masks, const std::uint64_t* key_exact, std::size_t n,
                     std::vector<std::uint64_t>& out) const;
  void add_array(const Value& v, const Meta* m, const std::uint64_t* masks, std::size_t n);
  // What the index keeps of a finished container: its node when its children's masks were
  // listed (masks, n), its mask when it is large. m: its analysis, null while not yet placed.
  void keep_container(const Value& v, const Meta* m, std::uint64_t full, std::uint64_t mask,
                      const std::uint64_t* masks, std::size_t n, bool listed, std::size_t depth, Scratch& s,
                      HitCache* cache);
};

// Builds the index during the analysis, so that the document is read once for both: the
// analysis hands over each scalar as it meets it and each container as it finishes it (after
// its children), and each hands its hits to its container at once. Arrays and wide objects,
// which keep each child's hits, list them in order; other objects only gather them. The index
// it gives equals build's on the same analysis.
class Builder {
 public:
  // Null when the options do not focus or their arguments give no term.
  static std::unique_ptr<Builder> of(const Options& options);
  explicit Builder(std::unique_ptr<Index> index);
  ~Builder();
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  // The n children of a container are analysed next. listed: it keeps each child's hits (an
  // array, or an object of at least KEPT_SCORES_ENTRIES entries); keys: a number naming its
  // key sequence among the objects of the analysis (equal numbers, equal keys in order), or 0.
  [[gnu::always_inline]] void open(bool listed, std::uint64_t keys, std::size_t n) {
    if (++top_ == marks_end_) grow();
    *top_ = {0, keys, done_.size(), listed, false};
    if (listed && done_.capacity() - done_.size() < n) make_room(n);
  }
  // The analysis meets a string. A short text remembered in the newer slot of its set is
  // answered here; other texts are matched or looked further for.
  [[gnu::always_inline]] void met(std::string_view text) {
    if (text.size() > table::SHORT) return give(index_->terms_.hits(text, scratch_.terms));
    std::uint64_t a, b;
    table::words(text, a, b);
    const table::Slot& slot = sets_[table::set_of(a, b, text.size())].slot[0];
    if (slot.size == text.size() && slot.a == a && slot.b == b) return give(slot.all);
    give(short_hits(text, a, b));
  }
  // The analysis meets a null, bool or number.
  [[gnu::always_inline]] void met_scalar(const Value& scalar) {
    if (numbers_ && scalar.is_number())
      give(number_hits(scalar.text()));
    else if (top_->listed)
      done_.push_back(0);
  }
  // The container's analysis is done: kids, its children's analyses; full, its full size.
  [[gnu::always_inline]] void close(const Value& v, const Meta* kids, std::uint64_t full) {
    // Most containers are objects of a known key sequence that keep nothing of their own.
    const Mark& mark = *top_;
    if (mark.keys && !mark.listed && !mark.unplaced && full <= KEPT_MASK_SIZE) {
      const KeySequence& seq = key_sequences_[mark.keys % key_sequences_.size()];
      if (seq.keys == mark.keys) {
        const std::uint64_t mask = mark.mask | seq.hits;
        --top_;
        return give(mask);
      }
    }
    close_fully(v, kids, full);
  }
  // The index of a document whose root is v; its root entries are placed by
  // Index::place_root.
  std::unique_ptr<Index> finish(const Value& root);

 private:
  // A child's hits, to the open container.
  [[gnu::always_inline]] void give(std::uint64_t hits) {
    if (top_->listed)
      done_.push_back(hits);
    else
      top_->mask |= hits;
  }
  std::uint64_t short_hits(std::string_view text, std::uint64_t a, std::uint64_t b);
  std::uint64_t number_hits(std::string_view text);
  void grow();
  void make_room(std::size_t n);
  void close_fully(const Value& v, const Meta* kids, std::uint64_t full);
  // Binds the index entries of the finished child containers of v (the last ones) to their
  // analyses among kids.
  void place_children(const Value& v, const Meta* kids);

  std::unique_ptr<Index> index_;
  Scratch scratch_;
  std::unique_ptr<Index::HitCache> cache_;
  std::unique_ptr<Terms::RunMemo> runs_;
  table::Set* sets_ = nullptr;  // the table of recent short texts
  bool numbers_ = false;        // some term can hit a number
  // Per open container: the hits of its children so far when it does not list them, its key
  // sequence, where its children's hits start in done_ when it does, and whether some child left
  // index entries to place. The first is the document's own place (listed).
  struct Mark {
    std::uint64_t mask, keys;
    std::size_t done;
    bool listed, unplaced;
  };
  std::vector<Mark> marks_;  // the places; the open ones up to top_
  Mark* top_ = nullptr;
  Mark* marks_end_ = nullptr;
  // The hits of the children of the open listing containers, in order.
  std::vector<std::uint64_t> done_;
  // Finished containers whose index entries still wait for their place (their parent knows
  // it), in the order they finished; NONE: no entry of that kind.
  static constexpr std::size_t NONE = SIZE_MAX;
  struct Unplaced {
    const Value* container;
    std::size_t node, kept;
  };
  std::vector<Unplaced> unplaced_;
  // The hits of recent key sequences of objects, by their numbers.
  struct KeySequence {
    std::uint64_t keys = 0, hits = 0;
  };
  std::array<KeySequence, 64> key_sequences_{};
};

}  // namespace focus
}  // namespace tavisk
