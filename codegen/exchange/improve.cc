#include "codegen/exchange/improve.h"

#include <chrono>

#include "codegen/exchange/greedy.h"
#include "codegen/exchange/order/matching_waves.h"
#include "codegen/exchange/order/repair.h"
#include "support/events.h"

namespace tessel::codegen::exchange {

LoweringResult<MaterializedSchedule> materialize_greedy_schedule(const Topology& topology,
                                                                 const SchedulingProblem& problem,
                                                                 const ReceiveInputs& receive) {
  {
    auto greedy = materialize_greedy_schedule_impl(topology, problem, receive, false);
    if (!greedy) return greedy;
    auto trial = greedy->builder.finish();
    if (trial) return greedy;
    if (!trial.error().is_schedule("SENDPICP instruction alignment")) {
      return std::unexpected(ExchangeLoweringError(trial.error()));
    }
  }  // the first schedule is dropped before the retry
  // Only a PicPair alignment problem is worth the slower incremental checks.
  const uint64_t transfers = problem.transfers.size();
  TESSEL_EVENT("tessel_codegen::exchange",
               "retrying exchange schedule with incremental instruction-alignment validation",
               ("transfers", transfers));
  const auto started = std::chrono::steady_clock::now();
  auto retry = materialize_greedy_schedule_impl(topology, problem, receive, true);
  const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count();
  TESSEL_EVENT("tessel_codegen::exchange", "finished incremental instruction-alignment validation",
               ("transfers", transfers), ("elapsed_ms", elapsed_ms),
               ("success", retry.has_value()));
  return retry;
}

LoweringResult<ScheduledPending> optimize_pending_schedule(
    const Topology& topology, std::span<const PendingTransfer> transfers,
    const ReceiveInputs& receive, uint16_t tile_count) {
  const SchedulingProblem problem(transfers, tile_count);
  auto greedy = materialize_greedy_schedule(topology, problem, receive);
  if (!greedy) return std::unexpected(std::move(greedy).error());
  return improve_pending_schedule(topology, problem, receive, std::move(*greedy));
}

namespace {

// The transfers of the chain that decides the current horizon, followed back
// through placement predecessors from the latest finishing transfer.
std::vector<bool> critical_chain(const MaterializedSchedule& schedule) {
  const std::size_t n = schedule.placements.size();
  std::vector<bool> critical(n, false);
  std::optional<uint64_t> latest;
  for (uint64_t t = 0; t < n; ++t) {
    const auto& p = schedule.placements[t];
    if (p && (!latest || p->finish >= schedule.placements[*latest]->finish)) latest = t;
  }
  std::optional<uint64_t> t = latest;
  while (t && !critical[*t]) {
    critical[*t] = true;
    const auto& p = schedule.placements[*t];
    if (!p || !p->predecessor) break;
    t = p->predecessor;
  }
  return critical;
}

// The critical transfers widened, on every tile they occupy, by a window of
// sqrt(m) positions of that tile's sequence in the current order.
std::vector<bool> neighborhood_of(const SchedulingProblem& problem,
                                  const MaterializedSchedule& schedule,
                                  const std::vector<bool>& critical) {
  std::vector<std::vector<uint64_t>> sequences(problem.tile_count);
  for (uint64_t t : schedule.order) {
    const PendingTransfer& p = problem.transfers[t];
    sequences[p.source].push_back(t);
    if (p.partner) sequences[*p.partner].push_back(t);
    for (const auto& d : p.destinations) sequences[d.tile].push_back(t);
  }
  std::vector<bool> neighborhood = critical;
  for (const auto& seq : sequences) {
    const uint64_t m = seq.size();
    if (m == 0) continue;
    const uint64_t r = order::integer_sqrt(m);
    for (uint64_t i = 0; i < m; ++i) {
      if (!critical[seq[i]]) continue;
      const uint64_t lo = i > r ? i - r : 0;
      const uint64_t hi = std::min(m - 1, i + r);
      for (uint64_t j = lo; j <= hi; ++j) neighborhood[seq[j]] = true;
    }
  }
  return neighborhood;
}

}  // namespace

ScheduledPending improve_pending_schedule(const Topology& topology,
                                          const SchedulingProblem& problem,
                                          const ReceiveInputs& receive,
                                          MaterializedSchedule schedule) {
  const uint64_t n = problem.transfers.size();
  ScheduledPending result{std::move(schedule), kLabelFullDuplex, 0, 0,
                          endpoint_work_lower_bound(problem.transfers, problem.tile_count)};
  result.initial_horizon = result.schedule.horizon;

  if (auto waves = order::point_to_point_matching_wave_order(problem, result.schedule.order)) {
    auto candidate = materialize_schedule_order(topology, problem, receive, *waves, false);
    if (candidate && candidate->horizon < result.schedule.horizon) {
      result.schedule = std::move(*candidate);
      result.label = kLabelMatchingWaves;
    }
  }

  if (n < 2) return result;
  while (true) {
    const std::vector<bool> critical = critical_chain(result.schedule);
    const std::vector<bool> neighborhood = neighborhood_of(problem, result.schedule, critical);
    if (std::count(neighborhood.begin(), neighborhood.end(), true) < 2) break;
    std::vector<uint64_t> repaired =
        order::repair_order(problem, result.schedule.order, neighborhood);
    if (repaired == result.schedule.order) break;
    auto candidate = materialize_schedule_order(topology, problem, receive, repaired, false);
    if (!candidate || candidate->horizon >= result.schedule.horizon) break;
    result.schedule = std::move(*candidate);
    ++result.neighborhood_improvements;
    result.label = kLabelCriticalNeighborhood;
  }
  return result;
}

}  // namespace tessel::codegen::exchange
