#include "exchange/builder.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "exchange/diagnostic.h"
#include "exchange/topology.h"
#include "exchange/words.h"

namespace tessel::exchange {
namespace {

using Tiles = std::vector<uint16_t>;
using Words = std::vector<uint32_t>;

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

// Full state of one tile, including the identity of its cached encodings.
void expect_same_tile(const TileProgramSchedule& a, const TileProgramSchedule& b, size_t tile,
                      bool compare_cache = true) {
  SCOPED_TRACE(testing::Message() << "tile " << tile);
  EXPECT_TRUE(a.sender_rows == b.sender_rows);
  EXPECT_TRUE(a.receive_events == b.receive_events);
  if (compare_cache) {
    EXPECT_EQ(a.encoding, b.encoding);
  }
  EXPECT_EQ(a.previous_encoding, b.previous_encoding);
  EXPECT_EQ(a.dirty_rows, b.dirty_rows);
  EXPECT_EQ(a.dirty_events, b.dirty_events);
  EXPECT_EQ(a.receive_state, b.receive_state);
  EXPECT_EQ(a.reserved_until, b.reserved_until);
  EXPECT_EQ(a.horizon, b.horizon);
}

void expect_same_tiles(const PhaseProgramBuilder& a, const PhaseProgramBuilder& b,
                       bool compare_cache = true) {
  ASSERT_EQ(a.tile_count(), b.tile_count());
  for (uint16_t t = 0; t < a.tile_count(); ++t) {
    expect_same_tile(a.tile(t), b.tile(t), t, compare_cache);
  }
}

// The encoding of a schedule built with nothing to resume from.
EncodedSchedule scratch_encoding(const TileProgramSchedule& tile) {
  TileProgramSchedule fresh = tile;
  fresh.encoding.reset();
  fresh.previous_encoding.reset();
  fresh.dirty_rows = 0;
  fresh.dirty_events = 0;
  auto encoded = fresh.encoded();
  EXPECT_TRUE(encoded.has_value()) << encoded.error().display();
  return encoded ? **encoded : EncodedSchedule{};
}

// Sets the receive pointer of a receiver row to byte address `address`, as the
// scheduler does for every route but point-to-point.
void patch_receive_pointer(Row& row, uint32_t address) {
  for (size_t i = 0; i < row.size(); ++i) {
    const uint32_t w = row[i];
    if ((w & 0xfc040000u) == 0x60000000u) {
      row[i] = (w & 0x63f80000u) | (address / 4);
      return;
    }
    if (w >= 0xf0000000u) {
      if ((w & 0x8000000u) == 0) {
        row[i + 1] = (row[i + 1] & ~0x3ffffu) | (address / 4);
        return;
      }
      ++i;
    }
  }
  FAIL() << "receiver row without a pointer";
}

std::vector<ReceiveEvent> events_of(const TileProgramSchedule& tile) {
  return tile.receive_events.to_vector();
}

ReceiveEvent event(uint32_t cycle, uint32_t word, ReceiveEventKind kind) {
  return ReceiveEvent{cycle, word, kind};
}

// Sender row Sync 3, Explicit(words, 1), Return: its send starts at the base.
Row plain_sender(uint32_t words) {
  return Row{kSync3Word, explicit_word(words, 1), kReturnWord, 0, 0, 0, 0, 0, 0};
}

// Receiver row with Source at +1, Pointer at +4 and the teardown word at +5.
Row quick_receiver() {
  return Row{
      kSync3Word, xpic_word(0, 0), pic_word(0x14000, 2), xpic_word(0x640, 0), kReturnWord, 0, 0, 0,
      0};
}

class BuilderTest : public testing::Test {
 protected:
  const Topology& tarn = Topology::tarn();

