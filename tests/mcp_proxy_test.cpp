// The MCP proxy's arithmetic and byte positions: budget sharing, the spans it splices at, long
// texts read in their line, and the schema fitting of shrunk structured content.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tools/mcp_json.h"
#include "../tools/mcp_shrink.h"

namespace {

TEST(McpShareBudget, SmallPartsStayWholeAndTheRestSplitEvenly) {
  struct Case {
    std::vector<std::uint64_t> sizes;
    std::uint64_t budget;
    std::vector<std::uint64_t> shares;
  };
  const Case cases[] = {
      {{100, 100}, 500, {100, 100}},             // all fit
      {{10, 5000, 5000}, 1000, {10, 495, 495}},  // the small one whole, the rest even
      {{5000, 10, 300, 5000}, 1000, {345, 10, 300, 345}},
      {{7, 7, 7}, 10, {3, 3, 4}},  // remainder goes to the later parts
      {{1000}, 0, {0}},
      {{}, 100, {}},
  };
  for (const Case& c : cases) {
    auto shares = mcp::share_budget(c.sizes, c.budget);
    EXPECT_EQ(shares, c.shares);
    std::uint64_t sum = 0;
    for (auto s : shares) sum += s;
    EXPECT_LE(sum, c.budget);
  }
}

TEST(McpParse, SpansCoverExactlyTheValueAndKeyBytes) {
  const std::string line = " {\"a\" : [1, {\"b\":\"x\\\"y\"} ,-2.50e+3] ,\"c\":{ },\"é\":\"\\u00e9\"}\r\n";
  auto root = mcp::parse(line, mcp::expand_all);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->span.of(line), line.substr(1, line.size() - 3));
  const mcp::Node* a = root->get("a");
  ASSERT_TRUE(a && a->is(mcp::Node::Kind::Array));
  EXPECT_EQ(a->span.of(line), "[1, {\"b\":\"x\\\"y\"} ,-2.50e+3]");
  EXPECT_EQ(a->key.of(line), "\"a\"");
  ASSERT_EQ(a->items.size(), 3u);
  EXPECT_EQ(a->items[1].span.of(line), "{\"b\":\"x\\\"y\"}");
  EXPECT_EQ(a->items[1].get("b")->text, "x\"y");
  EXPECT_EQ(a->items[2].span.of(line), "-2.50e+3");
  EXPECT_EQ(a->items[2].text, "-2.50e+3");
  EXPECT_EQ(root->get("c")->span.of(line), "{ }");
  EXPECT_EQ(root->get("\xC3\xA9")->text, "\xC3\xA9");
}

