// The pruning engine: per-node analysis (Meta), the fit driver, object and
// array fitting, and the budget sharing between kept children.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "arena.h"
#include "options.h"
#include "protect.h"
#include "size.h"
#include "stats.h"
#include "value.h"

namespace tavisk {

class FieldScorer;
struct Query;
struct Plan;
struct Discovery;
struct PlanOutcome;
class SurveyCache;
namespace focus {
class Index;
class Builder;
struct Node;
}  // namespace focus

class MetaList;

// Sizes and protection of one node, built once per call and read-only after.
//
// 16 bytes: the two sizes in 32 bits each, and a link whose low bits hold the flags. A scalar
// (most nodes) needs nothing more: its kind sits in the link, which gives its shape, and its
// protected count is its protection. A container, or a node whose sizes do not fit 32 bits,
// links to a record beside it with its children, count, shape, protected count and wide sizes.
// Records and children come from the analysing call's arena (borrowed: nothing to free) or
// from the heap (owned).
class alignas(16) Meta {
 public:
  Meta() noexcept = default;
  Meta(const Meta&) = delete;
  Meta& operator=(const Meta&) = delete;
  Meta(Meta&& other) noexcept : link_(other.link_), full_(other.full_), min_(other.min_) { other.link_ = 0; }
  Meta& operator=(Meta&& other) noexcept {
    if (this != &other) {
      if (link_ & owned_bit) release();
      link_ = other.link_;
      full_ = other.full_;
      min_ = other.min_;
      other.link_ = 0;
    }
    return *this;
  }
  ~Meta() {
    if (link_ & owned_bit) release();
  }

  inline MetaList children() const;
  std::uint64_t full() const { return (link_ & wide_bit) ? static_cast<const WideRecord*>(record())->full : full_; }
  std::uint64_t min() const { return (link_ & wide_bit) ? static_cast<const WideRecord*>(record())->min : min_; }
  std::uint64_t shape() const;
  std::uint64_t protected_count() const {
    const Record* r = record();
    return r ? r->protected_count : (link_ >> scalar_protected_shift) & 1;
  }
  bool is_protected() const { return link_ & protected_bit; }
  bool has_protected() const { return link_ & has_protected_bit; }

