#include "codegen/exchange/driver.h"

namespace tessel::codegen::exchange {

LoweringResult<Topology> phase_topology(uint16_t tile_count) {
  if (tile_count == 0 || tile_count > Topology::tarn().tile_count()) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("tile count {} is outside the TARN topology", tile_count)));
  }
  auto topology = Topology::tarn_prefix(tile_count);
  if (!topology) return std::unexpected(ExchangeLoweringError(topology.error()));
  return std::move(*topology);
}

LoweringResult<void> check_paired_partners(uint32_t phase,
                                           std::span<const PendingTransfer> transfers,
                                           uint16_t tile_count) {
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const auto& partner = transfers[i].partner;
    if (partner && *partner >= tile_count) {
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(
          fmt::format("phase {} transfer {} has paired partner tile {} outside 0..{}", phase, i,
                      *partner, tile_count)));
    }
  }
  return {};
}

LoweringResult<ReceiveConfiguration> receive_configuration(
    std::span<const PendingTransfer> transfers, uint16_t tile_count) {
  ReceiveConfiguration config;
  config.incoming_counts.assign(tile_count, 0);
  for (const auto& t : transfers) {
    for (const auto& d : t.destinations) {
      if (d.tile >= tile_count) {
        return std::unexpected(ExchangeLoweringError::invalid_destination());
      }
      ++config.incoming_counts[d.tile];
    }
  }
  config.incoming_bases.assign(tile_count, 0);
  for (const auto& t : transfers) {
    if (t.destinations.size() != 1) continue;
    const auto& d = t.destinations.front();
    if (config.incoming_counts[d.tile] == 1) config.incoming_bases[d.tile] = d.address;
  }
  return config;
}

LoweringResult<PhysicalExchangePhase> finish_exchange_run(uint16_t tile_count, uint32_t phase,
                                                          std::vector<uint32_t> incoming_bases,
                                                          const ScheduledPending& scheduled) {
  auto finished = scheduled.schedule.builder.finish();
  if (!finished) return std::unexpected(ExchangeLoweringError(finished.error()));
  if (finished->horizon != scheduled.schedule.horizon) {
    return std::unexpected(ExchangeLoweringError::invariant(
        fmt::format("phase {} row horizon {} differs from scheduled horizon {}", phase,
                    finished->horizon, scheduled.schedule.horizon)));
  }
  PhysicalExchangePhase out;
  out.active.resize(tile_count);
  out.programs.resize(tile_count);
  for (uint16_t t = 0; t < tile_count; ++t) {
    auto& program = finished->programs[t];
    out.active[t] = program.has_value();
    out.programs[t] = program ? std::move(*program) : std::vector<uint32_t>{0x43a00000};
  }
  out.incoming_bases = std::move(incoming_bases);
  out.tile_horizons = std::move(finished->tile_horizons);
  out.activities = scheduled.schedule.activities;
  out.repeat_patches.resize(tile_count);
  out.phase = phase;
  out.horizon = scheduled.schedule.horizon;
  out.neighborhood_improvements = scheduled.neighborhood_improvements;
  out.initial_horizon = scheduled.initial_horizon;
  out.endpoint_lower_bound = scheduled.endpoint_lower_bound;
  out.reused = scheduled.label == kLabelReused;
  return out;
}

LoweringResult<PhysicalExchangePhase> schedule_exchange_problem(
    uint16_t tile_count, const ExchangeScheduleProblem& problem) {
  auto topology = phase_topology(tile_count);
  if (!topology) return std::unexpected(std::move(topology).error());
  auto transfers = pending_from_problem(problem, tile_count);
  if (!transfers) return std::unexpected(std::move(transfers).error());
  if (auto ok = check_paired_partners(problem.phase, *transfers, tile_count); !ok) {
    return std::unexpected(std::move(ok).error());
  }
  auto config = receive_configuration(*transfers, tile_count);
  if (!config) return std::unexpected(std::move(config).error());
  const ReceiveInputs receive{config->incoming_bases, config->incoming_counts};
  auto scheduled = optimize_pending_schedule(*topology, *transfers, receive, tile_count);
  if (!scheduled) return std::unexpected(std::move(scheduled).error());
  return finish_exchange_run(tile_count, problem.phase, std::move(config->incoming_bases),
                             *scheduled);
}

}  // namespace tessel::codegen::exchange
