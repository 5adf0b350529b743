#include "exchange/topology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

#include "support/events.h"

namespace tessel::exchange {
namespace {

using Receivers = std::vector<uint16_t>;

const Topology& tarn() {
  return Topology::tarn();
}

// Row padded with zeros to nine words.
Row row(std::initializer_list<uint32_t> words) {
  Row r{};
  std::copy(words.begin(), words.end(), r.begin());
  return r;
}

// Cycles from the Sync to the Return of a row.
uint64_t row_cycles(const Row& r) {
  uint64_t cycles = 0;
  for (uint32_t w : r) {
    if (w == kReturnWord) break;
    cycles += word_cycles(w);
  }
  return cycles;
}

template <typename T>
ExchangeError error_of(const std::expected<T, ExchangeError>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? ExchangeError::host_packet() : result.error();
}

// ---------------------------------------------------------------------------
// Instruction words

TEST(Words, ShorthandsMatchTheirLayouts) {
  EXPECT_EQ(delay_word(1), 0x40a00000u);
  EXPECT_EQ(delay_word(0x80000), 0x40a7ffffu);
  EXPECT_EQ(xpic_word(0, 112), 0x641c0000u);
  EXPECT_EQ(pic_word(0x14000, 50), 0x61914000u);
  EXPECT_EQ(pic_word(0, 128 + 50), pic_word(0, 50));  // the delay field wraps
  EXPECT_EQ(explicit_word(64, 1), 0x7fe00001u);
  EXPECT_EQ(offset_word(36, 1), 0x74600001u);
  EXPECT_EQ(offset_word(4096, 3), 0x77efc003u);
  EXPECT_EQ(offset_word_count(offset_word(4096, 3)), 4096u);
  EXPECT_EQ(offset_word_count(offset_word(65, 3)), 65u);
  EXPECT_EQ(sync_word(3), kSync3Word);
  // A PIC control with pointer bit 18 set keeps it in bit 27 of the pair.
  const uint32_t first = pic_pair_first_word(pic_word(0x40001, 9), 2, 5, 0);
  const uint32_t second = pic_pair_second_word(xpic_word(0x2abc, 7), pic_word(0x40001, 9));
  EXPECT_EQ(first, 0xf8200028u);
  EXPECT_EQ(pic_pair_pic_value(first, second), 0x40001u);
  EXPECT_EQ(pic_pair_xpic_value(second), 0x2abcu);
  EXPECT_EQ(pic_send_control_value(pic_send_word(3, pic_send_operand_for_xpic(0x2001))), 0x2001u);
  EXPECT_EQ(pic_send_control_value(pic_send_word(3, pic_send_operand_for_pic(0x40004))), 0x40004u);
}

TEST(Words, ClassificationFollowsTheRuleOrder) {
  struct Case {
    uint32_t word;
    WordKind kind;
    uint32_t cycles;
  };
  const Case cases[] = {
      {0x43a00000, WordKind::Return, 0},     {0x40a00000, WordKind::Delay, 1},
      {0x40a7ffff, WordKind::Delay, 524288}, {0x40a80000, WordKind::Unknown, 0},
      {0x641c0000, WordKind::Xpic, 113},     {0x67ffffff, WordKind::Xpic, 4096},
      {0x61900000, WordKind::Pic, 51},       {0x63ffffff, WordKind::Pic, 128},
      {0xf0000000, WordKind::PicPair, 1},    {0xffffffff, WordKind::PicPair, 64},
      {0x70100000, WordKind::SendPic, 1},    {0x77f00000, WordKind::SendPic, 64},
      {0x78000001, WordKind::Explicit, 1},   {0x7fe00009, WordKind::Explicit, 64},
      {0x74600001, WordKind::Offset, 36},    {0x70000000, WordKind::Offset, 1},
      {0x41800003, WordKind::Sync, 0},       {0x418000ff, WordKind::Sync, 0},
      {0x41800100, WordKind::Unknown, 0},    {0x00000000, WordKind::Unknown, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(classify_word(c.word), c.kind);
    EXPECT_EQ(word_cycles(c.word), c.cycles);
  }
  EXPECT_EQ(send_word_count(0x74600001), 36u);
  EXPECT_EQ(send_word_count(0x7fe00009), 64u);
  EXPECT_EQ(address_operand(0x7fe00009), 1u);
  EXPECT_EQ(send_control(0x7fe00009), 1u);
}

// ---------------------------------------------------------------------------
// Tile table

TEST(Tarn, KnownEntries) {
  const auto& ids = tarn().physical_tiles();
  ASSERT_EQ(tarn().tile_count(), 1472u);
  EXPECT_EQ(Receivers(ids.begin(), ids.begin() + 6), (Receivers{0, 2, 64, 66, 128, 130}));
  EXPECT_EQ(Receivers(ids.begin() + 44, ids.begin() + 50),
            (Receivers{1408, 1410, 1409, 1411, 1345, 1347}));
  EXPECT_EQ(ids[1471], 63);
  EXPECT_EQ(tarn().physical(46), 1409);
  EXPECT_EQ(tarn().physical(47), 1411);
  EXPECT_EQ(tarn().paired_logical(46), 47);
  EXPECT_EQ(error_of(tarn().physical(1472)), ExchangeError::tile(1472));
  EXPECT_EQ(error_of(tarn().paired_logical(1472)), ExchangeError::tile(1472));
  EXPECT_EQ(&Topology::tarn(), &tarn());
}

TEST(Tarn, IsAPermutationWithPartnersOnNeighbouringLogicalTiles) {
  std::vector<uint16_t> sorted = tarn().physical_tiles();
  std::sort(sorted.begin(), sorted.end());
  for (uint16_t i = 0; i < 1472; ++i) ASSERT_EQ(sorted[i], i);
  for (uint16_t l = 0; l < 1472; ++l) {
    ASSERT_EQ(tarn().paired_logical(l), static_cast<uint16_t>(l ^ 1)) << l;
  }
}

TEST(Tarn, MuxTimesOfDistinctTilesStayWithinSenderReach) {
  const auto& ids = tarn().physical_tiles();
  int32_t lo = INT32_MAX;
  int32_t hi = INT32_MIN;
  for (uint16_t a : ids) {
    for (uint16_t b : ids) {
      if (a == b) continue;
      const int32_t t = Topology::time_to_mux(a, b);
      lo = std::min(lo, t);
      hi = std::max(hi, t);
    }
  }
  EXPECT_EQ(lo, -78);
  EXPECT_EQ(hi, 112);
}

TEST(Tarn, PrefixesAreTheFirstEntriesOfTheTable) {
  const auto prefix = Topology::tarn_prefix(5);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->physical_tiles(), (Receivers{0, 2, 64, 66, 128}));
  EXPECT_EQ(Topology::tarn_prefix(1472), tarn());
  // An odd tile count leaves the last tile without its partner.
  EXPECT_EQ(error_of(prefix->paired_logical(4)), ExchangeError::tile(4));
  EXPECT_EQ(prefix->paired_logical(3), 2);
  EXPECT_EQ(error_of(Topology::tarn_prefix(0)), ExchangeError::receiver_set());
  // Past the table the formula repeats identifiers.
  EXPECT_EQ(error_of(Topology::tarn_prefix(1473)), ExchangeError::receiver_set());
}

TEST(Topology, CreateRejectsEmptyAndRepeatedTablesAndKeepsOrder) {
  EXPECT_EQ(error_of(Topology::create({})), ExchangeError::receiver_set());
  EXPECT_EQ(error_of(Topology::create({5, 7, 5})), ExchangeError::receiver_set());
  const auto t = Topology::create({9, 5, 7});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->tile_count(), 3u);
  EXPECT_EQ(t->physical(0), 9);
  EXPECT_EQ(t->physical(2), 7);
  EXPECT_EQ(t->paired_logical(1), 2);  // 5 ^ 2 == 7
  EXPECT_EQ(t->paired_logical(2), 1);
  EXPECT_EQ(error_of(t->paired_logical(0)), ExchangeError::tile(0));  // 9 ^ 2 == 11 absent
}

TEST(Topology, Geometry) {
  EXPECT_EQ(Topology::time_to_mux(0, 2), -28);
  EXPECT_EQ(Topology::direction(0, 2), (Direction{1, 2}));
  EXPECT_EQ(Topology::time_to_mux(0, 64), -31);
  EXPECT_EQ(Topology::time_to_mux(0, 66), -30);
  EXPECT_EQ(Topology::time_to_mux(1408, 0), 15);
  EXPECT_EQ(Topology::time_to_mux(1504, 0), 114);
  // Sending back towards lower mirrored positions gives a non-positive delta.
  EXPECT_EQ(Topology::direction(1408 + 12, 1408).code, 2);
  EXPECT_LE(Topology::direction(1408 + 12, 1408).delta, 0);
}

// ---------------------------------------------------------------------------
// Point-to-point

TEST(PointToPoint, SingleWordOnTarn) {
  const auto p = tarn().point_to_point(0, 1, 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->sender, row({0x41800003, 0x40a0008b, 0x78000001, 0x43a00000}));
  EXPECT_EQ(p->receiver.patch_index, 1u);
  EXPECT_EQ(p->receiver.words, (std::array<uint32_t, 8>{0x41800003, 0x641c0000, 0x64000640,
                                                        0x61900000, 0x40a00005, 0x43a00000, 0, 0}));
  const auto r = finalize_point_receiver(p->receiver, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, row({0x41800003, 0x641c0000, 0x64000640, 0x61900000, 0x40a00005, 0x43a00000}));
  // The sender starts at 112 - h and the receiver switches 112 cycles in.
  EXPECT_EQ(row_cycles(p->sender), 140u + 1);
}

TEST(PointToPoint, LongMessagesSplitAndUseTheLongReceiverForm) {
  const auto p = tarn().point_to_point(0, 1, 100);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->sender, row({0x41800003, 0x40a0008b, 0x7fe00001, 0x74600001, 0x43a00000}));
  EXPECT_EQ(p->receiver.words, (std::array<uint32_t, 8>{0x41800003, 0x641c0000, 0x61980000,
                                                        0x640bc640, 0x40a00038, 0x43a00000, 0, 0}));
}

