// The C boundary: buffers, the sentinel, the UTF-8 checks and bad input of every kind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "test_util.h"
#include "utf8.h"

namespace tavisk {
namespace {

using testing::shrink;
using testing::shrink_raw;

TEST(Boundary, AllocAndFree) {
  uint8_t* p = tavisk_alloc(0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p), 1u);
  tavisk_free(p, 0);
  tavisk_free(nullptr, 12345);
  uint8_t* q = tavisk_alloc(64);
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(q[i], 0);
  tavisk_free(q, 64);
  EXPECT_STREQ(tavisk_version(), "0.2.1");
}

TEST(Boundary, LengthIsExactAndEnvelopeIsCompact) {
  uint64_t len = 99;
  const char* in = "[1, 2]";
  uint8_t* out =
      tavisk_shrink(reinterpret_cast<const uint8_t*>(in), 6, reinterpret_cast<const uint8_t*>("{}"), 2, &len);
  std::string s(reinterpret_cast<const char*>(out), len);
  tavisk_free(out, len);
  EXPECT_EQ(s.substr(0, 44), R"({"ok":true,"text":"[\n  1,\n  2\n]","report")");
  EXPECT_EQ(s.back(), '}');
}

TEST(Boundary, NullPointersAreEmptyTexts) {
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(nullptr, 100, nullptr, 7, &len);
  std::string s(reinterpret_cast<const char*>(out), len);
  tavisk_free(out, len);
  EXPECT_EQ(s, R"({"ok":false,"error":"invalid options JSON: unexpected end of input at line 1, column 1"})");
  auto e = shrink("", "{}");
  EXPECT_EQ(e.error(), "invalid JSON input: unexpected end of input at line 1, column 1");
}

// A null pointer with any length, or any pointer with length 0, is an empty text.
TEST(Boundary, NullOrZeroLengthIsEmptyOnEitherSide) {
  const auto* opts = reinterpret_cast<const uint8_t*>("{}");
  const auto* doc = reinterpret_cast<const uint8_t*>("[1]");
  const std::string empty_input =
      R"({"ok":false,"error":"invalid JSON input: unexpected end of input at line 1, column 1"})";
  const std::string empty_options =
      R"({"ok":false,"error":"invalid options JSON: unexpected end of input at line 1, column 1"})";
  struct Call {
    const uint8_t* in;
    uint64_t in_len;
    const uint8_t* op;
    uint64_t op_len;
    std::string want;
  };
  const Call calls[] = {
      {nullptr, 0, opts, 2, empty_input},
      {nullptr, 1, opts, 2, empty_input},
      {nullptr, UINT64_MAX, opts, 2, empty_input},
      {doc, 0, opts, 2, empty_input},
      {doc, 3, nullptr, 0, empty_options},
      {doc, 3, nullptr, UINT64_MAX, empty_options},
      {doc, 3, opts, 0, empty_options},
      {nullptr, 0, nullptr, 0, empty_options},
  };
  for (const Call& c : calls) {
    uint64_t len = 12345;
    uint8_t* out = tavisk_shrink(c.in, c.in_len, c.op, c.op_len, &len);
    ASSERT_NE(out, nullptr);
    std::string s(reinterpret_cast<const char*>(out), len);
    tavisk_free(out, len);
    EXPECT_EQ(s, c.want);
  }
}

// Every envelope is one compact object: ok then error, or ok, text and report, nothing after it.
TEST(Boundary, EnvelopesAreCompleteAndCompact) {
  const std::pair<std::string, std::string> calls[] = {
      {"{\"a\":[1,2,{\"b\":null}]}", "{}"},
      {"{\"a\":[1,2,{\"b\":null}]}", R"({"max_chars":5})"},
      {"a: 1\n", "{}"},
      {"[", "{}"},
      {"{}", "{"},
      {"{}", "[]"},
      {"\xFF", "{}"},
  };
  for (const auto& [input, options] : calls) {
    std::string raw = shrink_raw(input, options);
    auto parsed = json::parse(raw);
    ASSERT_TRUE(parsed.ok()) << raw;
    EXPECT_EQ(json::to_string(parsed.value()), raw);  // compact: no spaces, no line feed at the end
    const auto& m = parsed.value().members();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[0].key, "ok");
    ASSERT_TRUE(m[0].value.is_bool());
    if (m[0].value.as_bool()) {
      ASSERT_EQ(m.size(), 3u) << raw;
      EXPECT_EQ(m[1].key, "text");
      EXPECT_TRUE(m[1].value.is_string());
      EXPECT_EQ(m[2].key, "report");
      EXPECT_EQ(m[2].value.members().size(), 18u);
    } else {
      ASSERT_EQ(m.size(), 2u) << raw;
      EXPECT_EQ(m[1].key, "error");
      EXPECT_TRUE(m[1].value.is_string());
    }
  }
}

