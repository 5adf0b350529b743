// Throughput of the snapshot reader on a generated ~100 MB snapshot: the whole
// read_snapshot (file read + decode) and each decoder alone. Reported as bytes
// per second; the memory is allocated afresh per run, as in the benchmark tool.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "codegen/exchange/snapshot_reader.h"

namespace tessel::codegen::exchange {
namespace {

// Shaped like an exported snapshot: a few hundred phases of 1500 transfers,
// one transfer per line.
const std::string& generated_snapshot() {
  static const std::string json = [] {
    std::mt19937_64 rng(42);
    const auto below = [&](uint64_t n) { return rng() % n; };
    std::string out = "{\"schema_version\": 3, \"tile_count\": 1472, \"phases\": [\n";
    for (int phase = 0; phase < 400; ++phase) {
      if (phase > 0) out += ",\n";
      out += fmt::format("{{\"phase\": {}, \"transfers\": [\n", phase);
      for (int t = 0; t < 1500; ++t) {
        if (t > 0) out += ",\n";
        out += fmt::format("{{\"source\": {}, \"source_addresses\": [", below(1472));
        for (uint64_t a = 0, n = 1 + below(2); a < n; ++a) {
          out += fmt::format("{}{}", a > 0 ? ", " : "", below(600000) * 4);
        }
        out += "], \"destinations\": [";
        for (uint64_t d = 0, n = 1 + below(4); d < n; ++d) {
          out += fmt::format("{}{{\"tile\": {}, \"address\": {}}}", d > 0 ? ", " : "", below(1472),
                             below(600000) * 4);
        }
        out += fmt::format("], \"words\": {}, \"width\": \"{}\"}}", 1 + below(4148),
                           below(2) == 0 ? "Word32" : "Paired64");
      }
      out += "\n]}";
    }
    out += "\n]}\n";
    return out;
  }();
  return json;
}

void BM_ReadSnapshotFile(benchmark::State& state) {
  const std::string& json = generated_snapshot();
  char path[] = "/tmp/snapshot_reader_benchmarkXXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, json.data(), json.size()) != static_cast<ssize_t>(json.size())) {
    state.SkipWithError("cannot write the snapshot file");
    return;
  }
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    auto snapshot = read_snapshot(fd);
    if (!snapshot) state.SkipWithError(snapshot.error().c_str());
    benchmark::DoNotOptimize(snapshot);
  }
  close(fd);
  unlink(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
  state.counters["MB"] = static_cast<double>(json.size()) / 1e6;
}
BENCHMARK(BM_ReadSnapshotFile)->Unit(benchmark::kMillisecond)->Iterations(3);

// The part of BM_ReadSnapshotFile that is only the read(2) into fresh memory.
void BM_ReadFileOnly(benchmark::State& state) {
  const std::string& json = generated_snapshot();
  char path[] = "/tmp/snapshot_reader_benchmarkXXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, json.data(), json.size()) != static_cast<ssize_t>(json.size())) {
    state.SkipWithError("cannot write the snapshot file");
    return;
  }
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    auto buffer = std::make_unique_for_overwrite<char[]>(json.size() + 1);
    size_t size = 0;
    for (ssize_t n; (n = read(fd, buffer.get() + size, json.size() + 1 - size)) > 0;) {
      size += static_cast<size_t>(n);
    }
    benchmark::DoNotOptimize(buffer.get()[size / 2]);
  }
  close(fd);
  unlink(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_ReadFileOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FastDecode(benchmark::State& state) {
  const std::string& json = generated_snapshot();
  for (auto _ : state) {
    auto snapshot = detail::fast_decode_snapshot(json);
    if (!snapshot) state.SkipWithError("the fast path declined a valid snapshot");
    benchmark::DoNotOptimize(snapshot);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_FastDecode)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_StreamDecode(benchmark::State& state) {
  const std::string& json = generated_snapshot();
  for (auto _ : state) {
    auto snapshot = detail::stream_decode_snapshot(json);
    if (!snapshot) state.SkipWithError(snapshot.error().c_str());
    benchmark::DoNotOptimize(snapshot);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_StreamDecode)->Unit(benchmark::kMillisecond)->Iterations(3);

// An error in the last line forces the full fallback: both passes run.
void BM_ErrorAtTheEnd(benchmark::State& state) {
  std::string json = generated_snapshot();
  json.insert(json.size() - 5, ", \"phase\": 1");
  for (auto _ : state) {
    auto snapshot = parse_snapshot(json);
    if (snapshot) state.SkipWithError("a duplicate field was accepted");
    benchmark::DoNotOptimize(snapshot);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_ErrorAtTheEnd)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace tessel::codegen::exchange