TEST(PointToPoint, SenderDelayTailAndLimit) {
  // h = 114: the sender would have to start before the sync.
  const auto far = Topology::create({1504, 0});
  ASSERT_TRUE(far);
  EXPECT_EQ(error_of(far->point_to_point(0, 1, 1)), ExchangeError::schedule("sender delay"));

  // h = 112 (found on tarn): no leading Delay, and a short message is padded
  // so that the sender's program reaches the receiver's switch.
  const auto& ids = tarn().physical_tiles();
  bool found = false;
  for (uint16_t s = 0; s < 1472 && !found; ++s) {
    for (uint16_t r = 0; r < 1472 && !found; ++r) {
      if (s == r || Topology::time_to_mux(ids[s], ids[r]) != 112) continue;
      found = true;
      const auto p = tarn().point_to_point(s, r, 2);
      ASSERT_TRUE(p);
      const uint32_t d = Topology::direction(ids[s], ids[r]).code;
      EXPECT_EQ(p->sender, row({kSync3Word, explicit_word(2, d), delay_word(4), kReturnWord}));
    }
  }
  EXPECT_TRUE(found);
}

TEST(PointToPoint, CountFiftyTwoAndFiftyThreeShareTheTeardownField) {
  const auto p51 = tarn().point_to_point(0, 2, 51);
  const auto p52 = tarn().point_to_point(0, 2, 52);
  const auto p53 = tarn().point_to_point(0, 2, 53);
  ASSERT_TRUE(p51 && p52 && p53);
  EXPECT_EQ(p51->receiver.words[2], xpic_word(0x640, 50));
  EXPECT_EQ(p51->receiver.words[3], pic_word(0, 2 * 1));  // tile row 1
  EXPECT_EQ(p52->receiver.words[3], xpic_word(0x640, 0));
  EXPECT_EQ(p53->receiver.words[3], xpic_word(0x640, 0));
  EXPECT_EQ(p52->receiver.words[2], pic_word(0, 2 * 1 + 51));
}