// Texts are decoded beside the line, never into it, and stay valid after the line is gone.
TEST(McpParse, TextsOutliveTheLineAndLeaveItUntouched) {
  auto line = std::make_unique<std::string>(
      "{\"s\":\"a\\nb\\u00e9\\ud83d\\ude00\\\"\",\"n\":[-0.5e7,12],\"t\":true,\"k\\u0041\":null}");
  const std::string before = *line;
  auto root = mcp::parse(*line, mcp::expand_all);
  ASSERT_TRUE(root);
  EXPECT_EQ(*line, before);
  line.reset();
  EXPECT_EQ(root->get("s")->text, "a\nb\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(root->get("n")->items[0].text, "-0.5e7");
  EXPECT_EQ(root->get("n")->items[1].text, "12");
  EXPECT_EQ(root->get("t")->text, "true");
  EXPECT_TRUE(root->get("kA"));
}

// Characters are bytes that are not UTF-8 continuation bytes, counted eight bytes at a time
// with a byte-wise tail: every split of the word loop must agree with the byte-wise count.
TEST(McpCharCount, AgreesWithACountByteByByte) {
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x80\xA6", "\xF0\x9F\x98\x80", "\x7F", "\xBF", "\xC0"};
  std::string text;
  for (int i = 0; i < 200; ++i) text += pieces[(i * 7 + i / 3) % 7];
  for (std::size_t start = 0; start < 9; ++start) {
    for (std::size_t len = 0; start + len <= text.size(); len += 5) {
      std::string_view s = std::string_view(text).substr(start, len);
      std::uint64_t slow = 0;
      for (unsigned char c : s) slow += (c & 0xC0) != 0x80;
      ASSERT_EQ(mcp::char_count(s), slow) << start << " " << len;
    }
  }
}

// Bodies of string literals: every escape, surrogate pairs, a lone low surrogate, raw UTF-8,
// and escapes at each place within an eight-byte word.
struct LiteralCase {
  std::string body, decoded;
  bool canonical;
};
std::vector<LiteralCase> literal_cases() {
  std::vector<LiteralCase> cases = {
      {"", "", true},
      {"plain text, no escapes at all", "plain text, no escapes at all", true},
      {R"(\"\\\b\f\n\r\t)", "\"\\\b\f\n\r\t", true},
      {R"(a\u0001b\u001fc\u0000)", std::string("a\x01" "b\x1F" "c\0", 6), true},
      {R"(\u001F)", "\x1F", false},  // upper-case hex
      {R"(\u000a)", "\n", false},    // \n is the form written back
      {R"(\u0041\u00e9)", "A\xC3\xA9", false},
      {R"(x\/y)", "x/y", false},
      {R"(\ud83d\ude00!\uDC00)", "\xF0\x9F\x98\x80!\xED\xB0\x80", false},
      {"caf\xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x98\x80", true},
  };
  for (std::size_t at = 0; at < 17; ++at) {
    std::string run(at, 'x');
    cases.push_back({run + R"(\"ab\\)" + run + R"(\n)", run + "\"ab\\" + run + "\n", true});
  }
  return cases;
}

TEST(McpLongText, DecodedInPlaceAsTheReaderDecodes) {
  for (const LiteralCase& c : literal_cases()) {
    const std::string line = "{\"t\":\"" + c.body + "\"}";
    auto whole = mcp::parse(line, mcp::expand_all);
    ASSERT_TRUE(whole) << c.body;
    EXPECT_EQ(whole->get("t")->text, c.decoded) << c.body;
    auto lazy = mcp::parse(line, mcp::expand_all, 1);  // the key "t" is read, longer texts left
    ASSERT_TRUE(lazy);
    const mcp::Node* t = lazy->get("t");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->pending, c.decoded.size() > 1) << c.body;
    EXPECT_EQ(t->text, t->pending ? "" : c.decoded);
    // Canonical literals are measured and skipped without being decoded.
    EXPECT_EQ(t->measured, t->pending && c.canonical) << c.body;
    if (t->measured) {
      EXPECT_EQ(t->literal.chars, mcp::char_count(c.decoded)) << c.body;
    }
    EXPECT_EQ(t->span.of(line), "\"" + c.body + "\"");
    std::string buf = c.body;
    buf.resize(mcp::decode_in_place(buf.data(), buf.size()));
    EXPECT_EQ(buf, c.decoded) << c.body;
    const mcp::LiteralInfo info = mcp::literal_info(c.body);
    EXPECT_EQ(info.chars, mcp::char_count(c.decoded)) << c.body;
    EXPECT_EQ(info.canonical, c.canonical) << c.body;
  }
}

// Skipping a long string never lets an invalid one through: what the reader refuses stays refused.
TEST(McpLongText, InvalidLongStringsAreStillRefused) {
  const std::string run(40, 'x');
  const std::string bad[] = {
      run + "\\q" + run,                  // unknown escape
      run + "\\u00g1" + run,              // not hex
      run + "\x01" + run,                  // raw control character
      run + "\\ud800" + run,              // lone high surrogate
      run + "\\",                         // escape cut off at the end
      run,                                 // no closing quote
  };
  for (const std::string& body : bad) {
    const std::string line = "{\"t\":\"" + body + (body == run ? "" : "\"}");
    EXPECT_FALSE(mcp::parse(line, mcp::expand_all, 1)) << body;
    EXPECT_FALSE(mcp::parse(line, mcp::expand_all)) << body;
  }
  // A long key is skipped too and reads as empty; what follows is read as usual.
  auto root = mcp::parse("{\"" + run + "\":1,\"t\":\"" + run + "\\\"\"}", mcp::expand_all, 8);
  ASSERT_TRUE(root);
  ASSERT_TRUE(root->get("t"));
  EXPECT_TRUE(root->get("t")->measured);
  EXPECT_EQ(root->get("t")->literal.chars, 41u);
  EXPECT_TRUE(root->get(""));
}

