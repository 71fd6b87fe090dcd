// Condensing arrays of records: the column survey, floors, projection, the
// fill of the projected rows and the execution of a plan.
#include "condense.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

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

// Whether the value's token set, as value_tokens builds it, hits a query term; its tokens are merged
// into the column's set while that holds fewer than MAX_VALUE_TOKENS. The set is not built: any of
// the value's first MAX_VALUE_TOKENS informative words is in it, so a hit among them is final and
// those words go straight into the column's set. Only a value with more words builds the set.
bool gather_tokens(Discovery& d, Column& c, const Value& v) {
  if (!v.is_string() && !v.is_number()) return false;  // no tokens: no hit, nothing to merge
  const std::string_view text = v.text();
  if (d.matcher_for != d.query) {
    d.matcher = TermMatcher(d.query->terms);
    d.matcher_for = d.query;
  }
  const bool merge = c.tokens.size() < MAX_VALUE_TOKENS;
  WordSplitter split(text);
  std::string& scratch = d.scratch_word;
  Word w;
  bool hit = false;
  std::size_t seen = 0;
  while (split.next(scratch, w)) {
    const std::uint64_t chars = w.ascii ? w.text.size() : utf8::count(w.text);
    if (!informative(w.text, chars)) continue;
    if (++seen > MAX_VALUE_TOKENS) {
      TokenSet& fresh = d.scratch;
      fresh.clear();
      std::string other;
      value_tokens(text, fresh, other);
      hit = false;
      for (const std::string_view t : fresh)
        if (d.matcher.hits(t)) {
          hit = true;
          break;
        }
      if (merge) c.tokens.merge(fresh);
      break;
    }
    const std::string_view t = norm(w.text);
    const std::uint64_t h = token_hash(t);
    if (merge) c.tokens.insert(t, h);
    if (!hit && d.matcher.hits(t, h, chars - (w.text.size() - t.size()))) {
      hit = true;
      if (!merge) break;
    }
  }
  return hit;
}

// The string branch of a floor: text of `full` quoted size, at each head width.
void add_string_floors(std::string_view s, std::uint64_t full, std::span<const std::uint64_t> heads,
                       std::span<std::uint64_t> out) {
  // A text of `full` quoted size holds at most full - 2 characters: a short one is its own floor
  // without counting them.
  if (std::all_of(heads.begin(), heads.end(), [&](std::uint64_t h) { return full <= size::sat_add(h, 18); })) {
    for (std::uint64_t& o : out) o += full;
    return;
  }
  const std::uint64_t c = utf8::count(s);
  for (std::size_t k = 0; k < heads.size(); ++k) {
    const std::uint64_t head_chars = heads[k];
    if (c <= head_chars + 16) {
      out[k] += full;
      continue;
    }
    const std::size_t head = utf8::offset_of(s, head_chars);
    const std::uint64_t cut = size::char_costs(s.substr(0, head)) + size::placeholder_size(c - head_chars);
    out[k] += std::min(full, cut);
  }
}

// seen: the value was hashed into this column before, so distinct holds it or was full then.
void hash_scalar(Column& c, std::uint64_t h, std::size_t row, bool seen) {
  ++c.scalars;
  c.fingerprint += mix(h ^ (static_cast<std::uint64_t>(row) * 0x9E3779B97F4A7C15ull));
  if (!seen && c.distinct.size() < MAX_DISTINCT) c.distinct.insert(h);
  if (!c.first_hash)
    c.first_hash = h;
  else if (*c.first_hash != h)
    c.constant = false;
}

std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

}  // namespace