TEST(PointToPoint, FailuresInCheckOrder) {
  struct Case {
    uint16_t s, r;
    uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, 1, 0, ExchangeError::count(0)},
      {0, 1, 4149, ExchangeError::count(4149)},
      {1500, 1500, 0, ExchangeError::count(0)},
      {5, 5, 1, ExchangeError::duplicate_tile()},
      {1500, 1500, 1, ExchangeError::duplicate_tile()},
      {1472, 1500, 1, ExchangeError::tile(1472)},
      {0, 1472, 1, ExchangeError::tile(1472)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << "->" << c.r << " x" << c.count);
    EXPECT_EQ(error_of(tarn().point_to_point(c.s, c.r, c.count)), c.error);
  }
  EXPECT_TRUE(tarn().point_to_point(0, 1, 4148));
}

TEST(PointToPoint, FinalizeWritesTheSenderIntoThePatchWord) {
  PointReceiverTemplate t = tarn().point_to_point(0, 1, 1)->receiver;
  const auto r = finalize_point_receiver(t, 0x1fff);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[1], 0x641c1fffu);
  EXPECT_EQ((*r)[8], 0u);
  EXPECT_EQ(error_of(finalize_point_receiver(t, 8192)),
            ExchangeError::schedule("point receiver patch index"));
  t.patch_index = 8;
  EXPECT_EQ(error_of(finalize_point_receiver(t, 0)),
            ExchangeError::schedule("point receiver patch index"));
  t.patch_index = 7;
  EXPECT_EQ((*finalize_point_receiver(t, 5))[7], 5u);
}