// Random lines built from every escape form, invalid escapes, raw control characters, quotes and
// multi-byte characters, some cut short: the reader with long strings left pending accepts the
// same lines as the one decoding everything, and each pending string reads back alike.
void compare_read(const mcp::Node& full, const mcp::Node& lazy, std::string& line) {
  ASSERT_EQ(full.kind, lazy.kind) << line;
  ASSERT_EQ(full.span.begin, lazy.span.begin) << line;
  ASSERT_EQ(full.span.end, lazy.span.end) << line;
  if (full.is(mcp::Node::Kind::String) && lazy.pending) {
    const std::string_view literal = lazy.span.of(line);
    std::string body(literal.substr(1, literal.size() - 2));
    const mcp::LiteralInfo info = mcp::literal_info(body);
    EXPECT_EQ(info.chars, mcp::char_count(full.text)) << line;
    if (lazy.measured) {
      EXPECT_EQ(lazy.literal.chars, info.chars) << line;
      EXPECT_TRUE(info.canonical) << line;
    }
    body.resize(mcp::decode_in_place(body.data(), body.size()));
    EXPECT_EQ(body, full.text) << line;
    if (info.canonical) {
      const std::string before = line;
      {
        mcp::InPlaceText text(line, lazy.span);
        EXPECT_EQ(text.text(), full.text) << line;
      }
      EXPECT_EQ(line, before);
    }
  } else if (full.is(mcp::Node::Kind::String)) {
    EXPECT_EQ(full.text, lazy.text) << line;
  }
  ASSERT_EQ(full.items.size(), lazy.items.size()) << line;
  ASSERT_EQ(full.members.size(), lazy.members.size()) << line;
  for (std::size_t i = 0; i < full.items.size(); ++i) compare_read(full.items[i], lazy.items[i], line);
  for (std::size_t i = 0; i < full.members.size(); ++i) compare_read(full.members[i].second, lazy.members[i].second, line);
}

bool any_key(const std::vector<std::string_view>&, std::string_view) { return true; }

// A string decoded in its line reads as the reader's decoding; everything else as without it.
void compare_in_line(const mcp::Node& full, const mcp::Node& in_line, const std::string& line) {
  ASSERT_EQ(full.kind, in_line.kind) << line;
  ASSERT_EQ(full.span.begin, in_line.span.begin) << line;
  ASSERT_EQ(full.span.end, in_line.span.end) << line;
  if (in_line.in_line) {
    EXPECT_TRUE(in_line.pending && in_line.measured) << line;
    EXPECT_EQ(in_line.in_line->text(), full.text) << line;
    EXPECT_EQ(in_line.literal.chars, mcp::char_count(full.text)) << line;
  } else if (full.is(mcp::Node::Kind::String) && !in_line.pending) {
    EXPECT_EQ(full.text, in_line.text) << line;
  }
  ASSERT_EQ(full.items.size(), in_line.items.size()) << line;
  ASSERT_EQ(full.members.size(), in_line.members.size()) << line;
  for (std::size_t i = 0; i < full.items.size(); ++i) compare_in_line(full.items[i], in_line.items[i], line);
  for (std::size_t i = 0; i < full.members.size(); ++i)
    compare_in_line(full.members[i].second, in_line.members[i].second, line);
}