std::uint64_t value_hash(const Value& v) {
  switch (v.kind()) {
    case Kind::Number:
    case Kind::String: return siphash13_framed(v.is_number() ? 2 : 3, v.text(), 0xFF);
    case Kind::Bool: {
      static const std::uint64_t yes = siphash13(std::string_view("\x01\x01", 2));
      static const std::uint64_t no = siphash13(std::string_view("\x01\x00", 2));
      return v.as_bool() ? yes : no;
    }
    case Kind::Null: {
      static const std::uint64_t null = siphash13(std::string_view("\x00", 1));
      return null;
    }
    default: return SipHasher13().finish();
  }
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

// ---- survey tables -------------------------------------------------------

std::uint64_t ValueMemo::key_of(std::size_t column, Kind kind, std::string_view text) {
  return mix(token_hash(text) ^ ((static_cast<std::uint64_t>(column) << 3 | static_cast<std::uint64_t>(kind)) *
                                 0x9E3779B97F4A7C15ull));
}

const ValueMemo::Entry* ValueMemo::find(std::uint64_t key, std::size_t column, Kind kind,
                                        std::string_view text) const {
  if (entries_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(key) & mask;; i = (i + 1) & mask) {
    if (slots_[i] == 0) return nullptr;
    const Entry& e = entries_[slots_[i] - 1];
    if (e.key == key && e.column == column && e.kind == kind && e.size == text.size() &&
        std::memcmp(e.data, text.data(), e.size) == 0)
      return &e;
  }
}

bool ValueMemo::add(const Entry& e) {
  if (entries_.size() >= MAX_ENTRIES) return false;
  if (2 * (entries_.size() + 1) > slots_.size()) {
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      std::size_t i = static_cast<std::size_t>(entries_[k].key) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(k + 1);
    }
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(e.key) & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  entries_.push_back(e);
  slots_[i] = static_cast<std::uint32_t>(entries_.size());
  return true;
}

bool HashSet64::contains(std::uint64_t h) const {
  if (h == 0) return has_zero_;
  if (slots_.empty()) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(mix(h)) & mask;; i = (i + 1) & mask) {
    if (slots_[i] == h) return true;
    if (slots_[i] == 0) return false;
  }
}

bool HashSet64::insert(std::uint64_t h) {
  if (h == 0) {
    if (has_zero_) return false;
    has_zero_ = true;
    ++size_;
    return true;
  }
  if (2 * (size_ + 1) > slots_.size()) {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : 2 * old.size(), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint64_t x : old) {
      if (x == 0) continue;
      std::size_t i = static_cast<std::size_t>(mix(x)) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = x;
    }
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(mix(h)) & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask)
    if (slots_[i] == h) return false;
  slots_[i] = h;
  ++size_;
  return true;
}

std::uint64_t ColumnIndex::hash_of(std::size_t parent, std::string_view key) {
  return mix(token_hash(key) ^ (static_cast<std::uint64_t>(parent) * 0x9E3779B97F4A7C15ull));
}

std::size_t ColumnIndex::probe(std::size_t parent, std::string_view key, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const std::uint32_t s = slots_[i];
    if (s == 0) return i;
    const Entry& e = entries_[s - 1];
    if (e.hash == hash && e.parent == parent && e.size == key.size() &&
        std::memcmp(keys_.data() + e.offset, key.data(), key.size()) == 0)
      return i;
  }
}

std::optional<std::size_t> ColumnIndex::find(std::optional<std::size_t> parent, std::string_view key) const {
  if (entries_.empty()) return std::nullopt;
  const std::size_t p = parent ? *parent + 1 : 0;
  const std::uint32_t s = slots_[probe(p, key, hash_of(p, key))];
  if (s == 0) return std::nullopt;
  return entries_[s - 1].column;
}

std::pair<std::size_t, bool> ColumnIndex::try_emplace(std::optional<std::size_t> parent, std::string_view key,
                                                      std::size_t column) {
  if (2 * (entries_.size() + 1) > slots_.size()) {
    slots_.assign(slots_.empty() ? 16 : 2 * slots_.size(), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      std::size_t i = static_cast<std::size_t>(entries_[k].hash) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(k + 1);
    }
  }
  const std::size_t p = parent ? *parent + 1 : 0;
  const std::uint64_t hash = hash_of(p, key);
  const std::size_t i = probe(p, key, hash);
  if (slots_[i] != 0) return {entries_[slots_[i] - 1].column, false};
  entries_.push_back({p, keys_.size(), key.size(), column, hash});
  keys_.append(key);
  slots_[i] = static_cast<std::uint32_t>(entries_.size());
  return {column, true};
}

std::optional<std::size_t> ColumnIndex::find(const Path& path) const {
  std::optional<std::size_t> at;
  for (const std::string& segment : path) {
    at = find(at, segment);
    if (!at) return std::nullopt;
  }
  return at;
}

