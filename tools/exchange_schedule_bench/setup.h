#pragma once
// Everything before the first phase is scheduled: argument checks, reading
// and validating the snapshot, the first-iteration-only rewrite, phase
// selection and the header line.
#include <cstdio>
#include <expected>
#include <vector>

#include "codegen/exchange/model.h"
#include "tools/exchange_schedule_bench/arguments.h"
#include "tools/exchange_schedule_bench/run_error.h"

namespace tessel::bench {

struct Setup {
  codegen::exchange::ExchangeScheduleSnapshot snapshot;
  // Indices into snapshot.phases of the phases to run, in snapshot order.
  std::vector<std::size_t> selection;
};

// Runs the setup and prints the header line to `out`.
std::expected<Setup, RunError> run_setup(const Arguments& args, std::FILE* out);

// Keeps only the first source address of every transfer.
void keep_first_iteration_only(codegen::exchange::ExchangeScheduleSnapshot& snapshot);

}  // namespace tessel::bench