  AssembledMulticast multicast(uint16_t sender, Tiles receivers, uint32_t count) {
    auto rows = tarn.multicast(sender, receivers, count, 0);
    EXPECT_TRUE(rows.has_value());
    return *rows;
  }
};

// The 100-word transfer from logical tile 0 to logical tile 1, placed twice.
TEST_F(BuilderTest, HundredWordTransferPlacedTwice) {
  PhaseProgramBuilder builder(4);
  const Tiles receivers{1};
  const AssembledMulticast rows = multicast(0, receivers, 100);

  ASSERT_EQ(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 100, 0), 0u);
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, receivers, rows, 100, 0), 0u);
  ASSERT_TRUE(builder.staged().has_value());
  const SharedEncodedSchedule staged_receiver = builder.staged()->updates.at(1).second.encoding;
  ASSERT_NE(staged_receiver, nullptr);

  auto first = builder.append_transfer_at(0, {}, receivers, rows, 0, 100);
  ASSERT_TRUE(first.has_value()) << first.error().display();
  EXPECT_EQ(first->send_start, 28u);
  EXPECT_EQ(first->send_end, 128u);
  EXPECT_EQ(first->sender_horizon, 128u);
  EXPECT_EQ(first->pointer_cycles, (Words{53}));
  EXPECT_EQ(first->payload_ends, (Words{153}));
  EXPECT_EQ(first->receive_horizons, (Words{158}));
  EXPECT_FALSE(builder.staged().has_value());
  // The staged programs were installed, encodings included.
  EXPECT_EQ(builder.tile(1).encoding, staged_receiver);
  EXPECT_EQ(builder.tile(1).receive_state,
            (TileReceiveState{std::nullopt, std::nullopt, 0x50000 + 400, 101, 153, false}));

  // The second search moves the sender past the first row (128 - 28) and the
  // receiver past the first stream (101 - 1) and payload (153 - 53).
  ASSERT_EQ(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 100, 0), 100u);
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, receivers, rows, 100, 0), 100u);
  auto second = builder.append_transfer_at(0, {}, receivers, rows, 100, 100);
  ASSERT_TRUE(second.has_value()) << second.error().display();
  EXPECT_EQ(second->send_start, 128u);
  EXPECT_EQ(second->send_end, 228u);
  EXPECT_EQ(second->pointer_cycles, (Words{153}));
  EXPECT_EQ(second->payload_ends, (Words{253}));
  EXPECT_EQ(second->receive_horizons, (Words{258}));

  // The new Source replaced the old Teardown in cycle 101.
  EXPECT_EQ(events_of(builder.tile(1)),
            (std::vector<ReceiveEvent>{event(1, 0x64000000, ReceiveEventKind::Source),
                                       event(53, 0x61994000, ReceiveEventKind::Pointer),
                                       event(101, 0x64000000, ReceiveEventKind::Source),
                                       event(153, 0x61994000, ReceiveEventKind::Pointer),
                                       event(201, 0x640bc640, ReceiveEventKind::Teardown)}));
  EXPECT_EQ(builder.event_cycles(), 258u);

  auto finished = builder.finish();
  ASSERT_TRUE(finished.has_value()) << finished.error().display();
  EXPECT_EQ(finished->horizon, 258u);
  EXPECT_EQ(finished->tile_horizons, (Words{228, 258, 0, 0}));
  ASSERT_EQ(finished->programs.size(), 4u);
  EXPECT_EQ(finished->programs[0],
            (Words{0x40a0001b, 0x7fe00001, 0x74600001, 0x7fe00001, 0x74600001, 0x43a00000}));
  EXPECT_EQ(finished->programs[1], (Words{0x64000000, 0x61994000, 0x640bc000, 0x61994000,
                                          0x640bc640, 0x40a00038, 0x43a00000}));
  EXPECT_FALSE(finished->programs[2].has_value());
  EXPECT_FALSE(finished->programs[3].has_value());
}

TEST_F(BuilderTest, EmptyBuilderFinishesWithoutPrograms) {
  PhaseProgramBuilder builder(3);
  EXPECT_EQ(builder.event_cycles(), 0u);
  auto finished = builder.finish();
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->horizon, 0u);
  EXPECT_EQ(finished->tile_horizons, (Words{0, 0, 0}));
  EXPECT_EQ(finished->programs, (std::vector<std::optional<Words>>(3)));
  EXPECT_EQ(PhaseProgramBuilder(0).finish()->horizon, 0u);
}

// A receive whose pointer lies 4 cycles after its base, on a tile whose
// previous payload ends at 100, never starts below 96; the new Source meets
// the old Teardown, which the append removes.
TEST_F(BuilderTest, NextReceiveWaitsForPreviousPayload) {
  PhaseProgramBuilder builder(4);
  AssembledMulticast rows{{quick_receiver()}, plain_sender(1)};
  const Tiles receivers{2};
  ASSERT_TRUE(builder.append_transfer_at(0, {}, receivers, rows, 0, 96).has_value());
  EXPECT_EQ(builder.tile(2).receive_state->payload_end, 100u);
  EXPECT_EQ(builder.tile(2).receive_state->stream_end, 97u);

  for (uint32_t not_before : {0u, 50u, 95u, 96u}) {
    EXPECT_EQ(builder.earliest_transfer_offset_deferred(3, {}, receivers, rows, 96, not_before),
              96u);
  }
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(3, {}, receivers, rows, 96, 97), 97u);
  ASSERT_EQ(builder.earliest_transfer_offset(3, {}, receivers, rows, 96, 0), 96u);
  ASSERT_TRUE(builder.append_transfer_at(3, {}, receivers, rows, 96, 96).has_value());
  EXPECT_EQ(
      events_of(builder.tile(2)),
      (std::vector<ReceiveEvent>{event(1, xpic_word(0, 0), ReceiveEventKind::Source),
                                 event(4, pic_word(0x14000, 2), ReceiveEventKind::Pointer),
                                 event(97, xpic_word(0, 0), ReceiveEventKind::Source),
                                 event(100, pic_word(0x14000, 2), ReceiveEventKind::Pointer),
                                 event(193, xpic_word(0x640, 0), ReceiveEventKind::Teardown)}));
  EXPECT_TRUE(builder.finish().has_value());
}

