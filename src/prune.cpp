#include "prune.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <unordered_set>

#include "fields.h"
#include "focus.h"
#include "lexical.h"
#include "lines.h"
#include "shape.h"
#include "siphash.h"
#include "text.h"
#include "text_facts.h"
#include "utf8.h"

namespace tavisk {

namespace {

std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// Characters of a string, from its facts when it carries them.
std::uint64_t string_chars(const Value& v) {
  const TextFacts* f = v.facts();
  return f ? f->chars : utf8::count(v.text());
}

Value string_placeholder_value(const Value& v) { return Value::string(size::string_placeholder(string_chars(v))); }

Value gap_value(std::uint64_t n) { return Value::string(size::gap_marker(n)); }

Member keys_marker_member(std::uint64_t n) {
  return {std::string(size::keys_marker_key), Value::string(size::keys_marker_text(n))};
}

std::uint64_t measure_quoted(std::string_view s) { return size::quoted(s); }

}  // namespace

std::size_t PathHash::operator()(const Path& p) const noexcept {
  // Membership only (pinned paths, kept prefixes): the segments' flat-table hashes, combined in order.
  std::uint64_t h = p.size();
  for (const std::string& s : p) {
    h = (h ^ token_hash(s)) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 32;
  }
  return static_cast<std::size_t>(h);
}

Pruner Pruner::with_scorer(bool pretty, std::uint64_t indent, const Options& options, const FieldScorer& scorer,
                           const PatternSet* compiled) {
  Pruner p;
  p.pretty = pretty;
  p.indent = indent;
  p.options = &options;
  p.scorer = &scorer;
  p.patterns = compiled ? *compiled : options.protect_patterns();
  p.init_query();
  return p;
}

std::uint64_t Pruner::collapsed_array_size(std::uint64_t n, std::uint64_t d) const {
  return size::collapsed_array_size(layout(), n, d);
}

std::uint64_t Pruner::collapsed_object_size(std::uint64_t n, std::uint64_t d) const {
  return size::collapsed_object_size(layout(), n, d);
}

bool Pruner::matches_protected(const Path& p) const {
  if (patterns.matches(p)) return true;
  return !pinned.empty() && pinned.count(p) > 0;
}

// ---- analysis ----------------------------------------------------------

namespace {

bool same_keys(const std::vector<Key>& keys, const Value::Object& members) {
  if (keys.size() != members.size()) return false;
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (!same_key(keys[i], members[i].key)) return false;
  return true;
}

}  // namespace

std::uint64_t Pruner::shape_at(const Value& v, std::uint64_t depth, const std::uint64_t** key_costs) {
  *key_costs = nullptr;
  shape_entry_ = nullptr;
  // A wide object is not remembered: its copied keys would cost more than the
  // sort they save, next to the analysis of its many children.
  keys_serial_ = 0;
  if (!v.is_object() || v.members().size() > ShapeMemo::max_keys) return shape_of(v);
  if (depth >= shape_memo_.size()) shape_memo_.resize(depth + 1);
  ShapeMemo& memo = shape_memo_[depth];
  const Value::Object& members = v.members();
  for (ShapeMemo::Entry& e : memo.entries) {
    if (e.set && same_keys(e.keys, members)) {
      *key_costs = e.key_costs.data();
      keys_serial_ = e.serial;
      shape_entry_ = &e;
      return e.shape;
    }
  }
  ShapeMemo::Entry& e = memo.entries[memo.next];
  e.serial = keys_serial_ = ++serials_;
  memo.next = (memo.next + 1) % memo.entries.size();
  e.keys.resize(members.size());
  e.key_costs.resize(members.size());
  const size::Layout l = layout();
  for (std::size_t i = 0; i < members.size(); ++i) {
    e.keys[i] = members[i].key;
    e.key_costs[i] = size::entry_cost(l, members[i].key);
  }
  e.shape = shape_of(v);
  e.set = true;
  e.not_plain = false;
  shape_entry_ = &e;
  *key_costs = e.key_costs.data();
  return e.shape;
}

Meta* Meta::allocate_children(std::size_t n, Arena* arena) {
  if (n == 0) return nullptr;
  if (arena) return arena->allocate_array<Meta>(n);
  return static_cast<Meta*>(::operator new(n * sizeof(Meta)));
}

namespace {

// The shapes of the four scalar kinds, by kind (null, bool, number, string).
const std::array<std::uint64_t, 4>& scalar_shapes() {
  static const std::array<std::uint64_t, 4> shapes = {shape_of(Value::null()), shape_of(Value::boolean(false)),
                                                      shape_of(Value::number("0")), shape_of(Value::string(""))};
  return shapes;
}

}  // namespace

std::uint64_t Meta::shape() const {
  if (const Record* r = record()) return r->shape;
  const std::uintptr_t code = (link_ >> scalar_kind_shift) & 7;
  return code ? scalar_shapes()[code - 1] : 0;
}

void Meta::set_other(Meta* children, std::size_t count, std::uint64_t full, std::uint64_t min, std::uint64_t shape,
                     std::uint64_t protected_count, Arena* arena) {
  if (link_ & owned_bit) release();
  constexpr std::uint64_t most = UINT32_MAX - 1;
  const bool narrow = full <= most && min <= most;
  full_ = narrow ? static_cast<std::uint32_t>(full) : 0;
  min_ = narrow ? static_cast<std::uint32_t>(min) : 0;
  if (count == 0 && narrow && protected_count <= 1) {
    const auto& shapes = scalar_shapes();
    for (std::size_t k = 0; k < shapes.size(); ++k) {
      if (shapes[k] != shape) continue;
      link_ = (k + 1) << scalar_kind_shift | protected_count << scalar_protected_shift;
      return;
    }
  }
  const Record r{children, static_cast<std::uint32_t>(count), 0, shape, protected_count};
  link_ = reinterpret_cast<std::uintptr_t>(make_record(r, narrow, full, min, arena)) | (narrow ? 0 : wide_bit) |
          (arena ? 0 : owned_bit);
}

Meta::Record* Meta::make_record(const Record& r, bool narrow, std::uint64_t full, std::uint64_t min, Arena* arena) {
  if (narrow) return arena ? new (arena->allocate(sizeof(Record), alignof(Meta))) Record(r) : new Record(r);
  const WideRecord w{r, full, min};
  return arena ? new (arena->allocate(sizeof(WideRecord), alignof(Meta))) WideRecord(w) : new WideRecord(w);
}

void Meta::set_scalar(Kind k, std::uint64_t full, std::uint64_t min, bool is_protected, bool plain,
                      Arena* arena) {
  constexpr std::uint64_t most = UINT32_MAX - 1;
  if (full > most || min > most) {
    set(nullptr, 0, full, min, scalar_shapes()[static_cast<std::size_t>(k)], is_protected ? 1 : 0, arena);
  } else {
    if (link_ & owned_bit) release();
    full_ = static_cast<std::uint32_t>(full);
    min_ = static_cast<std::uint32_t>(min);
    link_ = (static_cast<std::uintptr_t>(k) + 1) << scalar_kind_shift |
            static_cast<std::uintptr_t>(is_protected) << scalar_protected_shift | (plain ? plain_bit : 0);
  }
  set_flags(is_protected, is_protected);
}

void Meta::set_plain_children(const Value* first, std::uint32_t stride, std::size_t count, std::uint64_t full,
                              std::uint64_t min, std::uint64_t shape, Arena& arena) {
  if (link_ & owned_bit) release();
  constexpr std::uint64_t most = UINT32_MAX - 1;
  const bool narrow = full <= most && min <= most;
  full_ = narrow ? static_cast<std::uint32_t>(full) : 0;
  min_ = narrow ? static_cast<std::uint32_t>(min) : 0;
  const Record r{first, static_cast<std::uint32_t>(count), stride, shape, 0};
  link_ = reinterpret_cast<std::uintptr_t>(make_record(r, narrow, full, min, &arena)) | (narrow ? 0 : wide_bit);
}

void Meta::set_sparse_members(Meta* kids, const Member* members, std::size_t count, const std::uint32_t* index,
                              std::size_t stored, std::uint64_t full, std::uint64_t min, std::uint64_t shape,
                              std::uint64_t protected_count, Arena& arena) {
  if (link_ & owned_bit) release();
  for (std::size_t j = 0; j < stored; ++j) kids[j] = std::move(kids[index[j]]);
  std::memcpy(static_cast<void*>(kids + stored), index, stored * sizeof(std::uint32_t));
  arena.shrink_last(kids, count * sizeof(Meta), sparse_bytes(stored));
  full_ = static_cast<std::uint32_t>(full);
  min_ = static_cast<std::uint32_t>(min);
  const Record r{&members[0].value, static_cast<std::uint32_t>(count),
                 static_cast<std::uint32_t>(sizeof(Member)) | sparse_flag, shape, protected_count};
  link_ = reinterpret_cast<std::uintptr_t>(new (arena.allocate(sizeof(SparseRecord), alignof(Meta)))
                                               SparseRecord{r, kids, stored});
}

namespace {

// Null, true, false, then numbers of 1 to plain_chars characters, then strings of 0 to plain_chars characters.
constexpr std::size_t plain_numbers = 2, plain_strings = plain_numbers + Meta::plain_chars + 1;
using PlainMetas = std::array<Meta, plain_strings + Meta::plain_chars + 1>;

PlainMetas plain_scalar_metas() {
  PlainMetas metas;
  const auto& shapes = scalar_shapes();
  metas[0].set(nullptr, 0, 4, 4, shapes[0], 0, nullptr);
  metas[1].set(nullptr, 0, 4, 4, shapes[1], 0, nullptr);
  metas[2].set(nullptr, 0, 5, 5, shapes[1], 0, nullptr);
  for (std::size_t c = 0; c <= Meta::plain_chars; ++c) {
    if (c > 0) metas[plain_numbers + c].set(nullptr, 0, c, c, shapes[2], 0, nullptr);
    metas[plain_strings + c].set(nullptr, 0, c + 2, std::min(c + 2, size::placeholder_size(c)), shapes[3], 0,
                                 nullptr);
  }
  return metas;
}

}  // namespace

const Meta& Meta::plain_scalar(const Value& v) {
  static const PlainMetas metas = plain_scalar_metas();
  switch (v.kind()) {
    case Kind::Null: return metas[0];
    case Kind::Bool: return metas[v.as_bool() ? 1 : 2];
    case Kind::Number: return metas[plain_numbers + v.text().size()];
    default: return metas[plain_strings + (v.ascii_text() ? v.text().size() : size::unescaped_chars(v.text()))];
  }
}

void Meta::release() noexcept {
  if (link_ & owned_bit) {
    auto* r = const_cast<Record*>(record());
    auto* children = static_cast<Meta*>(const_cast<void*>(r->first));
    for (std::size_t i = 0; i < r->count; ++i) children[i].~Meta();
    ::operator delete(children);
    if (link_ & wide_bit)
      delete static_cast<WideRecord*>(r);
    else
      delete r;
  }
  link_ = 0;
}

// A scalar's analysis: its sizes, its kind and whether it is protected.
Meta Pruner::analyze_scalar(const Value& v, std::uint64_t depth, Path& p, bool inherited) {
  const bool is_protected = inherited || is_protected_path(p);
  keys_serial_ = 0;
  std::uint64_t full, min;
  bool plain = !is_protected;
  if (v.is_string()) {
    std::uint64_t chars;
    if (const TextFacts* f = v.facts()) {
      full = 2 + f->cost;
      chars = f->chars;
      plain = false;
    } else if (const std::string_view t = v.text(); t.size() <= Meta::plain_chars && v.unescaped_text()) {
      chars = v.ascii_text() ? t.size() : size::unescaped_chars(t);
      full = 2 + chars;
    } else if (const TextCosts* c = v.costs()) {
      full = 2 + std::uint64_t{c->cost};
      chars = c->chars;
      plain = plain && t.size() <= Meta::plain_chars && full == t.size() + 2 && chars == t.size();
    } else {
      // Not marked: most such texts were read with escapes and have characters to escape.
      full = 2 + size::char_costs_and_count(t, chars);
      plain = plain && t.size() <= Meta::plain_chars && full == t.size() + 2 && chars == t.size();
    }
    min = is_protected ? full : std::min(full, size::placeholder_size(chars));
  } else if (v.is_number() && v.text().size() <= Meta::plain_chars && (v.ascii_text() || size::ascii(v.text()))) {
    full = min = v.text().size();
    plain = plain && full > 0;
  } else if (v.is_null() || v.is_bool()) {
    full = min = v.is_null() || v.as_bool() ? 4 : 5;
  } else {
    full = min = size::of(layout(), v, depth);
    if (v.is_number()) {
      const std::size_t n = v.text().size();
      plain = plain && n > 0 && n <= Meta::plain_chars && full == n;
    }
  }
  Meta m;
  m.set_scalar(v.kind(), full, min, is_protected, plain, arena);
  return m;
}

Meta Pruner::analyze_at(const Value& v, std::uint64_t depth, Path& p, bool inherited) {
  return focus_build ? analyze_node<true>(v, depth, p, inherited) : analyze_node<false>(v, depth, p, inherited);
}

template <bool Focus>
Meta Pruner::analyze_node(const Value& v, std::uint64_t depth, Path& p, bool inherited) {
  if (v.is_scalar()) {
    if constexpr (Focus) {
      if (v.is_string())
        focus_build->met(v.text());
      else
        focus_build->met_scalar(v);
    }
    return analyze_scalar(v, depth, p, inherited);
  }
  Meta m;
  const bool is_protected = inherited || is_protected_path(p);
  const std::uint64_t* key_costs = nullptr;  // the object's entry costs, when its key sequence is remembered
  const std::uint64_t shape = shape_at(v, depth, &key_costs);
  const size::Layout l = layout();
  std::uint64_t full = 0, min = 0, protected_count = 0;
  bool has_protected = is_protected;
  Meta* kids = nullptr;
  std::size_t n = 0;
  switch (v.kind()) {
    case Kind::Array: {
      const auto& items = v.items();
      n = items.size();
      if (!Focus && plain_items(items, is_protected, p, full)) {
        full += size::overhead(l, n, depth);
        min = std::min(full, collapsed_array_size(n, depth));
        m.set_plain_children(items.data(), sizeof(Value), n, full, min, shape, *arena);
        m.set_flags(false, false);
        return m;
      }
      kids = Meta::allocate_children(n, arena);
      std::uint64_t sum = 0;
      const bool track = tracks_paths();
      if (track) p.emplace_back("*");
      if constexpr (Focus) focus_build->open(true, 0, n);
      const bool by_value = !Focus && !track && !is_protected;
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t item_full;
        bool item_plain;
        if (by_value && scalar_by_value(items[i], kids + i, item_full, item_plain)) {
          sum += item_full;
          continue;
        }
        const Meta& c = *new (kids + i) Meta(analyze_child<Focus>(items[i], depth + 1, p, is_protected));
        sum += c.full();
        protected_count += c.protected_count();
      }
      if (track) p.pop_back();
      full = size::overhead(l, n, depth) + sum;
      min = (is_protected || n == 0) ? full : std::min(full, collapsed_array_size(n, depth));
      if constexpr (Focus) focus_build->close(v, kids, full);
      break;
    }
    case Kind::Object: {
      const auto& members = v.members();
      n = members.size();
      if (!Focus && !(shape_entry_ && shape_entry_->not_plain) &&
          plain_members(members, is_protected, key_costs, full)) {
        full += size::overhead(l, n, depth);
        min = std::min(full, collapsed_object_size(n, depth));
        m.set_plain_children(&members[0].value, sizeof(Member), n, full, min, shape, *arena);
        m.set_flags(false, false);
        return m;
      }
      kids = Meta::allocate_children(n, arena);
      std::uint64_t sum = 0, kept_sum = 0, kept = 0;
      const bool track = tracks_paths();
      // Whether every member's analysis is the one its value implies (see below).
      bool plain = !Focus && arena && n > 0;
      if constexpr (Focus) focus_build->open(n >= focus::KEPT_SCORES_ENTRIES, keys_serial_, n);
      const bool by_value = !Focus && !track && !is_protected;
      for (std::size_t i = 0; i < n; ++i) {
        const Member& e = members[i];
        if (std::uint64_t member_full; by_value) {
          bool member_plain;
          if (scalar_by_value(e.value, kids + i, member_full, member_plain)) {
            plain = plain && member_plain;
            sum += (key_costs ? key_costs[i] : size::entry_cost(l, e.key)) + member_full;
            continue;
          }
        }
        if (track) p.emplace_back(e.key);
        const Meta& c = *new (kids + i) Meta(analyze_child<Focus>(e.value, depth + 1, p, is_protected));
        plain = plain && c.is_plain();
        if (track) p.pop_back();
        const std::uint64_t key_cost = key_costs ? key_costs[i] : size::entry_cost(l, e.key);
        sum += key_cost + c.full();
        protected_count += c.protected_count();
        if (c.has_protected()) {
          ++kept;
          kept_sum += key_cost + c.min();
        }
      }
      full = size::overhead(l, n, depth) + sum;
      if (n == 0 || is_protected) {
        min = full;
      } else if (kept == 0) {
        min = std::min(full, collapsed_object_size(n, depth));
      } else {
        std::uint64_t omitted = n - kept;
        std::uint64_t s = size::overhead(l, kept + (omitted ? 1 : 0), depth) + kept_sum +
                          (omitted ? size::keys_marker_cost(l, omitted) : 0);
        min = std::min(full, s);
      }
      has_protected = is_protected || kept > 0;
      if (plain) {
        // Nothing was allocated after the block (scalars take none), so it is given back whole.
        arena->shrink_last(kids, n * sizeof(Meta), 0);
        m.set_plain_children(&members[0].value, sizeof(Member), n, full, min, shape, *arena);
        m.set_flags(false, false);
        return m;
      }
      // An object of scalars most of which are plain (records with a long URL or an escaped
      // text among short fields) keeps the analyses of the others only. Its members are all
      // scalars when nothing was allocated after their block: a container's analysis always is.
      if (!Focus && arena && arena->is_last(kids, n * sizeof(Meta)) && full <= UINT32_MAX - 1 &&
          keep_sparse(kids, n)) {
        m.set_sparse_members(kids, &members[0], n, sparse_index_.data(), sparse_count_, full, min, shape,
                             protected_count, *arena);
        m.set_flags(is_protected, has_protected);
        return m;
      }
      if constexpr (Focus) focus_build->close(v, kids, full);
      break;
    }
    default: break;  // scalars: analyze_scalar
  }
  m.set(kids, n, full, min, shape, protected_count, arena);
  m.set_flags(is_protected, has_protected);
  return m;
}

