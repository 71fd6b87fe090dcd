// The block YAML writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "value.h"

namespace tavisk::yaml {

using Lines = std::vector<std::string>;

// Lines of a non-empty array or object, each starting with level * indent spaces.
void block(const Value& v, std::uint64_t level, std::uint64_t indent, Lines& lines);
// Characters of the whole document's rendering (indent raised to 2), counted
// without rendering it.
std::uint64_t document_chars(const Value& v, std::uint64_t indent);
// One-line form of a scalar or an empty container.
std::string inline_(const Value& v);
std::string scalar_string(std::string_view text);
bool literal_ok(std::string_view text);
void literal_body_at(std::string_view text, std::uint64_t level, std::uint64_t indent, Lines& lines);
bool printable(char32_t c);
// "|-", "|" or "|+" by the number of trailing line feeds.
std::string_view literal_header(std::string_view text);

}  // namespace tavisk::yaml
