// Condensing arrays of records into narrowed tables: the column survey, the
// plan (which columns to keep under the budget) and the projected rows.
#pragma once

#include <array>
#include <cstdint>
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

// Statistics of one key path over the surveyed records.
struct Column {
  std::optional<std::size_t> parent;
  Path path;
  std::optional<std::uint64_t> first_hash;
  std::unordered_set<std::uint64_t> distinct;  // capped at MAX_DISTINCT
  TokenSet tokens;                             // merged while below MAX_VALUE_TOKENS
  std::uint64_t present = 0;
  std::uint64_t expanded = 0;
  std::array<std::uint64_t, 6> kind_counts{};
  std::uint64_t empty = 0;
  std::uint64_t key_chars = 0;
  std::uint64_t value_chars = 0;
  std::uint64_t floor_chars = 0;
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

// The survey of one array of records.
struct Discovery {
  std::vector<Column> columns;   // in order of first appearance
  const Query* query = nullptr;  // borrowed from the pruner; null without relevance
  std::unordered_map<Path, std::size_t, PathHash> index;
  TokenSet scratch;  // reused per value while gathering tokens
};

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