TEST(McpLongText, RandomLinesReadAlikeWithStringsPendingOrNot) {
  const std::string pieces[] = {"x", "ab", R"(\")", R"(\\)", R"(\n)", R"(\t)", R"(\b)", R"(\f)", R"(\r)", R"(\/)",
                                R"(\u0001)", R"(\u001f)", R"(\u001F)", R"(\u000a)", R"(\u00e9)", R"(\ud83d\ude00)",
                                R"(\udc00)", "\xC3\xA9", "\xE2\x80\xA6", R"(\q)", "\x01", R"(\u00g1)", R"(\ud800)",
                                "\"", " ", R"(\u0000)", "\\"};
  std::mt19937_64 rng(20261209);
  auto body = [&](std::size_t n, bool valid) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = rng() % std::size(pieces);
      const bool invalid = (k >= 19 && k <= 23) || k == 26;
      s += valid && invalid ? "y" : pieces[k];  // a valid run leaves out the invalid pieces
    }
    return s;
  };
  std::size_t accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    const bool valid = rng() % 2;
    std::string line = "{\"a\":[\"" + body(rng() % 20, valid) + "\",{\"" + body(rng() % 6, true) + "\":\"" +
                       body(rng() % 40, valid) + "\"}],\"text\":\"" + body(rng() % 60, valid) + "\"}";
    if (rng() % 4 == 0) line.resize(rng() % (line.size() + 1));
    auto full = mcp::parse(line, mcp::expand_all);
    const std::size_t limit = rng() % 24;
    auto lazy = mcp::parse(line, mcp::expand_all, limit);
    ASSERT_EQ(!full, !lazy) << line;
    std::string work = line;
    auto in_line = mcp::parse(work, mcp::expand_all, limit, any_key);
    ASSERT_EQ(!full, !in_line) << line;
    ASSERT_EQ(work.size(), line.size());
    if (!full) {
      EXPECT_EQ(work, line) << "a refused line keeps every byte";
      continue;
    }
    ++accepted;
    compare_read(*full, *lazy, line);
    compare_in_line(*full, *in_line, line);
    in_line.reset();
    EXPECT_EQ(work, line) << "the strings decoded in the line are written back with their root";
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted, 5000u);  // the generator reaches both outcomes
}

// Texts of several megabytes are decoded in two halves at once: whatever falls at the cut,
// wherever the text ends and whatever it holds, the result is the reader's, and the line comes
// back whole.
TEST(McpLongText, LargeTextsDecodeInHalvesAsTheReaderDoes) {
  const std::size_t mib = std::size_t{1} << 20;
  std::mt19937_64 rng(7);
  const std::string pieces[] = {"x", "abc", R"(\")", R"(\\)", R"(\n)", R"(\t)", R"(\u0001)", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  auto body = [&](std::size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += pieces[rng() % std::size(pieces)];
    return out;
  };
  struct Case {
    const char* what;
    std::string line;
    bool in_line;  // whether the text is expected decoded in the line
  };
  std::vector<Case> cases;
  const std::string head = R"({"result":{"content":[{"type":"text","text":")";
  for (const char* cut : {R"(\\\\\\)", R"(\\\")", R"(\\\\)", R"(\u0001\u001f)", "\xF0\x9F\x98\x80"}) {
    cases.push_back({cut, head + body(3 * mib) + cut + body(3 * mib) + R"("}]}})", true});
  }
  // The text ends before the middle of the line; another long text follows.
  cases.push_back({"ends early", head + body(mib + 5) + R"("},{"type":"text","text":")" + body(5 * mib) + R"("}]}})", true});
  // A form that cannot be written back exactly, in either half: read by the reader instead.
  cases.push_back({"escaped slash late", head + body(3 * mib) + body(mib) + R"(\/)" + body(2 * mib) + R"("}]}})", false});
  cases.push_back({"escaped slash early", head + body(mib) + R"(\/)" + body(5 * mib) + R"("}]}})", false});
  for (const Case& c : cases) {
    auto full = mcp::parse(c.line, mcp::expand_all);
    ASSERT_TRUE(full) << c.what;
    std::string work = c.line;
    auto in_line = mcp::parse(work, mcp::expand_all, mib, mcp::result_text);
    ASSERT_TRUE(in_line) << c.what;
    const mcp::Node& text = in_line->get("result")->get("content")->items[0].members[1].second;
    EXPECT_EQ(text.in_line != nullptr, c.in_line) << c.what;
    compare_in_line(*full, *in_line, c.line);
    in_line.reset();
    EXPECT_TRUE(work == c.line) << c.what;
  }
}

