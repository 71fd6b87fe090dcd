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
  std::string dir = testing::shared_dir() + "/corpus/jsontestsuite";
  DIR* d = opendir(dir.c_str());
  if (!d) {
    // Nested layout: look one level down.
    FAIL() << "cannot open " << dir;
  }
  std::vector<std::string> files;
  std::vector<std::string> subdirs{dir};
  closedir(d);
  for (std::size_t k = 0; k < subdirs.size(); ++k) {
    DIR* dd = opendir(subdirs[k].c_str());
    if (!dd) continue;
    while (dirent* ent = readdir(dd)) {
      std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      std::string full = subdirs[k] + "/" + name;
      if (ent->d_type == DT_DIR)
        subdirs.push_back(full);
      else if (name.size() > 5 && name.substr(name.size() - 5) == ".json")
        files.push_back(full);
    }
    closedir(dd);
  }
  ASSERT_GT(files.size(), 300u);
  int accepted = 0, rejected = 0;
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
      ++rejected;
    }
  }
  EXPECT_GT(accepted, 90);
  EXPECT_GT(rejected, 150);
}

}  // namespace
}  // namespace tavisk
