// Hostile and extreme inputs: deep documents on a small thread stack, the
// nesting limit of both readers, YAML that the parser would hold in memory,
// reals beyond the range of a double, the indent bound and protect patterns.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "protect.h"
#include "test_util.h"
#include "yaml_in.h"

namespace tavisk {
namespace {

using testing::get;
using testing::shrink;

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Runs a call on a thread whose whole stack is `stack` bytes.
testing::Envelope shrink_on_stack(const std::string& doc, const std::string& options, std::size_t stack) {
  struct Job {
    const std::string* doc;
    const std::string* options;
    std::string raw;
  } job{&doc, &options, {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack);
  pthread_t t;
  auto body = [](void* p) -> void* {
    auto* j = static_cast<Job*>(p);
    j->raw = testing::shrink_raw(*j->doc, *j->options);
    return nullptr;
  };
  EXPECT_EQ(pthread_create(&t, &attr, body, &job), 0);
  pthread_join(t, nullptr);
  pthread_attr_destroy(&attr);
  testing::Envelope e;
  if (auto parsed = json::parse(job.raw)) e.root = std::move(parsed).value();
  return e;
}

// Documents with the root and `levels` further levels (the innermost one an
// empty container), each level holding a little content beside the next, so
// that fitting has work at every depth.
std::string deep_json_arrays(std::size_t levels) {
  return repeat(R"([1,"level text",)", levels) + "[]" + repeat("]", levels);
}
std::string deep_json_objects(std::size_t levels) {
  return repeat(R"({"id":1,"name":"level text","next":)", levels) + "{}" + repeat("}", levels);
}
std::string deep_yaml_block(std::size_t levels) {
  std::string out;
  for (std::size_t i = 0; i < levels; ++i) {
    std::string pad(i * 2, ' ');
    out += pad + "id: " + std::to_string(i) + "\n" + pad + (i + 1 < levels ? "next:\n" : "next: []\n");
  }
  return out;
}
std::string deep_yaml_flow(std::size_t levels) {
  return repeat("[1, level text, ", levels) + "[]" + repeat("]", levels);
}

TEST(Limits, DeepDocumentsShrinkOnA128KiBStack) {
  struct Kind {
    const char* name;
    std::string doc;
    const char* input_format;
  };
  const Kind kinds[] = {{"json arrays", deep_json_arrays(512), "json"},
                        {"json objects", deep_json_objects(512), "json"},
                        {"yaml block", deep_yaml_block(512), "yaml"},
                        {"yaml flow", deep_yaml_flow(512), "yaml"}};
  const char* variants[] = {R"("array_strategy":"sample","format":"json")",
                            R"("array_strategy":"condense","format":"json")",
                            R"("array_strategy":"sample","format":"yaml")",
                            R"("array_strategy":"condense","format":"yaml","protect":["*/id"])"};
  for (const Kind& k : kinds) {
    for (const char* v : variants) {
      std::string options = std::string(R"({"max_chars":300,"input_format":")") + k.input_format + "\"," + v + "}";
      auto e = shrink_on_stack(k.doc, options, 128 * 1024);
      ASSERT_TRUE(e.ok()) << k.name << " " << options << ": " << e.error();
      EXPECT_EQ(get(e.report(), "pruned").as_bool(), true) << k.name << " " << options;
      // Protecting every id keeps the whole chain of levels, so only the unprotected runs must come out smaller.
      if (std::string_view(v).find("protect") == std::string_view::npos) {
        EXPECT_LT(e.text().size(), k.doc.size()) << k.name << " " << options;
      }
    }
  }
}

// The root and 512 levels below it are read; one more container, empty or not, is refused.
TEST(Limits, NestingLimitCountsEveryContainer) {
  struct Case {
    std::string doc;
    const char* input_format;
    const char* error;  // empty when the document reads
  };
  const Case cases[] = {
      {repeat("[", 513) + repeat("]", 513), "json", ""},
      {repeat("[", 514) + repeat("]", 514), "json", "invalid JSON input: nesting too deep at line 1, column 514"},
      {repeat(R"({"a":)", 512) + "{}" + repeat("}", 512), "json", ""},
      {repeat(R"({"a":)", 513) + "{}" + repeat("}", 513), "json",
       "invalid JSON input: nesting too deep at line 1, column 2566"},
      {repeat(R"({"a":)", 513) + "1" + repeat("}", 513), "json",
       "invalid JSON input: nesting too deep at line 1, column 2566"},
      {repeat("[", 513) + repeat("]", 513), "yaml", ""},
      {repeat("[", 514) + repeat("]", 514), "yaml", "invalid YAML input: nesting deeper than 512 levels"},
      {repeat("{a: ", 512) + "{}" + repeat("}", 512), "yaml", ""},
      {repeat("{a: ", 513) + "{}" + repeat("}", 513), "yaml", "invalid YAML input: nesting deeper than 512 levels"},
      {repeat("{a: ", 513) + "1" + repeat("}", 513), "yaml", "invalid YAML input: nesting deeper than 512 levels"},
  };
  for (const Case& c : cases) {
    auto e = shrink(c.doc, std::string(R"({"max_chars":100000,"input_format":")") + c.input_format + "\"}");
    if (*c.error == 0) {
      EXPECT_TRUE(e.ok()) << c.input_format << " " << c.doc.size() << ": " << e.error();
    } else {
      EXPECT_EQ(e.error(), c.error) << c.input_format << " " << c.doc.size();
    }
  }
}

// A text that would make the YAML parser's own state grow stops at once.
TEST(Limits, YamlStopsWhereTheParserWouldGrow) {
  std::string many_keys;
  for (int i = 0; i < 30000; ++i) many_keys += "k" + std::to_string(i) + ": v, ";
  struct Case {
    std::string doc;
    std::string error;  // a prefix of the message
  };
  const Case cases[] = {
      // Nesting past the limit ends the reading, even with a syntax error further on.
      {repeat("[", 20000), "nesting deeper than 512 levels"},
      // Past the bound of indicators on one line, before the library reads the line.
      {repeat("[", 200000), "too many values on one line at byte 25000 line 1 column 25001"},
      {repeat("- ", 600) + "x\n", "nesting deeper than 512 levels"},
      // One line with more values than the floor.
      {"[" + repeat("1, ", 30000) + "1]", "too many values on one line at byte 74999 line 1 column 75000"},
      {"{" + many_keys + "}", "too many values on one line"},
      // On a later line, after a two-byte character: the position counts lines and characters.
      {"a: 1\nb: \u00e9 [" + repeat("1, ", 30000) + "1]\n",
       "too many values on one line at byte 75010 line 2 column 75005"},
  };
  for (const Case& c : cases) {
    auto r = yaml_in::parse(c.doc);
    ASSERT_FALSE(r) << c.doc.substr(0, 20);
    EXPECT_EQ(r.error().substr(0, c.error.size()), c.error) << r.error();
  }
  // The same values one per line, or under the floor on one line, read.
  auto lines = yaml_in::parse("[" + repeat("1,\n", 30000) + "1]");
  ASSERT_TRUE(lines) << lines.error();
  EXPECT_EQ(lines.value().items().size(), 30001u);
  auto short_line = yaml_in::parse("[" + repeat("1, ", 20000) + "1]");
  ASSERT_TRUE(short_line) << short_line.error();
  EXPECT_EQ(short_line.value().items().size(), 20001u);
}

// Found by the YAML fuzzer: the parser loops forever on invalid bytes in a
// %TAG directive, so the reader refuses text that is not UTF-8 before it.
TEST(Limits, YamlReaderRefusesInvalidUtf8) {
  std::string doc = "%TAG ! tag:example" + std::string(60, '\x9F') + ".com,2000:app/\n---\n!foo \"bar\"\n";
  auto r = yaml_in::parse(doc);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "text is not valid UTF-8");
  // The same directive with valid text is only a warning for the parser.
  std::string valid = "%TAG ! tag:example" + repeat("\xC3\xA9", 60) + ".com,2000:app/\n---\n!foo \"bar\"\n";
  auto read = yaml_in::parse(valid);
  EXPECT_TRUE(read || read.error() != "text is not valid UTF-8");
}

// The parser formats a value's text in time that grows with the square of each
// run of empty lines inside it (10,000 empty lines: a second), so such runs are
// charged before any text is formatted; short runs, and empty lines between
// values, are free.
TEST(Limits, YamlEmptyLinesInsideValuesAreBounded) {
  const std::string error = "too many empty lines inside values at byte ";
  struct Case {
    std::string doc;
    bool reads;
  };
  const Case cases[] = {
      {"a: |\n  x\n" + repeat("\n", 2000) + "  y\n", true},  // 2,000 lines of one byte: at the bound
      {"a: |\n  x\n" + repeat("\n", 2001) + "  y\n", false},
      {"a: |\n  x\n" + repeat("\n", 100000), false},            // kept or clipped at the end, charged alike
      {"a: >\n  x\n" + repeat("  \n", 1200) + "  y\n", false},  // blank lines count their bytes
      {"a: |\n  x\n" + repeat("\r\n", 2000) + "  y\n", true},  // a CR LF pair is one line break
      {"a: |\n  x\n" + repeat("\r", 2001) + "  y\n", false},
      {"a: x\n" + repeat("\n", 5000) + "  y\n", false},          // plain and quoted values fold the same way
      {"a: \"x\n" + repeat("\n", 5000) + "  y\"\n", false},
      {"a: |\n" + repeat("  x\n\n\n", 100000), true},          // many short runs
      {"a: 1\n" + repeat("\n", 100000) + "b: 2\n", true},        // between values
  };
  for (const Case& c : cases) {
    auto r = yaml_in::parse(c.doc);
    if (c.reads) {
      EXPECT_TRUE(r) << r.error() << ": " << c.doc.substr(0, 12);
    } else {
      ASSERT_FALSE(r) << c.doc.substr(0, 12);
      EXPECT_EQ(r.error().rfind(error, 0), 0u) << r.error();
    }
  }
  // The bound is on the whole text: runs under it in each value add up.
  std::string values;
  for (int i = 0; i < 4; ++i) values += "k" + std::to_string(i) + ": |\n  x\n" + repeat("\n", 1000) + "  y\n";
  EXPECT_TRUE(yaml_in::parse(values));
  values += "k4: |\n  x\n" + repeat("\n", 1000) + "  y\n";
  auto over = yaml_in::parse(values);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), error + "4062 line 4014 column 1");
  auto read = yaml_in::parse("a: |\n  x\n" + repeat("\n", 2000) + "  y\n");
  ASSERT_TRUE(read);
  EXPECT_EQ(get(read.value(), "a").text(), "x\n" + repeat("\n", 2000) + "y\n");
}