// A sender whose tile has an incoming control at the send start or the cycle
// after it moves on one cycle at a time.
TEST_F(BuilderTest, SendAvoidsOwnIncomingControls) {
  PhaseProgramBuilder builder(4);
  AssembledMulticast into_one{{quick_receiver()}, plain_sender(1)};
  ASSERT_TRUE(builder.append_transfer_at(0, {}, Tiles{1}, into_one, 0, 10).has_value());
  // Tile 1 now has controls at 1, 4 and 11.
  AssembledMulticast from_one{{quick_receiver()}, plain_sender(1)};
  const Tiles receivers{2};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(1, {}, receivers, from_one, 1, 0), 2u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(1, {}, receivers, from_one, 1, 3), 5u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(1, {}, receivers, from_one, 1, 10), 12u);
  // Placing it anyway on the control is refused.
  PhaseProgramBuilder copy = builder;
  auto refused = copy.append_transfer_at(1, {}, receivers, from_one, 3, 1);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is_schedule("unencodable initial send control"));
  expect_same_tiles(copy, builder);
}

// Sender rows may lie back to back; one cycle of overlap is refused.
TEST_F(BuilderTest, SenderRowsMayTouchButNotOverlap) {
  PhaseProgramBuilder builder(4);
  const Tiles one{1};
  const Tiles two{2};
  const AssembledMulticast to_one = multicast(0, one, 100);  // sends over 28..128
  const AssembledMulticast to_two = multicast(0, two, 100);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, one, to_one, 0, 100).has_value());
  const uint32_t s0 = sender_row_timing(to_two.sender, 0)->send_start;

  PhaseProgramBuilder overlapping = builder;
  auto refused = overlapping.append_transfer_at(0, {}, two, to_two, 128 - s0 - 1, 100);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is_schedule("overlapping outgoing messages"));
  expect_same_tiles(overlapping, builder);

  // A row placed before it may end exactly where it starts.
  PhaseProgramBuilder before = builder;
  const AssembledMulticast short_row{{quick_receiver()}, plain_sender(28)};
  ASSERT_TRUE(before.append_transfer_at(0, {}, Tiles{3}, short_row, 0, 28).has_value());
  EXPECT_EQ(before.tile(0).sender_rows[0].end, 28u);
  EXPECT_EQ(before.tile(0).sender_rows[1].start, 28u);
  EXPECT_TRUE(before.finish().has_value());
  PhaseProgramBuilder late = builder;
  auto too_long = late.append_transfer_at(0, {}, Tiles{3}, short_row, 1, 28);
  ASSERT_FALSE(too_long.has_value());
  EXPECT_TRUE(too_long.error().is_schedule("overlapping outgoing messages"));

  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, two, to_two, 100, 0), 128 - s0);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, two, to_two, 128 - s0, 100).has_value());
  EXPECT_EQ(builder.tile(0).sender_rows[1].start, 128u);
  EXPECT_TRUE(builder.finish().has_value());
}

// A paired send holds its sender's partner idle until the sender row ends.
TEST_F(BuilderTest, BlockedPartnerIsHeldIdleAndGetsAProgram) {
  PhaseProgramBuilder builder(8);
  const Tiles receivers{2, 3};
  auto rows = tarn.paired_multicast(0, receivers, 64);
  ASSERT_TRUE(rows.has_value()) << rows.error().display();
  const Tiles partner{1};
  auto offset = builder.earliest_transfer_offset(0, partner, receivers, *rows, 64, 0);
  ASSERT_TRUE(offset.has_value()) << offset.error().display();
  auto timing = builder.append_transfer_at(0, partner, receivers, *rows, *offset, 64);
  ASSERT_TRUE(timing.has_value()) << timing.error().display();
  EXPECT_EQ(builder.tile(1).reserved_until, timing->sender_horizon);
  EXPECT_EQ(builder.tile(1).horizon, timing->sender_horizon);
  EXPECT_TRUE(builder.tile(1).sender_rows.empty());
  EXPECT_TRUE(builder.tile(1).receive_events.empty());

  // The partner may not send before its reservation ends, and a search for
  // another paired send of the same sender waits for the partner too.
  const AssembledMulticast from_partner{{quick_receiver()}, plain_sender(1)};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(1, {}, Tiles{4}, from_partner, 1, 0),
            timing->sender_horizon);

  auto finished = builder.finish();
  ASSERT_TRUE(finished.has_value()) << finished.error().display();
  ASSERT_TRUE(finished->programs[1].has_value());
  EXPECT_EQ(finished->programs[1], (Words{delay_word(timing->sender_horizon), kReturnWord}));
}

