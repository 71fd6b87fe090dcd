// Planning a condensed table: survey, worthiness, column scores, the choice
// of columns under the budget, and the projected rows with their floors.
#include <algorithm>
#include <cmath>
#include <limits>

#include "condense.h"
#include "fields.h"

namespace tavisk {

std::uint64_t TableLayout::framing(std::uint64_t m) const {
  if (m == 0) return 2;
  if (!layout.pretty) return m + 1;
  return size::sat_add(size::sat_mul(m, size::sat_add(size::sat_mul(layout.indent, d + 1), 2)),
                       size::sat_add(size::sat_mul(d, layout.indent), 2));
}

std::uint64_t TableLayout::record_overhead() const {
  return layout.pretty ? size::sat_add(size::sat_mul(d + 1, layout.indent), 2) : 1;
}

std::uint64_t TableLayout::separator(std::uint64_t p) const {
  return layout.pretty ? size::sat_add(size::sat_mul(p + d + 1, layout.indent), 2) : 1;
}

std::uint64_t TableLayout::wrapper(std::uint64_t p) const {
  return layout.pretty ? size::sat_add(size::sat_mul(2 * (d + p) + 2, layout.indent), 4) : 2;
}

std::uint64_t column_tier_limit(std::uint64_t budget, double score) {
  const double f = score >= 0.75 ? 1.0 : score >= 0.45 ? 0.9 : 0.7;
  const double x = f * static_cast<double>(budget);
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

std::uint64_t ColumnChoice::base() const {
  return size::sat_add(tl_.framing(n_), size::sat_mul(n_, tl_.record_overhead()));
}

std::uint64_t ColumnChoice::cost(std::size_t c, const std::vector<char>& paid,
                                 std::vector<std::size_t>& charged) const {
  const Column& col = cols_[c];
  charged.clear();
  std::uint64_t total =
      (exact_[c] ? col.value_chars : col.floor_chars) + col.key_chars + col.present * tl_.separator(col.path.size());
  for (auto a = col.parent; a; a = cols_[*a].parent) {
    if (paid[*a]) continue;
    total += cols_[*a].key_chars + cols_[*a].present * tl_.wrapper(cols_[*a].path.size());
    charged.push_back(*a);
  }
  return total;
}

std::uint64_t ColumnChoice::selection_cost(const std::vector<std::size_t>& columns) const {
  std::vector<char> paid(cols_.size(), 0);
  std::vector<std::size_t> charged;
  std::uint64_t total = base();
  for (std::size_t c : columns) {
    total += cost(c, paid, charged);
    for (std::size_t a : charged) paid[a] = 1;
  }
  return total;
}

bool ColumnChoice::try_add(std::size_t c, std::uint64_t limit, std::uint64_t extra_needed) {
  const std::uint64_t k = cost(c, paid_, charged_);
  if (running + k + extra_needed > limit) return false;
  running += k;
  for (std::size_t a : charged_) paid_[a] = 1;
  list.push_back(c);
  selected.insert(c);
  return true;
}

void ColumnChoice::rebuild(std::vector<std::size_t> next) {
  list = std::move(next);
  selected.clear();
  selected.insert(list.begin(), list.end());
  std::fill(paid_.begin(), paid_.end(), 0);
  for (std::size_t c : list)
    for (auto a = cols_[c].parent; a; a = cols_[*a].parent) paid_[*a] = 1;
  running = selection_cost(list);
}

void ColumnChoice::greedy(const Candidates& cands, std::uint64_t budget) {
  running = base();
  for (const auto& [c, s] : cands) try_add(c, column_tier_limit(budget, s));
}

void ColumnChoice::swap_in_stronger(const Candidates& cands, const std::vector<double>& score_of,
                                    std::uint64_t budget) {
  auto cubes = [&](const std::vector<std::size_t>& l) {
    double s = 0;
    for (std::size_t c : l) s += score_of[c] * score_of[c] * score_of[c];
    return s;
  };
  for (const auto& [c, s] : cands) {
    if (selected.count(c) || !(s >= 0.6)) continue;
    const std::uint64_t limit = column_tier_limit(budget, s);
    std::vector<std::size_t> weaker;
    for (std::size_t x : list)
      if (score_of[x] < 0.85 * s) weaker.push_back(x);
    std::stable_sort(weaker.begin(), weaker.end(),
                     [&](std::size_t a, std::size_t b) { return score_of[a] < score_of[b]; });
    std::vector<std::size_t> trial = list;
    trial.push_back(c);
    std::size_t removed = 0;
    std::uint64_t total = selection_cost(trial);
    while (total > limit && removed < weaker.size()) {
      trial.erase(std::find(trial.begin(), trial.end(), weaker[removed++]));
      total = selection_cost(trial);
    }
    if (removed > 0 && total <= limit && cubes(trial) > cubes(list)) rebuild(std::move(trial));
  }
}

void ColumnChoice::full_value_pass(const Candidates& cands, std::uint64_t budget) {
  auto extra = [&](std::size_t c) {
    return cols_[c].value_chars > cols_[c].floor_chars ? cols_[c].value_chars - cols_[c].floor_chars : 0;
  };
  std::uint64_t e = 0;
  for (std::size_t c : list) e += extra(c);
  for (const auto& [c, s] : cands) {
    if (selected.count(c) || !(s >= 0.3) || budget < e) continue;
    if (try_add(c, budget - e, extra(c))) e += extra(c);
  }
}

namespace {

constexpr std::string_view COLLECTION_WORDS[] = {"data",   "nodes",   "items",   "value",      "fields",
                                                 "values", "results", "records", "properties", "attributes"};
constexpr std::string_view GENERIC_LABEL_WORDS[] = {"id", "key", "name", "type", "text", "code", "value", "label"};

bool in(std::span<const std::string_view> list, std::string_view w) {
  return std::find(list.begin(), list.end(), w) != list.end();
}

// Words of one path segment without the collection words.
std::vector<std::string> label_words_of(const std::string& segment) {
  std::vector<std::string> ws = words(segment);
  std::erase_if(ws, [](const std::string& w) { return in(COLLECTION_WORDS, w); });
  return ws;
}

// name_match of a column path: the innermost segment that names the field, with the segments before it as context.
double name_relevance(const Query& q, const Path& path) {
  if (path.empty()) return 0;
  std::vector<std::vector<std::string>> w(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) w[i] = label_words_of(path[i]);
  std::vector<std::string> label, context;
  std::size_t d = path.size();
  for (std::size_t i = path.size(); i-- > 0;) {
    if (std::any_of(w[i].begin(), w[i].end(), [](const std::string& x) { return !in(GENERIC_LABEL_WORDS, x); })) {
      d = i;
      break;
    }
  }
  if (d < path.size()) {
    label = w[d];
    for (std::size_t i = 0; i < d; ++i) context.insert(context.end(), w[i].begin(), w[i].end());
  } else {
    label = w[0];
  }
  if (label.empty()) label = words(path.back());
  return q.name_match(label, context);
}

double value_relevance(const Query& q, const Column& c) {
  if (q.terms.empty()) return 0;
  std::size_t h = 0;
  for (const std::string& t : q.terms) h += token_hit(t, c.tokens) ? 1 : 0;
  if (h == 0) return 0;
  return 0.5 + 0.5 * static_cast<double>(h) / static_cast<double>(q.terms.size());
}

double ratio(std::uint64_t a, std::uint64_t b) {
  return static_cast<double>(a) / static_cast<double>(std::max<std::uint64_t>(b, 1));
}

FieldStats field_stats(const Column& c, std::uint64_t rows) {
  FieldStats s;
  s.kind_counts = c.kind_counts;
  s.path = std::span<const std::string>(c.path);
  s.rows = rows;
  s.present = c.present;
  s.empty = c.empty;
  s.scalars = c.scalars;
  s.distinct = c.distinct.size();
  s.value_hit_rate = ratio(c.hits, c.present);
  s.mean_chars = ratio(c.value_chars, c.present);
  s.mean_position = ratio(c.position_sum, c.present);
  const bool hashed = c.present == c.scalars;
  s.constant = hashed && c.constant;
  s.numeric_like = hashed && c.numeric_like;
  s.date_like = hashed && c.date_like;
  s.opaque = c.present > 0 && c.opaque * 5 >= c.present * 4;
  return s;
}

// Some non-empty prefix of the path matches a protect pattern.
bool protected_prefix(const PatternSet& patterns, const Path& full) {
  Path prefix;
  prefix.reserve(full.size());
  for (const std::string& s : full) {
    prefix.push_back(s);
    if (patterns.matches(prefix)) return true;
  }
  return false;
}

bool is_candidate(const std::vector<Column>& cols, std::size_t ci) {
  if (cols[ci].present == cols[ci].expanded) return false;
  for (auto a = cols[ci].parent; a; a = cols[*a].parent)
    if (cols[*a].present == 0 || cols[*a].present != cols[*a].expanded) return false;
  return true;
}

// Per-column judgements of the candidates.
struct ColumnInfo {
  std::vector<std::optional<std::string>> role;
  std::vector<char> is_protected;
  std::vector<char> exact;
  std::vector<double> relevance;
};

bool content_gate(const std::vector<Column>& cols, const ColumnInfo& info, const std::vector<std::size_t>& list,
                  const std::vector<double>& score_of) {
  for (std::size_t c : list) {
    const Column& col = cols[c];
    const std::uint64_t scalar_values = col.count(Kind::Bool) + col.count(Kind::Number) + col.count(Kind::String);
    if (2 * scalar_values <= col.present) continue;
    if (!(2 * col.distinct.size() >= col.present || col.value_chars >= 20 * col.present)) continue;
    if (info.role[c] && *info.role[c] == "identity") continue;
    if (!(score_of[c] >= 0.45)) continue;
    return true;
  }
  return false;
}

}  // namespace

// Redundant columns (same values in the same rows) keep 15 %; same-role columns 100 %, 75 %, 56.25 %, ...
void discount_redundant(const std::vector<Column>& cols, const std::vector<std::optional<std::string>>& roles,
                        Candidates& cands) {
  // (present, fingerprint) groups, in candidate order; group membership by linear scan of group keys.
  std::vector<std::pair<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::size_t>>> groups;
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_fp;  // fingerprint -> group indices
  for (std::size_t k = 0; k < cands.size(); ++k) {
    const Column& c = cols[cands[k].first];
    if (c.present < 3 || c.present != c.scalars || c.constant) continue;
    std::vector<std::size_t>& gs = by_fp[c.fingerprint];
    auto g = std::find_if(gs.begin(), gs.end(), [&](std::size_t gi) { return groups[gi].first.first == c.present; });
    if (g == gs.end()) {
      gs.push_back(groups.size());
      groups.push_back({{c.present, c.fingerprint}, {k}});
    } else {
      groups[*g].second.push_back(k);
    }
  }
  for (const auto& [key, members] : groups) {
    if (members.size() < 2) continue;
    std::size_t best = members[0];
    for (std::size_t k : members) {
      const double s = cands[k].second, bs = cands[best].second;
      const std::size_t pl = cols[cands[k].first].path.size(), bl = cols[cands[best].first].path.size();
      if (s > bs || (!(s < bs) && (pl < bl || (pl == bl && cands[k].first < cands[best].first)))) best = k;
    }
    for (std::size_t k : members)
      if (k != best) cands[k].second *= 0.15;
  }

  std::vector<std::vector<std::size_t>> role_groups;
  std::unordered_map<std::string, std::size_t> role_index;
  for (std::size_t k = 0; k < cands.size(); ++k) {
    const auto& r = roles[cands[k].first];
    if (!r) continue;
    auto [it, added] = role_index.try_emplace(*r, role_groups.size());
    if (added) role_groups.emplace_back();
    role_groups[it->second].push_back(k);
  }
  for (auto& members : role_groups) {
    std::stable_sort(members.begin(), members.end(), [&](std::size_t a, std::size_t b) {
      if (cands[a].second > cands[b].second) return true;
      if (cands[a].second < cands[b].second) return false;
      return cands[a].first < cands[b].first;
    });
    double f = 1.0;
    for (std::size_t k : members) {
      cands[k].second *= f;
      f *= 0.75;
    }
  }
}

PlanOutcome Pruner::plan(const Value::Array& items, MetaList metas, std::uint64_t budget,
                         std::uint64_t depth, bool first) {
  // 1. Survey: once per array and call when the attempts share a cache. A shared survey gathers the
  // value tokens whenever the call has a query, so that it also serves plans made without one.
  const std::uint64_t n = items.size();
  const std::size_t width = floor_head_chars == SURVEY_WIDTHS[0] ? 0 : 1;
  const bool shared = surveys && projecting == 0 && floor_head_chars == SURVEY_WIDTHS[width];
  const Discovery* cached = shared ? surveys->find(&items, metas.data(), depth) : nullptr;
  Discovery disc;
  if (!cached) {
    disc.query = shared ? query_.get() : query();
    if (!shared) disc.widths = {floor_head_chars, floor_head_chars};
    Path prefix;
    const std::size_t surveyed = std::min(items.size(), metas.size());
    for (std::size_t i = 0; i < surveyed; ++i) {
      if (!items[i].is_object()) continue;
      const auto& members = items[i].members();
      visit(disc, members, std::min(members.size(), metas[i].children().size()), metas[i], std::nullopt, prefix,
            depth + 1, i);
    }
    disc.scratch = {};
    disc.scratch_word = {};
    disc.matcher = {};
    disc.matcher_for = nullptr;
    disc.position_hints = {};
    disc.memo = {};
    if (shared) cached = &surveys->add(&items, metas.data(), depth, std::move(disc));
  }
  if (cached) disc = *cached;
  disc.query = query();
  for (Column& c : disc.columns) {
    c.floor_chars = c.floors[shared ? width : 0];
    if (!disc.query) c.hits = 0;
  }
  const std::vector<Column>& cols = disc.columns;

  // 2. Worthiness: the records must share most of their top-level fields.
  if (first) {
    std::uint64_t total = 0, common = 0;
    for (const Column& c : cols) {
      if (c.parent) continue;
      total += c.present;
      if (2 * c.present >= n) common += c.present;
    }
    if (total == 0 || static_cast<double>(common) < 0.7 * static_cast<double>(total))
      return PlanOutcome::not_condensable();
  }

  // 3-6. Candidates, relevance and the scorer's judgement.
  ColumnInfo info{std::vector<std::optional<std::string>>(cols.size()), std::vector<char>(cols.size(), 0),
                  std::vector<char>(cols.size(), 0), std::vector<double>(cols.size(), 0.0)};
  Candidates cands;
  Path full_path = path;
  full_path.emplace_back("*");
  const std::size_t base_len = full_path.size();
  for (std::size_t ci = 0; ci < cols.size(); ++ci) {
    if (!is_candidate(cols, ci)) continue;
    const Column& c = cols[ci];
    FieldStats fs = field_stats(c, n);
    if (disc.query) {
      fs.name_relevance = name_relevance(*disc.query, c.path);
      fs.value_relevance = value_relevance(*disc.query, c);
      fs.relevance =
          std::isnan(fs.value_relevance) ? fs.name_relevance : std::max(fs.name_relevance, fs.value_relevance);
      info.relevance[ci] = fs.relevance;
    }
    info.role[ci] = scorer->role(fs);
    full_path.resize(base_len);
    full_path.insert(full_path.end(), c.path.begin(), c.path.end());
    info.is_protected[ci] = protected_prefix(patterns, full_path);
    info.exact[ci] = info.is_protected[ci] || scorer->exact(fs);
    cands.push_back({ci, scorer->score(fs)});
  }

  // 7-8. Discounts, protected columns first, the order.
  discount_redundant(cols, info.role, cands);
  for (auto& [ci, s] : cands)
    if (info.is_protected[ci]) s = 2.0;
  std::stable_sort(cands.begin(), cands.end(), [&](const auto& a, const auto& b) {
    if (a.second > b.second) return true;
    if (a.second < b.second) return false;
    if (cols[a.first].floor_chars != cols[b.first].floor_chars)
      return cols[a.first].floor_chars < cols[b.first].floor_chars;
    return a.first < b.first;
  });
  std::vector<double> score_of(cols.size(), 0.0);
  for (const auto& [ci, s] : cands) score_of[ci] = s;

  // 9. Greedy choice under the tier limits.
  const TableLayout tl{layout(), depth};
  ColumnChoice ch(cols, info.exact, tl, n);
  ch.greedy(cands, budget);

  // 10. Every protected column must be kept.
  for (const auto& [c, s] : cands)
    if (info.is_protected[c] && !ch.selected.count(c)) return PlanOutcome::none();

  // 11-12. Swaps for stronger columns; then columns that still fit at full size.
  ch.swap_in_stronger(cands, score_of, budget);
  ch.full_value_pass(cands, budget);

  // 13. Project the rows; drop columns from the end until the floors fit.
  std::vector<std::size_t> list = ch.list;
  PathSet selected_paths, kept_prefixes;
  Value::Array rows;
  std::vector<Meta> row_metas;
  std::vector<std::uint64_t> floors;
  std::uint64_t need = 0;
  Path record_path = path;
  record_path.emplace_back("*");
  for (;;) {
    if (list.empty()) return PlanOutcome::none();
    selected_paths.clear();
    kept_prefixes.clear();
    pinned.clear();
    for (std::size_t c : list) {
      const Path& p = cols[c].path;
      selected_paths.insert(p);
      for (std::size_t k = 1; k <= p.size(); ++k)
        kept_prefixes.insert(Path(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(k)));
      if (info.exact[c]) {
        Path fp = record_path;
        fp.insert(fp.end(), p.begin(), p.end());
        pinned.insert(std::move(fp));
      }
    }
    rows.clear();
    row_metas.clear();
    floors.clear();
    rows.reserve(items.size());
    row_metas.reserve(items.size());
    floors.reserve(items.size());
    need = tl.framing(n);
    Path working;
    for (const Value& item : items) {
      rows.push_back(Value::object(project(item.members(), working, kept_prefixes, selected_paths)));
      row_metas.push_back(analyze_at(rows.back(), depth + 1, record_path, false));
      floors.push_back(floor(rows.back(), row_metas.back(), depth + 1));
      need += floors.back();
    }
    if (budget >= need) break;
    if (info.is_protected[list.back()]) return PlanOutcome::none();
    list.pop_back();
  }
  std::unordered_set<std::size_t> selected(list.begin(), list.end());

  // 14. Quality gates.
  if (!content_gate(cols, info, list, score_of)) return PlanOutcome::none();
  double top = -std::numeric_limits<double>::infinity();
  for (const auto& [c, s] : cands) top = std::max(top, s);
  bool top_kept = false, fits = true;
  for (const auto& [c, s] : cands) {
    if (s >= top - 1e-9 && selected.count(c)) top_kept = true;
    if (s >= 0.8 && !selected.count(c)) fits = false;
  }
  if (!top_kept) return PlanOutcome::none();

  // 15. Assembly.
  Plan p{std::move(disc),
         std::move(cands),
         std::move(rows),
         std::move(row_metas),
         std::move(floors),
         std::move(info.relevance),
         std::move(selected),
         std::move(kept_prefixes),
         static_cast<std::int64_t>(budget - need),
         floor_head_chars,
         fits};
  return {PlanStatus::Ready, std::move(p)};
}

}  // namespace tavisk
