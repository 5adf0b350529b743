#include "exchange/timing.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "exchange/tile_schedule.h"
#include "exchange/topology.h"

namespace tessel::exchange {
namespace {

using K = ReceiveEventKind;

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

Row row(std::initializer_list<uint32_t> words) {
  Row r{};
  size_t i = 0;
  for (uint32_t w : words) r[i++] = w;
  return r;
}

// The rows of a 100-word multicast from logical tile 0 to logical tile 1 on
// the tarn topology.
const Row kSender100 =
    row({kSync3Word, delay_word(28), explicit_word(64, 1), offset_word(36, 1), kReturnWord});
const Row kReceiver100 = row({kSync3Word, xpic_word(0, 0), pic_word(0x14000, 51),
                              xpic_word(0x640, 47), delay_word(57), kReturnWord});

// A paired receive without source: format 1 completes at 10, pointer (word
// address 0x100) at 12, format end at 110.
const Row kPairedReceiver =
    row({kSync3Word, pic_word(0x40001, 9), pic_word(0x100, 1), pic_word(0x40000, 97), kReturnWord});

void expect_schedule_error(const auto& result, const char* phrase) {
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().is_schedule(phrase)) << result.error().display();
}

TEST(SenderRowTiming, DelayThenExplicitAtBase) {
  const auto t =
      sender_row_timing(row({kSync3Word, delay_word(5), explicit_word(3, 1), kReturnWord}), 100);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t, (SenderRowTiming{105, 108, 108}));
}

TEST(SenderRowTiming, TrailingDelayExtendsOnlyTheHorizon) {
  const auto t = sender_row_timing(row({kSync3Word, explicit_word(2, 1), delay_word(4),
                                        offset_word(3, 1), delay_word(7), kReturnWord}),
                                   10);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t, (SenderRowTiming{10, 19, 26}));
}

TEST(SenderRowTiming, Errors) {
  expect_schedule_error(
      sender_row_timing(row({delay_word(1), explicit_word(1, 1), kReturnWord}), 0),
      "sender row entry");
  expect_schedule_error(sender_row_timing(row({kSync3Word, explicit_word(1, 1)}), 0),
                        "sender row return");
  expect_schedule_error(sender_row_timing(row({kSync3Word, kReturnWord, explicit_word(1, 1)}), 0),
                        "sender payload");
  // Pic and PicPair sends are not payload sends of a sender row.
  expect_schedule_error(
      sender_row_timing(row({kSync3Word, pic_send_word(4, 0), delay_word(3), kReturnWord}), 0),
      "sender payload");
  expect_schedule_error(sender_row_timing(kSender100, kMax - 50), "sender event horizon overflow");
}

TEST(ReceiveRowTiming, HundredWordMulticastReceiver) {
  const auto t = receive_row_timing(kReceiver100, 0);
  ASSERT_TRUE(t.has_value());
  ASSERT_EQ(t->events.size(), 3u);
  EXPECT_EQ(t->events[0], (ReceiveEvent{1, 0x64000000, K::Source}));
  EXPECT_EQ(t->events[1], (ReceiveEvent{53, 0x61994000, K::Pointer}));
  EXPECT_EQ(t->events[2], (ReceiveEvent{101, 0x640bc640, K::Teardown}));
  EXPECT_EQ(t->source, 1u);
  EXPECT_EQ(t->pointer, 53u);
  EXPECT_EQ(t->pointer_address, 0x50000u);
  EXPECT_EQ(t->teardown, 101u);
  EXPECT_EQ(t->row_end, 158u);
  EXPECT_FALSE(t->paired);
  EXPECT_FALSE(t->format_start.has_value());

  const auto rebased = receive_row_timing(kReceiver100, 40);
  ASSERT_TRUE(rebased.has_value());
  EXPECT_EQ(*rebased, *receive_row_timing_from_base(*t, 40));
}

