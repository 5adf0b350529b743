#include "codegen/exchange/pending.h"

#include <gtest/gtest.h>

#include <functional>

namespace tessel::codegen::exchange {
namespace {

ExchangeScheduleTransfer transfer(uint16_t source, std::vector<uint32_t> sources,
                                  std::vector<ExchangeScheduleDestination> dests, uint32_t words,
                                  ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  return {source, std::move(sources), std::move(dests), words, width};
}

ExchangeScheduleSnapshot snapshot_with(std::vector<ExchangeScheduleTransfer> transfers,
                                       uint16_t tiles = 8) {
  return {3, tiles, {{7, std::move(transfers)}}};
}

std::string validation_text(const ExchangeScheduleSnapshot& s) {
  auto r = s.validate();
  return r ? "ok" : r.error().display();
}

constexpr auto P = ExchangeItemWidth::Paired64;

TEST(SnapshotValidation, TransferRulesInOrder) {
  const std::string bad = "invalid exchange-schedule snapshot: phase 7 transfer 0 ";
  const std::string overflow = "exchange address arithmetic overflowed";
  struct Case {
    const char* name;
    ExchangeScheduleTransfer t;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"valid", transfer(0, {0}, {{1, 0}}, 16), "ok"},
      {"source out of range", transfer(8, {0}, {{1, 0}}, 16),
       bad + "has source tile 8 outside 0..8"},
      {"zero words", transfer(0, {0}, {{1, 0}}, 0), bad + "has invalid word count 0"},
      {"4148 words", transfer(0, {0}, {{1, 0}}, 4148), "ok"},
      {"4149 words", transfer(0, {0}, {{1, 0}}, 4149), bad + "has invalid word count 4149"},
      {"paired 128", transfer(0, {0}, {{2, 0}, {3, 0}}, 128, P), "ok"},
      {"paired 126", transfer(0, {0}, {{2, 0}, {3, 0}}, 126, P),
       bad + "has invalid 126-word paired payload"},
      {"paired 129", transfer(0, {0}, {{2, 0}, {3, 0}}, 129, P),
       bad + "has invalid 129-word paired payload"},
      {"no source addresses", transfer(0, {}, {{1, 0}}, 16), bad + "has no source addresses"},
      {"paired source aligned to 4 only", transfer(0, {0x1004}, {{2, 0}, {3, 0}}, 128, P),
       bad + "has unaligned source address 0x1004"},
      {"unaligned source", transfer(0, {0x10, 0x2}, {{1, 0}}, 4),
       bad + "has unaligned source address 0x2"},
      {"source end fits exactly", transfer(0, {0xFFFFFFF0}, {{1, 0}}, 3), "ok"},
      {"source end wraps", transfer(0, {0xFFFFFFF0}, {{1, 0}}, 4), overflow},
      {"no destinations", transfer(0, {0}, {}, 16), bad + "has no destinations"},
      {"destination out of range", transfer(0, {0}, {{9, 0}}, 16),
       bad + "has invalid destination tile 9"},
      {"loopback in other element", transfer(3, {0x0}, {{5, 0}, {3, 0x4000}}, 16), "ok"},
      {"loopback in same element", transfer(3, {0x0}, {{5, 0}, {3, 0x100}}, 16),
       bad + "has invalid destination tile 3"},
      {"loopback as only destination", transfer(3, {0x0}, {{3, 0x4000}}, 16),
       bad + "has invalid destination tile 3"},
      {"loopback paired", transfer(2, {0x0}, {{2, 0x8000}, {3, 0x8000}}, 128, P),
       bad + "has invalid destination tile 2"},
      {"repeated destination", transfer(0, {0}, {{1, 0}, {2, 0}, {1, 4}}, 16),
       bad + "has invalid destination tile 1"},
      {"unaligned destination", transfer(0, {0}, {{1, 0x6}}, 16),
       bad + "has unaligned destination address 0x6"},
      {"destination end wraps", transfer(0, {0}, {{1, 0xFFFFFFFC}}, 2), overflow},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validation_text(snapshot_with({c.t})), c.expected) << c.name;
  }
}

