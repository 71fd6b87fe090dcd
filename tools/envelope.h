// Calling the library and reading its JSON envelope in the command-line tools.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

namespace cli {

// One library call: the envelope the library wrote for `input` under `options`.
std::string call_library(std::string_view input, std::string_view options);

struct Envelope {
  bool ok = false;
  std::string error;         // when !ok
  std::string text;          // when ok
  rapidjson::Document report;  // when ok: the report object
};

// The envelope's parts, or nothing when `json` is not an envelope.
std::optional<Envelope> read_envelope(std::string_view json);

// The text of the top-level member `key` of the JSON object `json`, exactly as written (numbers
// such as 0.750 keep their form), or nothing when there is no such member or the text is not JSON.
std::optional<std::string_view> raw_member(std::string_view json, std::string_view key);

// A short human-readable account of a report: the sizes, formats and outcome, one line per
// non-zero counter, the number of field decisions and the dropped fields.
std::string report_summary(const rapidjson::Value& report);

// Whether the report says the result fits its budget.
bool report_fits(const rapidjson::Value& report);

}  // namespace cli