// Whether an object's `n` analyses in `kids` are better kept sparse; if so, the indices of
// those that are not plain are in sparse_index_.
bool Pruner::keep_sparse(const Meta* kids, std::size_t n) {
  std::size_t stored = 0;
  for (std::size_t i = 0; i < n; ++i) stored += !kids[i].is_plain();
  if (!Meta::sparse_pays(n, stored)) return false;
  if (sparse_index_.size() < stored) sparse_index_.resize(std::max<std::size_t>(stored, 256));
  std::uint32_t* index = sparse_index_.data();
  for (std::size_t i = 0, k = 0; k < stored; ++i) {
    index[k] = static_cast<std::uint32_t>(i);
    k += !kids[i].is_plain();
  }
  sparse_count_ = stored;
  return true;
}

// An array whose children's analyses need not be stored: every item a plain
// scalar, none of them protected, nothing else built from them in the walk.
// Sets `sum` to the items' sizes.
bool Pruner::plain_items(const Value::Array& items, bool is_protected, Path& p, std::uint64_t& sum) {
  if (!arena || focus_build || is_protected || items.empty()) return false;
  if (tracks_paths()) {
    p.emplace_back("*");
    const bool item_protected = is_protected_path(p);
    p.pop_back();
    if (item_protected) return false;
  }
  std::uint64_t total = 0;
  for (const Value& item : items) {
    std::uint64_t full;
    if (!Meta::plain_full(item, full)) return false;
    total += full;
  }
  sum = total;
  return true;
}

