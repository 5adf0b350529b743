#include "tools/exchange_schedule_bench/phase_runs.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/reuse/cache.h"
#include "codegen/exchange/validate.h"
#include "exchange/diagnostic.h"
#include "tools/exchange_schedule_bench/report.h"

namespace tessel::bench {

using codegen::exchange::ExchangeScheduleProblem;
using codegen::exchange::PhysicalExchangePhase;
using Clock = std::chrono::steady_clock;

namespace {

double elapsed_ms(Clock::time_point since) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since);
  return static_cast<double>(ns.count()) / 1e6;
}

RunError lowering(const codegen::exchange::ExchangeLoweringError& e) {
  return RunError(e.display());
}

// One scheduling run and the problem its result must be validated against:
// the working problem on the direct path, the problem with the widths the
// cache chose on the cache path.
struct RunOutcome {
  std::optional<ExchangeScheduleProblem> rewritten;
  const ExchangeScheduleProblem* working;
  PhysicalExchangePhase result;
  const ExchangeScheduleProblem& problem() const { return rewritten ? *rewritten : *working; }
};

std::expected<RunOutcome, RunError> cache_run(
    codegen::exchange::reuse::ExchangeScheduleCache& cache, uint16_t tiles,
    const ExchangeScheduleProblem& problem) {
  auto scheduled = cache.schedule_problem(tiles, problem);
  if (!scheduled) return std::unexpected(lowering(scheduled.error()));
  return RunOutcome{std::move(scheduled->first), &problem, std::move(scheduled->second)};
}

std::expected<void, RunError> validate_run(uint16_t tiles, const RunOutcome& run) {
  auto valid = codegen::exchange::validate_exchange_schedule(tiles, run.problem(), run.result);
  if (!valid) return std::unexpected(lowering(valid.error()));
  return {};
}

std::expected<void, RunError> dump_tile(const PhysicalExchangePhase& result, uint64_t tile,
                                        std::FILE* out) {
  if (tile >= result.programs.size() || tile >= result.activities.size()) {
    return std::unexpected(RunError(fmt::format("logical tile {} is out of range", tile)));
  }
  for (const auto& a : result.activities[tile]) {
    fmt::print(out,
               "phase={} logicalTile={} transfer={} {} cycles={}..{} memoryEnd={} address=0x{:x} "
               "words={}\n",
               result.phase, tile, a.transfer, codegen::exchange::activity_kind_name(a.kind),
               a.start, a.end, a.memory_end, a.address, a.words);
  }
  auto decoded = tessel::exchange::diagnose_plan_program(result.programs[tile], std::nullopt);
  if (!decoded) return std::unexpected(RunError(decoded.error().display()));
  fmt::print(out, "phase={} logicalTile={}\n{}\n", result.phase, tile, decoded->render());
  return {};
}

}  // namespace

std::expected<ExchangeScheduleProblem, RunError> relocate_problem(
    const ExchangeScheduleProblem& problem, uint32_t delta) {
  ExchangeScheduleProblem moved = problem;
  const auto shift = [delta](uint32_t& address) {
    const uint64_t sum = uint64_t{address} + delta;
    if (sum > 0xFFFFFFFFu) return false;
    address = static_cast<uint32_t>(sum);
    return true;
  };
  for (auto& t : moved.transfers) {
    for (uint32_t& s : t.source_addresses) {
      if (!shift(s)) return std::unexpected(RunError("relocated address overflow"));
    }
    for (auto& d : t.destinations) {
      if (!shift(d.address)) return std::unexpected(RunError("relocated address overflow"));
    }
  }
  return moved;
}

std::expected<void, RunError> run_phases(const Arguments& args, const Setup& setup,
                                         std::FILE* out) {
  const auto total_start = Clock::now();
  const uint16_t tiles = setup.snapshot.tile_count;

  for (std::size_t index : setup.selection) {
    const ExchangeScheduleProblem& original = setup.snapshot.phases[index];
    // One cache per phase; nothing is shared between phases.
    codegen::exchange::reuse::ExchangeScheduleCache cache;
    if (args.replay_cache) {
      // Filled from the problem as read, before any relocation.
      auto warm = cache_run(cache, tiles, original);
      if (!warm) return std::unexpected(std::move(warm).error());
      if (auto v = validate_run(tiles, *warm); !v) return v;
    }
    std::optional<ExchangeScheduleProblem> relocated;
    if (args.relocate_by != 0) {
      auto moved = relocate_problem(original, args.relocate_by);
      if (!moved) return std::unexpected(std::move(moved).error());
      relocated = std::move(*moved);
    }
    const ExchangeScheduleProblem& working = relocated ? *relocated : original;

    const auto schedule_once = [&]() -> std::expected<RunOutcome, RunError> {
      if (args.select_widths) {
        if (!args.replay_cache) cache.clear();
        return cache_run(cache, tiles, working);
      }
      auto result = codegen::exchange::schedule_exchange_problem(tiles, working);
      if (!result) return std::unexpected(lowering(result.error()));
      return RunOutcome{std::nullopt, &working, std::move(*result)};
    };
    const auto validate = [&](const RunOutcome& run) { return validate_run(tiles, run); };

    for (uint64_t i = 0; i < args.warmup; ++i) {
      auto run = schedule_once();
      if (!run) return std::unexpected(std::move(run).error());
      if (auto v = validate(*run); !v) return v;
    }

    std::vector<double> schedule_ms, validation_ms;
    schedule_ms.reserve(args.iterations);
    validation_ms.reserve(args.iterations);
    std::optional<PhysicalExchangePhase> reference;
    for (uint64_t i = 0; i < args.iterations; ++i) {
      auto start = Clock::now();
      auto run = schedule_once();
      if (!run) return std::unexpected(std::move(run).error());
      schedule_ms.push_back(elapsed_ms(start));

      start = Clock::now();
      if (auto v = validate(*run); !v) return v;
      validation_ms.push_back(elapsed_ms(start));

      if (!reference) {
        reference = run->result;
      } else if (!codegen::exchange::identical_output(*reference, run->result)) {
        return std::unexpected(RunError(fmt::format(
            "phase {} scheduler/codegen output changed between identical runs", working.phase)));
      }
      if (i == 0 && args.dump_tile) {
        if (auto d = dump_tile(run->result, *args.dump_tile, out); !d) return d;
      }
      if (schedule_ms.size() == args.iterations) {
        const PhaseFigures figures = phase_figures(run->problem(), run->result);
        std::sort(schedule_ms.begin(), schedule_ms.end());
        std::sort(validation_ms.begin(), validation_ms.end());
        fmt::print(out, "{}", result_line(figures, schedule_ms, validation_ms));
        std::fflush(out);
      }
    }
  }
  fmt::print(out, "totalMs={:.3f}\n", elapsed_ms(total_start));
  std::fflush(out);
  return {};
}

}  // namespace tessel::bench
