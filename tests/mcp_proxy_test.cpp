// The MCP proxy's arithmetic and byte positions: budget sharing, the spans it splices at, and
// the schema fitting of shrunk structured content.
#include <gtest/gtest.h>

#include <memory>
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

TEST(McpParse, RefusesWhatIsNotOneJsonValue) {
  const std::string bads[] = {"", "{", "{\"a\":1}{\"b\":2}", "[1,]", "{\"a\":\"\x01\"}",
                             std::string("{\"a\":1}\0x", 9), "{\"a\":01}", "{'a':1}"};
  for (const std::string& bad : bads) {
    EXPECT_FALSE(mcp::parse(bad, mcp::expand_all)) << bad;
  }
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
