#include "codegen/exchange/widths.h"

#include <gtest/gtest.h>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/reuse/cache.h"
#include "codegen/exchange/validate.h"

namespace tessel::codegen::exchange {
namespace {

constexpr auto W = ExchangeItemWidth::Word32;

std::vector<PendingTransfer> pending(uint16_t tiles, std::vector<ExchangeScheduleTransfer> list) {
  auto r = pending_from_problem({1, std::move(list)}, tiles);
  EXPECT_TRUE(r) << r.error().display();
  return *r;
}

TEST(PairedAlternatives, EligibilityRules) {
  const Topology topology = *phase_topology(8);
  struct Case {
    const char* name;
    ExchangeScheduleTransfer t;
    bool eligible;
  };
  const std::vector<Case> cases = {
      {"pair at one address", {0, {0x100}, {{2, 0x800}, {3, 0x800}}, 256, W}, true},
      {"pair listed in reverse", {0, {0x100}, {{3, 0x800}, {2, 0x800}}, 256, W}, true},
      {"different addresses", {0, {0x100}, {{2, 0x800}, {3, 0x808}}, 256, W}, false},
      {"source partner among them", {0, {0x100}, {{1, 0x800}, {3, 0x800}}, 256, W}, false},
      {"single destination", {0, {0x100}, {{2, 0x800}}, 256, W}, false},
      {"short", {0, {0x100}, {{2, 0x800}, {3, 0x800}}, 126, W}, false},
      {"odd", {0, {0x100}, {{2, 0x800}, {3, 0x800}}, 257, W}, false},
      {"source aligned to 4 only", {0, {0x104}, {{2, 0x800}, {3, 0x800}}, 256, W}, false},
      {"destination aligned to 4 only", {0, {0x100}, {{2, 0x804}, {3, 0x804}}, 256, W}, false},
  };
  for (const Case& c : cases) {
    const auto transfers = pending(8, {c.t});
    auto alternatives = paired_transfer_alternatives(transfers, topology, 8);
    ASSERT_TRUE(alternatives) << c.name;
    EXPECT_EQ((*alternatives)[0].has_value(), c.eligible) << c.name;
    if ((*alternatives)[0]) {
      const PendingTransfer& a = *(*alternatives)[0];
      EXPECT_EQ(a.width, ExchangeItemWidth::Paired64);
      EXPECT_EQ(a.partner, std::optional<uint16_t>(1));
      EXPECT_EQ(a.source_elements, transfers[0].source_elements);
      EXPECT_EQ(a.cycle_count(), 128u);
    }
  }
}

TEST(PairedAlternatives, UnpairedLastTileFailsTheWholeCall) {
  // With an odd tile count the last tile has no partner in the phase.
  const Topology topology = *phase_topology(5);
  const auto transfers = pending(5, {{4, {0}, {{0, 0x800}, {1, 0x800}}, 128, W}});
  auto alternatives = paired_transfer_alternatives(transfers, topology, 5);
  ASSERT_FALSE(alternatives);
  EXPECT_EQ(alternatives.error().display(), "logical tile 4 is out of range");
}

// Phases whose transfers all have paired alternatives, with random sizes.
std::vector<ExchangeScheduleTransfer> paired_eligible_phase(uint64_t seed, uint16_t tiles,
                                                            std::size_t n) {
  std::vector<ExchangeScheduleTransfer> out;
  uint64_t s = seed;
  const auto next = [&s](uint64_t bound) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (s >> 33) % bound;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const uint16_t pairs = tiles / 2;
    const uint16_t source = uint16_t(next(tiles & ~1u));
    uint16_t target = uint16_t(next(pairs));
    if (target == source / 2) target = uint16_t((target + 1) % pairs);
    const uint32_t address = 0x40000 + 0x1000 * uint32_t(i % 32);
    out.push_back({source,
                   {uint32_t(0x1000 * next(32))},
                   {{uint16_t(2 * target), address}, {uint16_t(2 * target + 1), address}},
                   uint32_t(128 + 4 * next(200)),
                   W});
  }
  return out;
}

TEST(SelectTransferWidths, KeepsTheShorterScheduleAndOrdinaryOnTies) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    const uint16_t tiles = seed % 2 ? 16 : 64;
    const auto transfers = pending(tiles, paired_eligible_phase(seed, tiles, 6 + seed * 4));
    const Topology topology = *phase_topology(tiles);
    auto ordinary = optimize_owned_pending(topology, transfers, tiles);
    auto alternatives = *paired_transfer_alternatives(transfers, topology, tiles);
    std::vector<PendingTransfer> paired;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
      paired.push_back(alternatives[i] ? *alternatives[i] : transfers[i]);
    }
    auto paired_result = optimize_owned_pending(topology, paired, tiles);
    auto chosen = select_transfer_widths(1, topology, transfers, tiles);
    ASSERT_TRUE(ordinary && paired_result && chosen) << seed;
    const uint32_t o = ordinary->scheduled.schedule.horizon;
    const uint32_t p = paired_result->scheduled.schedule.horizon;
    EXPECT_EQ(chosen->scheduled.schedule.horizon, std::min(o, p)) << seed;
    const bool took_paired = chosen->transfers[0].width == ExchangeItemWidth::Paired64;
    EXPECT_EQ(took_paired, p < o) << seed;

    // The chosen schedule, lowered, passes the independent check against the
    // problem rewritten with the chosen widths.
    ExchangeScheduleProblem rewritten{1, {}};
    for (const auto& t : chosen->transfers) {
      ExchangeScheduleTransfer r{t.source, t.source_addresses, {}, t.words, t.width};
      for (const auto& d : t.destinations) r.destinations.push_back({d.tile, d.address});
      rewritten.transfers.push_back(r);
    }
    auto lowered = finish_exchange_run(tiles, 1, chosen->incoming_bases, chosen->scheduled);
    ASSERT_TRUE(lowered) << lowered.error().display();
    auto valid = validate_exchange_schedule(tiles, rewritten, *lowered);
    EXPECT_TRUE(valid) << valid.error().display();
  }
}

