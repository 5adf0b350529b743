// Both alternative orders on generated point-to-point phases over the full
// 1472-tile machine. Destination addresses come from a small per-tile pool,
// so that some transfers overwrite earlier ones and the hazard graph is not
// empty; the current order is transfer index order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <random>

#include "codegen/exchange/order/matching_waves.h"
#include "codegen/exchange/order/repair.h"

namespace tessel::codegen::exchange::order {
namespace {

constexpr uint16_t kTiles = 1472;

struct Phase {
  std::vector<PendingTransfer> transfers;
  SchedulingProblem problem;
  std::vector<uint64_t> order;
  std::vector<bool> neighborhood;
  Phase(std::vector<PendingTransfer> t, std::vector<bool> flags)
      : transfers(std::move(t)),
        problem(transfers, kTiles),
        order(transfers.size()),
        neighborhood(std::move(flags)) {
    std::iota(order.begin(), order.end(), 0);
  }
};

const Phase& generated_phase(uint64_t n) {
  static std::map<uint64_t, std::unique_ptr<Phase>> cache;
  auto& slot = cache[n];
  if (!slot) {
    // Balanced traffic: round r sends from every tile to a random permutation
    // of the tiles, so every tile sends and receives about n / 1472 times; the
    // transfers are then shuffled.
    std::mt19937_64 rng(n);
    std::vector<uint16_t> receiver(kTiles);
    std::vector<PendingTransfer> transfers(n);
    for (uint64_t i = 0; i < n; ++i) {
      if (i % kTiles == 0) {
        std::iota(receiver.begin(), receiver.end(), 0);
        std::shuffle(receiver.begin(), receiver.end(), rng);
      }
      PendingTransfer& p = transfers[i];
      p.source = static_cast<uint16_t>(i % kTiles);
      const uint16_t d = receiver[p.source];
      p.words = 1 + rng() % 64;
      p.source_addresses = {uint32_t(rng() % 1024) * 0x100};
      p.destinations = {
          {d == p.source ? uint16_t((d + 1) % kTiles) : d, uint32_t(rng() % 64) * 0x100}};
      p.refresh_source_elements();
    }
    std::shuffle(transfers.begin(), transfers.end(), rng);
    std::vector<bool> flags(n);
    for (uint64_t i = 0; i < n; ++i) flags[i] = rng() % 20 == 0;
    slot = std::make_unique<Phase>(std::move(transfers), std::move(flags));
  }
  return *slot;
}

void BM_MatchingWaveOrder(benchmark::State& state) {
  const Phase& phase = generated_phase(state.range(0));
  uint64_t edges = 0;
  for (uint64_t t = 0; t < phase.problem.successors.size(); ++t) {
    edges += phase.problem.successors[t].size();
  }
  for (auto _ : state) {
    auto order = point_to_point_matching_wave_order(phase.problem, phase.order);
    if (!order) state.SkipWithError("no matching-wave order");
    benchmark::DoNotOptimize(order);
  }
  state.counters["edges"] = static_cast<double>(edges);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MatchingWaveOrder)->Arg(2000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

void BM_RepairOrder(benchmark::State& state) {
  const Phase& phase = generated_phase(state.range(0));
  for (auto _ : state) {
    auto order = repair_order(phase.problem, phase.order, phase.neighborhood);
    benchmark::DoNotOptimize(order);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RepairOrder)->Arg(2000)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessel::codegen::exchange::order