std::size_t ColumnIndex::at(const Path& path) const {
  const auto c = path.empty() ? std::nullopt : find(path);
  if (!c) throw std::out_of_range("no column at this path");
  return *c;
}

const SurveyCache::Entry* SurveyCache::entry(const Value::Array* items, const Meta* metas, std::uint64_t depth) const {
  auto it = entries_.find(items);
  if (it == entries_.end() || it->second.metas != metas || it->second.depth != depth) return nullptr;
  return &it->second;
}

SurveyCache::Entry& SurveyCache::slot(const Value::Array* items, const Meta* metas, std::uint64_t depth) {
  Entry& e = entries_[items];
  if (e.metas != metas || e.depth != depth) e = Entry{metas, depth, nullptr, std::nullopt};
  return e;
}

const Discovery* SurveyCache::find(const Value::Array* items, const Meta* metas, std::uint64_t depth) const {
  const Entry* e = entry(items, metas, depth);
  return e ? e->discovery.get() : nullptr;
}

const Discovery& SurveyCache::add(const Value::Array* items, const Meta* metas, std::uint64_t depth, Discovery d) {
  Entry& e = slot(items, metas, depth);
  e.discovery = std::make_unique<Discovery>(std::move(d));
  return *e.discovery;
}

std::optional<std::uint64_t> SurveyCache::find_cheapest(const Value::Array* items, const Meta* metas,
                                                        std::uint64_t depth) const {
  const Entry* e = entry(items, metas, depth);
  return e ? e->cheapest : std::nullopt;
}

void SurveyCache::add_cheapest(const Value::Array* items, const Meta* metas, std::uint64_t depth, std::uint64_t size) {
  slot(items, metas, depth).cheapest = size;
}

// ---- the cheapest table -------------------------------------------------------

namespace {

// The cost side of the survey: the columns visit() finds, with a lower bound of their cost in a table.
class CostSurvey {
 public:
  CostSurvey(const Pruner& p, std::uint64_t depth) : p_(p), l_(p.layout()), tl_{l_, depth} {}

  // Mirrors visit(): the first count entries of one object, nested objects down to MAX_COLUMN_DEPTH keys.
  void visit(const Value::Object& entries, std::size_t count, const Meta& meta, std::size_t parent,
             std::uint64_t keys, std::uint64_t depth) {
    if (hints_.size() <= parent) hints_.resize(parent + 1);
    const MetaList kids = meta.children();
    std::vector<std::size_t>* hints = &hints_[parent];
    for (std::size_t pos = 0; pos < count; ++pos) {
      const Member& e = entries[pos];
      const Meta& child = kids[pos];
      const std::string_view key = e.key.view();
      std::size_t ci;
      if (pos < hints->size() && same_short_text(cols_[(*hints)[pos]].key, key)) {
        ci = (*hints)[pos];
      } else {
        const std::optional<std::size_t> up = parent ? std::optional<std::size_t>(parent - 1) : std::nullopt;
        const auto [found, added] = index_.try_emplace(up, key, cols_.size());
        ci = found;
        if (added) cols_.push_back({key, parent, keys + 1, size::entry_cost(l_, key)});
        if (hints->size() <= pos) hints->resize(pos + 1);
        (*hints)[pos] = ci;
      }
      Col& c = cols_[ci];
      const std::uint64_t full = child.full(), min = child.min();
      ++c.present;
      c.key_chars += c.key_cost;
      c.value_chars += full;
      const bool nested = e.value.is_object() && !e.value.members().empty();
      // A scalar's floor is at least its min (a cut string keeps the placeholder and a head); an
      // object's floor is smallest at the narrower head width.
      if (nested && min < full)
        p_.add_floors(e.value, child, depth + 1, NARROWEST, c.floor);
      else
        c.floor[0] += min;
      if (nested && keys + 1 < MAX_COLUMN_DEPTH) {
        const std::size_t n = std::min(e.value.members().size(), child.children().size());
        visit(e.value.members(), n, child, ci + 1, keys + 1, depth + 1);
        hints = &hints_[parent];  // the nested visit may have moved it
      }
    }
  }