// The same for an object's members (no path is matched: not when paths are tracked). Sets
// `sum` to the entries' sizes, keys included. A member that is not plain ends the check,
// and the object is analysed member by member; objects with the same keys (the last
// shape_at's) are then not checked again.
bool Pruner::plain_members(const Value::Object& members, bool is_protected, const std::uint64_t* key_costs,
                           std::uint64_t& sum) {
  if (!arena || focus_build || is_protected || members.empty() || tracks_paths()) return false;
  if (shape_entry_ && shape_entry_->not_plain) return false;
  const size::Layout l = layout();
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::uint64_t full;
    if (!Meta::plain_full(members[i].value, full)) {
      if (shape_entry_) shape_entry_->not_plain = true;
      return false;
    }
    total += (key_costs ? key_costs[i] : size::entry_cost(l, members[i].key)) + full;
  }
  sum = total;
  return true;
}


// ---- fit driver ----------------------------------------------------------

Fitted Pruner::fit(const Value& v, const Meta& meta, std::uint64_t budget, std::uint64_t depth) {
  if (meta.full() <= budget) return {v, meta.full()};
  if (budget <= meta.min()) return minimal(v, meta, depth);
  switch (v.kind()) {
    case Kind::String: {
      // A text read as plain text is fitted by lines (its end holds its outcome).
      std::string cut =
          options->focus == Focus::Auto
              ? focus::fit_string(v.text(), budget, *options, measure_quoted,
                                  focus_index ? &focus_index->terms() : nullptr, stats)
              : lines::fit_string(v.text(), budget, *options, measure_quoted, options->input_format == Format::Text,
                                  stats, {}, v.facts());
      std::uint64_t s = size::quoted(cut);
      return {Value::string(std::move(cut)), s};
    }
    case Kind::Array:
      if (options->array_strategy == ArrayStrategy::Condense && !(focus_index && focused_lookup(v, meta))) {
        if (auto condensed = try_condense(v, meta, budget, depth)) return std::move(*condensed);
      }
      return fit_array(v, meta, budget, depth);
    case Kind::Object: return fit_object(v, meta, budget, depth);
    default: return {v, meta.full()};
  }
}

