// Text fitting measures its candidates by parts (prefix and marker, budget-bounded measuring) and
// reads sections lazily; these checks hold it to the plain render-and-measure rules at every cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "size.h"
#include "text.h"
#include "utf8.h"

namespace tavisk::text {
namespace {

const Measure json_measure = &size::quoted;
std::uint64_t plain_count(std::string_view s) { return utf8::count(s); }
const Measure char_measure = &plain_count;

const std::string ell = "\xE2\x80\xA6";

// fit_flat as first written: every probe rendered in full and measured.
std::string reference_flat(std::string_view text, std::uint64_t total, std::uint64_t budget, Measure m) {
  auto render = [&](std::uint64_t k) {
    Cut c = cut(text, k);
    return std::string(c.prefix) + ell + "[+" + std::to_string(total - c.kept) + " chars]";
  };
  std::string best = render(0);
  if (m(best) > budget) return best;
  std::uint64_t lo = 0, hi = total;
  while (lo < hi) {
    std::uint64_t mid = lo + (hi - lo + 1) / 2;
    std::string r = render(mid);
    if (m(r) <= budget) {
      lo = mid;
      best = r;
    } else {
      hi = mid - 1;
    }
  }
  return best;
}

// Multi-byte characters, escapes that cost 2 and 6, and whitespace runs that move the cut.
std::vector<std::string> tricky_texts() {
  return {
      "caf\xC3\xA9 \"quoted\" \\ back\tslash \x01\x02 control \xE2\x80\x94 dash   spaces \xF0\x9F\x98\x80 end",
      std::string(40, '\x1F') + " " + std::string(30, '"'),
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E " + std::string(50, 'x') + "\n\n" + std::string(20, '\\'),
      "a" + std::string(60, ' ') + "b\xC3\xA9" + std::string(10, '\t') + "c",
  };
}

TEST(TextMeasureOnce, FlatFitEqualsFullRenderingsAtEveryBudget) {
  for (const std::string& t : tricky_texts())
    for (Measure m : {json_measure, char_measure}) {
      const std::uint64_t total = utf8::count(t);
      for (std::uint64_t budget = 0; budget <= m(t) + 2; ++budget)
        ASSERT_EQ(fit_flat(t, total, budget, m), reference_flat(t, total, budget, m)) << t << " at " << budget;
    }
}

TEST(TextMeasureOnce, BoundedMeasureAgreesAtEveryPrefixAndBudget) {
  // Longer than one measuring chunk, with a multi-byte character across every chunk edge.
  std::string big;
  while (big.size() < (1u << 17) + 50) big += "\xE2\x80\x94\"\x05y";
  for (const std::string& t : tricky_texts())
    for (std::size_t end = 0; end <= t.size(); ++end) {
      const std::string_view p = std::string_view(t).substr(0, end);
      if (!utf8::valid(p)) continue;  // prefixes end on character boundaries only
      const std::uint64_t full = json_measure(p);
      for (std::uint64_t b : {full - 1, full, full + 1, std::uint64_t{0}, std::uint64_t{1}})
        EXPECT_EQ(measure_within(p, b, json_measure), full <= b) << end << " " << b;
    }
  const std::uint64_t full = json_measure(big);
  for (std::uint64_t b : {full - 1, full, full / 2, std::uint64_t{70000}})
    EXPECT_EQ(measure_within(big, b, json_measure), full <= b) << b;
}

TEST(TextMeasureOnce, LineCountMatchesTheSplit) {
  for (std::string_view t : {"", "\n", "a", "a\n", "a\nb", "\n\n", "a\r\nb\r\n", "x\n\ny\n\n\nz", "12345678\n1234567\n"})
    EXPECT_EQ(count_lines(t), split_lines(t).size()) << t;
}

std::string joined(const std::vector<std::string>& pieces, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += pieces[i];
  return out;
}

std::string sections_marker(std::uint64_t n, std::uint64_t m) {
  return ell + "[+" + std::to_string(n) + " sections, " + std::to_string(m) + " chars]";
}

// fit_text as first written: every split made in full, every attempt rendered in full.
std::string reference_text(std::string_view s, std::uint64_t budget, const Options& o, Measure m) {
  if (m(s) <= budget) return std::string(s);
  const std::uint64_t total = utf8::count(s);
  std::vector<Piece> pieces = split_paragraphs(s);
  if (pieces.size() < 2) {
    pieces.clear();
    for (const Line& l : split_lines(s)) pieces.emplace_back(l.text, l.terminator);
  }
  if (pieces.size() < 2) pieces = split_sentences(s);
  const std::vector<Section> sections = mk_sections(pieces);
  if (sections.size() < 2) return reference_flat(s, total, budget, m);
  const std::uint64_t head = o.string_head_chars, sec = std::max<std::uint64_t>(o.string_section_chars, 1);
  const std::uint64_t x0 = std::max<std::uint64_t>(o.string_min_section_chars, 1);
  std::uint64_t longest = 0;
  for (const Section& sc : sections) longest = std::max(longest, sc.chars);
  auto attempt = [&](std::uint64_t x) { return render_pieces(sections, x * head / sec, x, m); };
  std::vector<std::string> best = attempt(x0);
  if (m(joined(best, best.size())) <= budget) {
    std::uint64_t lo = x0, hi = std::max(longest, x0);
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo + 1) / 2;
      std::vector<std::string> trial = attempt(mid);
      if (m(joined(trial, trial.size())) <= budget) {
        lo = mid;
        best = trial;
      } else {
        hi = mid - 1;
      }
    }
    return joined(best, best.size());
  }
  std::string marker = sections_marker(sections.size(), total);
  if (m(marker) > budget) return reference_flat(s, total, budget, m);
  std::uint64_t left = total;
  std::size_t kept = 0;
  for (std::size_t i = 0; i + 1 < best.size(); ++i) {
    const std::uint64_t left_i = left - sections[i].chars;
    std::string marker_i = sections_marker(sections.size() - i - 1, left_i);
    if (m(joined(best, i + 1) + marker_i) > budget) break;
    left = left_i;
    marker = marker_i;
    kept = i + 1;
  }
  return joined(best, kept) + marker;
}

TEST(TextMeasureOnce, SectionedFitEqualsFullSplitsAtEveryBudget) {
  std::string lines;
  for (int i = 0; i < 14; ++i)
    lines += "l\xC3\xADne " + std::to_string(i) + " \"q\" " + std::string(static_cast<std::size_t>(i * 3), 'z') +
             (i % 3 ? "\n" : "\r\n");
  const std::string paragraphs = "First para \xE2\x80\x94 one.\nstill one\n \n\tSecond\x01 para" +
                                 std::string(70, '\\') + "\n\n\nThird\n" + std::string(90, 'w') + "\nend";
  const std::string sentences = "One \xE6\x97\xA5 sentence.  Two\ttabs!\tThree \"quoted\" words? " +
                                std::string(120, 'q') + ". Last one";
  Options wide, narrow;
  narrow.string_head_chars = 40;
  narrow.string_section_chars = 30;
  narrow.string_min_section_chars = 3;
  for (const std::string& t : {lines, paragraphs, sentences})
    for (const Options* o : {&wide, &narrow})
      for (Measure m : {json_measure, char_measure})
        for (std::uint64_t budget = 0; budget <= m(t) + 1; ++budget)
          ASSERT_EQ(fit_text(t, budget, *o, m), reference_text(t, budget, *o, m)) << t << " at " << budget;
}

}  // namespace
}  // namespace tavisk::text
