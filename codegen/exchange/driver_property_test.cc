// Property: every phase of any shape the model allows schedules, passes the
// independent validation, and scheduling it again gives identical output.
#include <gtest/gtest.h>

#include <cstdint>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/validate.h"

namespace tessel::codegen::exchange {
namespace {

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }
  bool chance(uint64_t percent) { return below(100) < percent; }

 private:
  uint64_t s_;
};

// A small pool of buffers per tile makes read/write hazards between
// transfers common.
uint32_t buffer(Rng& rng, uint32_t align) {
  static constexpr uint32_t kBases[] = {0x0,     0x1000,  0x4000,  0x8000, 0x10000,
                                        0x40000, 0x7ff00, 0x80000, 0x90000};
  return (kBases[rng.below(std::size(kBases))] + 8 * uint32_t(rng.below(64))) & ~align;
}

ExchangeScheduleTransfer random_transfer(Rng& rng, uint16_t tiles) {
  ExchangeScheduleTransfer t;
  const uint64_t shape = rng.below(100);
  if (shape < 15 && tiles >= 4) {  // paired
    t.width = ExchangeItemWidth::Paired64;
    const uint16_t pairs = tiles / 2;
    t.source = uint16_t(2 * rng.below(pairs) + rng.below(2));
    t.words = uint32_t(128 + 2 * rng.below(200));
    t.source_addresses = {buffer(rng, 7)};
    const uint64_t dest_pairs = 1 + rng.below(std::min<uint64_t>(3, pairs - 1));
    while (t.destinations.size() < 2 * dest_pairs) {
      const uint16_t p = uint16_t(2 * rng.below(pairs));
      if (p / 2 == t.source / 2) continue;
      bool seen = false;
      for (const auto& d : t.destinations) seen |= d.tile == p;
      if (seen) continue;
      const uint32_t a = buffer(rng, 7);
      t.destinations.push_back({p, a});
      t.destinations.push_back({uint16_t(p + 1), a});
    }
    return t;
  }
  t.width = ExchangeItemWidth::Word32;
  t.source = uint16_t(rng.below(tiles));
  t.words = uint32_t(rng.chance(10) ? 1 + rng.below(4148) : 1 + rng.below(200));
  const uint64_t iterations = rng.chance(15) ? 2 + rng.below(3) : 1;
  for (uint64_t i = 0; i < iterations; ++i) t.source_addresses.push_back(buffer(rng, 3));
  const uint64_t wanted = shape < 60 ? 1 : 2 + rng.below(std::min<uint64_t>(6, tiles));
  const bool loopback = shape >= 90;
  if (loopback && tiles >= 2) t.destinations.push_back({t.source, 0x9c000});
  for (int attempts = 0; t.destinations.size() < wanted && attempts < 50; ++attempts) {
    const uint16_t d = uint16_t(rng.below(tiles));
    bool seen = d == t.source;
    for (const auto& x : t.destinations) seen |= x.tile == d;
    if (!seen) t.destinations.push_back({d, buffer(rng, 3)});
  }
  return t;
}

ExchangeScheduleProblem random_problem(Rng& rng, uint16_t tiles, uint64_t transfers) {
  ExchangeScheduleProblem p{uint32_t(rng.below(1000)), {}};
  while (p.transfers.size() < transfers) {
    ExchangeScheduleTransfer t = random_transfer(rng, tiles);
    ExchangeScheduleProblem one{p.phase, {t}};
    auto ok = pending_from_problem(one, tiles);
    if (!ok || (ok->front().partner && *ok->front().partner >= tiles)) continue;
    if (t.width == ExchangeItemWidth::Paired64) {
      // Some geometries put two paired receive controls in one cycle; such a
      // transfer cannot be assembled at all and is no scheduling case.
      std::vector<uint16_t> receivers;
      for (const auto& d : t.destinations) receivers.push_back(d.tile);
      if (!tessel::exchange::Topology::tarn().paired_multicast(t.source, receivers, t.words / 2)) {
        continue;
      }
    }
    p.transfers.push_back(t);
  }
  return p;
}

TEST(SchedulingProperty, RandomPhasesScheduleValidateAndRepeat) {
  Rng rng(20261211);
  const uint16_t tile_counts[] = {2, 3, 4, 7, 16, 47, 64, 300, 1472};
  int scheduled = 0;
  for (int round = 0; round < 60; ++round) {
    const uint16_t tiles = tile_counts[rng.below(std::size(tile_counts))];
    const uint64_t n = rng.below(round < 40 ? 40 : 400);
    const ExchangeScheduleProblem problem = random_problem(rng, tiles, n);
    auto first = schedule_exchange_problem(tiles, problem);
    if (!first) {
      // A loopback receive landing on its own send start cannot be encoded
      // at any offset; that is the one accepted failure.
      EXPECT_EQ(first.error().display(),
                "exchange schedule is not encodable: unencodable initial send control")
          << "round " << round;
      continue;
    }
    auto valid = validate_exchange_schedule(tiles, problem, *first);
    ASSERT_TRUE(valid) << "round " << round << ": " << valid.error().display();
    auto second = schedule_exchange_problem(tiles, problem);
    ASSERT_TRUE(second);
    EXPECT_TRUE(identical_output(*first, *second)) << "round " << round;
    EXPECT_GE(first->horizon, first->endpoint_lower_bound);
    EXPECT_LE(first->horizon, first->initial_horizon);
    ++scheduled;
  }
  EXPECT_GT(scheduled, 40);
}

}  // namespace
}  // namespace tessel::codegen::exchange