// ---------------------------------------------------------------------------
// Multicast

TEST(Multicast, TwoReceiversStartAtTheLatestMux) {
  const Receivers receivers{1, 2};
  const auto m = tarn().multicast(0, receivers, 1, 0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, row({0x41800003, 0x40a0001e, 0x78000003, 0x43a00000}));
  ASSERT_EQ(m->receivers.size(), 2u);
  EXPECT_EQ(m->receivers[0],
            row({0x41800003, 0x6400c000, 0x64000640, 0x61914000, 0x40a00005, 0x43a00000}));
  EXPECT_EQ(m->receivers[1],
            row({0x41800003, 0x64000000, 0x64000640, 0x61a14000, 0x40a00005, 0x43a00000}));
}

TEST(Multicast, LongMessageToOneReceiver) {
  const Receivers receivers{1};
  const auto m = tarn().multicast(0, receivers, 100, 0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, row({0x41800003, 0x40a0001b, 0x7fe00001, 0x74600001, 0x43a00000}));
  ASSERT_EQ(m->receivers.size(), 1u);
  EXPECT_EQ(m->receivers[0],
            row({0x41800003, 0x64000000, 0x61994000, 0x640bc640, 0x40a00038, 0x43a00000}));
}

TEST(Multicast, ShortSendIsPaddedToSixCyclesAndOffsetDelaysEverything) {
  // Receiver mux 15 > 0: no start delay, so one word must be padded by five.
  const Receivers one{0};
  const auto m = tarn().multicast(44, one, 1, 0);
  ASSERT_TRUE(m);
  const uint32_t d = Topology::direction(1408, 0).code;
  EXPECT_EQ(m->sender, row({kSync3Word, explicit_word(1, d), delay_word(5), kReturnWord}));
  EXPECT_EQ(m->receivers[0][1], xpic_word(1408, 15));

  const auto shifted = tarn().multicast(44, one, 1, 10);
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->sender, row({kSync3Word, delay_word(10), explicit_word(1, d), kReturnWord}));
  EXPECT_EQ(shifted->receivers[0][1], xpic_word(1408, 25));

  // Loopback receive inside a larger list, and the count forms.
  const Receivers loop{0, 1};
  EXPECT_TRUE(tarn().multicast(0, loop, 52, 0));
  const Receivers r1{1};
  EXPECT_EQ(tarn().multicast(0, r1, 52, 0)->receivers[0][3],
            tarn().multicast(0, r1, 53, 0)->receivers[0][3]);
  EXPECT_EQ(tarn().multicast(0, r1, 52, 0)->receivers[0][3], xpic_word(0x640, 0));
}

