#pragma once
// The greedy list scheduler: the first complete schedule of a phase. It
// repeatedly takes, among the transfers whose memory predecessors are all
// placed, the one that can start earliest and matters most, and places it at
// once, so every choice sees the true state left by the earlier ones.
//
// Ready-queue keys are refreshed lazily (only at the top); a long run of
// stale tops on a large queue switches to one full rebuild. Transfers with
// identical endpoints that are ready at the start wait in an endpoint group
// and enter the queue one at a time.
#include "codegen/exchange/materialized.h"

namespace tessel::codegen::exchange {

LoweringResult<MaterializedSchedule> materialize_greedy_schedule_impl(
    const Topology& topology, const SchedulingProblem& problem, const ReceiveInputs& receive,
    bool incremental);

}  // namespace tessel::codegen::exchange
