#include "support/siphash.h"

#include <gtest/gtest.h>

#include <string>

namespace tessel::support {
namespace {

TEST(SipHash13, KnownVectorsWithZeroKey) {
  EXPECT_EQ(siphash13({}), 0xd1fba762150c532cULL);
  const uint8_t zero = 0;
  EXPECT_EQ(siphash13(std::span(&zero, 1)), 0x68a914128e01e473ULL);
  SipHasher13 h;
  h.write(std::string_view("siphash"));
  EXPECT_EQ(h.finish(), 0x8264ceeccb16bcbeULL);
}

TEST(SipHash13, StreamingEqualsOneShotForEverySplit) {
  std::string data;
  for (int i = 0; i < 37; ++i) data.push_back(char(i * 7 + 1));
  SipHasher13 whole;
  whole.write(data);
  for (std::size_t a = 0; a <= data.size(); ++a) {
    for (std::size_t b = a; b <= data.size(); b += 5) {
      SipHasher13 parts;
      parts.write(std::string_view(data).substr(0, a));
      parts.write(std::string_view(data).substr(a, b - a));
      parts.write(std::string_view(data).substr(b));
      ASSERT_EQ(parts.finish(), whole.finish()) << a << " " << b;
    }
  }
}

TEST(SipHash13, IntegersAreLittleEndian) {
  SipHasher13 a, b;
  a.write_u32(0x04030201);
  const uint8_t bytes[] = {1, 2, 3, 4};
  b.write(std::span(bytes));
  EXPECT_EQ(a.finish(), b.finish());
}

}  // namespace
}  // namespace tessel::support
