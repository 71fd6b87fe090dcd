#include "lines.h"

#include <gtest/gtest.h>

#include <string>

#include "line_fit_check.h"
#include "size.h"
#include "utf8.h"

namespace tavisk::lines {
namespace {

std::uint64_t chars(std::string_view s) { return utf8::count(s); }
const text::Measure quoted = &size::quoted;

// n numbered lines "line <i> <filler>" joined by `eol`.
std::string numbered(int n, std::string_view filler, std::string_view eol = "\n", bool final_eol = true) {
  std::string s;
  for (int i = 1; i <= n; ++i) {
    s += "line " + std::to_string(i) + " " + std::string(filler);
    if (i < n || final_eol) s += eol;
  }
  return s;
}

TEST(LineFit, KeepsBothEndsWithExactMarkers) {
  struct Case {
    const char* name;
    std::string text;
    std::uint64_t budget;
    text::Measure measure;
  };
  const std::string long_line(3000, 'x');
  const Case cases[] = {
      {"plain lines", numbered(400, "some words of a log"), 2000, chars},
      {"no final line feed", numbered(400, "some words of a log", "\n", false), 2000, chars},
      {"carriage returns", numbered(300, "ok", "\r\n"), 900, chars},
      {"wide characters", numbered(300, "\xC3\xA9t\xC3\xA9 \xE2\x9C\x93"), 1200, chars},
      {"bytes near a line feed", numbered(333, "\xCA\x8A\x0B\x09\x0C"), 1100, chars},
      {"escapes cost more when quoted", numbered(300, "a\t\"b\""), 1500, quoted},
      {"long last line", numbered(200, "x") + long_line, 1000, chars},
      {"long first line", long_line + "\n" + numbered(200, "x"), 1000, chars},
      {"empty lines", std::string(5000, '\n'), 300, chars},
      {"small budget", numbered(100, "abc"), 120, chars},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = fit(c.text, c.budget, c.measure);
    ASSERT_TRUE(f.has_value());
    EXPECT_LE(c.measure(f->text), c.budget);
    std::uint64_t omitted = 0;
    EXPECT_EQ(testing::check_line_fit(c.text, f->text, omitted), "");
    EXPECT_EQ(f->lines_omitted, omitted);
    EXPECT_GT(omitted, 0u);
    EXPECT_EQ(f->lines_matched, 0u);
  }
}

TEST(LineFit, TheTailGetsMostOfTheBudget) {
  const std::string t = numbered(1000, "the same length");  // lines of 22-26 characters
  auto f = fit(t, 4000, chars);
  ASSERT_TRUE(f.has_value());
  const std::vector<text::Line> out = text::split_lines(f->text);
  std::uint64_t n = 0, m = 0;
  std::size_t head = 0;
  while (head < out.size() && !testing::parse_lines_marker(out[head].text, n, m)) ++head;
  ASSERT_LT(head, out.size());
  const std::size_t tail = out.size() - head - 1;
  // A quarter of the budget for the head, the rest for the tail.
  EXPECT_GE(head, 30u);
  EXPECT_LE(head, 45u);
  EXPECT_GE(tail, 2 * head);
  EXPECT_EQ(out.back().text, "line 1000 the same length");
  // The budget is used, not wasted on the conservative marker estimate.
  EXPECT_GE(chars(f->text), 3900u);
}

TEST(LineFit, MatcherLinesComeBeforeTheRest) {
  std::string t;
  for (int i = 1; i <= 600; ++i)
    t += (i % 97 == 0 ? "ERROR step " : "info step ") + std::to_string(i) + " done\n";
  const Matcher errors = [](std::string_view l) { return l.starts_with("ERROR"); };
  Rules rules;
  rules.head_percent = 0;
  rules.tail_percent = 30;
  rules.matcher = &errors;
  auto f = fit(t, 1000, chars, rules);
  ASSERT_TRUE(f.has_value());
  std::uint64_t omitted = 0;
  EXPECT_EQ(testing::check_line_fit(t, f->text, omitted), "");
  EXPECT_EQ(f->lines_omitted, omitted);
  // All six error lines (97 ... 582) fit and are counted; the head is the first line alone.
  EXPECT_EQ(f->lines_matched, 6u);
  for (int i = 97; i <= 582; i += 97)
    EXPECT_NE(f->text.find("ERROR step " + std::to_string(i) + " done\n"), std::string::npos) << i;
  EXPECT_TRUE(f->text.starts_with("info step 1 done\n\xE2\x80\xA6[+"));
  EXPECT_LE(chars(f->text), 1000u);
}

TEST(LineFit, DeclinesWhereTextFittingMustDecide) {
  // Fewer than three lines.
  EXPECT_FALSE(fit(std::string(500, 'a') + "\n" + std::string(500, 'b'), 200, chars));
  // Not even the first and last line with a marker fit.
  EXPECT_FALSE(fit(numbered(10, std::string(100, 'z')), 60, chars));
}

TEST(LineFit, StringFittingCountsAndFallsBack) {
  Options o;
  Stats stats;
  const std::string t = numbered(200, "abc");
  std::string by_lines = fit_string(t, 500, o, chars, true, stats);
  std::uint64_t omitted = 0;
  EXPECT_EQ(testing::check_line_fit(t, by_lines, omitted), "");
  EXPECT_EQ(stats.lines_omitted, omitted);
  EXPECT_EQ(stats.strings_truncated, 1u);
  // Without line fitting, or where it declines, the text fitting's answer.
  EXPECT_EQ(fit_string(t, 500, o, chars, false, stats), text::fit_text(t, 500, o, chars));
  const std::string two = std::string(300, 'a') + "\n" + std::string(300, 'b');
  EXPECT_EQ(fit_string(two, 100, o, chars, true, stats), text::fit_text(two, 100, o, chars));
  EXPECT_EQ(stats.strings_truncated, 3u);
  EXPECT_EQ(stats.lines_omitted, omitted);
}

}  // namespace
}  // namespace tavisk::lines
