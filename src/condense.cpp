// Condensing arrays of records: the column survey, floors, projection, the
// fill of the projected rows and the execution of a plan.
#include "condense.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fields.h"
#include "siphash.h"
#include "size.h"
#include "utf8.h"

namespace tavisk {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_blank_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// Shape hints of a string value: numeric-looking, date-like, opaque token.
void classify_string(Column& c, std::string_view s) {
  if (s.empty()) {
    c.numeric_like = c.date_like = false;
    return;
  }
  if (!looks_numeric(s)) c.numeric_like = false;
  if (!looks_like_date(s)) c.date_like = false;

  const std::size_t n = s.size();
  if (n < 8) return;
  bool digit = false, upper = false, lower = false, hexish = true;
  for (char ch : s) {
    if (is_blank_byte(ch)) return;
    bool d = is_digit(ch);
    digit |= d;
    upper |= ch >= 'A' && ch <= 'Z';
    lower |= ch >= 'a' && ch <= 'z';
    hexish &= d || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F') || ch == '-' || ch == '_';
  }
  if ((n > 11 && digit && upper && lower) || (hexish && digit)) ++c.opaque;
}

void shape_hints(Column& c, const Value& v) {
  switch (v.kind()) {
    case Kind::Number: {
      c.date_like = false;
      std::string_view t = v.text();
      if (t.size() > 8 && std::all_of(t.begin(), t.end(), is_digit)) ++c.opaque;
      break;
    }
    case Kind::String: classify_string(c, v.text()); break;
    default: c.numeric_like = c.date_like = false; break;
  }
}

void gather_tokens(Discovery& d, Column& c, const Value& v) {
  TokenSet& fresh = d.scratch;
  fresh.clear();
  if (v.is_string() || v.is_number()) value_tokens(v.text(), fresh);
  for (const std::string& t : d.query->terms) {
    if (token_hit(t, fresh)) {
      ++c.hits;
      break;
    }
  }
  if (c.tokens.size() < MAX_VALUE_TOKENS) c.tokens.insert(fresh.begin(), fresh.end());
}

void hash_scalar(Column& c, const Value& v, std::size_t row) {
  const std::uint64_t h = value_hash(v);
  ++c.scalars;
  c.fingerprint += mix(h ^ (static_cast<std::uint64_t>(row) * 0x9E3779B97F4A7C15ull));
  if (c.distinct.size() < MAX_DISTINCT) c.distinct.insert(h);
  if (!c.first_hash)
    c.first_hash = h;
  else if (*c.first_hash != h)
    c.constant = false;
}

std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

}  // namespace

std::uint64_t value_hash(const Value& v) {
  SipHasher13 h;
  switch (v.kind()) {
    case Kind::Null: h.write_u8(0); break;
    case Kind::Bool:
      h.write_u8(1);
      h.write_u8(v.as_bool() ? 1 : 0);
      break;
    case Kind::Number:
    case Kind::String:
      h.write_u8(v.is_number() ? 2 : 3);
      h.write(v.text());
      h.write_u8(0xFF);
      break;
    default: break;
  }
  return h.finish();
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 29;
  return x;
}

