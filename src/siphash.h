// SipHash-1-3 with a 128-bit key (all-zero for content fingerprints).
#pragma once

#include <cstdint>
#include <string_view>

namespace tavisk {

// Incremental SipHash-1-3; feed bytes with write(), read the digest with finish().
class SipHasher13 {
 public:
  explicit SipHasher13(std::uint64_t k0 = 0, std::uint64_t k1 = 0);
  void write(std::string_view bytes);
  void write_u8(std::uint8_t b);
  void write_u64_le(std::uint64_t v);
  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t m);
  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;
  unsigned ntail_ = 0;
  std::uint64_t length_ = 0;
};

std::uint64_t siphash13(std::string_view bytes, std::uint64_t k0 = 0, std::uint64_t k1 = 0);

// SipHash-1-3 (zero key) of one tag byte, text and one closing byte, in one pass without buffering.
std::uint64_t siphash13_framed(std::uint8_t tag, std::string_view text, std::uint8_t close);

}  // namespace tavisk
