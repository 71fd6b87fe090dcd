#include "shape.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "siphash.h"

namespace tavisk {

namespace {

// Sorts and dedups the keys in place; returns how many distinct keys lead.
std::size_t distinct_sorted(std::span<std::string_view> keys) {
  std::sort(keys.begin(), keys.end());
  return static_cast<std::size_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

std::uint64_t object_shape(const Value::Object& members) {
  // Most records have few keys: sort them without touching the heap.
  constexpr std::size_t inline_keys = 32;
  std::array<std::string_view, inline_keys> small;
  std::vector<std::string_view> large;
  std::span<std::string_view> keys;
  if (members.size() <= inline_keys) {
    for (std::size_t i = 0; i < members.size(); ++i) small[i] = members[i].key;
    keys = std::span<std::string_view>(small.data(), members.size());
  } else {
    large.reserve(members.size());
    for (const Member& m : members) large.emplace_back(m.key);
    keys = large;
  }
  std::size_t n = distinct_sorted(keys);
  SipHasher13 h;
  h.write(kind_name(Kind::Object));
  h.write_u8(0xFF);
  h.write_u64_le(n);
  for (std::size_t i = 0; i < n; ++i) {
    h.write(keys[i]);
    h.write_u8(0xFF);
  }
  return h.finish();
}

std::uint64_t kind_shape(Kind k) {
  SipHasher13 h;
  h.write(kind_name(k));
  h.write_u8(0xFF);
  return h.finish();
}

}  // namespace

std::uint64_t shape_of(const Value& v) {
  if (v.is_object()) return object_shape(v.members());
  // Immutable after its first use: the shapes of the five kinds without keys.
  static const std::array<std::uint64_t, 5> kinds = {kind_shape(Kind::Null), kind_shape(Kind::Bool),
                                                     kind_shape(Kind::Number), kind_shape(Kind::String),
                                                     kind_shape(Kind::Array)};
  return kinds[static_cast<std::size_t>(v.kind())];
}

}  // namespace tavisk