  // ---- building (analysis only) ------------------------------------------------
  // A block for n children: from the arena, or owned by the heap when there is none.
  static Meta* allocate_children(std::size_t n, Arena* arena);
  // Sets everything but the flags; children: a block from allocate_children holding count analyses.
  // Inline for the common case: a container in the arena whose sizes fit 32 bits.
  void set(Meta* children, std::size_t count, std::uint64_t full, std::uint64_t min, std::uint64_t shape,
           std::uint64_t protected_count, Arena* arena) {
    constexpr std::uint64_t most = UINT32_MAX - 1;
    if (count == 0 || !arena || full > most || min > most || (link_ & owned_bit))
      return set_other(children, count, full, min, shape, protected_count, arena);
    full_ = static_cast<std::uint32_t>(full);
    min_ = static_cast<std::uint32_t>(min);
    link_ = reinterpret_cast<std::uintptr_t>(new (arena->allocate(sizeof(Record), alignof(Meta))) Record{
        children, static_cast<std::uint32_t>(count), 0, shape, protected_count});
  }
  // Sets a container whose children are all unprotected plain scalars: their analyses are
  // derived from the values, not stored. first: the first child's value; stride: the bytes
  // from one child's value to the next (a Value in an array, a Member in an object).
  void set_plain_children(const Value* first, std::uint32_t stride, std::size_t count, std::uint64_t full,
                          std::uint64_t min, std::uint64_t shape, Arena& arena);
  // Whether an object of `count` scalar members of which `stored` are not plain takes less room
  // keeping only those `stored` analyses (set_sparse_members) than keeping them all.
  static bool sparse_pays(std::size_t count, std::size_t stored) {
    return sparse_bytes(stored) + sizeof(SparseRecord) < count * sizeof(Meta) + sizeof(Record);
  }
  // Bytes at the front of a children's block that keep `stored` analyses and their indices.
  static std::size_t sparse_bytes(std::size_t stored) {
    return stored * sizeof(Meta) + (stored * sizeof(std::uint32_t) + sizeof(Meta) - 1) / sizeof(Meta) * sizeof(Meta);
  }
  // Sets an object of scalar members whose analyses are in `kids`, keeping only those that are
  // not plain: moved to the front of the block in member order, followed by their member indices
  // (`index`, ascending), the rest of the block given back when it is the arena's last; the plain
  // ones are derived from the members' values. Sizes must fit 32 bits.
  void set_sparse_members(Meta* kids, const Member* members, std::size_t count, const std::uint32_t* index,
                          std::size_t stored, std::uint64_t full, std::uint64_t min, std::uint64_t shape,
                          std::uint64_t protected_count, Arena& arena);
  // A plain scalar: null, a boolean, a number of 1 to plain_chars ASCII characters, or a string
  // of at most plain_chars bytes of which JSON escapes none, either ASCII or read without escapes
  // (Value::unescaped_text); its analysis (unprotected) follows from its value alone (a string's
  // from its characters).
  static bool is_plain_scalar(const Value& v) {
    std::uint64_t full;
    return plain_full(v, full);
  }
  // Whether v is a plain scalar, with its full size in `full` when it is.
  static bool plain_full(const Value& v, std::uint64_t& full);
  // The analysis of an unprotected plain scalar.
  static const Meta& plain_scalar(const Value& v);
  // The same as a value, from its kind and its full size (plain_full's).
  [[gnu::always_inline]] static Meta plain_scalar(Kind k, std::uint64_t full) {
    Meta m;
    m.full_ = static_cast<std::uint32_t>(full);
    m.min_ = static_cast<std::uint32_t>(k == Kind::String ? std::min(full, size::placeholder_size(full - 2)) : full);
    m.link_ = (static_cast<std::uintptr_t>(k) + 1) << scalar_kind_shift | plain_bit;
    return m;
  }
  // The analysis of an unprotected string decoded with its costs kept that is not plain.
  [[gnu::always_inline]] static Meta costed_string(TextCosts c) {
    Meta m;
    const std::uint64_t full = 2 + std::uint64_t{c.cost};
    m.full_ = static_cast<std::uint32_t>(full);
    m.min_ = static_cast<std::uint32_t>(std::min(full, size::placeholder_size(c.chars)));
    m.link_ = (static_cast<std::uintptr_t>(Kind::String) + 1) << scalar_kind_shift;
    return m;
  }
  // Whether this is a scalar's analysis that plain_scalar gives back from its value alone.
  bool is_plain() const { return (link_ >> 8) == 1; }  // the plain bit, no record (see below)
  static constexpr std::size_t plain_chars = 64;
  // A scalar's analysis of kind k (not a container), protected or not: everything, flags included.
  // plain: the analysis is the one plain_scalar gives (unprotected, at most plain_chars).
  void set_scalar(Kind k, std::uint64_t full, std::uint64_t min, bool is_protected, bool plain, Arena* arena);
  void set_flags(bool is_protected, bool has_protected) {
    link_ = (link_ & ~(protected_bit | has_protected_bit)) | (is_protected ? protected_bit : 0) |
            (has_protected ? has_protected_bit : 0);
  }

 private:
  static constexpr std::uintptr_t protected_bit = 1, has_protected_bit = 2, wide_bit = 4, owned_bit = 8,
                                  flag_bits = 15;
  // A scalar's link above the flags: its kind + 1 (bits 4-6), its protected count (bit 7) and
  // whether it is plain (bit 8). Records lie far above these values.
  static constexpr unsigned scalar_kind_shift = 4, scalar_protected_shift = 7;
  static constexpr std::uintptr_t plain_bit = 256;
  static constexpr std::uintptr_t scalar_codes = 512;
  static_assert(plain_bit == 1 << 8 && scalar_codes == 2 * plain_bit && flag_bits < plain_bit);
  // 32 bytes; 48 with the sizes when they do not fit the Meta's 32 bits (wide_bit).
  struct Record {
    const void* first;          // the block of the children's analyses, or the first plain child's value
    std::uint32_t count;        // children (a list holds at most 2^32 - 1)
    std::uint32_t plain_stride;  // 0 for a block; else the bytes from one plain child's value to the next,
                                 // with sparse_flag when some children's analyses are kept (SparseRecord)
    std::uint64_t shape, protected_count;
  };
  struct WideRecord : Record {
    std::uint64_t full, min;
  };
  // 48 bytes: derived children but for `stored` kept analyses, their indices just after them.
  struct SparseRecord : Record {
    const Meta* stored;
    std::uint64_t stored_count;
  };
  static constexpr std::uint32_t sparse_flag = 1u << 31;
  static_assert(sizeof(Record) == 32 && sizeof(SparseRecord) == 48);
  // set, for every other case.
  void set_other(Meta* children, std::size_t count, std::uint64_t full, std::uint64_t min, std::uint64_t shape,
                 std::uint64_t protected_count, Arena* arena);
  // Makes a record (wide when the sizes need it) in the arena, or on the heap without one.
  static Record* make_record(const Record& r, bool narrow, std::uint64_t full, std::uint64_t min, Arena* arena);
  const Record* record() const {
    const std::uintptr_t p = link_ & ~flag_bits;
    return p >= scalar_codes ? reinterpret_cast<const Record*>(p) : nullptr;
  }
  void release() noexcept;