TEST(ReceiveRowTiming, PicPairControlsTakeEffectOneCycleAfterIssue) {
  // PicPair of 5 cycles issued at 10: Source and Pointer at 11; the row goes
  // on at 15, so a teardown with delay field 0 completes at 16.
  const Row r = row({kSync3Word, delay_word(10), pic_pair_first_word(0x123, 5, 0, 0),
                     pic_pair_second_word(0x0042, 0x123), xpic_word(0x640, 0), kReturnWord});
  const auto t = receive_row_timing(r, 0);
  ASSERT_TRUE(t.has_value());
  ASSERT_EQ(t->events.size(), 3u);
  EXPECT_EQ(t->events[0], (ReceiveEvent{11, 0x64000042, K::Source}));
  EXPECT_EQ(t->events[1], (ReceiveEvent{11, 0x60000123, K::Pointer}));
  EXPECT_EQ(t->events[2], (ReceiveEvent{16, xpic_word(0x640, 0), K::Teardown}));
  EXPECT_EQ(t->pointer_address, 0x123u * 4);
  EXPECT_EQ(t->row_end, 16u);
}

TEST(ReceiveRowTiming, PairedRowRewritesItsPointer) {
  const auto t = receive_row_timing(kPairedReceiver, 0);
  ASSERT_TRUE(t.has_value());
  EXPECT_TRUE(t->paired);
  EXPECT_EQ(t->format_start, 10u);
  EXPECT_EQ(t->format_end, 110u);
  EXPECT_EQ(t->pointer, 12u);
  EXPECT_FALSE(t->source.has_value());
  ASSERT_EQ(t->events.size(), 3u);
  EXPECT_EQ(t->events[1].kind, K::PairedPointer);
  EXPECT_EQ(format_start_value(*t), 1u);
}

TEST(ReceiveRowTiming, PairedRowFromTopology) {
  // Receivers 2 and 3 are partners on tarn; the assembled rows must time as
  // paired receives whose pointer became a PairedPointer.
  const std::vector<uint16_t> receivers{2, 3};
  const auto assembled = Topology::tarn().paired_multicast(0, receivers, 64);
  ASSERT_TRUE(assembled.has_value()) << assembled.error().display();
  for (const Row& r : assembled->receivers) {
    const auto t = receive_row_timing(r, 0);
    ASSERT_TRUE(t.has_value()) << t.error().display();
    EXPECT_TRUE(t->paired);
    ASSERT_TRUE(t->pointer.has_value());
    for (const ReceiveEvent& e : t->events) EXPECT_NE(e.kind, K::Pointer);
  }
}

TEST(ReceiveRowTiming, Errors) {
  const uint32_t src = xpic_word(5, 0);
  const uint32_t down = xpic_word(0x640, 0);
  const uint32_t ptr = pic_word(0x10, 0);
  const struct {
    Row row;
    const char* phrase;
  } cases[] = {
      {row({delay_word(1), src, down, kReturnWord}), "receive row entry"},
      {row({kSync3Word, src, down, ptr}), "receive row return"},
      {row({kSync3Word, kReturnWord}), "incomplete ordinary receive mux"},
      {row({kSync3Word, src, ptr, kReturnWord}), "incomplete ordinary receive mux"},
      {row({kSync3Word, src, src, down, kReturnWord}), "multiple receive sources"},
      {row({kSync3Word, src, down, down, kReturnWord}), "multiple receive teardowns"},
      {row({kSync3Word, src, ptr, ptr, down, kReturnWord}), "multiple receive pointers"},
      {row({kSync3Word, pic_word(0x40001, 0), pic_word(0x40002, 0), kReturnWord}),
       "multiple paired format starts"},
      {row({kSync3Word, pic_word(0x40000, 0), pic_word(0x40000, 0), kReturnWord}),
       "multiple paired format ends"},
      {row({kSync3Word, pic_word(0x40003, 0), kReturnWord}), "paired receive format value"},
      {row({kSync3Word, pic_word(0x40001, 0), ptr, kReturnWord}),
       "incomplete paired receive format"},
      {row({kSync3Word, xpic_word(0x2005, 0), down, ptr, kReturnWord}),
       "incomplete paired receive format"},
      {row({kSync3Word, src, xpic_word(0x2640, 0), ptr, kReturnWord}),
       "incomplete paired receive format"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phrase);
    expect_schedule_error(receive_row_timing(c.row, 0), c.phrase);
  }
  expect_schedule_error(receive_row_timing(kReceiver100, kMax - 100),
                        "receive event horizon overflow");
}