Fitted Pruner::minimal(const Value& v, const Meta& meta, std::uint64_t depth) {
  if (meta.min() >= meta.full()) return {v, meta.full()};
  const size::Layout l = layout();
  switch (v.kind()) {
    case Kind::String: ++stats.strings_truncated; return {string_placeholder_value(v), meta.min()};
    case Kind::Array: {
      const std::uint64_t n = v.items().size();
      ++stats.containers_collapsed;
      stats.items_omitted += n;
      stats.protected_omitted += meta.protected_count();
      Value::Array items;
      items.push_back(gap_value(n));
      return {Value::array(std::move(items)), collapsed_array_size(n, depth)};
    }
    case Kind::Object: {
      const auto& members = v.members();
      const std::uint64_t n = members.size();
      ++stats.containers_collapsed;
      Value::Object out;
      std::uint64_t kept_size = 0, kept_protected = 0;
      for (std::size_t i = 0; i < members.size(); ++i) {
        const Meta& c = meta.children()[i];
        if (!c.has_protected()) continue;
        path.emplace_back(members[i].key);
        Fitted f = minimal(members[i].value, c, depth + 1);
        path.pop_back();
        kept_size += size::entry_cost(l, members[i].key) + f.size;
        kept_protected += c.protected_count();
        out.push_back({members[i].key, std::move(f.value)});
      }
      const std::uint64_t k = out.size();
      if (k == 0) {
        stats.keys_omitted += n;
        stats.protected_omitted += meta.protected_count();
        out.push_back(keys_marker_member(n));
        return {Value::object(std::move(out)), collapsed_object_size(n, depth)};
      }
      std::uint64_t s = size::overhead(l, k + (k < n ? 1 : 0), depth) + kept_size;
      if (k < n) {
        stats.keys_omitted += n - k;
        stats.protected_omitted += sat_sub(meta.protected_count(), kept_protected);
        out.push_back(keys_marker_member(n - k));
        s += size::keys_marker_cost(l, n - k);
      }
      return {Value::object(std::move(out)), s};
    }
    default: return {v, meta.full()};
  }
}

