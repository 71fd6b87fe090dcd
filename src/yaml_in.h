// The YAML reader: composes a Value tree from the YAML parser's events.
#pragma once

#include <string>
#include <string_view>

#include "result.h"
#include "value.h"

namespace tavisk::yaml_in {

// A single value for one document, null for none, an array for several.
Result<Value> parse(std::string_view text);

}  // namespace tavisk::yaml_in
