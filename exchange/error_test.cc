#include "exchange/error.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace tessel::exchange {
namespace {

TEST(ExchangeError, DisplayAndDebugOfEveryVariant) {
  struct Case {
    ExchangeError error;
    const char* display;
    const char* debug;
  };
  const Case cases[] = {
      {ExchangeError::validation_budget_exceeded(),
       "exchange incremental-encoding work budget exhausted", "ValidationBudgetExceeded"},
      {ExchangeError::tile(1472), "logical tile 1472 is out of range", "Tile(1472)"},
      {ExchangeError::duplicate_tile(), "exchange endpoints must be distinct", "DuplicateTile"},
      {ExchangeError::count(4149), "exchange count 4149 is outside 1..=4148", "Count(4149)"},
      {ExchangeError::count(0), "exchange count 0 is outside 1..=4148", "Count(0)"},
      {ExchangeError::receiver_set(), "invalid multicast receiver set", "ReceiverSet"},
      {ExchangeError::schedule("sender delay"), "exchange schedule is not encodable: sender delay",
       "Schedule(\"sender delay\")"},
      {ExchangeError::plan_offset_range(12, 10),
       "exchange event offset 12 cycles from the phase-entry sync exceeds the encodable maximum "
       "of 10 cycles",
       "PlanOffsetRange { cycles: 12, maximum: 10 }"},
      {ExchangeError::address(255), "tile address 0xff is not encodable", "Address(255)"},
      {ExchangeError::address(0), "tile address 0x0 is not encodable", "Address(0)"},
      {ExchangeError::host_packet(), "host exchange address or length is not encodable",
       "HostPacket"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(fmt::format("{}", c.error), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(ExchangeError, ScheduleErrorsAreRecognisedByTheirExactPhrase) {
  const ExchangeError e = ExchangeError::schedule("SENDPICP instruction alignment");
  EXPECT_TRUE(e.is_schedule("SENDPICP instruction alignment"));
  EXPECT_FALSE(e.is_schedule("SENDPICP instruction"));
  EXPECT_FALSE(ExchangeError::receiver_set().is_schedule(""));
  // Equality compares the phrase text, not where it is stored.
  static const char copy[] = "SENDPICP instruction alignment";
  EXPECT_EQ(e, ExchangeError::schedule(copy));
  EXPECT_NE(e, ExchangeError::schedule("sender delay"));
  EXPECT_NE(ExchangeError::count(1), ExchangeError::address(1));
}

TEST(ExchangeError, DebugQuotingEscapesLikeTheDebugForm) {
  EXPECT_EQ(debug_quoted("a\"b\\c\nd\re\tf\x01g\x7f"), "\"a\\\"b\\\\c\\nd\\re\\tf\\u{1}g\\u{7f}\"");
  EXPECT_EQ(debug_quoted(""), "\"\"");
}

}  // namespace
}  // namespace tessel::exchange