TEST(SnapshotValidation, SnapshotLevelChecksComeFirst) {
  ExchangeScheduleSnapshot s = snapshot_with({transfer(99, {0}, {{1, 0}}, 16)});
  s.schema_version = 2;
  s.tile_count = 0;
  EXPECT_EQ(validation_text(s),
            "invalid exchange-schedule snapshot: unsupported schema version 2 (expected 3)");
  s.schema_version = 3;
  EXPECT_EQ(validation_text(s),
            "invalid exchange-schedule snapshot: tile count 0 is outside the TARN topology");
  s.tile_count = 1473;
  EXPECT_EQ(validation_text(s),
            "invalid exchange-schedule snapshot: tile count 1473 is outside the TARN topology");
  s.tile_count = 1472;
  s.phases.clear();
  EXPECT_EQ(validation_text(s), "ok");
  s.tile_count = 1;
  EXPECT_EQ(validation_text(s), "ok");
}

TEST(SnapshotValidation, DuplicatePhaseStopsBeforeItsTransfers) {
  ExchangeScheduleSnapshot s{3, 4, {{5, {}}, {2, {}}, {5, {transfer(99, {0}, {{1, 0}}, 16)}}}};
  EXPECT_EQ(validation_text(s), "invalid exchange-schedule snapshot: duplicate phase 5");
}

TEST(PendingFromProblem, ConvertsWithPartnerAndElements) {
  ExchangeScheduleProblem problem{4,
                                  {transfer(1, {0x3FF0, 0x3FF8}, {{0, 0x100}}, 8),
                                   transfer(46, {0x8000}, {{44, 0x8000}, {45, 0x8000}}, 128, P)}};
  auto r = pending_from_problem(problem, 47);
  ASSERT_TRUE(r) << r.error().display();
  ASSERT_EQ(r->size(), 2u);
  const PendingTransfer& a = (*r)[0];
  EXPECT_EQ(a.value, 0u);
  EXPECT_FALSE(a.partner);
  EXPECT_EQ(a.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}}));
  EXPECT_EQ(a.tiles(), (std::vector<uint16_t>{1, 0}));
  EXPECT_EQ(a.cycle_count(), 8u);
  const PendingTransfer& b = (*r)[1];
  EXPECT_EQ(b.value, 1u);
  // The partner of the last tile of an odd phase lies outside the phase; the
  // conversion keeps it and later stages must check it.
  EXPECT_EQ(b.partner, std::optional<uint16_t>(47));
  EXPECT_EQ(b.tiles(), (std::vector<uint16_t>{46, 47, 44, 45}));
  EXPECT_EQ(b.cycle_count(), 64u);
  EXPECT_EQ(b.source_elements, (std::vector<ExchangeMemoryElement>{{false, 2}}));
}

TEST(MemoryElements, SpansAndSharing) {
  using E = ExchangeMemoryElement;
  EXPECT_EQ(span_elements(0x3FF0, 8), (std::vector<E>{{false, 0}, {false, 1}}));
  EXPECT_EQ(span_elements(0x7FFF0, 8), (std::vector<E>{{false, 31}, {true, 0}}));
  EXPECT_EQ(span_elements(0x80000, 8192), (std::vector<E>{{true, 0}}));
  EXPECT_EQ(span_elements(0x1000, 0), std::vector<E>{});
  // Saturating end: the last element reaches the top of the address space.
  EXPECT_EQ(span_elements(0xFFFFFFF0, 0x40000000).size(), 1u);
  EXPECT_EQ(next_element_start({true, 0xFFFFFFFF}), 0xFFFFFFFFu);
  EXPECT_TRUE(spans_share_effective_memory_element(0x0, 16, 0x3FFC, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x0, 16, 0x4000, 16));
  EXPECT_FALSE(spans_share_effective_memory_element(0x0, 0, 0x0, 16));
  EXPECT_TRUE(spans_share_effective_memory_element(0x7FFF0, 8, 0x80004, 1));
  EXPECT_LT((E{false, 31}), (E{true, 0}));
}

TEST(PendingTransfer, RepeatedElementsAppearOnce) {
  PendingTransfer p;
  p.words = 4;
  p.source_addresses = {0x4100, 0x10, 0x4200};
  p.refresh_source_elements();
  EXPECT_EQ(p.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}}));
}

}  // namespace
}  // namespace tessel::codegen::exchange
