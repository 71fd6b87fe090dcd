// tavisk: the command-line front end. Reads documents from files or standard
// input, shrinks each with the library and prints the result texts.
#include "tavisk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli_options.h"
#include "envelope.h"
#include "mcp_proxy.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_not_fitting = 3;

enum ToolFlagId : std::size_t { Report, ReportJson, EnvelopeOut, Strict, Output, Help, Version };

constexpr cli::ToolFlag tool_flags[] = {
    {"report", 'r', cli::Arg::None, "", "print a summary of what was left out on standard error"},
    {"report-json", 0, cli::Arg::Required, "FILE", "write the report as JSON to FILE ('-': standard error)"},
    {"envelope", 0, cli::Arg::None, "", "print the library's raw JSON envelope instead of the text"},
    {"strict", 0, cli::Arg::None, "", "exit with status 3 when a result does not fit its budget"},
    {"output", 'o', cli::Arg::Required, "FILE", "write the results to FILE instead of standard output"},
    {"help", 'h', cli::Arg::None, "", "show this help and exit"},
    {"version", 'V', cli::Arg::None, "", "show the version and exit"},
};

struct Settings {
  std::string options;
  std::vector<std::string> files;
  bool report = false;
  bool envelope = false;
  bool strict = false;
  bool help = false;
  bool version = false;
  std::optional<std::string> report_json;
  std::optional<std::string> output;
};

std::string help_text() {
  return "Usage: tavisk [OPTIONS] [FILE...]\n"
         "Shrink JSON, YAML or prose documents so that each rendering fits a character budget.\n"
         "Reads each FILE, or standard input when FILE is '-' or absent, and prints the results;\n"
         "with several FILEs each result follows a '==> FILE <==' heading and has the whole budget.\n"
         "\nOptions (a value may also follow '=': --max-chars=500):\n" +
         cli::flags_help(tool_flags) +
         "\nExit status: 0 on success; 1 when the library reports an error or a file cannot be read or\n"
         "written; 2 on a usage error; 3 with --strict when a result does not fit its budget.\n"
         "\nExamples:\n"
         "  tavisk -n 2000 -r examples/github-issues.json      fit into 2000 characters, summary on stderr\n"
         "  curl -s URL | tavisk -n 800 -f yaml -p '/*/id'      as YAML, never shortening any id\n"
         "  tavisk --strict --report-json r.json -o out.json big.json   fail (3) unless it fits\n";
}

Settings settings_of(cli::CommandLine&& line) {
  Settings s;
  s.options = std::move(line.options);
  s.files = std::move(line.operands);
  for (cli::ToolUse& use : line.tool) {
    switch (static_cast<ToolFlagId>(use.flag)) {
      case Report: s.report = true; break;
      case ReportJson: s.report_json = std::move(use.arg); break;
      case EnvelopeOut: s.envelope = true; break;
      case Strict: s.strict = true; break;
      case Output: s.output = std::move(use.arg); break;
      case Help: s.help = true; break;
      case Version: s.version = true; break;
    }
  }
  if (s.files.empty()) s.files.emplace_back("-");
  return s;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "tavisk: %s\nTry 'tavisk --help' for more information.\n", message.c_str());
  return exit_usage;
}

// How messages name an input: a file by its name; standard input needs no name.
std::string prefix(const std::string& file) { return file == "-" ? std::string() : file + ": "; }

std::string heading_name(const std::string& file) { return file == "-" ? "standard input" : file; }

bool read_all(std::FILE* in, std::string& out) {
  // A regular file is read in one piece into a buffer of its size, so a large
  // input is neither copied nor over-allocated while it grows.
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    out.resize(size);
    std::size_t n = std::fread(out.data(), 1, size, in);
    out.resize(n);
    if (n < size) return !std::ferror(in);
  }
  char buf[65536];
  for (;;) {
    std::size_t n = std::fread(buf, 1, sizeof buf, in);
    out.append(buf, n);
    if (n < sizeof buf) return !std::ferror(in);
  }
}

std::optional<std::string> read_input(const std::string& file) {
  std::string text;
  if (file == "-") {
    if (!read_all(stdin, text)) {
      std::fprintf(stderr, "tavisk: cannot read standard input: %s\n", std::strerror(errno));
      return std::nullopt;
    }
    return text;
  }
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "tavisk: cannot open '%s': %s\n", file.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  bool ok = read_all(in, text);
  int read_errno = errno;
  std::fclose(in);
  if (!ok) {
    std::fprintf(stderr, "tavisk: cannot read '%s': %s\n", file.c_str(), std::strerror(read_errno));
    return std::nullopt;
  }
  return text;
}

// Where results go, and whether writing has failed.
class Sink {
 public:
  explicit Sink(std::FILE* out, std::string name) : out_(out), name_(std::move(name)) {}
  bool write(std::string_view text) {
    if (ok_ && std::fwrite(text.data(), 1, text.size(), out_) != text.size()) fail();
    return ok_;
  }
  bool finish() {
    if (ok_ && std::fflush(out_) != 0) fail();
    return ok_;
  }

 private:
  void fail() {
    ok_ = false;
    std::fprintf(stderr, "tavisk: cannot write %s: %s\n", name_.c_str(), std::strerror(errno));
  }
  std::FILE* out_;
  std::string name_;
  bool ok_ = true;
};