// ---- water filling -------------------------------------------------------

Pruner::Filled Pruner::water_fill(const std::vector<Child>& children, std::uint64_t spare, std::uint64_t depth) {
  const std::size_t m = children.size();
  std::vector<std::size_t> order(m);
  for (std::size_t i = 0; i < m; ++i) order[i] = i;
  auto need = [&](std::size_t i) { return children[i].meta->full() - children[i].meta->min(); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return need(a) < need(b); });

  Filled out;
  out.values.resize(m);
  std::uint64_t remaining = m;
  for (std::size_t j : order) {
    const Child& c = children[j];
    std::uint64_t extra = std::min(spare / remaining, need(j));
    path.push_back(c.key ? std::string(c.key->view()) : std::string("*"));
    Fitted f = fit(*c.value, *c.meta, c.meta->min() + extra, depth);
    path.pop_back();
    if (f.size >= c.meta->min()) spare = sat_sub(spare, f.size - c.meta->min());
    out.total += f.size;
    out.values[j] = std::move(f.value);
    --remaining;
  }
  return out;
}

// ---- arrays --------------------------------------------------------------

namespace {

// Kept item indices of one array and the running size of its rendering.
class Selection {
 public:
  Selection(size::Layout l, std::uint64_t n, std::uint64_t d)
      : layout_(l), n_(n), d_(d), gap_count_(1), gap_total_(gap_cost(n)) {}

  static std::uint64_t gap_cost(std::uint64_t k) { return k == 0 ? 0 : size::quoted(size::gap_marker(k)); }

  struct Split {
    std::uint64_t gap_count, gap_total;
  };