TEST(McpLongText, WrittenBackExactlyUnlessReplaced) {
  for (const LiteralCase& c : literal_cases()) {
    if (!c.canonical) continue;
    const std::string original = "[1,\"" + c.body + "\",2]";
    std::string line = original;
    const mcp::Span literal{3, 3 + c.body.size() + 2};
    {
      mcp::InPlaceText text(line, literal);
      EXPECT_EQ(text.text(), c.decoded);
    }
    EXPECT_EQ(line, original);
    {
      mcp::InPlaceText text(line, literal);
      text.keep_decoded();
    }
    EXPECT_EQ(line.substr(4, c.decoded.size()), c.decoded);
  }
}

// A result whose text was left pending is rewritten exactly as one decoded while parsing, or
// left with its line as it was: shrunk, under budget, failing to shrink, or with escapes that
// cannot be written back exactly (decoded beside the line then).
TEST(McpLongText, ResultsAreTheSameAsWithTheTextDecodedBeside) {
  std::string doc = "[";
  for (int i = 0; i < 400; ++i) doc += R"({"id":)" + std::to_string(i) + R"(,"name":"caf\u00e9 item","ok":true},)";
  doc += "0]";
  std::string json_text;
  mcp::write_string(json_text, doc);
  std::string log_text;
  mcp::write_string(log_text, "line 1\nline 2\n" + std::string(5000, 'x') + "\nError: failed at the end\n");
  mcp::Settings settings;
  settings.library = mcp::LibraryFeatures::probe();
  mcp::Schemas schemas;
  const mcp::Call call{"t", R"({"q":"item 17"})"};
  struct Case {
    std::string text;
    std::uint64_t budget;
    std::string options;
    bool error;
  };
  const Case cases[] = {
      {json_text, 2000, "", false},
      {json_text, 1000000, "", false},
      {log_text, 300, "", true},
      {log_text, 300, "", false},
      {json_text, 2000, "\"no_such_option\":1", false},
      {"\"\\u0041" + log_text.substr(1), 300, "", false},
  };
  for (const Case& c : cases) {
    settings.max_chars = c.budget;
    settings.options = c.options;
    const std::string original = R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":)" + c.text +
                                 R"(}],"isError":)" + (c.error ? "true" : "false") + "}}";
    std::string beside_line = original, lazy_line = original;
    auto beside = mcp::parse(beside_line, mcp::expand_all);
    auto lazy = mcp::parse(lazy_line, mcp::expand_all, 64);
    ASSERT_TRUE(beside && lazy);
    EXPECT_TRUE(lazy->get("result")->get("content")->items[0].get("text")->pending);
    auto expected = mcp::shrink_result(beside_line, *beside, call, settings, schemas);
    auto got = mcp::shrink_result(lazy_line, *lazy, call, settings, schemas);
    EXPECT_TRUE(got == expected) << c.budget << c.options;
    EXPECT_EQ(expected.has_value(), c.budget < 1000000 && c.options.empty()) << c.budget << c.options;
    if (!got) {
      EXPECT_TRUE(lazy_line == original) << "a line forwarded as it is must keep every byte";
    }
    // Decoded in the line while it is read, as the proxy does.
    std::string in_line_line = original;
    auto in_line = mcp::parse(in_line_line, mcp::expand_all, 64, mcp::result_text);
    ASSERT_TRUE(in_line);
    const bool canonical = c.text.find("\\u0041") == std::string::npos;
    EXPECT_EQ(in_line->get("result")->get("content")->items[0].get("text")->in_line != nullptr, canonical);
    auto got_in_line = mcp::shrink_result(in_line_line, *in_line, call, settings, schemas);
    EXPECT_TRUE(got_in_line == expected) << c.budget << c.options;
    in_line.reset();
    if (!got_in_line) {
      EXPECT_TRUE(in_line_line == original) << "a line forwarded as it is must keep every byte";
    }
  }
}