std::string counter(const rapidjson::Value& report, const char* key) {
  auto it = report.FindMember(key);
  return it != report.MemberEnd() && it->value.IsUint64() ? std::to_string(it->value.GetUint64()) : "?";
}

struct Outcome {
  int status = exit_ok;
  std::string report_entry;  // this input's part of --report-json
};

Outcome shrink_one(const Settings& s, const std::string& file, Sink& sink, bool several, bool& nothing_written) {
  Outcome outcome;
  std::string name_json = cli::json_string(heading_name(file));
  auto fail = [&](const std::string& message) {
    outcome.status = exit_failure;
    outcome.report_entry = "{\"file\":" + name_json + ",\"error\":" + cli::json_string(message) + "}";
    return outcome;
  };
  auto input = read_input(file);
  if (!input) return fail("cannot read the input");
  std::string envelope = cli::call_library(*input, cli::with_input_format(s.options, cli::default_input_format(file)));
  auto parsed = cli::read_envelope(envelope);
  if (!parsed) {
    std::fprintf(stderr, "tavisk: %sunreadable answer from the library\n", prefix(file).c_str());
    return fail("unreadable answer from the library");
  }
  std::string heading;
  if (several) heading = std::string(nothing_written ? "" : "\n") + "==> " + heading_name(file) + " <==\n";
  if (!parsed->ok) {
    std::fprintf(stderr, "tavisk: %s%s\n", prefix(file).c_str(), parsed->error.c_str());
    if (s.envelope) {
      sink.write(heading + envelope + "\n");
      nothing_written = false;
    }
    return fail(parsed->error);
  }
  if (s.report) {
    std::string summary = several ? "==> " + heading_name(file) + " <==\n" : std::string();
    std::fputs((summary + cli::report_summary(parsed->report)).c_str(), stderr);
  }
  std::string body = s.envelope ? envelope + "\n"
                                : parsed->text + (parsed->text.ends_with('\n') ? "" : "\n");
  sink.write(heading + body);
  nothing_written = false;
  std::string_view raw = cli::raw_member(envelope, "report").value_or("{}");
  outcome.report_entry = several ? "{\"file\":" + name_json + ",\"report\":" + std::string(raw) + "}"
                                 : std::string(raw);
  if (s.strict && !cli::report_fits(parsed->report)) {
    std::fprintf(stderr, "tavisk: %sresult does not fit: %s characters, budget %s\n", prefix(file).c_str(),
                 counter(parsed->report, "output_chars").c_str(), counter(parsed->report, "max_chars").c_str());
    outcome.status = exit_not_fitting;
  }
  return outcome;
}

int write_report_json(const std::string& target, const std::string& json) {
  if (target == "-") return std::fputs(json.c_str(), stderr) < 0 ? exit_failure : exit_ok;
  std::FILE* out = std::fopen(target.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "tavisk: cannot open '%s' for writing: %s\n", target.c_str(), std::strerror(errno));
    return exit_failure;
  }
  Sink sink(out, "'" + target + "'");
  bool ok = sink.write(json) && sink.finish();
  return std::fclose(out) == 0 && ok ? exit_ok : exit_failure;
}

int run(const Settings& s) {
  std::size_t stdin_uses = 0;
  for (const std::string& f : s.files) stdin_uses += f == "-" ? 1 : 0;
  if (stdin_uses > 1) return usage_error("standard input ('-') given more than once");
  if (stdin_uses == 1 && isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "tavisk: reading from a terminal; give a FILE or pipe input\n");
    return exit_usage;
  }
  std::FILE* out = stdout;
  std::string out_name = "the result";
  if (s.output && *s.output != "-") {
    out = std::fopen(s.output->c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "tavisk: cannot open '%s' for writing: %s\n", s.output->c_str(), std::strerror(errno));
      return exit_failure;
    }
    out_name = "'" + *s.output + "'";
  }
  Sink sink(out, out_name);
  bool several = s.files.size() > 1;
  bool nothing_written = true;
  bool failed = false;
  bool not_fitting = false;
  std::string report_json;
  for (const std::string& file : s.files) {
    Outcome o = shrink_one(s, file, sink, several, nothing_written);
    failed = failed || o.status == exit_failure;
    not_fitting = not_fitting || o.status == exit_not_fitting;
    if (!o.report_entry.empty() && (several || o.status != exit_failure)) {
      report_json += (report_json.empty() ? "" : ",") + o.report_entry;
    }
  }
  bool written = sink.finish();
  if (out != stdout && std::fclose(out) != 0 && written) {
    std::fprintf(stderr, "tavisk: cannot write %s: %s\n", out_name.c_str(), std::strerror(errno));
    written = false;
  }
  if (s.report_json && (several || !report_json.empty())) {
    std::string json = several ? "[" + report_json + "]\n" : report_json + "\n";
    if (write_report_json(*s.report_json, json) != exit_ok) failed = true;
  }
  if (failed || !written) return exit_failure;
  return not_fitting ? exit_not_fitting : exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "mcp-proxy") return mcp::proxy_main(argc - 1, argv + 1);
  std::string error;
  auto line = cli::parse_command_line(argc, argv, tool_flags, error);
  if (!line) return usage_error(error);
  Settings s = settings_of(std::move(*line));
  if (s.help || s.version) {
    Sink sink(stdout, "the result");
    sink.write(s.help ? help_text() : "tavisk " + std::string(tavisk_version()) + "\n");
    return sink.finish() ? exit_ok : exit_failure;
  }
  return run(s);
}
