#include "support/checked.h"

#include <gtest/gtest.h>

namespace tessel::support {
namespace {

TEST(Checked, OverflowIsReportedNotWrapped) {
  EXPECT_EQ(checked_add<uint32_t>(0xFFFFFFF0u, 0xCu), 0xFFFFFFFCu);
  EXPECT_FALSE(checked_add<uint32_t>(0xFFFFFFF0u, 0x10u));
  EXPECT_FALSE(checked_sub<uint32_t>(1u, 2u));
  EXPECT_FALSE(checked_mul<uint32_t>(0x10000u, 0x10000u));
  EXPECT_EQ(saturating_add<uint32_t>(0xFFFFFFF0u, 0x100u), 0xFFFFFFFFu);
  EXPECT_EQ(saturating_sub<uint32_t>(3u, 5u), 0u);
  EXPECT_EQ(saturating_add<int32_t>(-5, INT32_MIN), INT32_MIN);
  EXPECT_EQ(saturating_mul<uint32_t>(4u, 0x40000000u), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace tessel::support