  std::uintptr_t link_ = 0;
  std::uint32_t full_ = 0, min_ = 0;
};
static_assert(sizeof(Meta) == 16);

// The analyses of a container's children, by index: a block of them, or, for
// a container of plain scalars, each derived from its value. References stay
// valid as long as the analysis.
class MetaList {
 public:
  MetaList() = default;
  MetaList(const Meta* block, std::size_t n) : block_(block), n_(n) {}
  MetaList(const Value* plain_first, std::uint32_t stride, std::size_t n)
      : values_(reinterpret_cast<const char*>(plain_first)), stride_(stride), n_(n) {}
  // Derived analyses but for `stored` kept ones, followed in memory by their ascending indices.
  MetaList(const Value* plain_first, std::uint32_t stride, std::size_t n, const Meta* stored, std::size_t stored_count)
      : values_(reinterpret_cast<const char*>(plain_first)), stored_(stored), stored_count_(stored_count),
        stride_(stride), n_(n) {}

  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const Meta& operator[](std::size_t i) const {
    if (block_) return block_[i];
    if (stored_count_) {
      const auto* index = reinterpret_cast<const std::uint32_t*>(stored_ + stored_count_);
      const auto* at = std::lower_bound(index, index + stored_count_, static_cast<std::uint32_t>(i));
      if (at != index + stored_count_ && *at == i) return stored_[at - index];
    }
    return Meta::plain_scalar(*reinterpret_cast<const Value*>(values_ + i * stride_));
  }
  // The block (or the kept analyses), or null when the analyses are all derived: an identity,
  // not for indexing.
  const Meta* data() const { return block_ ? block_ : stored_; }

  class iterator {
   public:
    iterator(const MetaList* list, std::size_t i) : list_(list), i_(i) {}
    const Meta& operator*() const { return (*list_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const iterator& other) const { return i_ != other.i_; }

   private:
    const MetaList* list_;
    std::size_t i_;
  };
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, n_}; }

 private:
  const Meta* block_ = nullptr;
  const char* values_ = nullptr;
  const Meta* stored_ = nullptr;
  std::size_t stored_count_ = 0;
  std::uint32_t stride_ = 0;
  std::size_t n_ = 0;
};

[[gnu::always_inline]] inline bool Meta::plain_full(const Value& v, std::uint64_t& full) {
  switch (v.kind()) {
    case Kind::Null: full = 4; return true;
    case Kind::Bool: full = v.as_bool() ? 4 : 5; return true;
    case Kind::Number: {
      const std::string_view t = v.text();
      full = t.size();
      return !t.empty() && t.size() <= plain_chars && (v.ascii_text() || size::ascii(t));
    }
    case Kind::String: {
      const std::string_view t = v.text();
      std::uint64_t chars = 0;
      if (t.size() > plain_chars || v.facts()) return false;
      if (v.unescaped_text()) {
        chars = v.ascii_text() ? t.size() : size::unescaped_chars(t);
      } else if (const TextCosts* c = v.costs()) {  // else only ASCII is plain
        if (c->cost != t.size() || c->chars != t.size()) return false;
        chars = t.size();
      } else if (!size::unescaped(t, chars) || chars != t.size()) {
        return false;
      }
      full = chars + 2;
      return true;
    }
    default: return false;
  }
}

MetaList Meta::children() const {
  const Record* r = record();
  if (!r) return {};
  if (!r->plain_stride) return MetaList(static_cast<const Meta*>(r->first), r->count);
  const auto* first = static_cast<const Value*>(r->first);
  if (!(r->plain_stride & sparse_flag)) return MetaList(first, r->plain_stride, r->count);
  const auto* s = static_cast<const SparseRecord*>(r);
  return MetaList(first, r->plain_stride & ~sparse_flag, r->count, s->stored, s->stored_count);
}

// A fitted node and its size measure at its depth.
struct Fitted {
  Value value;
  std::uint64_t size = 0;
};

// One child handed to water filling; a null key stands for "*".
struct Child {
  const Value* value = nullptr;
  const Meta* meta = nullptr;
  const Key* key = nullptr;
};

struct PathHash {
  std::size_t operator()(const Path& p) const noexcept;
};

