// The command's token budget: --max-tokens N with --chars-per-token R becomes max_chars.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../tools/cli_options.h"

namespace {

struct Parsed {
  std::optional<cli::CommandLine> line;
  std::string error;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tavisk");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  p.line = cli::parse_command_line(static_cast<int>(args.size()), argv.data(), {}, p.error);
  return p;
}

struct Case {
  std::vector<std::string> args;
  const char* expected;  // the options text, or the usage error
};

TEST(CliTokens, TokenBudgetsBecomeCharacterBudgets) {
  const Case cases[] = {
      {{"--max-tokens", "1000"}, R"({"max_chars":3500})"},
      {{"--max-tokens", "1001"}, R"({"max_chars":3503})"},
      // 0.7 is a little under 7/10 in binary, but the double product rounds to 7 as in the packages.
      {{"--max-tokens", "10", "--chars-per-token", "0.7"}, R"({"max_chars":7})"},
      {{"--max-tokens=3", "--chars-per-token=0.1"}, R"({"max_chars":0})"},
      {{"--chars-per-token", "4.25", "--max-tokens", "5"}, R"({"max_chars":21})"},
      {{"--max-tokens", "7", "--chars-per-token", "1e0"}, R"({"max_chars":7})"},
      {{"--max-tokens", "0"}, R"({"max_chars":0})"},
      {{"--max-tokens", "123457", "--chars-per-token", "2.9"}, R"({"max_chars":358025})"},
      // Past 2^64 - 1 the budget saturates instead of wrapping.
      {{"--max-tokens", "99999999999999999999999"}, R"({"max_chars":18446744073709551615})"},
      {{"--max-tokens", "5270498306774157000"}, R"({"max_chars":18446744073709551615})"},
      {{"--max-tokens", "5270498306774156000"}, R"({"max_chars":18446744073709547520})"},
      // The last use wins; the budget takes the token flag's place among the flags.
      {{"--indent", "0", "--max-tokens", "1", "--max-tokens", "2"}, R"({"indent":0,"max_chars":7})"},
      // A max_chars given in --options yields to the token budget like to any flag.
      {{"--options", R"({"max_chars":5,"explain":true})", "--max-tokens", "2"}, R"({"explain":true,"max_chars":7})"},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args);
    ASSERT_TRUE(p.line) << c.expected << ": " << p.error;
    EXPECT_EQ(p.line->options, c.expected);
  }
}

TEST(CliTokens, BadTokenBudgetsAreUsageErrors) {
  const Case cases[] = {
      {{"--chars-per-token", "3"}, "--chars-per-token needs --max-tokens"},
      {{"--max-tokens", "5", "--max-chars", "9"}, "--max-chars and --max-tokens exclude each other"},
      {{"-n", "9", "--max-tokens", "5"}, "--max-chars and --max-tokens exclude each other"},
      {{"--max-tokens", "-5"}, "--max-tokens needs a non-negative integer, not '-5'"},
      {{"--max-tokens", "1.5"}, "--max-tokens needs a non-negative integer, not '1.5'"},
      {{"--max-tokens", "5", "--chars-per-token", "0"}, "--chars-per-token needs a positive number, not '0'"},
      {{"--max-tokens", "5", "--chars-per-token", "-2"}, "--chars-per-token needs a positive number, not '-2'"},
      {{"--max-tokens", "5", "--chars-per-token", "abc"}, "--chars-per-token needs a positive number, not 'abc'"},
      {{"--max-tokens", "5", "--chars-per-token", "3.5x"}, "--chars-per-token needs a positive number, not '3.5x'"},
      {{"--max-tokens", "5", "--chars-per-token", "inf"}, "--chars-per-token needs a positive number, not 'inf'"},
      {{"--max-tokens", "5", "--chars-per-token", "nan"}, "--chars-per-token needs a positive number, not 'nan'"},
      {{"--max-tokens", "5", "--chars-per-token", "1e999"}, "--chars-per-token needs a positive number, not '1e999'"},
      {{"--max-tokens", "5", "--chars-per-token="}, "--chars-per-token needs a positive number, not ''"},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args);
    EXPECT_FALSE(p.line) << c.expected;
    EXPECT_EQ(p.error, c.expected);
  }
}

}  // namespace