// Every failing append leaves every tile exactly as it was. The staged
// transfer survives only an error of the timing, which comes first.
TEST_F(BuilderTest, FailingAppendLeavesEveryTileAsItWas) {
  PhaseProgramBuilder builder(6);
  const AssembledMulticast hundred = multicast(0, Tiles{1}, 100);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, Tiles{1}, hundred, 0, 100).has_value());
  const AssembledMulticast paired = *tarn.paired_multicast(2, Tiles{4, 5}, 64);
  ASSERT_TRUE(builder.append_transfer_at(2, Tiles{3}, Tiles{4, 5}, paired, 200, 64).has_value());
  ASSERT_TRUE(builder.finish().has_value());  // every cache filled

  const AssembledMulticast to_two = multicast(0, Tiles{2}, 100);
  const AssembledMulticast plain{{quick_receiver()}, plain_sender(1)};
  const AssembledMulticast plain_twice{{quick_receiver(), quick_receiver()}, plain_sender(1)};
  AssembledMulticast broken_sender = plain;
  broken_sender.sender[0] = kReturnWord;

  struct Case {
    std::string name;
    uint16_t sender;
    Tiles blocked;
    Tiles receivers;
    AssembledMulticast rows;
    uint32_t offset;
    ExchangeError error;
    bool timing_error;
  };
  const std::vector<Case> cases = {
      {"receiver row count",
       0,
       {},
       {2, 3},
       plain,
       1000,
       ExchangeError::schedule("receiver row count"),
       true},
      {"sender out of range", 6, {}, {2}, plain, 1000, ExchangeError::tile(6), true},
      {"receiver out of range", 3, {}, {9}, plain, 1000, ExchangeError::tile(9), true},
      {"sender row",
       3,
       {},
       {2},
       broken_sender,
       1000,
       ExchangeError::schedule("sender row entry"),
       true},
      {"receiver twice", 3, {}, {2, 2}, plain_twice, 1000, ExchangeError::duplicate_tile(), false},
      {"blocked receiver", 3, {2}, {2}, plain, 1000, ExchangeError::duplicate_tile(), false},
      {"blocked sender", 3, {3}, {2}, plain, 1000, ExchangeError::duplicate_tile(), false},
      {"blocked twice", 3, {4, 4}, {2}, plain, 1000, ExchangeError::duplicate_tile(), false},
      {"blocked out of range", 3, {4, 7}, {2}, plain, 1000, ExchangeError::tile(7), false},
      {"overlapping sends",
       0,
       {},
       {2},
       to_two,
       50,
       ExchangeError::schedule("overlapping outgoing messages"),
       false},
      {"overlapping receives",
       3,
       {},
       {1},
       plain,
       50,
       ExchangeError::schedule("overlapping receive streams"),
       false},
      {"send on own control",
       1,
       {},
       {2},
       plain,
       52,
       ExchangeError::schedule("unencodable initial send control"),
       false},
      {"loopback overlapping receives",
       1,
       {},
       {2, 1},
       plain_twice,
       60,
       ExchangeError::schedule("overlapping receive streams"),
       false},
  };
  const Tiles stage_receivers{3};
  const AssembledMulticast stage_rows{{quick_receiver()}, plain_sender(1)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhaseProgramBuilder copy = builder;
    ASSERT_TRUE(copy.earliest_transfer_offset(4, {}, stage_receivers, stage_rows, 1, 0));
    ASSERT_TRUE(copy.staged().has_value());
    auto result = copy.append_transfer_at(c.sender, c.blocked, c.receivers, c.rows, c.offset, 8);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error) << result.error().display();
    expect_same_tiles(copy, builder);
    EXPECT_EQ(copy.staged().has_value(), c.timing_error);
  }
}