// Items of an array in the order sampling tries them: first, new shapes, last, the rest.
std::vector<std::size_t> priority_order(const Meta& meta, bool keep_last);
// The relevance rule's score of one object entry (+infinity when it holds protected content).
double entry_score(const Member& e, const Meta& child, std::size_t index, const Query* q, const FieldScorer& scorer);
// Share of the budget a key or column of this score may fill: ⌊b × f⌋ with f = 1.0, 0.9 or 0.7.
std::uint64_t tier_limit(std::uint64_t b, double score);

class Pruner {
 public:
  // compiled: the options' protect patterns when already compiled (shared, not copied).
  static Pruner with_scorer(bool pretty, std::uint64_t indent, const Options& options, const FieldScorer& scorer,
                            const PatternSet* compiled = nullptr);

  Meta analyze_at(const Value& v, std::uint64_t depth, Path& path, bool inherited);
  Fitted fit(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  Fitted minimal(const Value& v, const Meta& meta, std::uint64_t depth);

  struct Filled {
    Value::Array values;
    std::uint64_t total = 0;
  };
  Filled water_fill(const std::vector<Child>& children, std::uint64_t spare, std::uint64_t depth);

  std::uint64_t collapsed_array_size(std::uint64_t n, std::uint64_t d) const;
  std::uint64_t collapsed_object_size(std::uint64_t n, std::uint64_t d) const;
  size::Layout layout() const { return {pretty, indent}; }

  // The relevance query of the call's arguments; null while suppressed or without arguments.
  const Query* query() const;

  // Condensing of arrays of records (condense module).
  std::optional<Fitted> try_condense(const Value& array, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // ---- condensing internals (condense module) -------------------------------
  // Chooses the columns of a table of records under the budget (first: the first pass of an attempt).
  PlanOutcome plan(const Value::Array& items, MetaList metas, std::uint64_t budget, std::uint64_t depth,
                   bool first);
  // Surveys the first count entries of one object into the discovery; prefix is restored on return.
  void visit(Discovery& discovery, const Value::Object& entries, std::size_t count, const Meta& meta,
             std::optional<std::size_t> parent, Path& prefix, std::uint64_t depth, std::size_t row);
  // Smallest size the condensing fill may bring a value to.
  std::uint64_t floor(const Value& v, const Meta& meta, std::uint64_t depth) const;
  // floor at each of the string head widths heads, added to out.
  void add_floors(const Value& v, const Meta& meta, std::uint64_t depth, std::span<const std::uint64_t> heads,
                  std::span<std::uint64_t> out) const;
  // The entries of one record that lie on selected column paths (working is restored on return).
  Value::Object project(const Value::Object& entries, Path& working,
                        const std::unordered_set<Path, PathHash>& kept_prefixes,
                        const std::unordered_set<Path, PathHash>& selected) const;
  // Shares spare characters beyond the floors among the values, smallest need first.
  Filled fill(const std::vector<Child>& pairs, const std::vector<std::uint64_t>& floors, std::int64_t spare,
              std::uint64_t depth);
  // "/a/b/*/c/d" for prefix a, b and path c, d.
  static std::string path_string(const Path& prefix, const Path& path);
  // ---- end of condensing internals -------------------------------------------

  bool pretty = false;
  std::uint64_t indent = 0;
  Stats stats;
  Path path;
  PatternSet patterns;
  const Options* options = nullptr;
  const FieldScorer* scorer = nullptr;
  std::uint64_t floor_head_chars = 24;
  std::unordered_set<Path, PathHash> pinned;
  bool query_suppressed = false;
  // The call's hit masks when it focuses on the request; null otherwise.
  const focus::Index* focus_index = nullptr;
  // Analysis only: builds the hit masks on the way when set.
  focus::Builder* focus_build = nullptr;
  // Surveys of the document's arrays shared by the call's attempts; null: every plan surveys afresh.
  SurveyCache* surveys = nullptr;
  // Fitting the projected rows of a condensed table: values made by this attempt, not the
  // document's, so neither the shared surveys nor the hit masks cover them.
  std::uint32_t projecting = 0;
  // Where analyze_at puts child analyses when set (it must outlive them); the heap otherwise.
  Arena* arena = nullptr;

 private:
  // analyze_at, with or without building the hit masks (focus_build set), so that an analysis
  // without them carries none of their steps.
  template <bool Focus>
  Meta analyze_node(const Value& v, std::uint64_t depth, Path& path, bool inherited);
  Fitted fit_array(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  Fitted fit_object(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // The keys an over-budget object keeps, by the rule its strategy and protection call for.
  std::vector<std::size_t> choose_keys(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // The relevance rule: keys by score, each within its tier's share of the budget.
  std::vector<std::size_t> select_keys(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // The rule of sampled objects without focus: input order, after keys holding protected content.
  std::vector<std::size_t> sample_keys(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // ---- focus module ----------------------------------------------------------
  // An array of records of which only a few match: sampled with its matches first instead of
  // condensed (counted by the sampling).
  bool focused_lookup(const Value& v, const Meta& meta) const;
  // Item priority with matching items first; null without a match in the array.
  const focus::Node* focused_items(const Meta& meta) const;
  // The items an array's order tries before its usual one (distinct).
  std::vector<std::size_t> focused_first(const Meta& meta, const focus::Node* node) const;
  // Keys of a sampled object by relevance: keys that hit what their siblings do not first.
  std::vector<std::size_t> focused_keys(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth);
  // Water filling that serves relevant kept children before the others.
  Filled focused_fill(const Value& v, const Meta& meta, const std::vector<std::size_t>& kept,
                      const std::vector<Child>& children, std::uint64_t spare, std::uint64_t depth);
  // ---- end of focus module -----------------------------------------------------
  bool is_protected_path(const Path& p) const { return tracks_paths() && matches_protected(p); }
  bool matches_protected(const Path& p) const;
  // Protection depends on paths only when there are patterns or pinned paths.
  bool tracks_paths() const { return !patterns.empty() || !pinned.empty(); }
  void init_query();
  // Shape of a node; an object repeating the key sequence of one of the last
  // objects seen at its depth (the common case in arrays of records) reuses its shape.
  // key_costs: set to the entry costs of the object's keys when remembered (they stay valid
  // while the object's children are analysed), else to null.
  std::uint64_t shape_at(const Value& v, std::uint64_t depth, const std::uint64_t** key_costs);
  bool plain_items(const Value::Array& items, bool is_protected, Path& p, std::uint64_t& sum);
  bool plain_members(const Value::Object& members, bool is_protected, const std::uint64_t* key_costs,
                     std::uint64_t& sum);
  Meta analyze_scalar(const Value& v, std::uint64_t depth, Path& p, bool inherited);
  // A child's analysis; without focus a scalar goes straight to analyze_scalar.
  template <bool Focus>
  [[gnu::always_inline]] Meta analyze_child(const Value& v, std::uint64_t depth, Path& p, bool inherited) {
    if (!Focus && v.is_scalar()) return analyze_scalar(v, depth, p, inherited);
    return analyze_node<Focus>(v, depth, p, inherited);
  }
  // Writes the analysis of an unprotected scalar that follows from its value (a plain scalar, or a
  // string decoded with its costs kept) into slot, with its full size and whether it is plain;
  // false, writing nothing, for any other value. The same analysis analyze_scalar gives.
  [[gnu::always_inline]] static bool scalar_by_value(const Value& v, Meta* slot, std::uint64_t& full, bool& plain) {
    if (Meta::plain_full(v, full)) {
      new (slot) Meta(Meta::plain_scalar(v.kind(), full));
      plain = true;
      return true;
    }
    if (const TextCosts* c = v.costs()) {
      full = 2 + std::uint64_t{c->cost};
      new (slot) Meta(Meta::costed_string(*c));
      plain = false;
      return true;
    }
    return false;
  }

  std::shared_ptr<const Query> query_;
  bool keep_sparse(const Meta* kids, std::size_t n);
  // keep_sparse's: the indices of an object's members whose analyses are kept, and their count.
  std::vector<std::uint32_t> sparse_index_;
  std::size_t sparse_count_ = 0;
  struct ShapeMemo {
    static constexpr std::size_t max_keys = 256;
    struct Entry {
      std::vector<Key> keys;  // copies (owning their text): the trees analysed may be temporaries
      std::vector<std::uint64_t> key_costs;  // size::entry_cost of each key
      std::uint64_t shape = 0;
      std::uint64_t serial = 0;  // names this key sequence while the entry holds it
      bool set = false;
      bool not_plain = false;  // an object with these keys had a member that is not a plain scalar
    };
    // The last few key sequences seen at one depth, so that sibling objects of
    // different shapes inside repeated records (a record's "properties" and
    // "geometry") all hit; replaced in turn.
    std::array<Entry, 4> entries;
    std::size_t next = 0;
  };
  std::vector<ShapeMemo> shape_memo_;  // by depth, during analysis
  ShapeMemo::Entry* shape_entry_ = nullptr;  // the last shape_at's entry, until the next shape_at
  std::uint64_t serials_ = 0;
  // The serial of the key sequence of the object shape_at met last; 0 when not remembered.
  std::uint64_t keys_serial_ = 0;
};

}  // namespace tavisk