  Split split(std::uint64_t a) const {
    auto above = kept_.upper_bound(a);
    std::int64_t p = above == kept_.begin() ? -1 : static_cast<std::int64_t>(*std::prev(above));
    std::uint64_t s = above == kept_.end() ? n_ : *above;
    std::uint64_t left = a - static_cast<std::uint64_t>(p + 1), right = s - a - 1;
    std::uint64_t whole = s - static_cast<std::uint64_t>(p + 1);
    Split r{gap_count_ + (left > 0) + (right > 0) - (whole > 0),
            gap_total_ + gap_cost(left) + gap_cost(right) - gap_cost(whole)};
    return r;
  }

  std::uint64_t cost_if_add(std::uint64_t a, std::uint64_t z) const {
    Split s = split(a);
    return size::overhead(layout_, kept_.size() + s.gap_count + 1, d_) + total_ + s.gap_total + z;
  }

  void add(std::uint64_t a, std::uint64_t z) {
    Split s = split(a);
    gap_count_ = s.gap_count;
    gap_total_ = s.gap_total;
    total_ += z;
    kept_.insert(a);
  }

  std::uint64_t rendered() const {
    return size::overhead(layout_, kept_.size() + gap_count_, d_) + total_ + gap_total_;
  }
  const std::set<std::uint64_t>& kept() const { return kept_; }

 private:
  size::Layout layout_;
  std::uint64_t n_, d_;
  std::set<std::uint64_t> kept_;
  std::uint64_t total_ = 0;
  std::uint64_t gap_count_, gap_total_;
};

}  // namespace

namespace {

// The order in which sampling tries an array's items: a head (the first item, the first item
// of each new shape up to 64 shapes, then the last when it is kept) and after it every other
// item by index. The rest is produced as it is walked, so a long array needs no list as long
// as itself; items given to go first (focused sampling) are passed over where they would be.
class ItemOrder {
 public:
  ItemOrder(const Meta& meta, bool keep_last) : n_(meta.children().size()) {
    const auto kids = meta.children();
    head_.push_back(0);
    std::unordered_set<std::uint64_t> seen{kids[0].shape()};
    for (std::size_t i = 1; i < n_ && seen.size() < 64; ++i)
      if (seen.insert(kids[i].shape()).second) head_.push_back(i);
    if (keep_last && head_.back() != n_ - 1) head_.push_back(n_ - 1);
    skipped_ = head_;
    std::sort(skipped_.begin(), skipped_.end());
  }
  // The same order after first, distinct items tried before all others (focused sampling).
  ItemOrder(const Meta& meta, bool keep_last, std::vector<std::size_t> first) : ItemOrder(meta, keep_last) {
    if (first.empty()) return;
    // The head and the rest pass over the items of first, told by one bit each.
    taken_.assign(n_ / 64 + 1, 0);
    for (std::size_t i : first) taken_[i / 64] |= std::uint64_t{1} << (i % 64);
    for (std::size_t i : head_)
      if (!taken(i)) first.push_back(i);
    for (std::size_t i : head_) taken_[i / 64] |= std::uint64_t{1} << (i % 64);
    head_ = std::move(first);
    skipped_.clear();
  }

  std::size_t size() const { return n_; }
  bool done() const { return pos_ >= n_; }
  // The item at the next position.
  std::size_t next() {
    if (pos_ < head_.size()) return head_[pos_++];
    if (!taken_.empty()) {
      while (taken(rest_)) ++rest_;
    } else {
      while (skip_at_ < skipped_.size() && skipped_[skip_at_] <= rest_) {
        if (skipped_[skip_at_] == rest_) ++rest_;
        ++skip_at_;
      }
    }
    ++pos_;
    return rest_++;
  }
  void restart() { pos_ = 0, rest_ = 1, skip_at_ = 0; }

 private:
  bool taken(std::size_t i) const { return i < n_ && ((taken_[i / 64] >> (i % 64)) & 1) != 0; }

  std::vector<std::size_t> head_;
  std::vector<std::size_t> skipped_;  // the head by index: the rest passes over them
  std::vector<std::uint64_t> taken_;   // or, after a first list, the head by bit
  std::size_t n_;
  std::size_t pos_ = 0, rest_ = 1, skip_at_ = 0;
};

}  // namespace

std::vector<std::size_t> priority_order(const Meta& meta, bool keep_last) {
  ItemOrder walk(meta, keep_last);
  std::vector<std::size_t> order;
  order.reserve(walk.size());
  while (!walk.done()) order.push_back(walk.next());
  return order;
}