TEST(ReceiveWindow, HundredWordMulticastOnFreshTile) {
  const auto t = receive_row_timing(kReceiver100, 0);
  ASSERT_TRUE(t.has_value());
  const auto w = scheduled_receive_window(*t, 0, 100, std::nullopt);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->source_cycle, 1u);
  EXPECT_EQ(w->stream_end, 101u);
  EXPECT_EQ(w->pointer_cycle, 53u);
  EXPECT_EQ(w->payload_end, 153u);
  EXPECT_EQ(w->horizon, 158u);
  EXPECT_EQ(w->pointer_address, 0x50000u);
  EXPECT_FALSE(w->format_shared);
  ASSERT_EQ(w->events.size(), 3u);
  EXPECT_EQ(w->events[0], (ReceiveEvent{1, 0x64000000, K::Source}));
  EXPECT_EQ(w->events[1], (ReceiveEvent{53, 0x61994000, K::Pointer}));
  EXPECT_EQ(w->events[2], (ReceiveEvent{101, 0x640bc640, K::Teardown}));
}

TEST(ReceiveWindow, TeardownMovesToStreamEndAndEventsResort) {
  // With 10 words the stream ends at 11, before the pointer at 53.
  const auto t = receive_row_timing(kReceiver100, 0);
  const auto w = scheduled_receive_window(*t, 7, 10, std::nullopt);
  ASSERT_TRUE(w.has_value());
  ASSERT_EQ(w->events.size(), 3u);
  EXPECT_EQ(w->events[0], (ReceiveEvent{8, 0x64000000, K::Source}));
  EXPECT_EQ(w->events[1], (ReceiveEvent{18, 0x640bc640, K::Teardown}));
  EXPECT_EQ(w->events[2], (ReceiveEvent{60, 0x61994000, K::Pointer}));
  EXPECT_EQ(w->stream_end, 18u);
  EXPECT_EQ(w->payload_end, 70u);
  EXPECT_EQ(w->horizon, 165u);
}

TEST(ReceiveWindow, PointerAlreadyInPlaceOnlyAfterOrdinaryReceive) {
  const auto t = receive_row_timing(kReceiver100, 0);
  TileReceiveState ordinary{std::nullopt, std::nullopt, 0x50000, 50, 60, false};
  const auto w = scheduled_receive_window(*t, 100, 100, ordinary);
  ASSERT_TRUE(w.has_value());
  ASSERT_EQ(w->events.size(), 2u);
  EXPECT_EQ(w->events[0].kind, K::Source);
  EXPECT_EQ(w->events[1].kind, K::Teardown);
  // The pointer cycle still bounds the payload.
  EXPECT_EQ(w->payload_end, 253u);

  TileReceiveState paired = ordinary;
  paired.paired = true;
  EXPECT_EQ(scheduled_receive_window(*t, 100, 100, paired)->events.size(), 3u);
  TileReceiveState elsewhere = ordinary;
  elsewhere.next_address = 0x50004;
  EXPECT_EQ(scheduled_receive_window(*t, 100, 100, elsewhere)->events.size(), 3u);
}