// Found by the YAML fuzzer: after a tab before a block entry's "-" the parser
// frees one block twice when it is destroyed. The reader leaves that parser
// alive, so these texts fail with the parser's message, again and again, and
// the sanitizers see neither a double free nor a leak.
TEST(Limits, YamlTabBeforeBlockEntryFailsCleanly) {
  const std::string texts[] = {"? a:\t-", "? a:\t- b\n", "x:\n  ? a:\t-\n"};
  for (int round = 0; round < 3; ++round) {
    for (const std::string& t : texts) {
      auto r = yaml_in::parse(t);
      ASSERT_FALSE(r) << t;
      EXPECT_EQ(r.error().rfind("cannot use tab for indentation of block entry at byte ", 0), 0u) << r.error();
      testing::Envelope e = shrink(t, R"({"input_format":"yaml","max_chars":5})");
      EXPECT_EQ(e.error().rfind("invalid YAML input: cannot use tab for indentation of block entry", 0), 0u)
          << e.error();
    }
  }
}

// Reals whose parse overflows or underflows keep their source text as strings:
// unquoted hex ids and short commit hashes must not lose digits.
TEST(Limits, YamlRealsOutOfRangeStayText) {
  const std::pair<std::string, std::string> cases[] = {
      {"sha: 01130e478459", R"({"sha":"01130e478459"})"},
      {"commit: 714616e323", R"({"commit":"714616e323"})"},
      {"- 1e-400\n- -2.5E-999\n- 9e999", R"(["1e-400","-2.5E-999","9e999"])"},
      // In range the number stays a number, spelt as in the source or as JSON.
      {"- 1e300\n- 2.5e-300\n- 012e3", R"([1e300,2.5e-300,12000])"},
  };
  for (const auto& [doc, want] : cases) {
    auto e = shrink(doc, R"({"input_format":"yaml","format":"json","indent":0})");
    ASSERT_TRUE(e.ok()) << doc << ": " << e.error();
    EXPECT_EQ(e.text(), want) << doc;
  }
}

