#pragma once
// The benchmark's main loop: per selected phase, warm-up and timed runs of
// the scheduler, independent validation, the identical-output check, the
// optional tile dump and the result line; then the total time.
#include <cstdio>
#include <expected>

#include "tools/exchange_schedule_bench/arguments.h"
#include "tools/exchange_schedule_bench/run_error.h"
#include "tools/exchange_schedule_bench/setup.h"

namespace tessel::bench {

std::expected<void, RunError> run_phases(const Arguments& args, const Setup& setup, std::FILE* out);

// A copy of `problem` with `delta` added to every source and destination
// address; fails with "relocated address overflow" when a sum needs 33 bits.
std::expected<codegen::exchange::ExchangeScheduleProblem, RunError> relocate_problem(
    const codegen::exchange::ExchangeScheduleProblem& problem, uint32_t delta);

}  // namespace tessel::bench