TEST(Boundary, Utf8ChecksInputFirst) {
  EXPECT_EQ(shrink("\xFF", "\xFF").error(), "input is not valid UTF-8");
  EXPECT_EQ(shrink("{}", "\xC0\x80").error(), "options are not valid UTF-8");
  const char* invalid[] = {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE0\x80\xAF", "\xC3", "a\x80"};
  for (const char* s : invalid) EXPECT_EQ(shrink(s, "{}").error(), "input is not valid UTF-8") << s;
  EXPECT_TRUE(utf8::valid("\xF4\x8F\xBF\xBF\xEF\xBF\xBF"));
}

TEST(Boundary, NulBytesAndHugeNumbersSurvive) {
  std::string doc = std::string("[\"a\\u0000b\", 123456789012345678901234567890e999999]");
  auto e = shrink(doc, R"({"indent":0})");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_EQ(e.text(), R"(["a\u0000b",123456789012345678901234567890e999999])");
  std::string raw = shrink_raw(std::string("\"a\0b\"", 5), "{}");
  EXPECT_EQ(raw, R"({"ok":false,"error":"invalid JSON input: control character in string at line 1, column 3"})");
}

TEST(Boundary, DeepNestingIsAnErrorNotACrash) {
  std::string deep(100000, '[');
  EXPECT_EQ(shrink(deep, R"({"input_format":"json"})").error(),
            "invalid JSON input: nesting too deep at line 1, column 514");
  EXPECT_EQ(shrink(deep).error(), "invalid JSON input: nesting too deep at line 1, column 514");
  // Closed brackets and nested objects fail the same way.
  std::string closed = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(shrink(closed).error(), "invalid JSON input: nesting too deep at line 1, column 514");
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"k\":";
  EXPECT_EQ(shrink(objects).error(), "invalid JSON input: nesting too deep at line 1, column 2566");
  // The options text goes through the same reader.
  EXPECT_EQ(shrink("{}", deep).error(), "invalid options JSON: nesting too deep at line 1, column 514");
  EXPECT_EQ(shrink("{}", "{\"arguments\":" + closed + "}").error(),
            "invalid options JSON: nesting too deep at line 1, column 526");
  // The deepest accepted arguments value is fine.
  EXPECT_TRUE(shrink("{}", "{\"arguments\":" + std::string(511, '[') + "\"x\"" + std::string(511, ']') + "}").ok());
  // YAML input of the same shape is an error envelope too, never a crash.
  auto y = shrink(deep, R"({"input_format":"yaml"})");
  EXPECT_EQ(y.error().substr(0, 20), "invalid YAML input: ");
}

// A NUL byte in prose or YAML input: the envelope is complete and the byte never appears raw.
TEST(Boundary, NulBytesOutsideJsonStrings) {
  for (std::string input : {std::string("a\0b", 3), std::string("k: \"a\\0b\"\n"), std::string("\0", 1)}) {
    for (const char* options : {"{}", R"({"input_format":"yaml"})", R"({"input_format":"json"})"}) {
      std::string raw = shrink_raw(input, options);
      EXPECT_EQ(raw.find('\0'), std::string::npos) << options;
      auto parsed = json::parse(raw);
      ASSERT_TRUE(parsed.ok()) << raw;
    }
  }
  auto e = shrink(std::string("[\"\\u0000\"]"), R"({"format":"yaml"})");
  ASSERT_TRUE(e.ok()) << e.error();
  EXPECT_EQ(e.text(), "- \"\\u0000\"\n");
}

// Options of every kind for every key: the exact message or success, always inside an envelope.
TEST(Boundary, OptionsOfEveryWrongType) {
  for (const char* top : {"null", "true", "0", "\"{}\"", "[]", "[{}]"})
    EXPECT_EQ(shrink_raw("1", top), R"({"ok":false,"error":"invalid options: options must be a JSON object"})") << top;

  const char* values[] = {"null", "true",     "false", "0",       "7",   "-1", "1.5",          "1e3",
                          "\"\"", "\"json\"", "[]",    "[\"a\"]", "[1]", "{}", "{\"a\":\"b\"}"};
  auto kind = [](std::string_view v) {
    switch (v[0]) {
      case 'n': return 'n';
      case 't':
      case 'f': return 'b';
      case '"': return 's';
      case '[': return 'a';
      case '{': return 'o';
      default: return 'd';
    }
  };
  const char* unsigned_keys[] = {
      "max_chars",   "indent",           "string_head_chars", "string_section_chars", "string_min_section_chars",
      "max_samples", "min_partial_chars"};
  for (const char* v : values) {
    std::string_view sv(v);
    const char k = kind(sv);
    auto expect = [&](const std::string& key, const std::string& message) {
      std::string options = "{\"" + key + "\":" + v + "}";
      std::string raw = shrink_raw("1", options);
      std::string want = message.empty() ? std::string() : R"({"ok":false,"error":)" + [&] {
        std::string q;
        json::write_string(q, "invalid options: " + message);
        return q;
      }() + "}";
      if (message.empty())
        EXPECT_EQ(raw.substr(0, 11), R"({"ok":true,)") << options << " -> " << raw;
      else
        EXPECT_EQ(raw, want) << options;
    };
    const bool digits_only = sv == "0" || sv == "7";
    for (const char* key : unsigned_keys)
      expect(key, digits_only ? "" : std::string(key) + " must be a non-negative integer");
    for (const char* key : {"keep_last_item", "explain"})
      expect(key, k == 'b' ? "" : std::string(key) + " must be a boolean");
    expect("format", sv == "\"json\"" ? "" : "format must be \"auto\", \"json\" or \"yaml\"");
    expect("input_format", sv == "\"json\"" ? "" : "input_format must be \"auto\", \"json\" or \"yaml\"");
    expect("array_strategy", "array_strategy must be \"sample\" or \"condense\"");
    expect("field_scorer", k == 's' ? "field_scorer must be one of [\"heuristic\", \"compact\", \"key_order\"]"
                                    : "field_scorer must be a string");
    expect("protect", (k == 's' || sv == "[]" || sv == "[\"a\"]") ? "" : "protect must be a list of strings");
    expect("arguments", "");
    expect("Max_chars", "unknown option: Max_chars");
  }
}

TEST(Boundary, ConcurrentCallsAgree) {
  std::string doc = "{\"items\":[";
  for (int i = 0; i < 300; ++i) doc += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i) + ",\"t\":\"x\"}";
  doc += "]}";
  const std::string want = shrink_raw(doc, R"({"max_chars":400})");
  std::vector<std::thread> threads;
  std::vector<std::string> got(4);
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { got[t] = shrink_raw(doc, R"({"max_chars":400})"); });
  for (auto& th : threads) th.join();
  for (const auto& g : got) EXPECT_EQ(g, want);
}

