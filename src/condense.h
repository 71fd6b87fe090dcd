// Condensing arrays of records into narrowed tables: the column survey, the
// plan (which columns to keep under the budget) and the projected rows.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lexical.h"
#include "prune.h"
#include "value.h"

namespace tavisk {

using PathSet = std::unordered_set<Path, PathHash>;

// Set of 64-bit value hashes in one open-addressing table; membership and size only.
class HashSet64 {
 public:
  // Adds h unless present; true when it was added.
  bool insert(std::uint64_t h);
  bool contains(std::uint64_t h) const;
  std::size_t size() const { return size_; }

 private:
  std::vector<std::uint64_t> slots_;  // 0 marks an empty slot; the hash 0 itself is held by has_zero_
  std::size_t size_ = 0;
  bool has_zero_ = false;
};

// Floors of string heads are surveyed at both widths that planning tries.
inline constexpr std::array<std::uint64_t, 2> SURVEY_WIDTHS = {24, 12};

// Statistics of one key path over the surveyed records.
struct Column {
  std::optional<std::size_t> parent;
  Path path;
  std::optional<std::uint64_t> first_hash;
  HashSet64 distinct;  // capped at MAX_DISTINCT
  TokenSet tokens;     // merged while below MAX_VALUE_TOKENS
  std::uint64_t present = 0;
  std::uint64_t expanded = 0;
  std::array<std::uint64_t, 6> kind_counts{};
  std::uint64_t empty = 0;
  std::uint64_t key_chars = 0;
  std::uint64_t key_cost = 0;  // of one entry's key, the same in every record
  std::uint64_t value_chars = 0;
  std::uint64_t floor_chars = 0;           // at the plan's head width
  std::array<std::uint64_t, 2> floors{};  // at the survey's two head widths
  std::uint64_t position_sum = 0;
  std::uint64_t scalars = 0;
  std::uint64_t opaque = 0;
  std::uint64_t hits = 0;
  std::uint64_t fingerprint = 0;
  bool constant = true;
  bool numeric_like = true;
  bool date_like = true;

  std::uint64_t count(Kind k) const { return kind_counts[static_cast<std::size_t>(k)]; }
};

inline constexpr std::size_t MAX_DISTINCT = 1024;
// Column paths hold at most this many keys.
inline constexpr std::size_t MAX_COLUMN_DEPTH = 4;

// Columns by (parent column, key): one open-addressing table over key texts kept back to back.
class ColumnIndex {
 public:
  // The column of key under parent (none: a top-level key).
  std::optional<std::size_t> find(std::optional<std::size_t> parent, std::string_view key) const;
  // The column of key under parent, or `column` recorded as it; (column, whether it was added).
  std::pair<std::size_t, bool> try_emplace(std::optional<std::size_t> parent, std::string_view key,
                                           std::size_t column);
  // The column of a whole path, or none.
  std::optional<std::size_t> find(const Path& path) const;
  // The column of a whole path; throws std::out_of_range when there is none.
  std::size_t at(const Path& path) const;

 private:
  struct Entry {
    std::size_t parent;  // parent column + 1, or 0 at the top level
    std::size_t offset;
    std::size_t size;
    std::size_t column;
    std::uint64_t hash;
  };
  static std::uint64_t hash_of(std::size_t parent, std::string_view key);
  std::size_t probe(std::size_t parent, std::string_view key, std::uint64_t hash) const;

  std::string keys_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry index + 1, or 0 when empty
};

// Numbers and strings already surveyed, by column and text: what the survey derives from the value
// alone (value hash, query hit, opaque hint, string floors), so that a value repeated down a column is
// read once. Each entry keeps its text (borrowed from the surveyed records) to confirm a match: the
// table's own hash only finds candidates. Holds at most MAX_ENTRIES values.
class ValueMemo {
 public:
  static constexpr std::size_t MAX_ENTRIES = 2048;