TEST_F(BuilderTest, StagedTransferIsUsedOnlyForTheSameCall) {
  PhaseProgramBuilder builder(4);
  const Tiles receivers{1};
  const AssembledMulticast rows = multicast(0, receivers, 100);
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, receivers, rows, 100, 0), 0u);
  ASSERT_EQ(builder.staged()->count, 100u);
  // Searching again with another count replaces the staged result.
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, receivers, rows, 99, 0), 0u);
  ASSERT_EQ(builder.staged()->count, 99u);
  const SharedEncodedSchedule staged_encoding = builder.staged()->updates[1].second.encoding;

  // An append that differs only in its count prepares again.
  ASSERT_TRUE(builder.append_transfer_at(0, {}, receivers, rows, 0, 98).has_value());
  EXPECT_FALSE(builder.staged().has_value());
  EXPECT_EQ(builder.tile(1).receive_state->stream_end, 99u);
  EXPECT_NE(builder.tile(1).encoding, staged_encoding);

  // The deferred search leaves the staged result alone.
  ASSERT_TRUE(builder.earliest_transfer_offset(2, {}, Tiles{3}, multicast(2, Tiles{3}, 5), 5, 0));
  ASSERT_TRUE(builder.staged().has_value());
  ASSERT_TRUE(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 100, 0));
  EXPECT_EQ(builder.staged()->sender, 2u);
}

TEST_F(BuilderTest, ValidationBudgetIsSharedAndNeverOverdrawn) {
  PhaseProgramBuilder builder = PhaseProgramBuilder(4).with_validation_budget(9);
  const Tiles one{1};
  const AssembledMulticast rows = multicast(0, one, 100);
  // Two empty tiles: one unit each.
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, one, rows, 100, 0), 0u);
  EXPECT_EQ(builder.validation_budget_remaining(), 7u);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, one, rows, 0, 100));

  // A copy draws from the same counter.
  PhaseProgramBuilder copy = builder;
  const AssembledMulticast other = multicast(2, Tiles{3}, 5);
  ASSERT_TRUE(copy.earliest_transfer_offset(2, {}, Tiles{3}, other, 5, 0));
  EXPECT_EQ(builder.validation_budget_remaining(), 5u);
  // A staged match costs nothing; the deferred search never pays.
  ASSERT_TRUE(copy.earliest_transfer_offset(2, {}, Tiles{3}, other, 5, 0));
  ASSERT_TRUE(copy.earliest_transfer_offset_deferred(0, {}, one, rows, 100, 0));
  EXPECT_EQ(builder.validation_budget_remaining(), 5u);

  // Tile 0 (1 row) and tile 1 (3 events) cost 2 + 4 = 6 > 5.
  auto exhausted = copy.earliest_transfer_offset(0, {}, one, rows, 100, 0);
  ASSERT_FALSE(exhausted.has_value());
  EXPECT_EQ(exhausted.error(), ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(builder.validation_budget_remaining(), 5u);
  ASSERT_TRUE(copy.staged().has_value());
  EXPECT_EQ(copy.staged()->sender, 2u);

  // A new budget replaces the counter of this builder only.
  PhaseProgramBuilder rebudgeted = PhaseProgramBuilder(copy).with_validation_budget(100);
  ASSERT_EQ(rebudgeted.earliest_transfer_offset(0, {}, one, rows, 100, 0), 100u);
  EXPECT_EQ(rebudgeted.validation_budget_remaining(), 94u);
  EXPECT_EQ(builder.validation_budget_remaining(), 5u);
  EXPECT_EQ(PhaseProgramBuilder(2).validation_budget_remaining(), std::nullopt);
}

// A receive whose pointer and teardown meet one cycle after its source needs
// a two-control word right after a one-word control, at an odd word index.
// Only once the source control needs a Delay word before it (a source more
// than 4096 cycles out) does the layout become even: the encodability check
// retries one cycle at a time up to there.
TEST_F(BuilderTest, EncodabilityCheckRetriesMisalignedPairs) {
  const Row tight{
      kSync3Word, xpic_word(0, 0), pic_word(0x14000, 0), xpic_word(0x640, 0), kReturnWord, 0, 0, 0,
      0};
  const AssembledMulticast rows{{tight}, plain_sender(1)};
  const Tiles receivers{1};
  PhaseProgramBuilder builder = PhaseProgramBuilder(2).with_validation_budget(1'000'000);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 1, 0), 0u);
  ASSERT_EQ(builder.earliest_transfer_offset(0, {}, receivers, rows, 1, 0), 4096u);
  EXPECT_EQ(builder.validation_budget_remaining(), 1'000'000u - 2 * 4097);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, receivers, rows, 4096, 1));
  auto finished = builder.finish();
  ASSERT_TRUE(finished.has_value()) << finished.error().display();
  EXPECT_EQ(finished->programs[1],
            (Words{delay_word(1), xpic_word(0, 4095), pic_pair_first_word(0x14000, 2, 0, 0),
                   pic_pair_second_word(0x640, 0x14000), kReturnWord}));

  // Deferred placement at 0 only fails when the phase is finished.
  PhaseProgramBuilder deferred(2);
  ASSERT_TRUE(deferred.append_transfer_at(0, {}, receivers, rows, 0, 1));
  auto unencodable = deferred.finish();
  ASSERT_FALSE(unencodable.has_value());
  EXPECT_TRUE(unencodable.error().is_schedule("SENDPICP instruction alignment"));

  // The retries are paid one check at a time.
  PhaseProgramBuilder poor = PhaseProgramBuilder(2).with_validation_budget(100);
  auto exhausted = poor.earliest_transfer_offset(0, {}, receivers, rows, 1, 0);
  ASSERT_FALSE(exhausted.has_value());
  EXPECT_EQ(exhausted.error(), ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(poor.validation_budget_remaining(), 0u);
}

