#include <fmt/format.h>

#include <cstdio>

#include "tools/exchange_schedule_bench/arguments.h"
#include "tools/exchange_schedule_bench/phase_runs.h"
#include "tools/exchange_schedule_bench/setup.h"

namespace {

int fail(const tessel::bench::RunError& error) {
  std::fflush(stdout);
  fmt::print(stderr, "Error: {}\n", error.report());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Lines already printed must survive a later failure, whatever stdout is.
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);

  auto parsed = tessel::bench::parse_command_line(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const auto& args = std::get<tessel::bench::Arguments>(parsed);

  auto setup = tessel::bench::run_setup(args, stdout);
  if (!setup) return fail(setup.error());
  if (auto ran = tessel::bench::run_phases(args, *setup, stdout); !ran) return fail(ran.error());
  return 0;
}
