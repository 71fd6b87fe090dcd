// Resolution of YAML scalars by the YAML 1.2 core schema, honouring the
// standard scalar tags.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"
#include "value.h"

namespace tavisk::yaml_in {

// The schema type a scalar resolved to; distinct bits so a set of them fits a byte.
enum class ScalarKind : std::uint8_t { Null = 1, Bool = 2, Int = 4, Real = 8, String = 16 };

// What a scalar is as a mapping key besides its value.
struct ScalarInfo {
  ScalarKind kind = ScalarKind::Null;
  // Reals only: the source text (the key text) and a text equal for equal values.
  std::string real_text;
  std::string real_identity;
};

struct Scalar {
  Value value;
  ScalarInfo info;
};

// The key text of a resolved scalar: source text for reals, decimal text for
// integers, "true"/"false", "null", or the string itself.
std::string key_text(const Value& value, const ScalarInfo& info);

// Resolves one scalar. `plain` is false for quoted and block scalars; `tag` is the
// resolved tag text, empty when the scalar carries none.
Result<Scalar> resolve_scalar(std::string_view text, bool plain, std::string_view tag);

}  // namespace tavisk::yaml_in