TEST_F(BuilderTest, SearchErrors) {
  PhaseProgramBuilder builder(4);
  const Tiles one{1};
  const AssembledMulticast rows = multicast(0, one, 100);
  for (bool check : {false, true}) {
    SCOPED_TRACE(check ? "checked" : "deferred");
    auto search = [&](uint16_t sender, Tiles blocked, Tiles receivers, const AssembledMulticast& r,
                      uint32_t not_before) {
      return builder.earliest_transfer_offset_impl(sender, blocked, receivers, r, 100, not_before,
                                                   check);
    };
    EXPECT_EQ(search(0, {}, one, rows, kMax).error(),
              ExchangeError::schedule("send offset overflow"));
    EXPECT_EQ(search(0, {}, Tiles{1, 2}, rows, 0).error(),
              ExchangeError::schedule("receiver row count"));
    EXPECT_EQ(search(4, {}, one, rows, 0).error(), ExchangeError::tile(4));
    EXPECT_EQ(search(0, Tiles{5}, one, rows, 0).error(), ExchangeError::tile(5));
    EXPECT_EQ(search(0, {}, Tiles{6}, rows, 0).error(), ExchangeError::tile(6));
  }

  // On a tile that already received, a row without a pointer is refused by
  // the search itself; a row without a source already fails its timing.
  ASSERT_TRUE(builder.append_transfer_at(0, {}, one, rows, 0, 100));
  AssembledMulticast no_pointer{
      {Row{kSync3Word, xpic_word(0, 0), xpic_word(0x640, 3), kReturnWord, 0, 0, 0, 0, 0}},
      plain_sender(1)};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(2, {}, one, no_pointer, 4, 0).error(),
            ExchangeError::schedule("receive pointer event"));
  AssembledMulticast no_source{
      {Row{kSync3Word, pic_word(0, 3), xpic_word(0x640, 3), kReturnWord, 0, 0, 0, 0, 0}},
      plain_sender(1)};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(2, {}, one, no_source, 4, 0).error(),
            ExchangeError::schedule("incomplete ordinary receive mux"));
}

// ---------------------------------------------------------------------------
// Differential test: thousands of generated placements, each at the offset
// the search returns. Afterwards every tile's incrementally resumed encoding
// equals its encoding from scratch, and finish validates every tile.

struct Placement {
  uint16_t sender = 0;
  Tiles blocked;
  Tiles receivers;
  AssembledMulticast rows;
  uint32_t count = 0;
};

class PlacementGenerator {
 public:
  PlacementGenerator(const Topology& topology, uint64_t seed)
      : topology_(topology), rng_(seed), tiles_(static_cast<uint16_t>(topology.tile_count())) {}

  std::optional<Placement> next(const PhaseProgramBuilder& builder) {
    const uint32_t kind = pick(0, 9);
    if (kind >= 8) return paired(builder);
    Placement p;
    p.sender = tile();
    const uint32_t words = word_count();
    p.count = words;
    if (kind <= 2) {
      uint16_t receiver = other_than(p.sender);
      auto rows = topology_.point_to_point(p.sender, receiver, words);
      if (!rows) return std::nullopt;
      auto physical = topology_.physical(p.sender);
      auto row = finalize_point_receiver(rows->receiver, *physical);
      if (!row) return std::nullopt;
      p.receivers = {receiver};
      p.rows = AssembledMulticast{{*row}, rows->sender};
    } else {
      const bool loopback = kind >= 6;
      const uint32_t others = pick(1, loopback ? 2 : 3);
      if (loopback) p.receivers.push_back(p.sender);
      while (p.receivers.size() < others + (loopback ? 1 : 0)) {
        const uint16_t r = other_than(p.sender);
        if (std::ranges::find(p.receivers, r) == p.receivers.end()) p.receivers.push_back(r);
      }
      std::shuffle(p.receivers.begin(), p.receivers.end(), rng_);
      auto rows = topology_.multicast(p.sender, p.receivers, words, 0);
      if (!rows) return std::nullopt;
      p.rows = *rows;
      for (size_t i = 0; i < p.receivers.size(); ++i) {
        patch_receive_pointer(p.rows.receivers[i], pointer_for(builder, p.receivers[i]));
      }
    }
    if (!patch_sender_address(p.rows.sender, 4 * pick(0, 0x3ffff))) return std::nullopt;
    return p;
  }

