#include "codegen/exchange/order/repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>

#include "codegen/exchange/testing.h"

namespace tessel::codegen::exchange::order {
namespace {

using Order = std::vector<uint64_t>;

PendingTransfer make(uint16_t source, std::vector<PendingDestination> dests, uint32_t words = 4,
                     uint32_t source_address = 0) {
  return testing::pending_transfer(source, {source_address}, std::move(dests), words);
}

using Phase = testing::OwnedProblem;

std::unique_ptr<Phase> phase(std::vector<PendingTransfer> transfers, uint16_t tiles = 16) {
  return testing::owned_problem(std::move(transfers), tiles);
}

TEST(Repair, IntegerSquareRoot) {
  const std::vector<std::pair<uint64_t, uint64_t>> cases = {
      {0, 0},
      {1, 1},
      {2, 1},
      {3, 1},
      {4, 2},
      {8, 2},
      {9, 3},
      {40000, 200},
      {39999, 199},
      {(uint64_t{1} << 52) + 1, uint64_t{1} << 26},
      {0xFFFFFFFE00000001ull, 0xFFFFFFFFull},  // (2^32 - 1)^2
      {0xFFFFFFFE00000000ull, 0xFFFFFFFEull},
      {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFull},
  };
  for (const auto& [n, root] : cases) EXPECT_EQ(integer_sqrt(n), root) << n;
}

TEST(Repair, KeyOrderFieldByField) {
  const RepairReady base{5, 10, 1, false, 100, 7, 3};
  // Each pair differs from `base` in one field and is the better of the two.
  const std::vector<std::pair<RepairReady, const char*>> better = {
      {{4, 10, 1, false, 100, 7, 3}, "smaller block"},
      {{5, 9, 1, false, 100, 7, 3}, "smaller start"},
      {{5, 10, 2, false, 100, 7, 3}, "more contiguous"},
      {{5, 10, 1, true, 100, 7, 3}, "in neighbourhood"},
      {{5, 10, 1, false, 101, 7, 3}, "more work"},
      {{5, 10, 1, false, 100, 6, 3}, "smaller position"},
      {{5, 10, 1, false, 100, 7, 2}, "smaller index"},
  };
  for (const auto& [key, name] : better) {
    EXPECT_GT(key, base) << name;
    EXPECT_LT(base, key) << name;
  }
  // An earlier field outweighs every later one.
  EXPECT_GT((RepairReady{4, 99, 0, false, 0, 99, 99}), base);
  EXPECT_GT((RepairReady{5, 10, 1, true, 0, 99, 99}), base);
}

TEST(Repair, Examples) {
  struct Case {
    const char* name;
    std::vector<PendingTransfer> transfers;
    Order current;
    std::vector<bool> neighborhood;  // empty: nothing in the neighbourhood
    Order expected;
  };
  const std::vector<Case> cases = {
      // n = 2 or 3: W = 1, every block holds one position.
      {"two transfers keep their order",
       {make(1, {{2, 0}}), make(3, {{4, 0}}, 50)},
       {0, 1},
       {},
       {0, 1}},
      {"three transfers keep their order",
       {make(1, {{2, 0}}, 1), make(3, {{4, 0}}, 100), make(1, {{4, 0x1000}}, 100)},
       {2, 1, 0},
       {true, false, false},
       {2, 1, 0}},
      // From here on n = 4 (W = 2): blocks {0, 1} and {2, 3} of positions.
      {"blocks keep their sequence",
       {make(1, {{2, 0}}, 100), make(1, {{3, 0}}), make(4, {{5, 0}}), make(6, {{7, 0}})},
       {0, 1, 2, 3},
       {},
       {0, 1, 2, 3}},
      {"earlier start first",
       {make(1, {{2, 0}}), make(3, {{4, 0}}), make(1, {{5, 0}}), make(6, {{7, 0}})},
       {0, 1, 2, 3},
       {},
       {0, 1, 3, 2}},
      {"more remaining work first",
       {make(1, {{2, 0}}, 4), make(3, {{4, 0}}, 8), make(5, {{6, 0}}), make(7, {{8, 0}})},
       {0, 1, 2, 3},
       {},
       {1, 0, 2, 3}},
      {"neighbourhood first",
       {make(1, {{2, 0}}), make(3, {{4, 0}}), make(5, {{6, 0}}), make(7, {{8, 0}})},
       {0, 1, 2, 3},
       {false, true, false, false},
       {1, 0, 2, 3}},
      {"no neighbourhood",
       {make(1, {{2, 0}}), make(3, {{4, 0}}), make(5, {{6, 0}}), make(7, {{8, 0}})},
       {0, 1, 2, 3},
       {},
       {0, 1, 2, 3}},
      // Transfer 3 writes tile 5 where transfer 1 ended (0x110) and gets one
      // contiguity point over transfer 2 with the same start.
      {"contiguous receive first",
       {make(1, {{5, 0x0}}), make(2, {{5, 0x100}}), make(3, {{5, 0x200}}), make(4, {{5, 0x110}})},
       {0, 1, 2, 3},
       {},
       {0, 1, 3, 2}},
      // All four share endpoints (one group); the group's head is transfer 2,
      // but transfer 3 continues where transfer 1 ended.
      {"contiguous receive within a group",
       {make(1, {{5, 0x0}}), make(1, {{5, 0x100}}), make(1, {{5, 0x200}}), make(1, {{5, 0x110}})},
       {0, 1, 2, 3},
       {},
       {0, 1, 3, 2}},
      // Transfers 0, 1 | 3, 2 | 4 by block (n = 5, W = 2). Transfer 3
      // (position 2) depends on transfer 0 and writes tile 5 where transfer 1
      // ended; both 2 and 3 wait for sender 6 (busy until 100). Their queue
      // entries are computed when transfer 0 finishes, before transfer 1 sets
      // the end of the receive on tile 5; transfer 3's entry is not refreshed
      // by that, so transfer 2, with more work, wins although transfer 3 would
      // now score a contiguity point.
      {"entries refresh lazily",
       {make(6, {{7, 0x100}}, 100, 0x0), make(1, {{5, 0x0}}), make(6, {{7, 0x1000}}, 4, 0x8000),
        make(6, {{5, 0x10}, {6, 0x0}}, 4, 0x8000), make(2, {{7, 0x5000}}, 1000)},
       {0, 1, 3, 2, 4},
       {},
       {0, 1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    const auto p = phase(c.transfers);
    std::vector<bool> neighborhood = c.neighborhood;
    neighborhood.resize(c.transfers.size(), false);
    EXPECT_EQ(repair_order(p->problem, c.current, neighborhood), c.expected) << c.name;
  }
}

TEST(Repair, ThirtyTwoBitOverflowKeepsTheCurrentOrder) {
  // Block {0, 1, 2} alone would become 0, 2, 1 (transfer 2 continues tile 5's
  // receive); n = 9, W = 3. Transfers 3..7 go from tile 7 to tiles 8..12.
  const auto build = [](uint32_t words_3_to_7, uint32_t words_7) {
    std::vector<PendingTransfer> t = {make(1, {{5, 0x0}}), make(2, {{5, 0x100}}),
                                      make(3, {{5, 0x10}})};
    for (uint16_t i = 0; i < 5; ++i) {
      t.push_back(make(7, {{uint16_t(8 + i), 0}}, i == 4 ? words_7 : words_3_to_7));
    }
    t.push_back(make(13, {{14, 0}}));
    return phase(std::move(t));
  };
  const Order current = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<bool> none(9, false);

  const auto control = build(4, 4);
  const Order repaired = repair_order(control->problem, current, none);
  ASSERT_EQ(Order(repaired.begin(), repaired.begin() + 3), (Order{0, 2, 1}));

  // Five sends of 0x3FFFFFFF cycles from tile 7 finish past 2^32 - 1.
  const auto late = build(0x3FFFFFFF, 0x3FFFFFFF);
  EXPECT_EQ(repair_order(late->problem, current, none), current);
  // 0x40000000 words are 2^32 bytes.
  const auto long_payload = build(4, 0x40000000);
  EXPECT_EQ(repair_order(long_payload->problem, current, none), current);
}

// Random phases with multicasts, paired transfers and memory hazards, checked
// through the snapshot conversion; the current order is a random topological
// order.
TEST(Repair, RandomPhasesGiveDeterministicTopologicalPermutations) {
  constexpr uint16_t kTiles = 1472;
  uint64_t checked = 0;
  for (uint32_t seed = 0; seed < 200; ++seed) {
    std::mt19937_64 rng(seed);
    const uint16_t used = 2 + rng() % 12;
    const uint64_t n = 2 + rng() % 80;
    ExchangeScheduleProblem problem{seed, {}};
    for (uint64_t i = 0; i < n; ++i) {
      ExchangeScheduleTransfer t;
      t.source = rng() % used;
      const bool paired = rng() % 5 == 0;
      t.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
      t.words = paired ? 128 + 2 * (rng() % 4) : 1 + rng() % 16;
      t.source_addresses = {uint32_t(rng() % 8) * 0x40};
      if (rng() % 4 == 0) t.source_addresses.push_back(uint32_t(rng() % 8) * 0x40);
      const uint64_t fan_out = 1 + rng() % std::min<uint64_t>(3, used - 1);
      for (uint16_t d = (t.source + 1 + rng() % (used - 1)) % used; t.destinations.size() < fan_out;
           d = (d + 1) % used) {
        if (d != t.source) t.destinations.push_back({d, uint32_t(rng() % 8) * 0x40});
      }
      problem.transfers.push_back(std::move(t));
    }
    const auto transfers = pending_from_problem(problem, kTiles);
    ASSERT_TRUE(transfers) << transfers.error().display();
    const auto p = phase(*transfers, kTiles);
    const SchedulingProblem& sp = p->problem;

    Order current;
    std::vector<uint64_t> waiting(n);
    std::vector<uint64_t> ready;
    for (uint64_t t = 0; t < n; ++t) {
      waiting[t] = sp.predecessors[t].size();
      if (waiting[t] == 0) ready.push_back(t);
    }
    while (!ready.empty()) {
      std::swap(ready[rng() % ready.size()], ready.back());
      current.push_back(ready.back());
      ready.pop_back();
      for (uint64_t s : sp.successors[current.back()]) {
        if (--waiting[s] == 0) ready.push_back(s);
      }
    }
    ASSERT_EQ(current.size(), n);

    std::vector<bool> scattered(n);
    for (uint64_t t = 0; t < n; ++t) scattered[t] = rng() % 3 == 0;
    for (const std::vector<bool>& neighborhood : {std::vector<bool>(n, false), scattered}) {
      const Order order = repair_order(sp, current, neighborhood);
      EXPECT_EQ(repair_order(sp, current, neighborhood), order) << "seed " << seed;
      Order sorted = order;
      std::sort(sorted.begin(), sorted.end());
      Order all(n);
      std::iota(all.begin(), all.end(), 0);
      ASSERT_EQ(sorted, all) << "seed " << seed;
      std::vector<uint64_t> position(n);
      for (uint64_t i = 0; i < n; ++i) position[order[i]] = i;
      for (uint64_t t = 0; t < n; ++t) {
        for (uint64_t q : sp.predecessors[t]) {
          EXPECT_LT(position[q], position[t]) << "seed " << seed;
        }
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, 400u);
}

}  // namespace
}  // namespace tessel::codegen::exchange::order