  // The cheapest single-column table of n records.
  std::uint64_t cheapest(std::uint64_t n) const {
    if (cols_.empty()) return std::numeric_limits<std::uint64_t>::max();
    std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
    for (const Col& c : cols_) {
      std::uint64_t cost = std::min(c.value_chars, c.floor[0]);
      cost = size::sat_add(cost, size::sat_add(c.key_chars, size::sat_mul(c.present, tl_.separator(c.keys))));
      for (std::size_t a = c.parent; a; a = cols_[a - 1].parent) {
        const Col& up = cols_[a - 1];
        cost = size::sat_add(cost, size::sat_add(up.key_chars, size::sat_mul(up.present, tl_.wrapper(up.keys))));
      }
      best = std::min(best, cost);
    }
    return size::sat_add(size::sat_add(tl_.framing(n), size::sat_mul(n, tl_.record_overhead())), best);
  }

 private:
  struct Col {
    std::string_view key;  // borrowed from the first record that holds it
    std::size_t parent;    // parent column + 1, or 0 at the top level
    std::uint64_t keys;    // length of the column's path
    std::uint64_t key_cost;
    std::uint64_t present = 0;
    std::uint64_t key_chars = 0;
    std::uint64_t value_chars = 0;
    std::array<std::uint64_t, 1> floor{};  // at most the floor at either width
  };
  static constexpr std::array<std::uint64_t, 1> NARROWEST = {std::min(SURVEY_WIDTHS[0], SURVEY_WIDTHS[1])};
  const Pruner& p_;
  size::Layout l_;
  TableLayout tl_;
  std::vector<Col> cols_;
  ColumnIndex index_;
  std::vector<std::vector<std::size_t>> hints_;  // by parent column + 1, as in visit()
};

}  // namespace

std::uint64_t cheapest_table(const Pruner& p, const Value::Array& items, MetaList metas,
                             std::uint64_t depth) {
  CostSurvey survey(p, depth);
  const std::size_t surveyed = std::min(items.size(), metas.size());
  for (std::size_t i = 0; i < surveyed; ++i) {
    if (!items[i].is_object()) continue;
    const auto& members = items[i].members();
    survey.visit(members, std::min(members.size(), metas[i].children().size()), metas[i], 0, 0, depth + 1);
  }
  return survey.cheapest(items.size());
}

// ---- survey ----------------------------------------------------------------

