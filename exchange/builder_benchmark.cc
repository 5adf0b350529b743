// Placement cost of the phase program builder: offset search plus append of
// one transfer onto a tile that already holds 10,000 (and 100,000) receive
// events, against the same on an empty tile. Searches are binary searches and
// placements re-encode only the tail, so what still grows with the tile is
// the copying of chunk handles: about one reference per 128 elements of each
// copied sequence.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <vector>

#include "exchange/builder.h"
#include "exchange/topology.h"

namespace tessel::exchange {
namespace {

constexpr uint16_t kTiles = 8;
constexpr uint16_t kTarget = 1;
constexpr uint32_t kCount = 8;
// A placement run restarts from its base builder this often, so that a
// benchmark of many iterations keeps measuring the same tile sizes.
constexpr int kRestartEvery = 64;

struct Transfers {
  std::vector<uint16_t> senders;
  std::vector<AssembledMulticast> rows;  // per sender, into the target tile
};

const Transfers& transfers() {
  static const Transfers t = [] {
    const Topology topology = *Topology::tarn_prefix(kTiles);
    Transfers out;
    for (uint16_t s = 0; s < kTiles; ++s) {
      if (s == kTarget) continue;
      out.senders.push_back(s);
      const uint16_t receivers[] = {kTarget};
      out.rows.push_back(*topology.multicast(s, receivers, kCount, 0));
    }
    return out;
  }();
  return t;
}

bool place(PhaseProgramBuilder& builder, size_t k, bool check_encoding) {
  const Transfers& t = transfers();
  const size_t i = k % t.senders.size();
  const uint16_t receivers[] = {kTarget};
  auto offset = builder.earliest_transfer_offset_impl(t.senders[i], {}, receivers, t.rows[i],
                                                      kCount, 0, check_encoding);
  if (!offset) return false;
  return builder.append_transfer_at(t.senders[i], {}, receivers, t.rows[i], *offset, kCount)
      .has_value();
}

// A builder whose target tile holds at least `events` receive events, every
// tile's encoding cached as after a checked placement.
PhaseProgramBuilder loaded_builder(uint64_t events) {
  PhaseProgramBuilder builder(kTiles);
  for (size_t k = 0; builder.tile(kTarget).receive_events.len() < events; ++k) {
    if (!place(builder, k, /*check_encoding=*/true)) std::abort();
  }
  if (!builder.finish()) std::abort();
  return builder;
}

void run_placements(benchmark::State& state, const PhaseProgramBuilder& base, bool check_encoding) {
  PhaseProgramBuilder builder = base;
  size_t k = 0;
  for (auto _ : state) {
    if (k % kRestartEvery == 0) builder = base;
    if (!place(builder, k, check_encoding)) {
      state.SkipWithError("placement failed");
      break;
    }
    ++k;
  }
  state.counters["target_events"] = static_cast<double>(base.tile(kTarget).receive_events.len());
  state.SetItemsProcessed(state.iterations());
}

void BM_PlaceOnEmptyTile(benchmark::State& state) {
  run_placements(state, PhaseProgramBuilder(kTiles), state.range(0) != 0);
}
BENCHMARK(BM_PlaceOnEmptyTile)->ArgName("checked")->Arg(0)->Arg(1);

// Arguments: whether the search checks encodability, and how many receive
// events the target tile holds before the measured placements. The figures
// should not grow with the second argument.
void BM_PlaceOnLoadedTile(benchmark::State& state) {
  static std::map<int64_t, PhaseProgramBuilder> bases;
  auto it = bases.find(state.range(1));
  if (it == bases.end()) {
    it = bases.emplace(state.range(1), loaded_builder(static_cast<uint64_t>(state.range(1)))).first;
  }
  run_placements(state, it->second, state.range(0) != 0);
}
BENCHMARK(BM_PlaceOnLoadedTile)
    ->ArgNames({"checked", "events"})
    ->ArgsProduct({{0, 1}, {10'000, 100'000}});

// Search alone (no append) on the loaded tile: the per-candidate cost.
void BM_SearchOnTileWith10000Events(benchmark::State& state) {
  static const PhaseProgramBuilder base = loaded_builder(10'000);
  const Transfers& t = transfers();
  const uint16_t receivers[] = {kTarget};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        base.earliest_transfer_offset_deferred(t.senders[0], {}, receivers, t.rows[0], kCount, 0));
  }
}
BENCHMARK(BM_SearchOnTileWith10000Events);

// A whole phase built from scratch: ns per placement across a growing builder.
void BM_BuildPhase(benchmark::State& state) {
  const int placements = static_cast<int>(state.range(0));
  for (auto _ : state) {
    PhaseProgramBuilder builder(kTiles);
    for (int k = 0; k < placements; ++k) {
      if (!place(builder, static_cast<size_t>(k), /*check_encoding=*/true)) std::abort();
    }
    benchmark::DoNotOptimize(builder.event_cycles());
  }
  state.SetItemsProcessed(state.iterations() * placements);
}
BENCHMARK(BM_BuildPhase)->Arg(100)->Arg(5000);

}  // namespace
}  // namespace tessel::exchange