TEST(ReceiveWindow, PairedWindowAndSharedFormat) {
  const auto t = receive_row_timing(kPairedReceiver, 0);
  ASSERT_TRUE(t.has_value());
  const auto fresh = scheduled_receive_window(*t, 100, 100, std::nullopt);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(fresh->source_cycle, 110u);  // the format start stands in for the source
  EXPECT_EQ(fresh->stream_end, 210u);
  EXPECT_EQ(fresh->pointer_cycle, 112u);
  EXPECT_EQ(fresh->payload_end, 212u);
  EXPECT_EQ(fresh->horizon, 212u);
  EXPECT_FALSE(fresh->format_shared);
  ASSERT_EQ(fresh->events.size(), 3u);

  // The previous paired receive's format 1 ends exactly where this one
  // starts: the format stays set and the start event is dropped.
  TileReceiveState continuing{1, 110, 0x999, 110, 110, true};
  const auto shared = scheduled_receive_window(*t, 100, 100, continuing);
  ASSERT_TRUE(shared.has_value());
  EXPECT_TRUE(shared->format_shared);
  ASSERT_EQ(shared->events.size(), 2u);
  EXPECT_EQ(shared->events[0], (ReceiveEvent{112, pic_word(0x100, 1), K::PairedPointer}));
  EXPECT_EQ(shared->events[1].cycle, 210u);

  TileReceiveState other_format = continuing;
  other_format.format = 2;
  EXPECT_FALSE(scheduled_receive_window(*t, 100, 100, other_format)->format_shared);
  TileReceiveState earlier_end = continuing;
  earlier_end.format_end = 109;
  EXPECT_FALSE(scheduled_receive_window(*t, 100, 100, earlier_end)->format_shared);
}

TEST(ReceiveWindow, SimultaneousControls) {
  // Source and pointer in one PicPair; the teardown follows `count` cycles
  // after the source.
  const Row pair_row = row({kSync3Word, delay_word(10), pic_pair_first_word(0x123, 5, 0, 0),
                            pic_pair_second_word(0x42, 0x123), xpic_word(0x640, 0), kReturnWord});
  const auto t = receive_row_timing(pair_row, 0);
  ASSERT_TRUE(t.has_value());
  EXPECT_TRUE(scheduled_receive_window(*t, 0, 8, std::nullopt).has_value());
  // count 0: the teardown lands on the source cycle too — three controls.
  expect_schedule_error(scheduled_receive_window(*t, 0, 0, std::nullopt),
                        "incompatible simultaneous receive controls");

  // Pointer together with the teardown: pointer at 53, stream of 52 words
  // from 1 ends at 53.
  const auto hundred = receive_row_timing(kReceiver100, 0);
  const auto w = scheduled_receive_window(*hundred, 0, 52, std::nullopt);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->events[1].cycle, 53u);
  EXPECT_EQ(w->events[2].cycle, 53u);

  // Source and teardown alone in one cycle are rejected.
  const Row mux_only =
      row({kSync3Word, xpic_word(7, 3), pic_word(0x10, 20), xpic_word(0x640, 0), kReturnWord});
  const auto m = receive_row_timing(mux_only, 0);
  ASSERT_TRUE(m.has_value());
  expect_schedule_error(scheduled_receive_window(*m, 0, 0, std::nullopt),
                        "incompatible simultaneous receive controls");
}

TEST(ReceiveWindow, Errors) {
  const auto t = receive_row_timing(kReceiver100, 0);
  expect_schedule_error(scheduled_receive_window(*t, kMax, 1, std::nullopt),
                        "receive offset overflow");
  expect_schedule_error(scheduled_receive_window(*t, kMax - 200, 300, std::nullopt),
                        "receive source timing overflow");
  expect_schedule_error(scheduled_receive_window(*t, kMax - 200, 150, std::nullopt),
                        "receive payload timing overflow");

  // A paired row whose pointer went missing.
  const auto no_pointer = receive_row_timing(
      row({kSync3Word, pic_word(0x40001, 0), pic_word(0x40000, 5), kReturnWord}), 0);
  ASSERT_TRUE(no_pointer.has_value());
  expect_schedule_error(scheduled_receive_window(*no_pointer, 0, 4, std::nullopt),
                        "receive pointer event");

  // A timing with neither source nor format start (built by hand: no row
  // produces one).
  ReceiveRowTiming bare;
  bare.pointer = 3;
  expect_schedule_error(scheduled_receive_window(bare, 0, 4, std::nullopt),
                        "receive source timing");
}

