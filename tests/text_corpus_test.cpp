// Every text and Markdown file of the real corpus through the command with no
// flags but the budget: read as text, within budget, first and last lines kept,
// every marker's counts exact against the file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "line_fit_check.h"
#include "test_util.h"
#include "utf8.h"

namespace tavisk::testing {
namespace {

#ifdef TAVISK_CLI
struct CommandRun {
  std::string out, err;
  int status = -1;
};

CommandRun run_command(const std::string& args, const std::string& err_file) {
  CommandRun r;
  std::string cmd = std::string(TAVISK_CLI) + " " + args + " 2>" + err_file;
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.err = read_file(err_file);
  return r;
}

TEST(TextCorpus, CommandReadsLogsAndMarkdownAsText) {
  const std::string dir = shared_dir() + "/corpus/real";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no " << dir << " beside the checkout";
  std::vector<std::string> files = files_under(dir, ".txt");
  for (const std::string& f : files_under(dir, ".md")) files.push_back(f);
  ASSERT_GE(files.size(), 6u);
  const std::string err_file = ::testing::TempDir() + "tavisk_text_corpus.err";
  for (const std::string& file : files) {
    const std::string source = read_file(file);
    const std::size_t source_lines = text::split_lines(source).size();
    for (std::uint64_t budget : {500u, 2000u, 8000u}) {
      SCOPED_TRACE(file + " at " + std::to_string(budget));
      CommandRun r = run_command("-r -n " + std::to_string(budget) + " '" + file + "'", err_file);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.err.find("format: text -> text"), std::string::npos) << r.err;
      // The command ends its output with a line feed when the text lacks one.
      std::string text = r.out;
      if (!source.ends_with('\n') && text.ends_with('\n')) text.pop_back();
      EXPECT_LE(utf8::count(text), budget);
      EXPECT_GE(utf8::count(text), budget * 3 / 4);
      std::uint64_t omitted = 0;
      EXPECT_EQ(check_line_fit(source, text, omitted), "");
      EXPECT_GT(omitted, 0u);
      EXPECT_LT(omitted, source_lines);
      // Markdown headings stay lines of the text (read as YAML they were dropped as comments).
      if (file.ends_with(".md")) {
        std::size_t headings = 0;
        for (const text::Line& l : text::split_lines(text)) headings += l.text.starts_with("#") ? 1 : 0;
        EXPECT_TRUE(budget < 8000 || headings >= 3) << headings << " headings";
        EXPECT_TRUE(!source.starts_with("#") || text.starts_with(source.substr(0, source.find('\n') + 1)));
      }
    }
  }
}
#endif

}  // namespace
}  // namespace tavisk::testing
