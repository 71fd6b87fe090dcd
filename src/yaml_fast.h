// A fast reader for block YAML as tools commonly write it: documents of block
// mappings and sequences whose scalars sit on one line, are plain values
// folded over a few, or are literal or folded block scalars, with comments
// after content and flow collections of scalars on one line. It builds the
// tree the YAML library's composer would, or declines the text.
#pragma once

#include <string_view>

#include "arena.h"
#include "value.h"

namespace tavisk::yaml_fast {

// Reads `text` into `out`, its lists and written texts in `arena` and its
// other texts borrowed from `text`, when the text keeps to this reader's
// forms. False when it does not: `out` and `arena` are untouched. Never an
// error of its own: a declined text, valid or not, is for the full reader to
// judge.
bool read(std::string_view text, Arena& arena, Value& out);

}  // namespace tavisk::yaml_fast
