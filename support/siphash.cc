#include "support/siphash.h"

#include <bit>

namespace tessel::support {
namespace {

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
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

}  // namespace

SipHasher13::SipHasher13(uint64_t k0, uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::compress(uint64_t m) {
  v3_ ^= m;
  sip_round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void SipHasher13::write(std::span<const uint8_t> bytes) {
  length_ += bytes.size();
  std::size_t i = 0;
  // Top up a partial block first so that full blocks can be read directly.
  while (ntail_ != 0 && i < bytes.size()) {
    tail_ |= uint64_t{bytes[i++]} << (8 * ntail_);
    if (++ntail_ == 8) {
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | bytes[i + b];
    compress(m);
  }
  for (; i < bytes.size(); ++i) tail_ |= uint64_t{bytes[i]} << (8 * ntail_++);
}

void SipHasher13::write(std::string_view bytes) {
  write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void SipHasher13::write_u8(uint8_t v) {
  write(std::span(&v, 1));
}

void SipHasher13::write_u16(uint16_t v) {
  const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
  write(std::span(b));
}

void SipHasher13::write_u32(uint32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
  write(std::span(b));
}

void SipHasher13::write_u64(uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
  write(std::span(b));
}

uint64_t SipHasher13::finish() const {
  uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  const uint64_t b = ((length_ & 0xff) << 56) | tail_;
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t siphash13(std::span<const uint8_t> bytes) {
  SipHasher13 h;
  h.write(bytes);
  return h.finish();
}

}  // namespace tessel::support
