#include "text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "size.h"
#include "utf8.h"

namespace tavisk::text {
namespace {

const Measure measure = &size::quoted;
const std::string ell = "\xE2\x80\xA6";

std::string chars_marker(std::uint64_t n) { return ell + "[+" + std::to_string(n) + " chars]"; }

TEST(TextCut, BreaksOnlyInTheLastQuarter) {
  const std::string_view t = "abcd efgh ijkl";  // 14 characters, spaces at 4 and 9
  struct Case {
    std::uint64_t count;
    std::string_view prefix;
    std::uint64_t kept;
  };
  const Case cases[] = {
      {12, "abcd efgh", 9},       // 4 * 9 >= 3 * 12
      {13, "abcd efgh ijk", 13},  // 36 < 39: no break
      {14, t, 14},
      {99, t, 14},
      {0, "", 0},
      {5, "abcd", 4},  // break at 4: 16 >= 15
      {6, "abcd e", 6},
  };
  for (const Case& c : cases) {
    Cut r = cut(t, c.count);
    EXPECT_EQ(r.prefix, c.prefix) << "count " << c.count;
    EXPECT_EQ(r.kept, c.kept) << "count " << c.count;
  }
}

TEST(TextCut, WhitespaceRulesAndCharacterCounting) {
  // A break at index 0 is never taken.
  EXPECT_EQ(cut(" abcdefgh", 1).prefix, " ");
  EXPECT_EQ(cut(" abcdefgh", 4).prefix, " abc");
  // Trailing whitespace before the break is removed as well.
  Cut trimmed = cut("abcd \t efgh", 8);
  EXPECT_EQ(trimmed.prefix, "abcd");
  EXPECT_EQ(trimmed.kept, 4u);
  // Counts are characters, not bytes; U+3000 is whitespace.
  Cut wide = cut("\xC3\xA9\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9\xC3\xA9", 5);
  EXPECT_EQ(wide.prefix, "\xC3\xA9\xC3\xA9\xC3\xA9 \xC3\xA9");
  EXPECT_EQ(wide.kept, 5u);
  Cut ideographic = cut("abcdef\xE3\x80\x80gh", 8);
  EXPECT_EQ(ideographic.prefix, "abcdef");
  EXPECT_EQ(ideographic.kept, 6u);
}

TEST(TextLines, SplitKeepsTerminators) {
  auto show = [](std::string_view s) {
    std::string out;
    for (const Line& l : split_lines(s)) out += "[" + std::string(l.text) + "|" + std::string(l.terminator) + "]";
    return out;
  };
  EXPECT_EQ(show(""), "[|]");
  EXPECT_EQ(show("a"), "[a|]");
  EXPECT_EQ(show("a\n"), "[a|\n]");
  EXPECT_EQ(show("\n"), "[|\n]");
  EXPECT_EQ(show("a\nb"), "[a|\n][b|]");
  EXPECT_EQ(show("a\r\nb\r\n"), "[a|\r\n][b|\r\n]");
  EXPECT_EQ(show("a\n\n"), "[a|\n][|\n]");
  EXPECT_EQ(show("a\rb\n\r"), "[a\rb|\n][\r|]");
}

TEST(TextSections, CharsCountTextAndSeparator) {
  auto s = mk_sections({{"ab\xC3\xA9", "\r\n"}, {"", ""}});
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].chars, 5u);
  EXPECT_EQ(s[1].chars, 0u);
}

std::string show(const std::vector<Piece>& pieces) {
  std::string out;
  for (const auto& [t, sep] : pieces) out += "[" + std::string(t) + "|" + std::string(sep) + "]";
  return out;
}

