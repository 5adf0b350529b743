// Measures the scheduler on a snapshot for the performance report: per phase
// the schedule quality, how many schedules and placements the strategies
// built, time per run and per placement, validation time and peak memory.
// One key=value line per phase; bench/run turns them into a table.
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/materialized.h"
#include "codegen/exchange/snapshot_reader.h"
#include "codegen/exchange/validate.h"
#include "tools/exchange_schedule_bench/report.h"

namespace {

using namespace tessel::codegen::exchange;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Measure the exchange scheduler on a snapshot", "exchange_schedule_profile");
  std::string path;
  uint64_t iterations = 5;
  uint64_t warmup = 1;
  app.add_option("SNAPSHOT", path, "Snapshot file")->required();
  app.add_option("--iterations", iterations, "Timed runs per phase")->capture_default_str();
  app.add_option("--warmup", warmup, "Untimed runs per phase")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (iterations == 0) iterations = 1;

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fmt::print(stderr, "Error: open {}\n", path);
    return 1;
  }
  auto snapshot = read_snapshot(fd);
  ::close(fd);
  if (!snapshot) {
    fmt::print(stderr, "Error: parse {}: {}\n", path, snapshot.error());
    return 1;
  }
  const uint16_t tiles = snapshot->tile_count;
  for (const auto& problem : snapshot->phases) {
    for (uint64_t i = 0; i < warmup; ++i) (void)schedule_exchange_problem(tiles, problem);
    std::vector<double> times;
    SchedulingCounters& counters = scheduling_counters();
    counters = {};
    LoweringResult<PhysicalExchangePhase> result =
        std::unexpected(ExchangeLoweringError::overflow());
    for (uint64_t i = 0; i < iterations; ++i) {
      const auto start = Clock::now();
      result = schedule_exchange_problem(tiles, problem);
      times.push_back(ms_since(start));
      if (!result) {
        fmt::print(stderr, "Error: phase {}: {}\n", problem.phase, result.error().display());
        return 1;
      }
    }
    const SchedulingCounters per_run{counters.materializations / iterations,
                                     counters.placements / iterations};
    const auto validation_start = Clock::now();
    auto valid = validate_exchange_schedule(tiles, problem, *result);
    const double validation_ms = ms_since(validation_start);
    if (!valid) {
      fmt::print(stderr, "Error: phase {}: {}\n", problem.phase, valid.error().display());
      return 1;
    }
    std::sort(times.begin(), times.end());
    const double median = tessel::bench::percentile(times, 50);
    const double p95 = tessel::bench::percentile(times, 95);
    fmt::print(
        "phase={} transfers={} horizon={} lowerBound={} gap={} improvements={} materializations={} "
        "placements={} medianMs={:.3f} p95Ms={:.3f} nsPerPlacement={:.0f} validationMs={:.3f} "
        "peakRssMiB={:.1f}\n",
        problem.phase, problem.transfers.size(), result->horizon, result->endpoint_lower_bound,
        result->horizon - std::min(result->horizon, result->endpoint_lower_bound),
        result->neighborhood_improvements, per_run.materializations, per_run.placements, median,
        p95, per_run.placements ? median * 1e6 / static_cast<double>(per_run.placements) : 0.0,
        validation_ms, peak_rss_mib());
  }
  return 0;
}