std::uint32_t thousandths(double x) {
  double r = std::round(x * 1000.0);
  if (!(r > 0)) return 0;
  if (r >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(r);
}

// ---- survey ----------------------------------------------------------------

void Pruner::visit(Discovery& d, const Value::Object& entries, std::size_t count, const Meta& meta,
                   std::optional<std::size_t> parent, Path& prefix, std::uint64_t depth, std::size_t row) {
  const size::Layout l = layout();
  for (std::size_t pos = 0; pos < count; ++pos) {
    const Member& e = entries[pos];
    const Meta& child = meta.children[pos];
    prefix.emplace_back(e.key);
    auto [it, added] = d.index.try_emplace(prefix, d.columns.size());
    const std::size_t ci = it->second;
    if (added) {
      d.columns.emplace_back();
      d.columns.back().parent = parent;
      d.columns.back().path = prefix;
    }
    Column& c = d.columns[ci];
    ++c.present;
    c.key_chars += size::entry_cost(l, e.key);
    c.value_chars += child.full;
    c.floor_chars += floor(e.value, child, depth + 1);
    c.position_sum += pos;
    ++c.kind_counts[static_cast<std::size_t>(e.value.kind())];
    if (is_empty(e.value)) ++c.empty;
    if (d.query) gather_tokens(d, c, e.value);
    shape_hints(c, e.value);
    if (e.value.is_scalar()) hash_scalar(c, e.value, row);
    if (e.value.is_object() && !e.value.members().empty() && prefix.size() < MAX_COLUMN_DEPTH) {
      ++c.expanded;
      const std::size_t n = std::min(e.value.members().size(), child.children.size());
      visit(d, e.value.members(), n, child, ci, prefix, depth + 1, row);
    }
    prefix.pop_back();
  }
}

// ---- floors ----------------------------------------------------------------

std::uint64_t Pruner::floor(const Value& v, const Meta& meta, std::uint64_t depth) const {
  if (meta.min >= meta.full) return meta.full;
  const size::Layout l = layout();
  if (v.is_object() && !v.members().empty()) {
    const auto& members = v.members();
    std::uint64_t total = TableLayout{l, depth}.framing(members.size());
    const std::size_t n = std::min(members.size(), meta.children.size());
    for (std::size_t i = 0; i < n; ++i)
      total += size::entry_cost(l, members[i].key) + floor(members[i].value, meta.children[i], depth + 1);
    return total;
  }
  if (v.is_string()) {
    std::string_view s = v.text();
    const std::uint64_t c = utf8::count(s);
    if (c <= floor_head_chars + 16) return meta.full;
    const std::size_t head = utf8::offset_of(s, floor_head_chars);
    const std::uint64_t cut = 2 + size::char_costs(std::string_view(s).substr(0, head)) +
                              size::char_costs(size::string_placeholder(c - floor_head_chars));
    return std::min(meta.full, cut);
  }
  return meta.min;
}

// ---- projection ------------------------------------------------------------

Value::Object Pruner::project(const Value::Object& entries, Path& working, const PathSet& kept_prefixes,
                              const PathSet& selected) const {
  Value::Object out;
  for (const Member& e : entries) {
    working.emplace_back(e.key);
    if (selected.count(working)) {
      out.push_back(e);
    } else if (e.value.is_object() && kept_prefixes.count(working)) {
      out.push_back({e.key, Value::object(project(e.value.members(), working, kept_prefixes, selected))});
    }
    working.pop_back();
  }
  return out;
}

// ---- fill ------------------------------------------------------------------

Pruner::Filled Pruner::fill(const std::vector<Child>& pairs, const std::vector<std::uint64_t>& floors,
                            std::int64_t spare, std::uint64_t depth) {
  const std::size_t m = std::min(pairs.size(), floors.size());
  auto need = [&](std::size_t i) { return sat_sub(pairs[i].meta->full, floors[i]); };
  std::vector<std::size_t> order(m);
  for (std::size_t i = 0; i < m; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return need(a) < need(b); });

  const size::Layout l = layout();
  Filled out;
  out.values.resize(m);
  std::int64_t pool = spare;
  std::uint64_t remaining = m;
  for (std::size_t v : order) {
    const Child& c = pairs[v];
    const std::uint64_t share =
        static_cast<std::uint64_t>(std::max<std::int64_t>(pool, 0)) / std::max<std::uint64_t>(remaining, 1);
    const std::uint64_t budget = floors[v] + std::min(share, need(v));
    path.push_back(c.key ? std::string(c.key->view()) : std::string("*"));
    Fitted f;
    if (budget >= c.meta->full) {
      f = {*c.value, c.meta->full};
    } else if (c.value->is_object() && !c.value->members().empty()) {
      const auto& members = c.value->members();
      const std::size_t k = std::min(members.size(), c.meta->children.size());
      std::vector<Child> sub(k);
      std::vector<std::uint64_t> sub_floors(k);
      std::uint64_t key_costs = 0, floor_sum = 0;
      for (const Member& e : members) key_costs += size::entry_cost(l, e.key);
      for (std::size_t i = 0; i < k; ++i) {
        sub[i] = {&members[i].value, &c.meta->children[i], &members[i].key};
        sub_floors[i] = floor(members[i].value, c.meta->children[i], depth + 1);
        floor_sum += sub_floors[i];
      }
      const std::uint64_t framing = TableLayout{l, depth}.framing(members.size());
      const std::uint64_t fixed = framing + key_costs + floor_sum;
      const std::int64_t sub_spare = static_cast<std::int64_t>(sat_sub(budget, fixed));
      Filled inner = fill(sub, sub_floors, sub_spare, depth + 1);
      Value::Object obj;
      obj.reserve(k);
      for (std::size_t i = 0; i < k; ++i) obj.push_back({members[i].key, std::move(inner.values[i])});
      f = {Value::object(std::move(obj)), framing + key_costs + inner.total};
    } else {
      f = fit(*c.value, *c.meta, budget, depth);
    }
    path.pop_back();
    out.total += f.size;
    pool += static_cast<std::int64_t>(floors[v]) - static_cast<std::int64_t>(f.size);
    out.values[v] = std::move(f.value);
    --remaining;
  }
  return out;
}

// ---- execution ---------------------------------------------------------------

std::string Pruner::path_string(const Path& prefix, const Path& p) {
  std::string out;
  for (const std::string& s : prefix) out.append("/").append(s);
  out.append("/*");
  for (const std::string& s : p) out.append("/").append(s);
  return out;
}