TEST(Multicast, ScheduleLimits) {
  const Receivers r1{1};
  // H = 28 + offset; 4095 is the last start cycle a Delay-free start allows.
  EXPECT_TRUE(tarn().multicast(0, r1, 1, 4067));
  EXPECT_EQ(error_of(tarn().multicast(0, r1, 1, 4068)),
            ExchangeError::schedule("multicast start cycle"));
  EXPECT_EQ(error_of(tarn().multicast(0, r1, 1, UINT32_MAX)),
            ExchangeError::schedule("multicast start cycle"));
  // Receiver mux 15 with the start at 4095 puts its switch past the field.
  const Receivers r0{0};
  EXPECT_TRUE(tarn().multicast(44, r0, 1, 4080));
  EXPECT_EQ(error_of(tarn().multicast(44, r0, 1, 4081)),
            ExchangeError::schedule("multicast receive cycle"));
}

TEST(Multicast, FailuresInCheckOrder) {
  struct Case {
    uint16_t s;
    Receivers receivers;
    uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {0, {1}, 0, ExchangeError::count(0)},
      {0, {1}, 4149, ExchangeError::count(4149)},
      {1500, {}, 0, ExchangeError::count(0)},
      {1500, {}, 1, ExchangeError::tile(1500)},
      {0, {}, 1, ExchangeError::receiver_set()},
      {3, {3}, 1, ExchangeError::receiver_set()},
      {0, {1, 1}, 1, ExchangeError::receiver_set()},
      {0, {2, 1, 2}, 1, ExchangeError::receiver_set()},
      {0, {1472}, 1, ExchangeError::receiver_set()},
      {0, {1, 1472}, 1, ExchangeError::receiver_set()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << " x" << c.count);
    EXPECT_EQ(error_of(tarn().multicast(c.s, c.receivers, c.count, 0)), c.error);
  }
}

// ---------------------------------------------------------------------------
// Paired multicast

TEST(PairedMulticast, OnePairOfReceivers) {
  // Sender 0 (physical 0) to logical 2 and 3 (physical 64 and 66): mux -31
  // and -30, so earliest = -30, shift = 31 and P = 1 for both. Only 64, the
  // tile reached first, selects the pair's source; both format the stream
  // from U = 1 + 2 * row + 51 = 54 and point at U + 2.
  const Receivers receivers{2, 3};
  const auto m = tarn().paired_multicast(0, receivers, 64);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, row({0x41800003, 0x40a0001e, 0x7fe00005, 0x43a00000}));
  ASSERT_EQ(m->receivers.size(), 2u);
  // Events 1 (source), 54 (format), 56 (pointer), 65 (teardown), 118 (end).
  EXPECT_EQ(m->receivers[0], (Row{0x41800003, 0x64002000, 0x61a40001, 0x60080000, 0x64022640,
                                  0x61a40000, 0x40a00006, 0x43a00000, 0}));
  // Events 54 (format), 56 (pointer), 118 (end).
  EXPECT_EQ(m->receivers[1],
            row({0x41800003, 0x61ac0001, 0x60080000, 0x61ec0000, 0x40a00006, 0x43a00000}));
  for (const Row& r : m->receivers) {
    EXPECT_EQ(r[0], kSync3Word);
    EXPECT_EQ(row_cycles(r), 118u + 7);
  }
  for (uint16_t r : receivers) {
    EXPECT_EQ(tarn().paired_receiver_row(0, r, 64, -30), m->receivers[r == 2 ? 0 : 1]);
  }

  const auto longer = tarn().paired_multicast(0, receivers, 100);
  ASSERT_TRUE(longer);
  EXPECT_EQ(longer->sender, row({0x41800003, 0x40a0001e, 0x7fe00005, 0x74600005, 0x43a00000}));
  EXPECT_EQ(row_cycles(longer->receivers[0]), 54u + 100 + 7);
}

TEST(PairedMulticast, SeveralPairsUseControlSeven) {
  const Receivers receivers{5, 4, 2, 3};
  const auto m = tarn().paired_multicast(0, receivers, 64);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->receivers.size(), 4u);
  EXPECT_EQ(m->sender[2], explicit_word(64, 7));
  // earliest = min(max(-31, -30), max(-33, -32)) = -32, so shift = 33: the
  // row-2 pair starts at P = 1, the row-1 pair at P = 3, and both reach
  // U = P + 2 * row + 51 = 56, ending 7 cycles after U + 64.
  for (size_t i = 0; i < receivers.size(); ++i) {
    const Row& r = m->receivers[i];
    EXPECT_EQ(r[0], kSync3Word);
    const auto ret = std::find(r.begin(), r.end(), kReturnWord);
    ASSERT_NE(ret, r.end());
    EXPECT_TRUE(std::all_of(ret + 1, r.end(), [](uint32_t w) { return w == 0; }));
    EXPECT_EQ(row_cycles(r), 56u + 64 + 7) << i;
  }
  // Only the tile of each pair that the stream reaches first selects the source.
  EXPECT_EQ(m->receivers[0][1], pic_word(0x40001, 55));  // 130: format start
  EXPECT_EQ(m->receivers[1][1], xpic_word(0x2000, 0));   // 128: source at 1
  EXPECT_EQ(m->receivers[2][1], xpic_word(0x2000, 2));   // 64: source at 3
  EXPECT_EQ(m->receivers[3][1], pic_word(0x40001, 55));  // 66: format start
}