TEST(TextSections, ParagraphBoundaries) {
  EXPECT_EQ(show(split_paragraphs("one\n  \ntwo")), "[one|\n  \n][two|]");
  // Spaces after the last line feed belong to the next paragraph.
  EXPECT_EQ(show(split_paragraphs("one\n\n  two")), "[one|\n\n][  two|]");
  EXPECT_EQ(show(split_paragraphs("one\n \t\r\n\ntwo\n\nthree")), "[one|\n \t\r\n\n][two|\n\n][three|]");
  // No second line feed in the run, or the run ends the text: no boundary.
  EXPECT_EQ(show(split_paragraphs("one\n  two")), "[one\n  two|]");
  EXPECT_EQ(show(split_paragraphs("one\n\n")), "[one\n\n|]");
  EXPECT_EQ(show(split_paragraphs("one\n\ntwo\n \n")), "[one|\n\n][two\n \n|]");
  // Spaces after the run's last line feed that end the text still count as a next paragraph.
  EXPECT_EQ(show(split_paragraphs("one\n\n  ")), "[one|\n\n][  |]");
  // The separator starts at the line feed, so a CR before it stays with the text.
  EXPECT_EQ(show(split_paragraphs("a\r\n\r\nb")), "[a\r|\n\r\n][b|]");
  EXPECT_EQ(show(split_paragraphs("\n\nx")), "[|\n\n][x|]");
}

TEST(TextSections, SentenceBoundaries) {
  EXPECT_EQ(show(split_sentences("One. Two!  Three?\tFour")), "[One.| ][Two!|  ][Three?|\t][Four|]");
  EXPECT_EQ(show(split_sentences("End. ")), "[End. |]");
  EXPECT_EQ(show(split_sentences("a.b c")), "[a.b c|]");
  EXPECT_EQ(show(split_sentences("Wait... what?")), "[Wait...| ][what?|]");
  EXPECT_EQ(show(split_sentences("")), "[|]");
}

TEST(TextPreview, SingleLine) {
  EXPECT_EQ(preview("short", 5, measure), "short");
  EXPECT_EQ(preview(std::string(40, 'a'), 10, measure), std::string(10, 'a') + chars_marker(30));
  // The marker would make this text longer: it is kept whole.
  EXPECT_EQ(preview("abcd efgh ijkl mnop", 12, measure), "abcd efgh ijkl mnop");
  // A whitespace break makes the count larger than text minus n.
  EXPECT_EQ(preview("abcd efgh ijklmnopqrstuvwxyz", 12, measure), "abcd efgh" + chars_marker(19));
}

TEST(TextPreview, LaterLinesAtAQuarterButAtLeastEight) {
  const std::string line24 = "abcdefghijklmnopqrstuvwx";
  std::string text = "title\n" + line24 + "\n" + line24 + "\n" + line24 + "\n" + line24;  // 105 characters
  // n = 20: later lines at 8 (not 5); stop before the written total passes 40.
  EXPECT_EQ(preview(text, 20, measure), "title\nabcdefgh" + chars_marker(16) + "\n" + ell + "[+3 lines, 74 chars]");

  const std::string line60(60, 'q');
  std::string long_text = "title\n";
  for (int i = 0; i < 8; ++i) long_text += line60 + (i < 7 ? "\n" : "");
  std::string expected = "title\n";
  for (int i = 0; i < 5; ++i) expected += std::string(25, 'q') + chars_marker(35) + "\n";
  expected += ell + "[+3 lines, 182 chars]";
  EXPECT_EQ(preview(long_text, 100, measure), expected);
}

TEST(TextPreview, MultiLineDetails) {
  // The first line is previewed at n, and CRLF terminators are carried.
  std::string text = std::string(60, 'f') + "\r\nab\r\ncd";
  EXPECT_EQ(preview(text, 20, measure), std::string(20, 'f') + chars_marker(40) + "\r\nab\r\ncd");
  // Every line fits the running total: no marker.
  EXPECT_EQ(preview("one two three four five\nsix", 10, measure), "one two three four five\nsix");
}