 private:
  std::optional<Placement> paired(const PhaseProgramBuilder& builder) {
    Placement p;
    p.sender = tile();
    const uint16_t partner = p.sender ^ 1;
    p.blocked = {partner};
    const uint32_t pairs = pick(1, 2);
    while (p.receivers.size() < 2 * pairs) {
      const uint16_t r = tile() & ~uint16_t{1};
      if (r == (p.sender & ~uint16_t{1}) || std::ranges::find(p.receivers, r) != p.receivers.end())
        continue;
      p.receivers.push_back(r);
      p.receivers.push_back(r + 1);
    }
    p.count = pick(64, 160);
    auto rows = topology_.paired_multicast(p.sender, p.receivers, p.count);
    if (!rows) return std::nullopt;
    p.rows = *rows;
    for (size_t i = 0; i < p.receivers.size(); ++i) {
      patch_receive_pointer(p.rows.receivers[i], pointer_for(builder, p.receivers[i]));
    }
    if (!patch_sender_address(p.rows.sender, 8 * pick(0, 0x1ffff))) return std::nullopt;
    return p;
  }

  // Half the receives continue where the tile's pointer stands.
  uint32_t pointer_for(const PhaseProgramBuilder& builder, uint16_t receiver) {
    const auto& state = builder.tile(receiver).receive_state;
    if (state && state->next_address && *state->next_address <= 0xffffc && pick(0, 1) == 0) {
      return *state->next_address;
    }
    return 4 * pick(0, 0x3ffff);
  }

  uint32_t word_count() {
    const uint32_t band = pick(0, 9);
    if (band < 5) return pick(1, 64);
    if (band < 9) return pick(65, 300);
    return pick(301, 1200);
  }
  uint32_t pick(uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
  }
  uint16_t tile() { return static_cast<uint16_t>(pick(0, tiles_ - 1u)); }
  uint16_t other_than(uint16_t t) {
    for (;;) {
      const uint16_t r = tile();
      if (r != t) return r;
    }
  }

  const Topology& topology_;
  std::mt19937_64 rng_;
  uint16_t tiles_;
};

void expect_incremental_equals_scratch(const PhaseProgramBuilder& builder) {
  for (uint16_t t = 0; t < builder.tile_count(); ++t) {
    SCOPED_TRACE(testing::Message() << "tile " << t);
    const TileProgramSchedule& tile = builder.tile(t);
    auto incremental = tile.encoded();
    ASSERT_TRUE(incremental.has_value()) << incremental.error().display();
    const EncodedSchedule scratch = scratch_encoding(tile);
    EXPECT_TRUE((*incremental)->words == scratch.words);
    EXPECT_TRUE((*incremental)->checkpoints == scratch.checkpoints);
  }
}

