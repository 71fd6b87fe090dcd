#include "siphash.h"

#include <bit>
#include <cstring>

namespace tavisk {

namespace {

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

inline std::uint64_t load_le(const unsigned char* p) {
  std::uint64_t m;
  std::memcpy(&m, p, 8);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
  return m;
}

inline std::uint64_t finalize(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3,
                              std::uint64_t b) {
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  for (int k = 0; k < 3; ++k) sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

SipHasher13::SipHasher13(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ull),
      v1_(k1 ^ 0x646f72616e646f6dull),
      v2_(k0 ^ 0x6c7967656e657261ull),
      v3_(k1 ^ 0x7465646279746573ull) {}

void SipHasher13::compress(std::uint64_t m) {
  v3_ ^= m;
  sip_round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void SipHasher13::write_u8(std::uint8_t b) {
  tail_ |= static_cast<std::uint64_t>(b) << (8 * ntail_);
  ++length_;
  if (++ntail_ == 8) {
    compress(tail_);
    tail_ = 0;
    ntail_ = 0;
  }
}

void SipHasher13::write(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size(), i = 0;
  // Fill a pending partial block first, then take whole blocks directly.
  while (ntail_ != 0 && i < n) write_u8(p[i++]);
  for (; i + 8 <= n; i += 8) {
    compress(load_le(p + i));
    length_ += 8;
  }
  while (i < n) write_u8(p[i++]);
}

void SipHasher13::write_u64_le(std::uint64_t v) {
  for (int k = 0; k < 8; ++k) write_u8(static_cast<std::uint8_t>(v >> (8 * k)));
}

std::uint64_t SipHasher13::finish() const { return finalize(v0_, v1_, v2_, v3_, (length_ << 56) | tail_); }

std::uint64_t siphash13(std::string_view bytes, std::uint64_t k0, std::uint64_t k1) {
  SipHasher13 h(k0, k1);
  h.write(bytes);
  return h.finish();
}

std::uint64_t siphash13_framed(std::uint8_t tag, std::string_view text, std::uint8_t close) {
  const std::size_t n = text.size();
  if (n > 62) {
    SipHasher13 h;
    h.write_u8(tag);
    h.write(text);
    h.write_u8(close);
    return h.finish();
  }
  // The whole message in one zero-padded buffer: whole blocks, then the tail as one more load.
  unsigned char buf[72] = {};
  buf[0] = tag;
  std::memcpy(buf + 1, text.data(), n);
  buf[n + 1] = close;
  const std::uint64_t length = n + 2;
  std::uint64_t v0 = 0x736f6d6570736575ull, v1 = 0x646f72616e646f6dull, v2 = 0x6c7967656e657261ull,
                v3 = 0x7465646279746573ull;
  std::size_t k = 0;
  for (; k + 8 <= length; k += 8) {
    const std::uint64_t m = load_le(buf + k);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  return finalize(v0, v1, v2, v3, (length << 56) | load_le(buf + k));
}

}  // namespace tavisk
