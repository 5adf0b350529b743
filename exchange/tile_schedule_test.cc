#include "exchange/tile_schedule.h"

#include <gtest/gtest.h>

namespace tessel::exchange {
namespace {

using K = ReceiveEventKind;

ScheduledSenderRow sender_row(uint32_t start, uint32_t words) {
  ScheduledSenderRow row;
  row.words = {kSync3Word, explicit_word(words, 1), kReturnWord};
  row.start = start;
  row.end = start + words;
  return row;
}

ReceiveEvent source(uint32_t cycle) {
  return {cycle, xpic_word(7, 0), K::Source};
}
ReceiveEvent teardown(uint32_t cycle) {
  return {cycle, xpic_word(0x640, 0), K::Teardown};
}

// Five sender rows and eight receive events that encode.
TileProgramSchedule five_rows_eight_events() {
  TileProgramSchedule s;
  for (uint32_t i = 0; i < 5; ++i) s.insert_sender_row(i, sender_row(10 + 10 * i, 4));
  for (uint32_t i = 0; i < 4; ++i) {
    s.insert_receive_event_sorted(source(60 + 20 * i));
    s.insert_receive_event_sorted(teardown(70 + 20 * i));
  }
  s.horizon = 140;
  return s;
}

TEST(TileProgramSchedule, FreshScheduleAndInvalidatingIt) {
  TileProgramSchedule s;
  s.invalidate();
  EXPECT_EQ(s.sender_rows.len(), 0u);
  EXPECT_EQ(s.receive_events.len(), 0u);
  EXPECT_EQ(s.encoding, nullptr);
  EXPECT_EQ(s.previous_encoding, nullptr);
  EXPECT_EQ(s.dirty_rows, 0u);
  EXPECT_EQ(s.dirty_events, 0u);
  EXPECT_FALSE(s.receive_state.has_value());
  EXPECT_EQ(s.reserved_until, 0u);
  EXPECT_EQ(s.horizon, 0u);
}

TEST(TileProgramSchedule, InvalidationRecordsWhatThePreviousEncodingCovers) {
  TileProgramSchedule s = five_rows_eight_events();
  const auto cached = s.encoded();
  ASSERT_TRUE(cached.has_value()) << cached.error().display();
  EXPECT_EQ(s.encoding, *cached);

  s.insert_receive_event(6, source(115));
  EXPECT_EQ(s.encoding, nullptr);
  EXPECT_EQ(s.previous_encoding, *cached);
  EXPECT_EQ(s.dirty_rows, 5u);
  EXPECT_EQ(s.dirty_events, 6u);

  s.remove_receive_event(2);
  EXPECT_EQ(s.dirty_events, 2u);
  EXPECT_EQ(s.dirty_rows, 5u);

  // Changes behind the dirty index do not raise it.
  s.insert_receive_event(8, source(200));
  EXPECT_EQ(s.dirty_events, 2u);
  s.insert_sender_row(5, sender_row(300, 1));
  EXPECT_EQ(s.dirty_rows, 5u);
  s.remove_sender_row(1);
  EXPECT_EQ(s.dirty_rows, 1u);
}

TEST(TileProgramSchedule, InvalidatingTwiceKeepsTheFirstResumeBase) {
  TileProgramSchedule s = five_rows_eight_events();
  const SharedEncodedSchedule first = *s.encoded();
  s.invalidate();
  s.insert_receive_event(2, source(75));
  s.invalidate();
  EXPECT_EQ(s.previous_encoding, first);
  EXPECT_EQ(s.dirty_events, 2u);
  EXPECT_EQ(s.dirty_rows, 5u);
  s.raise_horizon(500);
  EXPECT_EQ(s.previous_encoding, first);
  EXPECT_EQ(s.dirty_events, 2u);
}

TEST(TileProgramSchedule, CopiesShareTheEncodingButOwnTheirCells) {
  TileProgramSchedule s = five_rows_eight_events();
  TileProgramSchedule unencoded_copy = s;
  ASSERT_TRUE(unencoded_copy.encoded().has_value());
  EXPECT_EQ(s.encoding, nullptr);  // filling the copy's cell left the original's empty

  const SharedEncodedSchedule cached = *s.encoded();
  TileProgramSchedule copy = s;
  EXPECT_EQ(copy.encoding, cached);
  copy.insert_receive_event_sorted(teardown(139));
  EXPECT_EQ(s.encoding, cached);
  EXPECT_EQ(copy.previous_encoding, cached);
  EXPECT_EQ(s.receive_events.len(), 8u);
  EXPECT_EQ(copy.receive_events.len(), 9u);
  // The unchanged first chunk of rows is still shared.
  EXPECT_TRUE(copy.sender_rows.shares_chunk_with(s.sender_rows, 0));
}

TEST(TileProgramSchedule, EncodedIsComputedOnceAndFailuresLeaveTheCellEmpty) {
  TileProgramSchedule s = five_rows_eight_events();
  const SharedEncodedSchedule first = *s.encoded();
  EXPECT_EQ(*s.encoded(), first);

  // An event behind the horizon cannot be encoded.
  s.insert_receive_event_sorted(source(150));
  const auto failed = s.encoded();
  ASSERT_FALSE(failed.has_value());
  EXPECT_TRUE(failed.error().is_schedule("plan delay order")) << failed.error().display();
  EXPECT_EQ(s.encoding, nullptr);
  EXPECT_EQ(s.previous_encoding, first);

  s.raise_horizon(160);
  const auto retried = s.encoded();
  ASSERT_TRUE(retried.has_value()) << retried.error().display();
  EXPECT_EQ(s.encoding, *retried);
  EXPECT_EQ((*retried)->words.back(), kReturnWord);
}

TEST(TileProgramSchedule, SortedInsertionGoesAfterEqualCycles) {
  TileProgramSchedule s;
  EXPECT_EQ(s.insert_receive_event_sorted(source(10)), 0u);
  EXPECT_EQ(s.insert_receive_event_sorted(teardown(20)), 1u);
  const ReceiveEvent pointer{10, pic_word(4, 0), K::Pointer};
  EXPECT_EQ(s.insert_receive_event_sorted(pointer), 1u);
  EXPECT_EQ(s.insert_receive_event_sorted(source(5)), 0u);
  EXPECT_EQ(s.receive_events[2], pointer);
  EXPECT_EQ(s.dirty_events, 0u);
}

TEST(TileProgramSchedule, Lookups) {
  TileProgramSchedule s;
  s.insert_sender_row(0, sender_row(10, 5));  // [10, 15)
  s.insert_sender_row(1, sender_row(15, 5));  // [15, 20)
  s.insert_sender_row(2, sender_row(30, 2));  // [30, 32)
  for (uint32_t c : {3u, 15u, 15u, 31u}) s.insert_receive_event_sorted(source(c));

  const struct {
    uint32_t cycle;
    uint64_t rows_before, row_ending_after, events_before, events_through;
  } cases[] = {
      {0, 0, 0, 0, 0},  {10, 0, 0, 1, 1}, {14, 1, 0, 1, 1}, {15, 1, 1, 1, 3},
      {16, 2, 1, 3, 3}, {31, 3, 2, 3, 4}, {32, 3, 3, 4, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cycle);
    EXPECT_EQ(s.rows_starting_before(c.cycle), c.rows_before);
    EXPECT_EQ(s.first_row_ending_after(c.cycle), c.row_ending_after);
    EXPECT_EQ(s.events_before(c.cycle), c.events_before);
    EXPECT_EQ(s.events_through(c.cycle), c.events_through);
  }
}

TEST(TileProgramSchedule, ReservationAndHorizonOnlyRise) {
  TileProgramSchedule s;
  s.raise_horizon(50);
  s.raise_horizon(20);
  s.raise_reserved_until(40);
  s.raise_reserved_until(10);
  EXPECT_EQ(s.horizon, 50u);
  EXPECT_EQ(s.reserved_until, 40u);
}

}  // namespace
}  // namespace tessel::exchange