// Every y_ file parses, every n_ file is rejected (by the reader or the UTF-8 check), no i_ file crashes.
TEST(Boundary, JsonTestSuite) {
  TAVISK_NEEDS_SHARED("corpus/jsontestsuite");
  const std::vector<std::string> files = testing::files_under(testing::shared_dir() + "/corpus/jsontestsuite", ".json");
  ASSERT_EQ(files.size(), 318u);
  int accepted = 0, rejected = 0, implementation_defined = 0;
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string name = f.substr(f.rfind('/') + 1);
    auto e = shrink(ss.str(), R"({"input_format":"json","max_chars":100000000})");
    ASSERT_TRUE(e.root.is_object()) << name;
    if (name.rfind("y_", 0) == 0) {
      EXPECT_TRUE(e.ok()) << name << ": " << e.error();
      ++accepted;
    } else if (name.rfind("n_", 0) == 0) {
      EXPECT_FALSE(e.ok()) << name;
      // Rejected by the reader or by the UTF-8 check, nothing else.
      const std::string err = e.error();
      EXPECT_TRUE(err.rfind("invalid JSON input: ", 0) == 0 || err == "input is not valid UTF-8")
          << name << ": " << err;
      ++rejected;
    } else if (name.rfind("i_", 0) == 0) {
      const std::string err = e.error();
      EXPECT_TRUE(e.ok() || err.rfind("invalid JSON input: ", 0) == 0 || err == "input is not valid UTF-8")
          << name << ": " << err;
      ++implementation_defined;
    }
  }
  EXPECT_EQ(accepted, 95);
  EXPECT_EQ(rejected, 188);
  EXPECT_EQ(implementation_defined, 35);
}

}  // namespace
}  // namespace tavisk