  struct Entry {
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t column = 0;
    std::uint64_t key = 0;   // the table's hash of column, kind and text
    std::uint64_t hash = 0;  // value_hash
    std::array<std::uint64_t, 2> floors{};  // strings: at the survey's two head widths
    Kind kind = Kind::Null;
    bool hit = false;
    bool opaque = false;
  };

  static std::uint64_t key_of(std::size_t column, Kind kind, std::string_view text);
  // The entry of this value, or null.
  const Entry* find(std::uint64_t key, std::size_t column, Kind kind, std::string_view text) const;
  // Records e (not held yet); false once full.
  bool add(const Entry& e);

 private:
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry index + 1, or 0; a power of two, at most half full
};

// The survey of one array of records.
struct Discovery {
  std::vector<Column> columns;   // in order of first appearance
  const Query* query = nullptr;  // borrowed from the pruner; null without relevance
  ColumnIndex index;
  std::array<std::uint64_t, 2> widths = SURVEY_WIDTHS;  // head widths of Column::floors
  TokenSet scratch;          // reused per value while gathering tokens
  std::string scratch_word;  // reused per word
  TermMatcher matcher;       // the terms of matcher_for, borrowed while surveying
  const Query* matcher_for = nullptr;
  // By parent column + 1 (0: the records themselves), the column last met at each entry position:
  // records that repeat their keys in order find their columns without a lookup.
  std::vector<std::vector<std::size_t>> position_hints;
  ValueMemo memo;
};

// Surveys of the document's own arrays, made once per call and shared by every fitting attempt
// (a survey depends only on the records, their analysis, their depth and the call's query).
class SurveyCache {
 public:
  const Discovery* find(const Value::Array* items, const Meta* metas, std::uint64_t depth) const;
  const Discovery& add(const Value::Array* items, const Meta* metas, std::uint64_t depth, Discovery d);
  // The array's cheapest_table, when known.
  std::optional<std::uint64_t> find_cheapest(const Value::Array* items, const Meta* metas, std::uint64_t depth) const;
  void add_cheapest(const Value::Array* items, const Meta* metas, std::uint64_t depth, std::uint64_t size);

 private:
  struct Entry {
    const Meta* metas = nullptr;
    std::uint64_t depth = 0;
    std::unique_ptr<Discovery> discovery;
    std::optional<std::uint64_t> cheapest;
  };
  const Entry* entry(const Value::Array* items, const Meta* metas, std::uint64_t depth) const;
  // The entry of the array, emptied first when it was made for other analyses or another depth.
  Entry& slot(const Value::Array* items, const Meta* metas, std::uint64_t depth);
  std::unordered_map<const Value::Array*, Entry> entries_;  // lookups only
};

// Smallest size of any table plan() can choose for these records at this depth, at either survey
// width: the framing, every record's overhead and the cheapest single column with its ancestors'
// wrappers, at the smaller of its full and floor sizes. A budget below it admits no plan, so
// condensing can give up without surveying the values. The maximum when there is no column.
std::uint64_t cheapest_table(const Pruner& p, const Value::Array& items, MetaList metas,
                             std::uint64_t depth);

// SipHash-1-3 (zero key) of a scalar value: kind tag, bool byte or text + 0xFF.
std::uint64_t value_hash(const Value& v);
// 64-bit finaliser applied to salted value hashes.
std::uint64_t mix(std::uint64_t x);

// Layout arithmetic of a condensed table whose array sits at depth d.
struct TableLayout {
  size::Layout layout;
  std::uint64_t d;

  std::uint64_t framing(std::uint64_t m) const;
  std::uint64_t record_overhead() const;
  std::uint64_t separator(std::uint64_t p) const;
  std::uint64_t wrapper(std::uint64_t p) const;
};

// Projects records onto selected columns of a survey: the entries whose path is a selected column's,
// and the objects on the way to them (projected in turn). Equal to Pruner::project with the columns'
// paths and their prefixes, by column lookups instead of path sets.
class ColumnProjector {
 public:
  ColumnProjector(const Discovery& d, const std::vector<std::size_t>& selected);
  // The projection of one object whose path is the column parent's (none: a record).
  Value::Object project(const Value::Object& entries, std::optional<std::size_t> parent = std::nullopt);

