#pragma once
// SipHash-1-3 with a caller-chosen 128-bit key (zero by default), streaming.
// One compression round per 8-byte block and three finalisation rounds; the
// fingerprints printed by the benchmark and the cache's shape keys use it, so
// its output must never change.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tessel::support {

class SipHasher13 {
 public:
  explicit SipHasher13(uint64_t k0 = 0, uint64_t k1 = 0);

  void write(std::span<const uint8_t> bytes);
  void write(std::string_view bytes);
  void write_u8(uint8_t v);
  // Little-endian encodings of fixed-width integers.
  void write_u16(uint16_t v);
  void write_u32(uint32_t v);
  void write_u64(uint64_t v);

  // Does not consume the state: more bytes may be written afterwards.
  uint64_t finish() const;

 private:
  void compress(uint64_t m);

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;      // pending bytes, little-endian
  std::size_t ntail_ = 0;  // number of pending bytes (0..7)
  uint64_t length_ = 0;    // total bytes written
};

uint64_t siphash13(std::span<const uint8_t> bytes);

}  // namespace tessel::support
