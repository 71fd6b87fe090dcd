#include "envelope.h"

#include <charconv>
#include <cstddef>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "tavisk.h"

namespace cli {

std::string call_library(std::string_view input, std::string_view options) {
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                               reinterpret_cast<const uint8_t*>(options.data()), options.size(), &len);
  std::string envelope(reinterpret_cast<const char*>(out), static_cast<std::size_t>(len));
  tavisk_free(out, len);
  return envelope;
}

namespace {

constexpr unsigned parse_flags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;

// Finds where the value of a top-level member starts and ends. The iterative parser calls the
// closing handlers while the closing bracket is still the next character of the stream.
class MemberSpan : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, MemberSpan> {
 public:
  MemberSpan(const rapidjson::MemoryStream& stream, std::string_view key) : stream_(stream), key_(key) {}

  std::size_t key_end = std::string_view::npos;  // just past the member's key
  std::size_t end = std::string_view::npos;      // just past its value

  bool Default() { return value_done(stream_.Tell()); }
  bool String(const char*, rapidjson::SizeType, bool) { return value_done(stream_.Tell()); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (depth_ == 1 && key_end == std::string_view::npos && std::string_view(s, n) == key_) {
      key_end = stream_.Tell();
      inside_ = true;
    }
    return true;
  }
  bool StartObject() { return ++depth_, true; }
  bool StartArray() { return ++depth_, true; }
  bool EndObject(rapidjson::SizeType) { return --depth_, value_done(stream_.Tell() + 1); }
  bool EndArray(rapidjson::SizeType) { return --depth_, value_done(stream_.Tell() + 1); }

 private:
  // Stops the parse once the wanted member's value is complete.
  bool value_done(std::size_t at) {
    if (!inside_ || depth_ != 1) return true;
    end = at;
    return false;
  }

  const rapidjson::MemoryStream& stream_;
  std::string_view key_;
  int depth_ = 0;
  bool inside_ = false;
};

std::string spaced(std::string_view key) {
  std::string s(key);
  for (char& c : s) {
    if (c == '_') c = ' ';
  }
  return s;
}

std::string number_text(const rapidjson::Value& v) {
  if (v.IsUint64()) return std::to_string(v.GetUint64());
  if (v.IsInt64()) return std::to_string(v.GetInt64());
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.GetDouble());
  return ec == std::errc() ? std::string(buf, end) : "?";
}

const rapidjson::Value* member(const rapidjson::Value& object, std::string_view key) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(rapidjson::Value(rapidjson::StringRef(key.data(), key.size())));
  return it == object.MemberEnd() ? nullptr : &it->value;
}

std::string text_of(const rapidjson::Value* v) {
  if (!v) return "?";
  if (v->IsBool()) return v->GetBool() ? "yes" : "no";
  if (v->IsNumber()) return number_text(*v);
  if (v->IsString()) return std::string(v->GetString(), v->GetStringLength());
  return "?";
}

void print_dropped(const rapidjson::Value& report, std::string& out) {
  const rapidjson::Value* list = member(report, "dropped_fields");
  if (!list || !list->IsArray() || list->Empty()) return;
  out += "dropped fields";
  std::string shown = std::to_string(list->Size());
  std::string total = text_of(member(report, "fields_dropped"));
  if (total != shown) out += " (" + shown + " of " + total + " shown)";
  out += ":\n";
  for (const rapidjson::Value& d : list->GetArray()) {
    out += "  " + text_of(member(d, "path")) + ": " + text_of(member(d, "items")) + " items\n";
  }
}

}  // namespace

std::optional<Envelope> read_envelope(std::string_view json) {
  rapidjson::Document doc;
  doc.Parse<parse_flags>(json.data(), json.size());
  if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;
  const rapidjson::Value* ok = member(doc, "ok");
  if (!ok || !ok->IsBool()) return std::nullopt;
  Envelope e;
  e.ok = ok->GetBool();
  if (!e.ok) {
    const rapidjson::Value* error = member(doc, "error");
    if (!error || !error->IsString()) return std::nullopt;
    e.error.assign(error->GetString(), error->GetStringLength());
    return e;
  }
  const rapidjson::Value* text = member(doc, "text");
  const rapidjson::Value* report = member(doc, "report");
  if (!text || !text->IsString() || !report || !report->IsObject()) return std::nullopt;
  e.text.assign(text->GetString(), text->GetStringLength());
  e.report.CopyFrom(*report, e.report.GetAllocator());
  return e;
}

std::optional<std::string_view> raw_member(std::string_view json, std::string_view key) {
  rapidjson::MemoryStream stream(json.data(), json.size());
  MemberSpan span(stream, key);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<rapidjson::kParseIterativeFlag>(stream, span);
  if (span.end == std::string_view::npos || result.Code() != rapidjson::kParseErrorTermination) return std::nullopt;
  std::size_t start = span.key_end;
  while (start < span.end && (json[start] == ':' || json[start] == ' ' || json[start] == '\t' ||
                              json[start] == '\n' || json[start] == '\r')) {
    ++start;
  }
  return json.substr(start, span.end - start);
}

std::string report_summary(const rapidjson::Value& report) {
  std::string out = "input chars: " + text_of(member(report, "input_chars")) + "\n";
  out += "output chars: " + text_of(member(report, "output_chars")) + " (max " + text_of(member(report, "max_chars")) +
         ")\n";
  out += "format: " + text_of(member(report, "input_format")) + " -> " + text_of(member(report, "format")) + "\n";
  out += "fits: " + text_of(member(report, "fits")) + ", pruned: " + text_of(member(report, "pruned")) + "\n";
  for (const auto& m : report.GetObject()) {
    std::string_view key(m.name.GetString(), m.name.GetStringLength());
    if (key == "input_chars" || key == "output_chars" || key == "max_chars") continue;
    if (m.value.IsNumber() && !(m.value.IsUint64() && m.value.GetUint64() == 0))
      out += spaced(key) + ": " + number_text(m.value) + "\n";
  }
  const rapidjson::Value* decisions = member(report, "field_decisions");
  if (decisions && decisions->IsArray() && !decisions->Empty()) {
    out += "field decisions: " + std::to_string(decisions->Size()) + " (see --envelope)\n";
  }
  print_dropped(report, out);
  return out;
}

bool report_fits(const rapidjson::Value& report) {
  const rapidjson::Value* fits = member(report, "fits");
  return fits && fits->IsBool() && fits->GetBool();
}

}  // namespace cli