namespace {

// Puts back the pruner state that planning and execution change, on every way out.
class CondenseScope {
 public:
  explicit CondenseScope(Pruner& p) : p_(p), head_(p.floor_head_chars), suppressed_(p.query_suppressed) {}
  ~CondenseScope() {
    p_.floor_head_chars = head_;
    p_.query_suppressed = suppressed_;
    p_.pinned.clear();
  }
  CondenseScope(const CondenseScope&) = delete;
  CondenseScope& operator=(const CondenseScope&) = delete;
  std::uint64_t head() const { return head_; }

 private:
  Pruner& p_;
  std::uint64_t head_;
  bool suppressed_;
};

// Dropped-field entries of one executed plan, sorted by count, then text.
std::vector<DroppedField> dropped_fields(const Plan& plan, const Path& at) {
  std::vector<DroppedField> out;
  PathSet taken;
  const auto& cols = plan.discovery.columns;
  for (const auto& [ci, score] : plan.candidates) {
    if (plan.selected.count(ci)) continue;
    const Path& full = cols[ci].path;
    Path prefix;
    for (const std::string& s : full) {
      prefix.push_back(s);
      if (!plan.kept_prefixes.count(prefix)) break;
    }
    if (!taken.insert(prefix).second) continue;
    auto it = plan.discovery.index.find(prefix);
    const std::uint64_t items = it != plan.discovery.index.end() ? cols[it->second].present : cols[ci].present;
    out.push_back({Pruner::path_string(at, prefix), items});
  }
  std::stable_sort(out.begin(), out.end(), [](const DroppedField& a, const DroppedField& b) {
    if (a.items != b.items) return a.items > b.items;
    return a.path < b.path;
  });
  return out;
}

std::vector<FieldDecision> field_decisions(const Plan& plan, const Path& at) {
  std::vector<FieldDecision> out;
  out.reserve(plan.candidates.size());
  for (const auto& [ci, score] : plan.candidates) {
    out.push_back({Pruner::path_string(at, plan.discovery.columns[ci].path), thousandths(score),
                   plan.selected.count(ci) > 0, thousandths(plan.relevance[ci])});
  }
  std::stable_sort(out.begin(), out.end(), [](const FieldDecision& a, const FieldDecision& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.path < b.path;
  });
  return out;
}

constexpr std::size_t MAX_DROPPED_ENTRIES = 24;

}  // namespace

std::optional<Fitted> Pruner::try_condense(const Value& array, const Meta& meta, std::uint64_t budget,
                                           std::uint64_t depth) {
  const auto& items = array.items();
  if (items.size() < 2) return std::nullopt;
  for (const Value& item : items)
    if (!item.is_object()) return std::nullopt;

  // Every column choice starts from the framing and the per-record overhead; when those alone exceed the
  // budget, no width or attempt can find a plan, so the survey is skipped.
  const TableLayout tl{layout(), depth};
  if (tl.framing(items.size()) + items.size() * tl.record_overhead() > budget) return std::nullopt;

  CondenseScope scope(*this);
  std::optional<Plan> chosen;
  for (int attempt = 0; attempt < 2 && !chosen; ++attempt) {
    if (attempt == 1 && !options->arguments) break;
    query_suppressed = attempt == 1;
    for (std::uint64_t width : {24u, 12u}) {
      floor_head_chars = width;
      PlanOutcome outcome = plan(items, meta.children, budget, depth, width == 24);
      floor_head_chars = scope.head();
      pinned.clear();
      if (outcome.status == PlanStatus::NotCondensable) return std::nullopt;
      if (outcome.status == PlanStatus::NoPlan) continue;
      chosen = std::move(outcome.plan);
      if (chosen->fits) break;
    }
    query_suppressed = false;
  }
  if (!chosen) return std::nullopt;
  Plan& p = *chosen;

  floor_head_chars = p.head_chars;
  const std::size_t r = std::min(p.rows.size(), p.metas.size());
  std::vector<Child> pairs(r);
  for (std::size_t i = 0; i < r; ++i) pairs[i] = {&p.rows[i], &p.metas[i], nullptr};
  const bool outer_rows = fitting_rows;
  fitting_rows = true;
  Filled filled = fill(pairs, p.floors, p.spare, depth + 1);
  fitting_rows = outer_rows;
  const std::uint64_t size = tl.framing(filled.values.size()) + filled.total;

  std::vector<DroppedField> dropped = dropped_fields(p, path);
  if (options->explain) {
    std::vector<FieldDecision> decisions = field_decisions(p, path);
    for (FieldDecision& d : decisions) stats.field_decisions.push_back(std::move(d));
  }
  ++stats.arrays_condensed;
  stats.fields_dropped += dropped.size();
  for (DroppedField& d : dropped) {
    if (stats.dropped_fields.size() >= MAX_DROPPED_ENTRIES) break;
    stats.dropped_fields.push_back(std::move(d));
  }
  return Fitted{Value::array(std::move(filled.values)), size};
}

}  // namespace tavisk