TEST(TextRenderPieces, HeadThenPreviews) {
  const std::string a30(30, 'a'), b40(40, 'b'), c30(30, 'c');
  // The very first section overflowing is previewed at max(head, x).
  auto first = render_pieces(mk_sections({{a30, "\n"}, {b40, ""}}), 10, 5, measure);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], std::string(10, 'a') + chars_marker(20) + "\n");
  EXPECT_EQ(first[1], "bbbbb" + chars_marker(35));
  // After the first overflow every section is a preview, even one that would still fit the head.
  auto later = render_pieces(mk_sections({{"aaaaa", "\n"}, {b40, "\n"}, {c30, ""}}), 40, 8, measure);
  ASSERT_EQ(later.size(), 3u);
  EXPECT_EQ(later[0], "aaaaa\n");
  EXPECT_EQ(later[1], "bbbbbbbb" + chars_marker(32) + "\n");
  EXPECT_EQ(later[2], "cccccccc" + chars_marker(22));
  // The running sum includes separators: 3 + 1 fits a head of 4 exactly.
  auto exact = render_pieces(mk_sections({{"abc", "\n"}, {"defghijklmnopqrstuvwxyz", ""}}), 4, 16, measure);
  EXPECT_EQ(exact[0], "abc\n");
}

TEST(TextFitFlat, MarkerOnlyAndBinarySearch) {
  const std::string a50(50, 'a');
  EXPECT_EQ(fit_flat(a50, 50, 5, measure), chars_marker(50));
  EXPECT_EQ(fit_flat(a50, 50, 14, measure), chars_marker(50));
  EXPECT_EQ(fit_flat(a50, 50, 15, measure), "a" + chars_marker(49));
  EXPECT_EQ(fit_flat(a50, 50, 30, measure), std::string(16, 'a') + chars_marker(34));
}

// The result is a leading slice of the text, then a chars marker counting the rest.
void expect_flat_shape(const std::string& text, const std::string& out) {
  std::size_t at = out.rfind(ell + "[+");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(0, at), text.substr(0, at));
  EXPECT_EQ(out.substr(at), chars_marker(utf8::count(text) - utf8::count(out.substr(0, at))));
}

TEST(TextFitFlat, CountsFollowTheKeptCharacters) {
  const std::string words = "alpha beta gamma delta epsilon zeta eta theta iota kappa";
  for (std::uint64_t budget = 14; budget < 60; ++budget) {
    std::string out = fit_flat(words, utf8::count(words), budget, measure);
    EXPECT_LE(measure(out), budget);
    expect_flat_shape(words, out);
  }
}

TEST(TextFit, UnchangedWhenMeasureEqualsBudget) {
  Options o;
  std::string s = "Line one.\nLine \"two\" has quotes and a tab\t.";
  EXPECT_EQ(fit_text(s, measure(s), o, measure), s);
  EXPECT_NE(fit_text(s, measure(s) - 1, o, measure), s);
}

TEST(TextFit, SingleLongLineFallsBackToFlat) {
  Options o;
  std::string s(300, 'z');
  EXPECT_EQ(fit_text(s, 30, o, measure), std::string(15, 'z') + chars_marker(285));
  EXPECT_EQ(fit_text(s, 3, o, measure), chars_marker(300));
}

TEST(TextFit, SectionsMarkerForTheRest) {
  Options o;
  std::string first = "Short first paragraph.";
  std::string s = first + "\n\n" + std::string(300, 'b');
  std::string head = first + "\n\n";
  // Both pieces at the smallest preview size need 57.
  EXPECT_EQ(fit_text(s, 57, o, measure), head + std::string(16, 'b') + chars_marker(284));
  // One less: the first piece is kept with a marker for one section (the plural stays).
  EXPECT_EQ(fit_text(s, 56, o, measure), head + ell + "[+1 sections, 300 chars]");
  EXPECT_EQ(fit_text(s, 53, o, measure), head + ell + "[+1 sections, 300 chars]");
  // No leading piece fits beside its marker: the marker for all sections alone.
  EXPECT_EQ(fit_text(s, 52, o, measure), ell + "[+2 sections, 324 chars]");
  EXPECT_EQ(fit_text(s, 27, o, measure), ell + "[+2 sections, 324 chars]");
  // Not even that marker fits: flat fitting.
  EXPECT_EQ(fit_text(s, 26, o, measure), "Short first" + chars_marker(313));
}

