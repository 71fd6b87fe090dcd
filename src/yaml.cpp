#include "yaml.h"

#include <stdexcept>

namespace tavisk::yaml {

void block(const Value&, std::uint64_t, std::uint64_t, Lines&) { throw std::logic_error("yaml writer not built"); }
std::string inline_(const Value&) { throw std::logic_error("yaml writer not built"); }
std::string scalar_string(std::string_view) { throw std::logic_error("yaml writer not built"); }
bool literal_ok(std::string_view) { throw std::logic_error("yaml writer not built"); }
void literal_body_at(std::string_view, std::uint64_t, std::uint64_t, Lines&) {
  throw std::logic_error("yaml writer not built");
}
bool printable(char32_t) { throw std::logic_error("yaml writer not built"); }
std::string_view literal_header(std::string_view) { throw std::logic_error("yaml writer not built"); }

}  // namespace tavisk::yaml