Fitted Pruner::fit_array(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  const auto& items = v.items();
  const std::uint64_t n = items.size();
  const focus::Node* focused = focus_index ? focused_items(meta) : nullptr;
  ItemOrder order = focus_index ? ItemOrder(meta, options->keep_last_item, focused_first(meta, focused))
                                : ItemOrder(meta, options->keep_last_item);
  Selection sel(layout(), n, d);
  // Only the few items fitted below their full size get a value of their own.
  std::map<std::size_t, Value> fitted;
  std::uint64_t result_size = 0;

  std::optional<std::size_t> stop;  // the first item that did not fit whole
  while (!order.done()) {
    std::size_t i = order.next();
    if (sel.cost_if_add(i, meta.children()[i].full()) > b) {
      stop = i;
      break;
    }
    sel.add(i, meta.children()[i].full());
  }

  if (!sel.kept().empty()) {
    if (stop) {
      std::size_t i = *stop;
      const Meta& c = meta.children()[i];
      std::uint64_t cost = sel.cost_if_add(i, c.min());
      if (cost <= b) {
        std::uint64_t room = b - cost + c.min();
        if (room >= std::max(c.min(), std::min(c.full(), options->min_partial_chars))) {
          path.emplace_back("*");
          Fitted f = fit(items[i], c, room, d + 1);
          path.pop_back();
          sel.add(i, f.size);
          fitted.insert_or_assign(i, std::move(f.value));
        }
      }
    }
    result_size = sel.rendered();
  } else {
    std::unordered_set<std::uint64_t> picked_shapes;
    std::vector<std::size_t> picked;
    const std::uint64_t limit = std::max<std::uint64_t>(options->max_samples, 1);
    std::uint64_t min_sum = 0;
    for (order.restart(); !order.done();) {
      const std::size_t i = order.next();
      if (picked.size() >= limit) break;
      const Meta& c = meta.children()[i];
      if (picked_shapes.count(c.shape())) continue;
      if (sel.cost_if_add(i, c.min()) > b) break;
      sel.add(i, c.min());
      picked_shapes.insert(c.shape());
      picked.push_back(i);
      min_sum += c.min();
    }
    if (picked.empty()) return minimal(v, meta, d);
    std::uint64_t r = sel.rendered();
    std::vector<Child> children;
    children.reserve(picked.size());
    for (std::size_t i : picked) children.push_back({&items[i], &meta.children()[i], nullptr});
    Filled filled = water_fill(children, sat_sub(b, r), d + 1);
    for (std::size_t k = 0; k < picked.size(); ++k) fitted.insert_or_assign(picked[k], std::move(filled.values[k]));
    result_size = r - min_sum + filled.total;
  }

  Value::Array out;
  std::uint64_t next = 0, kept_protected = 0;
  for (std::uint64_t i : sel.kept()) {
    if (i > next) out.push_back(gap_value(i - next));
    auto own = fitted.find(i);
    out.push_back(own != fitted.end() ? std::move(own->second) : items[i]);
    kept_protected += meta.children()[i].protected_count();
    next = i + 1;
  }
  if (next < n) out.push_back(gap_value(n - next));
  if (focused) {
    for (std::uint64_t i : sel.kept()) stats.items_promoted += focus_index->mask(*focused, i) & focused->weighted ? 1 : 0;
    if (focused->lookup && options->array_strategy == ArrayStrategy::Condense) ++stats.arrays_focused;
  }
  ++stats.arrays_sampled;
  stats.items_omitted += n - sel.kept().size();
  stats.protected_omitted += sat_sub(meta.protected_count(), kept_protected);
  return {Value::array(std::move(out)), result_size};
}

// ---- objects -------------------------------------------------------------

namespace {

// Fixed cost of an object keeping a set of entries at their minimum sizes.
struct ObjectCost {
  size::Layout layout;
  std::uint64_t n, d;

  std::uint64_t of(std::uint64_t kept, std::uint64_t kept_sum) const {
    std::uint64_t omitted = n - kept;
    return size::overhead(layout, kept + (omitted ? 1 : 0), d) + kept_sum +
           (omitted ? size::keys_marker_cost(layout, omitted) : 0);
  }
};

}  // namespace

Fitted Pruner::fit_object(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  const auto& members = v.members();
  const std::uint64_t n = members.size();
  const size::Layout l = layout();
  std::vector<std::uint64_t> cost(n);  // entry cost + child min
  std::uint64_t all = size::overhead(l, n, d);
  for (std::size_t i = 0; i < n; ++i) {
    cost[i] = size::entry_cost(l, members[i].key) + meta.children()[i].min();
    all += cost[i];
  }

  std::vector<std::size_t> kept;
  if (all <= b) {
    kept.resize(n);
    for (std::size_t i = 0; i < n; ++i) kept[i] = i;
  } else {
    kept = choose_keys(v, meta, b, d);
    if (kept.empty()) return minimal(v, meta, d);
    std::sort(kept.begin(), kept.end());
  }

  ObjectCost oc{l, n, d};
  std::uint64_t kept_sum = 0, min_sum = 0, kept_protected = 0;
  std::vector<Child> children;
  children.reserve(kept.size());
  for (std::size_t i : kept) {
    kept_sum += cost[i];
    min_sum += meta.children()[i].min();
    kept_protected += meta.children()[i].protected_count();
    children.push_back({&members[i].value, &meta.children()[i], &members[i].key});
  }
  const std::uint64_t fixed = oc.of(kept.size(), kept_sum);
  Filled filled = focus_index ? focused_fill(v, meta, kept, children, sat_sub(b, fixed), d + 1)
                              : water_fill(children, sat_sub(b, fixed), d + 1);

  Value::Object out;
  out.reserve(kept.size() + 1);
  for (std::size_t k = 0; k < kept.size(); ++k) out.push_back({members[kept[k]].key, std::move(filled.values[k])});
  const std::uint64_t omitted = n - kept.size();
  if (omitted) {
    out.push_back(keys_marker_member(omitted));
    ++stats.objects_trimmed;
    stats.keys_omitted += omitted;
    stats.protected_omitted += sat_sub(meta.protected_count(), kept_protected);
  }
  return {Value::object(std::move(out)), fixed - min_sum + filled.total};
}

std::vector<std::size_t> Pruner::choose_keys(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  if (focus_index) return focused_keys(v, meta, b, d);
  if (options->array_strategy == ArrayStrategy::Condense) return select_keys(v, meta, b, d);
  return sample_keys(v, meta, b, d);
}