TEST(BuilderDifferentialTest, SearchedPlacementsEncodeIncrementallyAsFromScratch) {
  const Topology topology = *Topology::tarn_prefix(12);
  for (uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    PlacementGenerator generator(topology, seed);
    std::mt19937_64 rng(seed * 7919);
    PhaseProgramBuilder builder = PhaseProgramBuilder(12).with_validation_budget(uint64_t{1} << 40);
    std::map<std::string, int> refusals;
    std::map<std::string, int> coverage;
    int placed = 0;
    int retried = 0;
    int resumed = 0;
    for (int step = 0; step < 1500; ++step) {
      std::optional<Placement> p = generator.next(builder);
      if (!p) {
        ++refusals["topology"];
        continue;
      }
      const uint32_t horizon = builder.event_cycles();
      const uint32_t not_before =
          rng() % 2 ? 0 : std::uniform_int_distribution<uint32_t>(0, horizon)(rng);

      const PhaseProgramBuilder before = builder;
      auto deferred = builder.earliest_transfer_offset_deferred(p->sender, p->blocked, p->receivers,
                                                                p->rows, p->count, not_before);
      auto offset = builder.earliest_transfer_offset(p->sender, p->blocked, p->receivers, p->rows,
                                                     p->count, not_before);
      if (!offset) {
        ++refusals[offset.error().display()];
        // A loopback receive moves with its own send, so when one of its
        // controls lands inside the new message where no send word can carry
        // it, no offset helps and the check reports it.
        EXPECT_TRUE(offset.error().is_schedule("unencodable initial send control"))
            << offset.error().display();
        EXPECT_NE(std::ranges::find(p->receivers, p->sender), p->receivers.end());
        expect_same_tiles(builder, before, /*compare_cache=*/false);
        continue;
      }
      ASSERT_TRUE(deferred.has_value()) << deferred.error().display();
      ASSERT_LE(*deferred, *offset);
      ASSERT_GE(*deferred, not_before);
      if (*offset != *deferred) ++retried;
      ASSERT_TRUE(builder.staged().has_value());
      ASSERT_TRUE(builder.staged()->matches(p->sender, p->receivers, p->rows, *offset, p->count));

      // An append at some other offset either works or changes nothing.
      if (step % 5 == 0 && *offset > 0) {
        PhaseProgramBuilder trial = builder;
        const uint32_t other = static_cast<uint32_t>(rng() % *offset);
        if (!trial.append_transfer_at(p->sender, p->blocked, p->receivers, p->rows, other,
                                      p->count)) {
          expect_same_tiles(trial, builder);
        }
      }

      auto timing = builder.transfer_timing_at(p->sender, p->receivers, p->rows, *offset, p->count);
      ASSERT_TRUE(timing.has_value()) << timing.error().display();
      for (const auto& [tile, schedule] : builder.staged()->updates) {
        if (schedule.previous_encoding) ++resumed;
      }
      // What this placement exercises.
      {
        const TileProgramSchedule& source = builder.tile(p->sender);
        if (source.rows_starting_before(timing->send_start) < source.sender_rows.len()) {
          ++coverage["send before a placed send"];
        }
        if (!p->blocked.empty()) ++coverage["paired"];
        for (size_t i = 0; i < p->receivers.size(); ++i) {
          const TileProgramSchedule& tile = builder.tile(p->receivers[i]);
          if (p->receivers[i] == p->sender) ++coverage["loopback"];
          const ReceiveRowTiming row = *receive_row_timing(p->rows.receivers[i], 0);
          const ScheduledReceiverWindow window =
              *scheduled_receive_window(row, *offset, p->count, tile.receive_state);
          if (window.format_shared) ++coverage["format continued"];
          if (row.pointer && std::ranges::none_of(window.events, [](const ReceiveEvent& e) {
                return e.kind == ReceiveEventKind::Pointer ||
                       e.kind == ReceiveEventKind::PairedPointer;
              })) {
            ++coverage["pointer in place"];
          }
          if (tile.receive_state && window.source_cycle == tile.receive_state->stream_end) {
            ++coverage["stream continued"];
          }
        }
      }
      auto appended = builder.append_transfer_at(p->sender, p->blocked, p->receivers, p->rows,
                                                 *offset, p->count);
      ASSERT_TRUE(appended.has_value()) << appended.error().display();
      EXPECT_EQ(*appended, *timing);
      ++placed;
      if (step % 250 == 0) expect_incremental_equals_scratch(builder);
      if (testing::Test::HasFatalFailure()) return;
    }
    expect_incremental_equals_scratch(builder);
    auto finished = builder.finish();
    ASSERT_TRUE(finished.has_value()) << finished.error().display();
    EXPECT_EQ(finished->horizon, builder.event_cycles());
    for (uint16_t t = 0; t < builder.tile_count(); ++t) {
      if (builder.tile(t).horizon == 0) continue;
      ASSERT_TRUE(finished->programs[t].has_value());
      EXPECT_EQ(*finished->programs[t], scratch_encoding(builder.tile(t)).words.to_vector());
    }
    EXPECT_GT(placed, 1000);
    EXPECT_GT(resumed, placed);
    for (const char* what : {"send before a placed send", "paired", "loopback", "format continued",
                             "pointer in place", "stream continued"}) {
      EXPECT_GT(coverage[what], 0) << what;
    }
    std::string summary;
    for (const auto& [what, n] : coverage) summary += fmt::format(" [{}: {}]", what, n);
    summary += " refused";
    for (const auto& [what, n] : refusals) summary += fmt::format(" [{}: {}]", what, n);
    RecordProperty("placed", placed);
    RecordProperty("retried", retried);
    std::printf("seed %llu: placed %d, alignment retries %d,%s\n",
                static_cast<unsigned long long>(seed), placed, retried, summary.c_str());
  }
}

}  // namespace
}  // namespace tessel::exchange