TEST(PairedMulticast, FailuresInCheckOrder) {
  const auto five = Topology::tarn_prefix(5);
  ASSERT_TRUE(five);
  struct Case {
    const Topology* topology;
    uint16_t s;
    Receivers receivers;
    uint32_t count;
    ExchangeError error;
  };
  const Case cases[] = {
      {&tarn(), 0, {2, 3}, 63, ExchangeError::count(63)},
      {&tarn(), 0, {2, 3}, 0, ExchangeError::count(0)},
      {&tarn(), 0, {2, 3}, 4149, ExchangeError::count(4149)},
      {&tarn(), 1472, {2}, 63, ExchangeError::count(63)},
      {&tarn(), 1472, {2}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {2, 3, 4}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {2, 2}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {0, 3}, 64, ExchangeError::receiver_set()},
      {&tarn(), 1472, {2, 3}, 64, ExchangeError::tile(1472)},
      {&*five, 4, {2, 3}, 64, ExchangeError::tile(4)},
      {&tarn(), 0, {1, 4, 2, 3}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {2, 4}, 64, ExchangeError::receiver_set()},
      {&tarn(), 0, {2, 1472}, 64, ExchangeError::receiver_set()},
      {&*five, 0, {2, 4}, 64, ExchangeError::receiver_set()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << " x" << c.count << " [" << c.receivers.size() << "]");
    EXPECT_EQ(error_of(c.topology->paired_multicast(c.s, c.receivers, c.count)), c.error);
  }
}

TEST(PairedMulticast, CoincidentControlsAreRejected) {
  // Logical 14 is physical 448 (row 7): its teardown at P + 65 meets its
  // format start at P + 2 * 7 + 51.
  const Receivers receivers{14, 15};
  EXPECT_EQ(error_of(tarn().paired_multicast(0, receivers, 65)),
            ExchangeError::schedule("paired receive coincident controls"));
  EXPECT_TRUE(tarn().paired_multicast(0, receivers, 66));
}

TEST(PairedReceiverRow, TimingLimits) {
  EXPECT_EQ(error_of(tarn().paired_receiver_row(1472, 1473, 64, 0)), ExchangeError::tile(1472));
  EXPECT_EQ(error_of(tarn().paired_receiver_row(0, 1473, 64, 0)), ExchangeError::tile(1473));
  // P = -30 + 0 < 0.
  EXPECT_EQ(error_of(tarn().paired_receiver_row(0, 2, 64, 1000)),
            ExchangeError::schedule("paired source timing"));
  // A late start needs one Delay before the source XPIC: the row is exactly full.
  const auto late = tarn().paired_receiver_row(0, 2, 64, -5000);
  ASSERT_TRUE(late);
  // P = 4971: Delay(875) then the XPIC absorbs the last 4096 cycles.
  EXPECT_EQ((*late)[1], delay_word(875));
  EXPECT_EQ((*late)[2], xpic_word(0x2000, 4095));
  EXPECT_EQ((*late)[8], kReturnWord);
  EXPECT_EQ(row_cycles(*late), 4971u + 53 + 64 + 7);
  // Billions of cycles of Delay words cannot fit a nine-word row.
  EXPECT_EQ(error_of(tarn().paired_receiver_row(0, 2, 64, INT32_MIN)),
            ExchangeError::schedule("paired receive row capacity"));
}

// ---------------------------------------------------------------------------
// Row operations

