#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "exchange/chunked.h"

namespace tessel::exchange {
namespace {

using Words = Chunked<uint32_t>;

Words filled(uint32_t n) {
  Words w;
  for (uint32_t i = 0; i < n; ++i) w.push(i);
  return w;
}

// A copy costs one reference increment per chunk: 79 for 10,000 words.
void BM_Copy(benchmark::State& state) {
  const Words source = filled(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    Words copy = source;
    benchmark::DoNotOptimize(copy);
  }
  state.counters["chunks"] = static_cast<double>(source.chunk_count());
}
BENCHMARK(BM_Copy)->Arg(10000);

// Copy, then push: the shared last chunk is the only one copied.
void BM_PushAfterCopy(benchmark::State& state) {
  const Words source = filled(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    Words copy = source;
    copy.push(7);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_PushAfterCopy)->Arg(10000);

// The re-encoding pattern: copy, cut back to a checkpoint, append a row.
void BM_TruncatePush(benchmark::State& state) {
  const Words source = filled(static_cast<uint32_t>(state.range(0)));
  const uint64_t checkpoint = source.len() - 300;
  for (auto _ : state) {
    Words copy = source;
    copy.truncate(checkpoint);
    for (uint32_t i = 0; i < 9; ++i) copy.push(i);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_TruncatePush)->Arg(10000);

// Baseline for the above: a plain vector copy of the same words.
void BM_VectorCopy(benchmark::State& state) {
  const std::vector<uint32_t> source = filled(static_cast<uint32_t>(state.range(0))).to_vector();
  for (auto _ : state) {
    std::vector<uint32_t> copy = source;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_VectorCopy)->Arg(10000);

}  // namespace
}  // namespace tessel::exchange