TEST(McpParse, RefusesWhatIsNotOneJsonValue) {
  const std::string bads[] = {"", "{", "{\"a\":1}{\"b\":2}", "[1,]", "{\"a\":\"\x01\"}",
                             std::string("{\"a\":1}\0x", 9), "{\"a\":01}", "{'a':1}",
                             // a NUL byte anywhere: after the value, in a string, among tokens
                             std::string("{\"a\":1}\0", 8), std::string("[1] \0 ", 6),
                             std::string("{\"a\":\"x\0y\"}", 11), std::string("{\"a\":\0 1}", 9)};
  for (const std::string& bad : bads) {
    EXPECT_FALSE(mcp::parse(bad, mcp::expand_all)) << bad;
    std::string line = bad;
    EXPECT_FALSE(mcp::parse(line, mcp::expand_all, 0, any_key)) << bad;
    EXPECT_EQ(line, bad);
  }
  EXPECT_TRUE(mcp::parse(std::string("[1] \n"), mcp::expand_all));
}

TEST(McpParse, DeepDocumentsAreReadWithoutDeepRecursion) {
  std::string deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_TRUE(mcp::is_json(deep));
  EXPECT_EQ(mcp::nesting_depth(deep), 200001u);
  EXPECT_EQ(mcp::nesting_depth(R"({"a":"[[[{{"})"), 1u);  // brackets in strings do not count
  auto root = mcp::parse(deep, mcp::expand_all);
  ASSERT_TRUE(root);
  // Recorded down to the depth limit; below it only spans.
  const mcp::Node* n = root->get("a");
  std::size_t levels = 1;
  while (n->expanded && !n->items.empty()) n = &n->items[0], ++levels;
  EXPECT_EQ(levels, mcp::max_recorded_depth);
  EXPECT_EQ(n->span.end - n->span.begin, 2 * (200000 - levels + 1));
}

TEST(McpParse, OnlyTheChosenContainersAreRecorded) {
  const std::string line = R"({"result":{"content":[{"type":"text"}],"structuredContent":{"x":[1,2]}}})";
  auto root = mcp::parse(line, [](const std::vector<std::string_view>& p) { return p.size() <= 1; });
  ASSERT_TRUE(root);
  const mcp::Node* result = root->get("result");
  ASSERT_TRUE(result && result->expanded);
  const mcp::Node* content = result->get("content");
  EXPECT_FALSE(content->expanded);
  EXPECT_TRUE(content->items.empty());
  EXPECT_EQ(result->get("structuredContent")->span.of(line), R"({"x":[1,2]})");
}

TEST(McpFitToSchema, RemovesOnlyWhatTheSchemaRejects) {
  const std::string items_schema =
      R"({"type":"object","properties":{"rows":{"type":"array","items":{"type":"object","required":["id"]}},)"
      R"("tags":{"type":"array","items":{"type":"string"}},"meta":{"type":"object"}},"additionalProperties":false})";
  struct Case {
    std::string value, expected;
  };
  const Case cases[] = {
      // a gap marker among objects goes; among strings it stays
      {R"({"rows":[{"id":1},"…[5 items omitted]",{"id":7}],"tags":["a","…[2 items omitted]"]})",
       R"({"rows":[{"id":1},{"id":7}],"tags":["a","…[2 items omitted]"]})"},
      // the keys marker is an extra property the schema forbids
      {R"({"rows":[],"…":"3 keys omitted"})", R"({"rows":[]})"},
      // a collapsed object becomes an empty one; a trimmed row without its id is left out
      {R"({"meta":"…[+120 chars]","rows":[{"name":"x"},{"id":2.50}]})", R"({"meta":{},"rows":[{"id":2.50}]})"},
      // nothing to do: the text is kept as it was
      {R"({"rows":[{"id":1e3}]})", R"({"rows":[{"id":1e3}]})"},
  };
  for (const Case& c : cases) EXPECT_EQ(mcp::fit_to_schema(c.value, items_schema), c.expected) << c.value;
  // Without a rule against it the keys marker stays.
  EXPECT_EQ(mcp::fit_to_schema(R"({"a":1,"…":"2 keys omitted"})", R"({"type":"object"})"),
            R"({"a":1,"…":"2 keys omitted"})");
}

}  // namespace