TEST(RowOperations, SetSenderControlRewritesEverySendWord) {
  Row r = tarn().multicast(0, Receivers{1}, 100, 0)->sender;
  ASSERT_TRUE(set_sender_control(r, 6));
  EXPECT_EQ(r, row({0x41800003, 0x40a0001b, 0x7fe00006, 0x74600006, 0x43a00000}));

  // Receiver-side PicPair words (control 0) are not sends and stay as they are.
  Row pairs = row({kSync3Word, 0xf0000001, 0x12345678, 0xf0000000, 0, kReturnWord});
  ASSERT_TRUE(set_sender_control(pairs, 7));
  EXPECT_EQ(pairs, row({kSync3Word, 0xf0000007, 0x12345678, 0xf0000000, 0, kReturnWord}));

  const Row before = r;
  EXPECT_EQ(error_of(set_sender_control(r, 0)), ExchangeError::schedule("send control"));
  EXPECT_EQ(error_of(set_sender_control(r, 8)), ExchangeError::schedule("send control"));
  EXPECT_EQ(r, before);
  Row receiver = tarn().multicast(0, Receivers{1}, 1, 0)->receivers[0];
  EXPECT_EQ(error_of(set_sender_control(receiver, 1)), ExchangeError::schedule("sender payload"));
}

TEST(RowOperations, PatchSenderAddress) {
  const Row ordinary = tarn().point_to_point(0, 1, 1)->sender;
  Row paired = ordinary;
  ASSERT_TRUE(set_sender_control(paired, 5));
  struct Case {
    const Row* row;
    uint32_t address;
    std::optional<uint32_t> operand;  // none: Address(address)
  };
  const Case cases[] = {
      {&ordinary, 6, std::nullopt},
      {&ordinary, 4, 1},
      {&ordinary, 0x3ffff * 4, 0x3ffff},
      {&ordinary, 0x40000 * 4, std::nullopt},
      {&paired, 8, 1},
      {&paired, 4, std::nullopt},
      {&paired, 0x3ffff * 8, 0x3ffff},
      {&paired, 0x40000 * 8, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.address);
    Row r = *c.row;
    const auto result = patch_sender_address(r, c.address);
    if (c.operand) {
      ASSERT_TRUE(result);
      EXPECT_EQ(address_operand(r[2]), *c.operand);
      EXPECT_EQ(r[2] & ~(0x3ffffu << 3), (*c.row)[2]);
    } else {
      EXPECT_EQ(error_of(result), ExchangeError::address(c.address));
      EXPECT_EQ(r, *c.row);
    }
  }
  Row empty{};
  EXPECT_EQ(error_of(patch_sender_address(empty, 0)), ExchangeError::address(0));
}

// ---------------------------------------------------------------------------
// Structured events

struct Recorder : support::events::Receiver {
  std::vector<support::events::Event> seen;
  void receive(const support::events::Event& e) override { seen.push_back(e); }
};

TEST(TopologyEvents, AssemblyReportsItsTransfer) {
  Recorder recorder;
  support::events::set_receiver(&recorder);
  ASSERT_TRUE(tarn().point_to_point(0, 1, 7));
  ASSERT_TRUE(tarn().multicast(0, Receivers{1, 2}, 3, 0));
  EXPECT_FALSE(tarn().multicast(0, Receivers{}, 3, 0));
  support::events::set_receiver(nullptr);

  ASSERT_EQ(recorder.seen.size(), 2u);
  const auto& p = recorder.seen[0];
  EXPECT_EQ(p.target, "tessel_exchange");
  EXPECT_EQ(p.message, "assembled point-to-point exchange");
  ASSERT_EQ(p.fields.size(), 3u);
  EXPECT_EQ(p.fields[0].name, "sender_logical");
  EXPECT_EQ(p.fields[1].value, "1");
  EXPECT_EQ(p.fields[2].value, "7");
  const auto& m = recorder.seen[1];
  EXPECT_EQ(m.message, "assembled multicast exchange");
  ASSERT_EQ(m.fields.size(), 4u);
  EXPECT_EQ(m.fields[1].name, "receiver_logical");
  EXPECT_EQ(m.fields[1].value, "[1, 2]");
  EXPECT_EQ(m.fields[3].name, "schedule_offset");
}

}  // namespace
}  // namespace tessel::exchange