void Pruner::visit(Discovery& d, const Value::Object& entries, std::size_t count, const Meta& meta,
                   std::optional<std::size_t> parent, Path& prefix, std::uint64_t depth, std::size_t row) {
  const size::Layout l = layout();
  const std::size_t hint_at = parent ? *parent + 1 : 0;
  if (d.position_hints.size() <= hint_at) d.position_hints.resize(hint_at + 1);
  for (std::size_t pos = 0; pos < count; ++pos) {
    const Member& e = entries[pos];
    const Meta& child = meta.children()[pos];
    // The column at this position in the previous record, when it has the same key, is the one the
    // index would give: columns are keyed by parent and key alone.
    std::vector<std::size_t>& hints = d.position_hints[hint_at];
    std::size_t ci;
    if (pos < hints.size() && !d.columns[hints[pos]].path.empty() &&
        std::string_view(d.columns[hints[pos]].path.back()) == e.key.view()) {
      ci = hints[pos];
    } else {
      const auto [found, added] = d.index.try_emplace(parent, e.key, d.columns.size());
      ci = found;
      if (added) {
        d.columns.emplace_back();
        Column& fresh = d.columns.back();
        fresh.parent = parent;
        fresh.path.reserve(prefix.size() + 1);
        fresh.path = prefix;
        fresh.path.emplace_back(e.key);
      }
      if (hints.size() <= pos) hints.resize(pos + 1);
      hints[pos] = ci;
    }
    Column& c = d.columns[ci];
    if (c.key_cost == 0) c.key_cost = size::entry_cost(l, e.key);  // never 0 once known: quotes and colon
    ++c.present;
    c.key_chars += c.key_cost;
    c.value_chars += child.full();
    c.position_sum += pos;
    const Kind kind = e.value.kind();
    ++c.kind_counts[static_cast<std::size_t>(kind)];
    if (is_empty(e.value)) ++c.empty;
    if (kind == Kind::String || kind == Kind::Number) {
      // Everything but the floors' protection test follows from the column, kind and text; the flags a
      // value clears were cleared when the column first met it.
      // Columns of mostly distinct values skip the memo: it would rarely answer.
      const std::string_view text = e.value.text();
      const bool memo = c.scalars < 64 || 2 * c.distinct.size() <= std::min<std::uint64_t>(c.scalars, MAX_DISTINCT);
      const std::uint64_t key = memo ? ValueMemo::key_of(ci, kind, text) : 0;
      const ValueMemo::Entry* known = memo ? d.memo.find(key, ci, kind, text) : nullptr;
      ValueMemo::Entry fresh;
      if (!known) {
        fresh = {text.data(), text.size(), ci, key, value_hash(e.value), {}, kind, false, false};
        if (kind == Kind::String) add_string_floors(text, child.full(), d.widths, fresh.floors);
        if (d.query) fresh.hit = gather_tokens(d, c, e.value);
        const std::uint64_t opaque = c.opaque;
        shape_hints(c, e.value);
        fresh.opaque = c.opaque != opaque;
        if (memo) d.memo.add(fresh);
      } else {
        if (known->opaque) ++c.opaque;
      }
      const ValueMemo::Entry& v = known ? *known : fresh;
      for (std::size_t k = 0; k < c.floors.size(); ++k)
        c.floors[k] += child.min() >= child.full() ? child.full() : kind == Kind::String ? v.floors[k] : child.min();
      if (v.hit) ++c.hits;
      hash_scalar(c, v.hash, row, known != nullptr);
    } else {
      add_floors(e.value, child, depth + 1, d.widths, c.floors);
      shape_hints(c, e.value);
      if (e.value.is_scalar()) hash_scalar(c, value_hash(e.value), row, false);
    }
    if (e.value.is_object() && !e.value.members().empty() && prefix.size() + 1 < MAX_COLUMN_DEPTH) {
      ++c.expanded;
      const std::size_t n = std::min(e.value.members().size(), child.children().size());
      prefix.emplace_back(e.key);
      visit(d, e.value.members(), n, child, ci, prefix, depth + 1, row);
      prefix.pop_back();
    }
  }
}

// ---- floors ----------------------------------------------------------------

std::uint64_t Pruner::floor(const Value& v, const Meta& meta, std::uint64_t depth) const {
  std::uint64_t out[1] = {0};
  const std::uint64_t heads[1] = {floor_head_chars};
  add_floors(v, meta, depth, heads, out);
  return out[0];
}

void Pruner::add_floors(const Value& v, const Meta& meta, std::uint64_t depth, std::span<const std::uint64_t> heads,
                        std::span<std::uint64_t> out) const {
  if (meta.min() >= meta.full()) {
    for (std::uint64_t& o : out) o += meta.full();
    return;
  }
  const size::Layout l = layout();
  if (v.is_object() && !v.members().empty()) {
    const auto& members = v.members();
    const std::uint64_t framing = TableLayout{l, depth}.framing(members.size());
    for (std::uint64_t& o : out) o += framing;
    const std::size_t n = std::min(members.size(), meta.children().size());
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = size::entry_cost(l, members[i].key);
      for (std::uint64_t& o : out) o += key;
      add_floors(members[i].value, meta.children()[i], depth + 1, heads, out);
    }
    return;
  }
  if (v.is_string()) {
    add_string_floors(v.text(), meta.full(), heads, out);
    return;
  }
  for (std::uint64_t& o : out) o += meta.min();
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

ColumnProjector::ColumnProjector(const Discovery& d, const std::vector<std::size_t>& selected) : d_(d) {
  keep_.assign(d.columns.size(), NONE);
  kept_under_.assign(d.columns.size() + 1, 0);
  for (std::size_t c : selected) {
    keep_[c] = WHOLE;
    for (auto a = d.columns[c].parent; a; a = d.columns[*a].parent)
      if (keep_[*a] == NONE) keep_[*a] = INSIDE;
  }
  for (std::size_t c = 0; c < keep_.size(); ++c)
    if (keep_[c] != NONE) ++kept_under_[d.columns[c].parent ? *d.columns[c].parent + 1 : 0];
}

