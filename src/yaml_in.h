// The YAML reader: composes a Value tree from the YAML parser's events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "arena.h"
#include "json.h"
#include "result.h"
#include "value.h"

namespace tavisk::yaml_in {

// Deepest node accepted below a document's root.
inline constexpr std::uint64_t max_depth = 512;

// Copies that anchors and aliases may add: at least this many nodes, or this multiple
// of the text's own nodes; at least this many text bytes, or this multiple of the text's size.
inline constexpr std::uint64_t alias_floor = 100000;
inline constexpr std::uint64_t alias_bytes_floor = std::uint64_t{16} << 20;
inline constexpr std::uint64_t alias_factor = 10;

// The library formats a scalar's text in time that grows with the square of
// each run of empty or blank lines inside it (about the run's lines times its
// bytes), so that product, summed over a text's scalars, is held to this many
// units (a few milliseconds' work), or to this many per byte of the text.
inline constexpr std::uint64_t blank_run_floor = 4000000;
inline constexpr std::uint64_t blank_run_per_byte = 8;

// A single value for one document, null for none, an array for several.
Result<Value> parse(std::string_view text);

// The same, read into an arena: its lists and the texts it had to write live
// in `arena`, and its long texts are borrowed from `text`, so both must
// outlive it.
Result<json::Tree> parse(std::string_view text, Arena& arena);

// The same, always composed from the YAML library's events: what the fast
// reader of the plainest block texts is held to.
Result<json::Tree> parse_composed(std::string_view text, Arena& arena);

// Number text for a YAML real: the text itself when it is a JSON number, else the
// shortest round-trip positional decimal of the value.
std::string json_number(std::string_view text, double value);

}  // namespace tavisk::yaml_in
