#pragma once
// The optimisation pipeline of one phase: the greedy list schedule (with one
// retry under incremental encodability checks when it does not encode), then
// a matching-wave order and repeated critical-neighbourhood repairs, each
// candidate materialised for real and kept only when it finishes strictly
// earlier.
#include <string_view>

#include "codegen/exchange/materialized.h"

namespace tessel::codegen::exchange {

inline constexpr std::string_view kLabelFullDuplex = "full-duplex";
inline constexpr std::string_view kLabelMatchingWaves = "matching-waves";
inline constexpr std::string_view kLabelCriticalNeighborhood = "critical-neighborhood";
inline constexpr std::string_view kLabelReused = "reused";

struct ScheduledPending {
  MaterializedSchedule schedule;
  std::string_view label;  // one of the labels above
  uint64_t neighborhood_improvements = 0;
  uint32_t initial_horizon = 0;
  uint32_t endpoint_lower_bound = 0;
};

// The greedy schedule with its alignment fallback: built without incremental
// checks, trial-finished, and rebuilt with incremental checks when the trial
// fails only on PicPair word alignment.
LoweringResult<MaterializedSchedule> materialize_greedy_schedule(const Topology& topology,
                                                                 const SchedulingProblem& problem,
                                                                 const ReceiveInputs& receive);

LoweringResult<ScheduledPending> optimize_pending_schedule(
    const Topology& topology, std::span<const PendingTransfer> transfers,
    const ReceiveInputs& receive, uint16_t tile_count);

// Never fails: a candidate that fails is dropped.
ScheduledPending improve_pending_schedule(const Topology& topology,
                                          const SchedulingProblem& problem,
                                          const ReceiveInputs& receive,
                                          MaterializedSchedule schedule);

}  // namespace tessel::codegen::exchange