Value::Object ColumnProjector::project(const Value::Object& entries, std::optional<std::size_t> parent) {
  Value::Object out;
  const std::size_t at = parent ? *parent + 1 : 0;
  // Records that repeat a key hold more entries than columns.
  out.reserve(std::min(entries.size(), kept_under_[at]));
  if (hints_.size() <= at) hints_.resize(at + 1);
  for (std::size_t pos = 0; pos < entries.size(); ++pos) {
    const Member& e = entries[pos];
    // A path is selected or kept exactly when its column is: every selected path is a column's, and
    // so is each of its prefixes.
    std::vector<std::size_t>& hints = hints_[at];
    std::optional<std::size_t> column;
    if (pos < hints.size() && hints[pos] != NO_COLUMN && same_short_text(d_.columns[hints[pos]].path.back(), e.key.view())) {
      column = hints[pos];
    } else {
      column = d_.index.find(parent, e.key);
      if (hints.size() <= pos) hints.resize(pos + 1, NO_COLUMN);
      hints[pos] = column ? *column : NO_COLUMN;
    }
    if (!column) continue;
    const char keep = keep_[*column];
    if (keep == WHOLE)
      out.push_back(e);
    else if (keep == INSIDE && e.value.is_object())
      out.push_back({e.key, Value::object(project(e.value.members(), column))});
  }
  return out;
}

// ---- fill ------------------------------------------------------------------

Pruner::Filled Pruner::fill(const std::vector<Child>& pairs, const std::vector<std::uint64_t>& floors,
                            std::int64_t spare, std::uint64_t depth) {
  const std::size_t m = std::min(pairs.size(), floors.size());
  auto need = [&](std::size_t i) { return sat_sub(pairs[i].meta->full(), floors[i]); };
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
    if (budget >= c.meta->full()) {
      f = {*c.value, c.meta->full()};
    } else if (c.value->is_object() && !c.value->members().empty()) {
      const auto& members = c.value->members();
      const std::size_t k = std::min(members.size(), c.meta->children().size());
      std::vector<Child> sub(k);
      std::vector<std::uint64_t> sub_floors(k);
      std::uint64_t key_costs = 0, floor_sum = 0;
      for (const Member& e : members) key_costs += size::entry_cost(l, e.key);
      for (std::size_t i = 0; i < k; ++i) {
        sub[i] = {&members[i].value, &c.meta->children()[i], &members[i].key};
        sub_floors[i] = floor(members[i].value, c.meta->children()[i], depth + 1);
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
    const auto column = plan.discovery.index.find(prefix);
    const std::uint64_t items = column ? cols[*column].present : cols[ci].present;
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
  // Nor when not even the cheapest column fits: every column a plan takes must fit under the budget
  // (within a tier's share of it) together with that base.
  const bool shared = surveys && projecting == 0;
  std::optional<std::uint64_t> cheapest = shared ? surveys->find_cheapest(&items, meta.children().data(), depth)
                                                 : std::nullopt;
  if (!cheapest) {
    cheapest = cheapest_table(*this, items, meta.children(), depth);
    if (shared) surveys->add_cheapest(&items, meta.children().data(), depth, *cheapest);
  }
  if (*cheapest > std::max(budget, column_tier_limit(budget, 1.0))) return std::nullopt;

  CondenseScope scope(*this);
  std::optional<Plan> chosen;
  for (int attempt = 0; attempt < 2 && !chosen; ++attempt) {
    if (attempt == 1 && !options->arguments) break;
    query_suppressed = attempt == 1;
    for (std::uint64_t width : {24u, 12u}) {
      floor_head_chars = width;
      PlanOutcome outcome = plan(items, meta.children(), budget, depth, width == 24);
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
  // The rows are this attempt's own values: arrays inside them are surveyed afresh, never cached,
  // and the hit masks do not cover them.
  ++projecting;
  Filled filled = fill(pairs, p.floors, p.spare, depth + 1);
  --projecting;
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