TEST(Limits, IndentHasAnUpperBound) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"indent":64})", ""},
      {R"({"indent":65})", "invalid options: indent must be at most 64"},
      {R"({"indent":1000000000})", "invalid options: indent must be at most 64"},
      {R"({"indent":9223372036854775808})", "invalid options: indent must be at most 64"},
      {R"({"indent":18446744073709551615,"format":"yaml"})", "invalid options: indent must be at most 64"},
      // The first failing pair is the one reported.
      {R"({"indent":100,"max_chars":-1})", "invalid options: indent must be at most 64"},
      {R"({"max_chars":-1,"indent":100})", "invalid options: max_chars must be a non-negative integer"},
  };
  std::string doc = deep_json_objects(40);
  for (const auto& [options, error] : cases) {
    auto e = shrink(doc, std::string(options).insert(1, R"("max_chars":1000000,)"));
    if (*error == 0) {
      ASSERT_TRUE(e.ok()) << options << ": " << e.error();
      // The deepest line is padded with 64 spaces per level.
      EXPECT_NE(e.text().find("\n" + std::string(64 * 40, ' ') + "\"next\": {}"), std::string::npos) << options;
    } else {
      EXPECT_EQ(e.error(), error) << options;
    }
  }
}

// The pattern trie agrees with matching the patterns one by one.
TEST(Limits, PatternSetAgreesWithEachPattern) {
  const std::vector<std::string> protect = {"id", "/a/b", "items/*/id", "*/name", "/*", "a/*", "/x/*/y", "b/b",
                                            "*", "deep/a/b/c", "/a/b", "id"};
  const std::vector<Path> paths = {
      {},          {"id"},      {"a"},      {"a", "b"},      {"x", "a", "b"},  {"items", "*", "id"},
      {"items", "id"}, {"q", "name"}, {"name"},  {"a", "q"},      {"x", "*", "y"},  {"z", "x", "*", "y"},
      {"b", "b"},  {"b", "b", "b"}, {"deep", "a", "b", "c"}, {"a", "b", "c"}, {"*"},        {"a", "*", "id"}};
  // Each pattern alone and all of them together.
  std::vector<std::vector<std::string>> sets;
  for (const std::string& p : protect) sets.push_back({p});
  sets.push_back(protect);
  for (const auto& set : sets) {
    auto patterns = compile_patterns(set);
    PatternSet trie(patterns);
    for (const Path& path : paths) {
      std::string shown;
      for (const auto& s : path) shown += "/" + s;
      EXPECT_EQ(trie.matches(path), any_matches(patterns, path)) << set.front() << " on " << shown;
    }
  }
  EXPECT_TRUE(PatternSet(compile_patterns({"", "/"})).empty());
}

// Many patterns, most of them repeats, cost about what the distinct ones cost and
// protect the same nodes.
TEST(Limits, RepeatedProtectPatternsGiveTheSameResult) {
  std::string doc = "[";
  for (int i = 0; i < 2000; ++i) {
    if (i) doc += ",";
    doc += R"({"id":)" + std::to_string(i) + R"(,"name":"item )" + std::to_string(i) + R"(","body":")" +
           std::string(80, 'b') + "\"}";
  }
  doc += "]";
  std::string few = R"({"max_chars":2000,"protect":["*/id","nothing/here"]})";
  std::string many = R"({"max_chars":2000,"protect":[)";
  for (int i = 0; i < 20000; ++i) many += i % 2 ? R"("*/id",)" : R"("nothing/here",)";
  for (int i = 0; i < 2000; ++i) many += R"("/distinct/)" + std::to_string(i) + R"(/id",)";
  many += R"("*/id"]})";
  auto a = shrink(doc, few);
  auto b = shrink(doc, many);
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok()) << b.error();
  EXPECT_EQ(a.text(), b.text());
  EXPECT_NE(a.text().find(R"("id": 0)"), std::string::npos);
}

}  // namespace
}  // namespace tavisk