TEST(ScheduleCache, RecordsReplaysAndReoptimises) {
  const uint16_t tiles = 16;
  const ExchangeScheduleProblem problem{3, paired_eligible_phase(11, tiles, 12)};
  reuse::ExchangeScheduleCache cache;
  auto first = cache.schedule_problem(tiles, problem);
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_FALSE(first->second.reused);
  ASSERT_EQ(cache.recipes().size(), 1u);
  const auto recipe = cache.recipes().at(3);

  auto second = cache.schedule_problem(tiles, problem);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->second.reused);
  EXPECT_EQ(second->second.neighborhood_improvements, 0u);
  EXPECT_EQ(second->second.initial_horizon, second->second.horizon);
  EXPECT_TRUE(identical_output(first->second, second->second));
  EXPECT_EQ(second->first, first->first);
  EXPECT_EQ(cache.recipes().at(3), recipe);  // kept, not replaced

  // Every address moved by the same multiple of 8: same shape, same rows.
  ExchangeScheduleProblem moved = problem;
  for (auto& t : moved.transfers) {
    for (auto& a : t.source_addresses) a += 64;
    for (auto& d : t.destinations) d.address += 64;
  }
  auto third = cache.schedule_problem(tiles, moved);
  ASSERT_TRUE(third);
  EXPECT_TRUE(third->second.reused);
  EXPECT_TRUE(validate_exchange_schedule(tiles, third->first, third->second));

  // One more destination changes the shape: optimised again, recipe replaced.
  ExchangeScheduleProblem grown = problem;
  grown.transfers[0].destinations.push_back(
      {uint16_t(grown.transfers[0].source == 15 ? 14 : 15), 0x9000});
  auto fourth = cache.schedule_problem(tiles, grown);
  ASSERT_TRUE(fourth) << fourth.error().display();
  EXPECT_FALSE(fourth->second.reused);
  EXPECT_NE(cache.recipes().at(3), recipe);
}

TEST(ScheduleCache, FingerprintIgnoresAddresses) {
  const auto a = pending(8, {{0, {0x100}, {{2, 0x800}, {3, 0x800}}, 256, W}});
  const auto b = pending(8, {{0, {0x900}, {{2, 0x100}, {3, 0x100}}, 256, W}});
  const auto c = pending(8, {{0, {0x100}, {{3, 0x800}, {2, 0x800}}, 256, W}});
  EXPECT_EQ(reuse::shape_fingerprint(a, 8), reuse::shape_fingerprint(b, 8));
  EXPECT_NE(reuse::shape_fingerprint(a, 8), reuse::shape_fingerprint(c, 8));
  EXPECT_NE(reuse::shape_fingerprint(a, 8), reuse::shape_fingerprint(a, 9));
}

TEST(ScheduleCache, RefusesPairedCaptures) {
  reuse::ExchangeScheduleCache cache;
  auto r = cache.schedule_problem(
      8, {1, {{0, {0}, {{2, 0}, {3, 0}}, 128, ExchangeItemWidth::Paired64}}});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            "invalid exchange-schedule snapshot: width selection requires an ordinary-transfer "
            "capture");
  EXPECT_TRUE(cache.recipes().empty());
  auto bad_tiles = cache.schedule_problem(0, {1, {}});
  ASSERT_FALSE(bad_tiles);
  EXPECT_EQ(bad_tiles.error().display(),
            "invalid exchange-schedule snapshot: tile count 0 is outside the TARN topology");
}

}  // namespace
}  // namespace tessel::codegen::exchange
