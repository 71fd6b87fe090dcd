// Readers beside JSON and YAML: plain text (the whole input one string) and
// JSON Lines (one JSON value per line, read as an array), and the check that
// tells whether a YAML reading of a text kept everything in it.
#pragma once

#include <string_view>

#include "result.h"
#include "value.h"

namespace tavisk::plain {

// The input without one leading byte order mark.
std::string_view without_bom(std::string_view text);

// The text as one string value that borrows it: `text` must outlive the value.
Value text_value(std::string_view text);

// One JSON value per line (a leading byte order mark, line feeds with or
// without carriage returns); blank lines are skipped. A bad line fails with
// "<message> at line L, column C", L being its line in the input.
Result<Value> jsonl(std::string_view text);

// True when a YAML reading `doc` of `text` dropped content: a comment line
// (its first non-blank character '#') that holds more than '#' and blanks,
// unless the same line is part of a block text of the document. Markdown
// headings read as YAML are such lines.
bool yaml_lost_content(std::string_view text, const Value& doc);

}  // namespace tavisk::plain
