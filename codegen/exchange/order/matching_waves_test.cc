#include "codegen/exchange/order/matching_waves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <random>

#include "codegen/exchange/testing.h"

namespace tessel::codegen::exchange::order {
namespace {

using Order = std::vector<uint64_t>;
using Waves = std::vector<Order>;

PendingTransfer make(uint16_t source, std::vector<PendingDestination> dests, uint32_t words = 4,
                     uint32_t source_address = 0,
                     ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  return testing::pending_transfer(source, {source_address}, std::move(dests), words, width);
}

using Phase = testing::OwnedProblem;

std::unique_ptr<Phase> phase(std::vector<PendingTransfer> transfers, uint16_t tiles = 40) {
  return testing::owned_problem(std::move(transfers), tiles);
}

Order identity(uint64_t n) {
  Order order(n);
  std::iota(order.begin(), order.end(), 0);
  return order;
}

TEST(MatchingWaves, GivesUp) {
  // Sixteen transfers from tile 0 to tiles 1..16 beside sixteen between the
  // distinct pairs 20+i -> 36+i: D = 16, S = 17, R = 32, q = 2, and 16 > 4.
  std::vector<PendingTransfer> skewed;
  for (uint16_t i = 0; i < 16; ++i) skewed.push_back(make(0, {{uint16_t(1 + i), 0}}));
  for (uint16_t i = 0; i < 16; ++i) skewed.push_back(make(20 + i, {{uint16_t(36 + i), 0}}));

  struct Case {
    const char* name;
    std::vector<PendingTransfer> transfers;
  };
  const std::vector<Case> cases = {
      {"single transfer", {make(1, {{2, 0}})}},
      {"two destinations", {make(1, {{2, 0}}), make(3, {{4, 0}, {5, 0}})}},
      {"unbalanced", skewed},
      {"no words", {make(1, {{2, 0}}), make(3, {{4, 0}}, 0)}},
      {"odd paired count",
       {make(1, {{2, 0}}), make(4, {{6, 0}}, 129, 0, ExchangeItemWidth::Paired64)}},
  };
  for (const Case& c : cases) {
    const auto p = phase(c.transfers, 60);
    EXPECT_EQ(point_to_point_matching_wave_order(p->problem, identity(c.transfers.size())),
              std::nullopt)
        << c.name;
  }
  // Without the heavy sender the same traffic is balanced.
  skewed.erase(skewed.begin() + 1, skewed.begin() + 16);
  const auto p = phase(skewed, 60);
  EXPECT_TRUE(point_to_point_matching_wave_order(p->problem, identity(skewed.size())));
}

TEST(MatchingWaves, Examples) {
  struct Case {
    const char* name;
    std::vector<PendingTransfer> transfers;
    Order current;
    Waves waves;
  };
  const std::vector<Case> cases = {
      // D = 3, S = 2, R = 1, q = 3: balanced, but tile 3 receives one at a time.
      {"one receiver, current order",
       {make(1, {{3, 0x0}}), make(1, {{3, 0x100}}), make(2, {{3, 0x200}})},
       {0, 1, 2},
       {{0}, {1}, {2}}},
      {"one receiver, permuted order",
       {make(1, {{3, 0x0}}), make(1, {{3, 0x100}}), make(2, {{3, 0x200}})},
       {2, 0, 1},
       {{2}, {0}, {1}}},
      {"disjoint pairs share a wave", {make(1, {{2, 0}}), make(3, {{4, 0}})}, {1, 0}, {{1, 0}}},
      // A = 1 reaches only X = 3; B = 2 reaches X first, then Y = 4. B is
      // matched to X in the first phase and must move to Y.
      {"matched sender gives way",
       {make(2, {{3, 0x0}}), make(2, {{4, 0x0}}), make(1, {{3, 0x100}})},
       {0, 1, 2},
       {{1, 2}, {0}}},
      // Transfer 1 overwrites what transfer 0 wrote on tile 2: it becomes ready
      // in the first wave and runs in the next, although its tiles were free.
      {"released transfers wait for the next wave",
       {make(1, {{2, 0}}), make(3, {{2, 0}}), make(5, {{6, 0}})},
       {0, 1, 2},
       {{0, 2}, {1}}},
  };
  for (const Case& c : cases) {
    const auto p = phase(c.transfers);
    EXPECT_EQ(point_to_point_matching_waves(p->problem, c.current), c.waves) << c.name;
    Order flat;
    for (const Order& w : c.waves) flat.insert(flat.end(), w.begin(), w.end());
    EXPECT_EQ(point_to_point_matching_wave_order(p->problem, c.current), flat) << c.name;
  }
}

// Size of a maximum matching between senders and receivers of `edges`,
// by plain augmenting paths.
uint64_t maximum_matching(const std::vector<std::pair<uint16_t, uint16_t>>& edges, uint16_t tiles) {
  std::vector<std::vector<uint16_t>> adjacent(tiles);
  for (const auto& [s, d] : edges) adjacent[s].push_back(d);
  std::vector<int> owner(tiles, -1);
  uint64_t size = 0;
  for (uint16_t s = 0; s < tiles; ++s) {
    std::vector<bool> seen(tiles, false);
    const auto augment = [&](auto&& self, uint16_t u) -> bool {
      for (uint16_t d : adjacent[u]) {
        if (seen[d]) continue;
        seen[d] = true;
        if (owner[d] < 0 || self(self, static_cast<uint16_t>(owner[d]))) {
          owner[d] = u;
          return true;
        }
      }
      return false;
    };
    if (augment(augment, s)) ++size;
  }
  return size;
}

// Random point-to-point phases over few tiles and a small address pool, so
// that memory hazards chain many transfers; the current order is a random
// topological order.
TEST(MatchingWaves, RandomPhasesReplayAsMaximumWaves) {
  uint64_t produced = 0;
  for (uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937_64 rng(seed);
    const uint16_t tiles = 2 + rng() % 10;
    const uint64_t n = 2 + rng() % 60;
    std::vector<PendingTransfer> transfers;
    for (uint64_t i = 0; i < n; ++i) {
      const uint16_t s = rng() % tiles;
      const uint16_t d = (s + 1 + rng() % (tiles - 1)) % tiles;
      transfers.push_back(
          make(s, {{d, uint32_t(rng() % 8) * 16}}, 1 + rng() % 8, uint32_t(rng() % 8) * 16));
    }
    const auto p = phase(transfers, tiles);
    const SchedulingProblem& problem = p->problem;

    Order current;
    std::vector<uint64_t> waiting(n);
    std::vector<uint64_t> ready;
    for (uint64_t t = 0; t < n; ++t) {
      waiting[t] = problem.predecessors[t].size();
      if (waiting[t] == 0) ready.push_back(t);
    }
    while (!ready.empty()) {
      std::swap(ready[rng() % ready.size()], ready.back());
      const uint64_t t = ready.back();
      ready.pop_back();
      current.push_back(t);
      for (uint64_t s : problem.successors[t]) {
        if (--waiting[s] == 0) ready.push_back(s);
      }
    }
    ASSERT_EQ(current.size(), n);
    std::vector<uint64_t> position(n);
    for (uint64_t i = 0; i < n; ++i) position[current[i]] = i;

    const auto waves = point_to_point_matching_waves(problem, current);
    if (!waves) continue;
    ++produced;
    ASSERT_EQ(point_to_point_matching_wave_order(problem, current),
              std::accumulate(waves->begin(), waves->end(), Order{}, [](Order a, const Order& w) {
                a.insert(a.end(), w.begin(), w.end());
                return a;
              }));

    // Replay: every wave is drawn from the transfers ready before it, uses each
    // tile at most once per side, picks the earliest transfer of each tile
    // pair, is as large as any matching of the ready traffic, and follows the
    // current order.
    std::vector<bool> emitted(n, false);
    uint64_t count = 0;
    for (const Order& wave : *waves) {
      std::vector<std::pair<uint16_t, uint16_t>> ready_pairs;
      std::map<std::pair<uint16_t, uint16_t>, uint64_t> earliest;
      for (uint64_t t = 0; t < n; ++t) {
        if (emitted[t]) continue;
        if (!std::all_of(problem.predecessors[t].begin(), problem.predecessors[t].end(),
                         [&](uint64_t q) { return emitted[q]; })) {
          continue;
        }
        const std::pair<uint16_t, uint16_t> pair{transfers[t].source,
                                                 transfers[t].destinations[0].tile};
        ready_pairs.push_back(pair);
        auto [it, fresh] = earliest.try_emplace(pair, t);
        if (!fresh && position[t] < position[it->second]) it->second = t;
      }
      std::vector<bool> sends(tiles, false), receives(tiles, false);
      for (uint64_t t : wave) {
        const std::pair<uint16_t, uint16_t> pair{transfers[t].source,
                                                 transfers[t].destinations[0].tile};
        ASSERT_EQ(earliest.count(pair), 1u) << "seed " << seed << " transfer " << t;
        EXPECT_EQ(earliest[pair], t) << "seed " << seed;
        EXPECT_FALSE(sends[pair.first]) << "seed " << seed << " tile sends twice";
        EXPECT_FALSE(receives[pair.second]) << "seed " << seed << " tile receives twice";
        sends[pair.first] = receives[pair.second] = true;
      }
      EXPECT_EQ(wave.size(), maximum_matching(ready_pairs, tiles)) << "seed " << seed;
      EXPECT_TRUE(std::is_sorted(wave.begin(), wave.end(),
                                 [&](uint64_t a, uint64_t b) { return position[a] < position[b]; }))
          << "seed " << seed;
      for (uint64_t t : wave) emitted[t] = true;
      count += wave.size();
    }
    EXPECT_EQ(count, n) << "seed " << seed;
  }
  EXPECT_GT(produced, 200u);
}

}  // namespace
}  // namespace tessel::codegen::exchange::order
