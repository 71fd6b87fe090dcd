// What one fitting attempt did: the counters and decision lists of the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavisk {

struct FieldDecision {
  std::string path;
  std::uint32_t score = 0;  // thousandths
  bool kept = false;
  std::uint32_t relevance = 0;  // thousandths
};

struct DroppedField {
  std::string path;
  std::uint64_t items = 0;
};

struct Stats {
  std::vector<DroppedField> dropped_fields;
  std::vector<FieldDecision> field_decisions;
  std::uint64_t strings_truncated = 0;
  std::uint64_t arrays_sampled = 0;
  std::uint64_t items_omitted = 0;
  std::uint64_t objects_trimmed = 0;
  std::uint64_t keys_omitted = 0;
  std::uint64_t containers_collapsed = 0;
  std::uint64_t arrays_condensed = 0;
  std::uint64_t fields_dropped = 0;
  std::uint64_t protected_omitted = 0;
  // Focus on the request (reported only when it is on).
  std::uint64_t items_promoted = 0;
  std::uint64_t arrays_focused = 0;
  std::uint64_t keys_promoted = 0;
  // Line fitting: lines left out (the markers' line counts) and kept lines a matcher flagged.
  std::uint64_t lines_omitted = 0;
  std::uint64_t lines_matched = 0;
};

}  // namespace tavisk
