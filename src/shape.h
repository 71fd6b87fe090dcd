// Shape fingerprints: equal for nodes of the same kind and, for objects, the
// same set of distinct key names (order and repetition ignored).
#pragma once

#include <cstdint>

#include "value.h"

namespace tavisk {

// SipHash-1-3 (all-zero key) of the kind name and 0xFF; objects add the count
// of distinct keys (u64 little-endian) and each distinct key in ascending byte
// order followed by 0xFF.
std::uint64_t shape_of(const Value& v);

}  // namespace tavisk