std::vector<std::size_t> Pruner::sample_keys(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  const auto& members = v.members();
  const std::uint64_t n = members.size();
  const size::Layout l = layout();
  ObjectCost oc{l, n, d};
  auto entry = [&](std::size_t i) { return size::entry_cost(l, members[i].key) + meta.children()[i].min(); };

  std::vector<std::size_t> kept;
  std::uint64_t kept_sum = 0;
  bool any_protected = false;
  for (const Meta& c : meta.children()) any_protected = any_protected || c.has_protected();
  if (!any_protected) {
    for (std::size_t i = 0; i < n; ++i) {
      if (oc.of(i + 1, kept_sum + entry(i)) > b) break;
      kept_sum += entry(i);
      kept.push_back(i);
    }
    return kept;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!meta.children()[i].has_protected()) continue;
    kept_sum += entry(i);
    kept.push_back(i);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (meta.children()[i].has_protected()) continue;
    if (oc.of(kept.size() + 1, kept_sum + entry(i)) > b) break;
    kept_sum += entry(i);
    kept.push_back(i);
  }
  return kept;
}

// ---- relevance rule ----------------------------------------------------

void Pruner::init_query() {
  if (options->arguments) {
    if (auto q = build_query(*options->arguments)) query_ = std::make_shared<const Query>(std::move(*q));
  }
}

const Query* Pruner::query() const { return query_suppressed ? nullptr : query_.get(); }

namespace {

bool opaque_text(std::string_view s) {
  if (s.size() < 8) return false;
  bool digit = false, upper = false, lower = false, hexish = true;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return false;
    bool d = c >= '0' && c <= '9', u = c >= 'A' && c <= 'Z', lw = c >= 'a' && c <= 'z';
    digit |= d;
    upper |= u;
    lower |= lw;
    bool hex = d || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-' || c == '_';
    hexish &= hex;
  }
  return (s.size() >= 12 && digit && upper && lower) || (hexish && digit);
}

}  // namespace

// The score of one entry of an object under the relevance rule.
double entry_score(const Member& e, const Meta& child, std::size_t index, const Query* q, const FieldScorer& scorer) {
  if (child.has_protected()) return std::numeric_limits<double>::infinity();
  FieldStats fs;
  fs.kind_counts[static_cast<std::size_t>(e.value.kind())] = 1;
  const std::string key(e.key);
  fs.path = std::span<const std::string>(&key, 1);
  fs.rows = 1;
  fs.present = 1;
  fs.empty = is_empty(e.value) ? 1 : 0;
  fs.distinct = fs.scalars = e.value.is_scalar() ? 1 : 0;
  fs.mean_chars = static_cast<double>(child.full());
  fs.mean_position = static_cast<double>(index);
  if (e.value.is_number()) fs.numeric_like = true;
  if (e.value.is_string()) {
    fs.numeric_like = looks_numeric(e.value.text());
    fs.date_like = looks_like_date(e.value.text());
    fs.opaque = opaque_text(e.value.text());
  }
  if (q) {
    std::vector<std::string> key_words = words(e.key);
    fs.name_relevance = q->name_match(key_words, {});
    std::size_t hits = 0;
    if ((e.value.is_string() || e.value.is_number()) && !q->terms.empty()) {
      TokenSet tokens;
      value_tokens(e.value.text(), tokens);
      for (const std::string& t : q->terms) hits += token_hit(t, tokens) ? 1 : 0;
    }
    if (hits > 0) {
      fs.value_relevance = 0.5 + 0.5 * static_cast<double>(hits) / static_cast<double>(q->terms.size());
      fs.value_hit_rate = 1.0;
    }
    fs.relevance = std::isnan(fs.value_relevance)  ? fs.name_relevance
                   : std::isnan(fs.name_relevance) ? fs.value_relevance
                                                   : std::max(fs.name_relevance, fs.value_relevance);
  }
  return scorer.score(fs);
}

// Share of the budget a key of this score may fill: ⌊b × f⌋.
std::uint64_t tier_limit(std::uint64_t b, double score) {
  double f = score >= 0.75 ? 1.0 : score >= 0.45 ? 0.9 : 0.7;
  double x = static_cast<double>(b) * f;
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

std::vector<std::size_t> Pruner::select_keys(const Value& v, const Meta& meta, std::uint64_t b, std::uint64_t d) {
  const auto& members = v.members();
  const std::uint64_t n = members.size();
  const Query* q = query();
  std::vector<std::pair<std::size_t, double>> ranked(n);
  for (std::size_t i = 0; i < n; ++i) ranked[i] = {i, entry_score(members[i], meta.children()[i], i, q, *scorer)};
  // NaN compares equal to everything: it never moves ahead of or behind a neighbour.
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& c) { return a.second > c.second; });

  ObjectCost oc{layout(), n, d};
  std::vector<std::size_t> kept;
  std::uint64_t kept_sum = 0;
  for (const auto& [i, score] : ranked) {
    std::uint64_t with = kept_sum + size::entry_cost(layout(), members[i].key) + meta.children()[i].min();
    if (oc.of(kept.size() + 1, with) <= tier_limit(b, score)) {
      kept_sum = with;
      kept.push_back(i);
    }
  }
  return kept;
}

}  // namespace tavisk