TEST(TextFit, SentencesCarryTheirSeparators) {
  Options o;
  std::string s = "Short one.  " + std::string(300, 'x');
  EXPECT_EQ(fit_text(s, 40, o, measure), "Short one.  " + ell + "[+1 sections, 300 chars]");
}

TEST(TextFit, CrlfLinesKeepTheirSeparators) {
  Options o;
  std::string s = "alpha\r\nbeta\r\n" + std::string(200, 'g');
  // 2 + 9 + 8 + (x + 10 + digits(200 - x)) <= 60 gives x = 28.
  EXPECT_EQ(fit_text(s, 60, o, measure), "alpha\r\nbeta\r\n" + std::string(28, 'g') + chars_marker(172));
}

TEST(TextFit, LargestPreviewSizeAndKnobs) {
  std::string s;
  for (int i = 0; i < 6; ++i) s += std::string(50, static_cast<char>('a' + i)) + "\n\n";
  s += "end";
  Options o;
  o.string_head_chars = 0;
  o.string_min_section_chars = 0;  // counts as 1
  o.string_section_chars = 0;      // counts as 1
  // No head: every paragraph is a preview of the same size x, the largest that fits.
  std::string out = fit_text(s, 150, o, measure);
  EXPECT_LE(measure(out), 150u);
  std::string x_pieces;
  std::uint64_t x = 0;
  for (std::uint64_t cand = 1; cand <= 52; ++cand) {
    std::string all;
    for (const Section& sec : mk_sections(split_paragraphs(s)))
      all += preview(sec.text, cand, measure) + std::string(sec.separator);
    if (measure(all) <= 150) {
      x = cand;
      x_pieces = all;
    }
  }
  ASSERT_GT(x, 0u);
  EXPECT_EQ(out, x_pieces);
}

// Random prose: words, punctuation, line structure, non-ASCII and control characters.
std::string random_text(std::mt19937_64& rng) {
  static const char* const parts[] = {"word",
                                      "longerword",
                                      " ",
                                      " ",
                                      ". ",
                                      "! ",
                                      "? ",
                                      "\n",
                                      "\n\n",
                                      "\r\n",
                                      "\n \n",
                                      "\t",
                                      "\xC3\xA9t\xC3\xA9",
                                      "\xE2\x80\xA6",
                                      "\"q\"",
                                      "\\",
                                      "\x01",
                                      "\xE3\x80\x80",
                                      "x"};
  std::uniform_int_distribution<std::size_t> len(0, 120), part(0, std::size(parts) - 1);
  std::string s;
  for (std::size_t i = 0, n = len(rng); i < n; ++i) s += parts[part(rng)];
  return s;
}

TEST(TextFit, ResultFitsWheneverTheMarkerFits) {
  std::mt19937_64 rng(7);
  Options o;
  o.string_head_chars = 100;
  o.string_section_chars = 50;
  o.string_min_section_chars = 4;
  int shortened = 0;
  for (int t = 0; t < 1500; ++t) {
    std::string s = random_text(rng);
    std::uint64_t full = measure(s);
    std::uint64_t floor = measure(chars_marker(utf8::count(s)));
    for (std::uint64_t budget : {std::uint64_t{0}, floor - 1, floor, floor + 7, full / 2, full - 1, full}) {
      std::string out = fit_text(s, budget, t % 2 ? o : Options{}, measure);
      ASSERT_TRUE(utf8::valid(out));
      if (budget >= floor || budget >= full) {
        ASSERT_LE(measure(out), budget) << "budget " << budget << ": " << s;
      }
      if (out != s) ++shortened;
    }
  }
  EXPECT_GT(shortened, 3000);
}

}  // namespace
}  // namespace tavisk::text
