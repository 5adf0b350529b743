#pragma once
// The figures of a phase's result line: sizes, timing statistics and the
// fingerprint of the generated programs.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codegen/exchange/model.h"

namespace tessel::bench {

// SipHash-1-3 (zero key) over: the tile count (u64 LE), then per tile its
// program length (u64 LE) followed by its words (u32 LE each).
uint64_t row_fingerprint(const std::vector<std::vector<uint32_t>>& programs);

// Entry clamp(ceil(n * p / 100), 1, n) - 1 of an ascending list (n >= 1).
double percentile(const std::vector<double>& sorted, uint64_t p);

struct PhaseFigures {
  uint32_t phase = 0;
  uint64_t transfers = 0;
  uint64_t destinations = 0;
  uint32_t initial_horizon = 0;
  uint32_t horizon = 0;
  uint32_t endpoint_lower_bound = 0;
  uint64_t neighborhood_improvements = 0;
  uint64_t row_words = 0;
  uint64_t maximum_row_words = 0;
  bool reused = false;
  uint64_t row_fingerprint = 0;
};

PhaseFigures phase_figures(const codegen::exchange::ExchangeScheduleProblem& problem,
                           const codegen::exchange::PhysicalExchangePhase& result);

// Both lists sorted ascending, in milliseconds.
std::string result_line(const PhaseFigures& figures, const std::vector<double>& schedule_ms,
                        const std::vector<double>& validation_ms);

}  // namespace tessel::bench