TEST(TransferTiming, HundredWordsFromTileZeroToTileOne) {
  const std::vector<uint16_t> receivers{1};
  const auto assembled = Topology::tarn().multicast(0, receivers, 100, 0);
  ASSERT_TRUE(assembled.has_value());
  EXPECT_EQ(assembled->sender, kSender100);
  ASSERT_EQ(assembled->receivers.size(), 1u);
  EXPECT_EQ(assembled->receivers[0], kReceiver100);

  std::vector<TileProgramSchedule> tiles(2);
  const auto timing = transfer_timing_at(tiles, 0, receivers, *assembled, 0, 100);
  ASSERT_TRUE(timing.has_value()) << timing.error().display();
  EXPECT_EQ(timing->send_start, 28u);
  EXPECT_EQ(timing->send_end, 128u);
  EXPECT_EQ(timing->sender_horizon, 128u);
  EXPECT_EQ(timing->pointer_cycles, std::vector<uint32_t>{53});
  EXPECT_EQ(timing->payload_ends, std::vector<uint32_t>{153});
  EXPECT_EQ(timing->receive_horizons, std::vector<uint32_t>{158});

  // The receiving tile's state decides the window: with the pointer already
  // in place the timing is unchanged, only the events are.
  tiles[1].receive_state = TileReceiveState{std::nullopt, std::nullopt, 0x50000, 0, 0, false};
  EXPECT_EQ(*transfer_timing_at(tiles, 0, receivers, *assembled, 0, 100), *timing);
}

TEST(TransferTiming, Errors) {
  const AssembledMulticast rows{{kReceiver100}, kSender100};
  std::vector<TileProgramSchedule> tiles(2);
  const std::vector<uint16_t> one{1};
  const std::vector<uint16_t> two{1, 0};
  expect_schedule_error(transfer_timing_at(tiles, 0, two, rows, 0, 100), "receiver row count");

  auto sender_out = transfer_timing_at(tiles, 2, one, rows, 0, 100);
  ASSERT_FALSE(sender_out.has_value());
  EXPECT_EQ(sender_out.error(), ExchangeError::tile(2));

  const std::vector<uint16_t> far{9};
  auto receiver_out = transfer_timing_at(tiles, 0, far, rows, 0, 100);
  ASSERT_FALSE(receiver_out.has_value());
  EXPECT_EQ(receiver_out.error(), ExchangeError::tile(9));

  // The sender row is timed first, and every send word takes a cycle.
  expect_schedule_error(transfer_timing_at(tiles, 0, one, rows, kMax, 100),
                        "sender event horizon overflow");
}

TEST(PhaseEventCycles, LargestTileHorizon) {
  std::vector<TileProgramSchedule> tiles(4);
  EXPECT_EQ(phase_event_cycles(tiles), 0u);
  EXPECT_EQ(phase_event_cycles({}), 0u);
  tiles[1].horizon = 17;
  tiles[3].horizon = 9;
  EXPECT_EQ(phase_event_cycles(tiles), 17u);
}

TEST(ReceiveEventKind, FromControlWord) {
  EXPECT_EQ(receive_event_kind(xpic_word(0x0123, 5)), K::Source);
  EXPECT_EQ(receive_event_kind(xpic_word(0x0640, 5)), K::Teardown);
  EXPECT_EQ(receive_event_kind(xpic_word(0x2123, 0)), K::PairedSource);
  EXPECT_EQ(receive_event_kind(xpic_word(0x2640, 0)), K::PairedTeardown);
  EXPECT_EQ(receive_event_kind(pic_word(0x14000, 51)), K::Pointer);
  EXPECT_EQ(receive_event_kind(pic_word(0x40002, 0)), K::Format);
  EXPECT_TRUE(is_xpic_event(K::PairedTeardown));
  EXPECT_FALSE(is_xpic_event(K::PairedPointer));
}

}  // namespace
}  // namespace tessel::exchange
