#include "tools/exchange_schedule_bench/report.h"

#include <fmt/format.h>

#include <algorithm>

#include "support/siphash.h"

namespace tessel::bench {

uint64_t row_fingerprint(const std::vector<std::vector<uint32_t>>& programs) {
  support::SipHasher13 h;
  h.write_u64(programs.size());
  for (const auto& program : programs) {
    h.write_u64(program.size());
    for (uint32_t w : program) h.write_u32(w);
  }
  return h.finish();
}

double percentile(const std::vector<double>& sorted, uint64_t p) {
  const uint64_t n = sorted.size();
  const uint64_t rank = std::clamp<uint64_t>((n * p + 99) / 100, 1, n);
  return sorted[rank - 1];
}

PhaseFigures phase_figures(const codegen::exchange::ExchangeScheduleProblem& problem,
                           const codegen::exchange::PhysicalExchangePhase& result) {
  PhaseFigures f;
  f.phase = problem.phase;
  f.transfers = problem.transfers.size();
  for (const auto& t : problem.transfers) f.destinations += t.destinations.size();
  f.initial_horizon = result.initial_horizon;
  f.horizon = result.horizon;
  f.endpoint_lower_bound = result.endpoint_lower_bound;
  f.neighborhood_improvements = result.neighborhood_improvements;
  for (const auto& program : result.programs) {
    f.row_words += program.size();
    f.maximum_row_words = std::max<uint64_t>(f.maximum_row_words, program.size());
  }
  f.reused = result.reused;
  f.row_fingerprint = row_fingerprint(result.programs);
  return f;
}

// Milliseconds print with exactly three decimals ("{:.3f}"; fmt's "{:.3}"
// would mean three significant digits).
std::string result_line(const PhaseFigures& f, const std::vector<double>& schedule_ms,
                        const std::vector<double>& validation_ms) {
  const uint32_t gap = f.endpoint_lower_bound > f.horizon ? 0 : f.horizon - f.endpoint_lower_bound;
  return fmt::format(
      "phase={} transfers={} destinations={} initialHorizonCycles={} horizonCycles={} "
      "endpointLowerBoundCycles={} lowerBoundGapCycles={} neighborhoodImprovements={} rowWords={} "
      "maximumRowWords={} scheduleCodegenMinMs={:.3f} scheduleCodegenMedianMs={:.3f} "
      "scheduleCodegenP95Ms={:.3f} scheduleCodegenMaxMs={:.3f} validationMedianMs={:.3f} reused={} "
      "rowFingerprint={:016x} invariants=PASS\n",
      f.phase, f.transfers, f.destinations, f.initial_horizon, f.horizon, f.endpoint_lower_bound,
      gap, f.neighborhood_improvements, f.row_words, f.maximum_row_words, schedule_ms.front(),
      percentile(schedule_ms, 50), percentile(schedule_ms, 95), schedule_ms.back(),
      percentile(validation_ms, 50), f.reused, f.row_fingerprint);
}

}  // namespace tessel::bench
