// The command-line flags that become keys of the library's options object, in
// one table shared by every subcommand that calls the library, and the
// getopt_long parser that turns a command line into the options JSON text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

// How a flag's argument becomes the option's JSON value.
enum class Kind {
  Number,  // decimal digits only, sent as a JSON number (the library checks the range)
  Text,    // sent as a JSON string
  Choice,  // one of `choices`, ignoring ASCII case and '-' for '_'; sent as written
  List,    // every use appends one string to a JSON array
  True,    // takes no argument; sends true
  False,   // takes no argument; sends false
  Real,    // a positive finite decimal number (e.g. 3.5)
};

struct OptionFlag {
  std::string_view name;           // long flag, without the leading "--"
  char short_name;                 // 0 when there is none
  std::string_view key;            // the library's option key
  Kind kind;
  std::string_view meta;           // the argument's name in the help; empty for True/False
  std::string_view help;
  std::string_view choices = {};   // Choice: the accepted words, separated by spaces
  std::string_view implicit = {};  // Text/Choice: the value of a bare --flag, which makes the argument
                                   // optional (then only --flag=VALUE gives one)
};

// The library-option flags in help order. A new flag is one more row here.
std::span<const OptionFlag> option_flags();

// A subcommand's own flag, reported back to it rather than sent to the library.
enum class Arg { None, Required, Optional };

struct ToolFlag {
  std::string_view name;  // long flag, without "--"
  char short_name;        // 0 when there is none
  Arg arg;
  std::string_view meta;
  std::string_view help;
};

struct ToolUse {
  std::size_t flag;                // index into the subcommand's table
  std::optional<std::string> arg;  // absent for Arg::None, and for an Arg::Optional flag given bare
};

struct CommandLine {
  std::string options;                // the options object as compact JSON text
  std::vector<ToolUse> tool;          // the subcommand's own flags, in the order given
  std::vector<std::string> operands;  // everything that is not a flag, in order
};

// Parses argv[1] .. argv[argc-1] with getopt_long (GNU argument permutation, `--` ends the flags,
// unambiguous prefixes of long flags accepted): the rows of `table`, `--options JSON` (the base
// object; a key some flag sets is taken from the flag) and the subcommand's `tool` flags. On a usage
// error returns nothing and sets `error` to a one-line message. getopt_long may reorder argv.
std::optional<CommandLine> parse_command_line(int argc, char** argv, std::span<const ToolFlag> tool,
                                              std::string& error,
                                              std::span<const OptionFlag> table = option_flags());

// The options object from a base JSON object text (empty for none) and flag-set pairs (key, JSON
// value text). Members of the base whose key a pair sets are left out; the base's own text of
// numbers is kept as written. On a bad base returns nothing and sets `error`.
std::optional<std::string> merge_options(std::string_view base,
                                         const std::vector<std::pair<std::string, std::string>>& set,
                                         std::string& error);

// Whether `value` is one of the space-separated `choices` (ASCII case and '-' for '_' ignored).
bool is_choice(std::string_view value, std::string_view choices);

// Help lines, one per flag ("  -n, --max-chars N    text"): the library flags, `--options`, then `tool`.
std::string flags_help(std::span<const ToolFlag> tool, std::span<const OptionFlag> table = option_flags());

// The reader for a file whose options name none: "text" for names ending in .log, .txt, .md or .out,
// "json", "yaml" and "jsonl" for .json, .yaml/.yml and .jsonl/.ndjson (ignoring case), else "detect"
// (JSON if it parses, YAML if it parses as a mapping or sequence and loses nothing, else text).
std::string_view default_input_format(std::string_view file);

// The options object `options` (compact JSON) with `input_format` set to `format` unless it has one.
std::string with_input_format(const std::string& options, std::string_view format);

// `text` as a quoted JSON string.
std::string json_string(std::string_view text);

}  // namespace cli