 private:
  static constexpr char NONE = 0, INSIDE = 1, WHOLE = 2;
  static constexpr std::size_t NO_COLUMN = static_cast<std::size_t>(-1);
  const Discovery& d_;
  std::vector<char> keep_;  // by column
  std::vector<std::size_t> kept_under_;  // by parent column + 1: columns kept there
  // By parent column + 1 (0: the records), the column last found at each entry position.
  std::vector<std::vector<std::size_t>> hints_;
};

// ⌊f × budget⌋ with f = 1.0, 0.9 or 0.7 by score tier.
std::uint64_t column_tier_limit(std::uint64_t budget, double score);

using Candidates = std::vector<std::pair<std::size_t, double>>;

// Columns chosen under the budget with the cost model: key, separator and value costs per column,
// wrappers of nested columns' ancestors paid once per selection.
class ColumnChoice {
 public:
  ColumnChoice(const std::vector<Column>& cols, const std::vector<char>& exact, TableLayout tl, std::uint64_t n)
      : cols_(cols), exact_(exact), tl_(tl), n_(n), paid_(cols.size(), 0) {}

  // Framing of the array plus the overhead of every record.
  std::uint64_t base() const;
  // Cost of column c given the ancestors already paid; charged receives the ancestors it pays for.
  std::uint64_t cost(std::size_t c, const std::vector<char>& paid, std::vector<std::size_t>& charged) const;
  // base() plus the column costs of the list, in order.
  std::uint64_t selection_cost(const std::vector<std::size_t>& columns) const;
  // Accepts c when running + its cost + extra_needed stays within limit.
  bool try_add(std::size_t c, std::uint64_t limit, std::uint64_t extra_needed = 0);
  void rebuild(std::vector<std::size_t> next);

  // Candidates in order, each accepted within the tier limit of its score.
  void greedy(const Candidates& cands, std::uint64_t budget);
  // A strong left-out candidate replaces weaker selected columns when that raises the sum of cubed scores.
  void swap_in_stronger(const Candidates& cands, const std::vector<double>& score_of, std::uint64_t budget);
  // More columns while every selected column could still be shown whole.
  void full_value_pass(const Candidates& cands, std::uint64_t budget);

  std::vector<std::size_t> list;  // selection order
  std::unordered_set<std::size_t> selected;
  std::uint64_t running = 0;

 private:
  const std::vector<Column>& cols_;
  const std::vector<char>& exact_;
  TableLayout tl_;
  std::uint64_t n_;
  std::vector<char> paid_;
  std::vector<std::size_t> charged_;
};

// Redundant columns (equal values in the same records) keep 15 % but the best; members of one role
// keep 100 %, 75 %, 56.25 %, ... in score order.
void discount_redundant(const std::vector<Column>& cols, const std::vector<std::optional<std::string>>& roles,
                        Candidates& cands);

// The chosen columns of one array, the projected rows and their floors.
struct Plan {
  Discovery discovery;
  Candidates candidates;  // sorted, with final scores
  Value::Array rows;
  std::unique_ptr<Arena> arena;  // holds the analyses of the rows: declared before them, dropped after them
  std::vector<Meta> metas;
  std::vector<std::uint64_t> floors;
  std::vector<double> relevance;  // per column
  std::unordered_set<std::size_t> selected;
  PathSet kept_prefixes;
  std::int64_t spare = 0;
  std::uint64_t head_chars = 24;
  bool fits = false;
};

enum class PlanStatus { NotCondensable, NoPlan, Ready };

struct PlanOutcome {
  PlanStatus status = PlanStatus::NoPlan;
  std::optional<Plan> plan;

  static PlanOutcome not_condensable() { return {PlanStatus::NotCondensable, std::nullopt}; }
  static PlanOutcome none() { return {PlanStatus::NoPlan, std::nullopt}; }
};

// Score of a field decision in thousandths, rounded half away from zero and clamped to u32.
std::uint32_t thousandths(double x);

}  // namespace tavisk
