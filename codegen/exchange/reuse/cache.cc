#include "codegen/exchange/reuse/cache.h"

#include "codegen/exchange/driver.h"
#include "exchange/encoding.h"
#include "support/events.h"
#include "support/siphash.h"

namespace tessel::codegen::exchange::reuse {

namespace {

constexpr const char* kTarget = "tessel_codegen::exchange::reuse";

bool is_alignment_error(const ExchangeLoweringError& e) {
  return e.kind() == ExchangeLoweringError::Kind::Exchange &&
         e.exchange_error().is_schedule("SENDPICP instruction alignment");
}

}  // namespace

uint64_t shape_fingerprint(std::span<const PendingTransfer> transfers, uint16_t tile_count) {
  support::SipHasher13 h;
  h.write_u16(tile_count);
  h.write_u64(transfers.size());
  for (const PendingTransfer& t : transfers) {
    h.write_u16(t.source);
    h.write_u32(t.words);
    h.write_u64(t.source_addresses.size());
    h.write_u64(t.destinations.size());
    for (const auto& d : t.destinations) h.write_u16(d.tile);
  }
  return h.finish();
}

LoweringResult<std::vector<std::vector<uint32_t>>> normalized_rows(
    const MaterializedSchedule& schedule) {
  auto finished = schedule.builder.finish();
  if (!finished) return std::unexpected(ExchangeLoweringError(finished.error()));
  std::vector<std::vector<uint32_t>> rows;
  rows.reserve(finished->programs.size());
  static constexpr uint32_t kIdle[] = {0x43a00000};
  for (const auto& program : finished->programs) {
    rows.push_back(tessel::exchange::encoding::normalized_exchange_address_words(
        program ? std::span<const uint32_t>(*program) : std::span<const uint32_t>(kIdle)));
  }
  return rows;
}

std::optional<OwnedOptimization> ScheduleRecipe::replay(uint32_t phase, const Topology& topology,
                                                        std::span<const PendingTransfer> transfers,
                                                        uint16_t tile_count) const {
  const auto abandon = [phase](const ExchangeLoweringError& error) {
    TESSEL_EVENT(kTarget, "exchange choices require reoptimization after placement",
                 ("phase", phase), ("error", error.display()));
    return std::nullopt;
  };
  auto alternatives = paired_transfer_alternatives(transfers, topology, tile_count);
  if (!alternatives) return abandon(alternatives.error());
  std::vector<PendingTransfer> replayed;
  replayed.reserve(transfers.size());
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    if (widths[i] == ExchangeItemWidth::Word32) {
      replayed.push_back(transfers[i]);
    } else if ((*alternatives)[i]) {
      replayed.push_back(std::move(*(*alternatives)[i]));
    } else {
      return std::nullopt;
    }
  }
  auto config = receive_configuration(replayed, tile_count);
  if (!config) return abandon(config.error());
  const SchedulingProblem problem(replayed, tile_count);
  const ReceiveInputs receive{config->incoming_bases, config->incoming_counts};
  auto schedule = materialize_schedule_order(topology, problem, receive, order, false);
  if (!schedule && is_alignment_error(schedule.error())) {
    schedule = materialize_schedule_order(topology, problem, receive, order, true);
  }
  if (!schedule) return abandon(schedule.error());
  auto replayed_rows = normalized_rows(*schedule);
  if (!replayed_rows) return abandon(replayed_rows.error());
  if (*replayed_rows != rows) return std::nullopt;

  TESSEL_EVENT(kTarget, "reused exchange optimization after validating relocated rows",
               ("phase", phase));
  const uint32_t horizon = schedule->horizon;
  const uint32_t bound = endpoint_work_lower_bound(replayed, tile_count);
  ScheduledPending scheduled{std::move(*schedule), kLabelReused, 0, horizon, bound};
  return OwnedOptimization{std::move(replayed), std::move(config->incoming_counts),
                           std::move(config->incoming_bases), std::move(scheduled)};
}

LoweringResult<OwnedOptimization> ExchangeScheduleCache::select(
    uint32_t phase, const Topology& topology, std::vector<PendingTransfer> transfers,
    uint16_t tile_count) {
  const uint64_t fingerprint = shape_fingerprint(transfers, tile_count);
  if (auto it = recipes_.find(phase); it != recipes_.end() &&
                                      it->second->fingerprint == fingerprint &&
                                      it->second->widths.size() == transfers.size()) {
    if (auto reused = it->second->replay(phase, topology, transfers, tile_count)) {
      return std::move(*reused);
    }
  }
  auto result = select_transfer_widths(phase, topology, std::move(transfers), tile_count);
  if (!result) return result;
  auto recipe = std::make_shared<ScheduleRecipe>();
  recipe->widths.reserve(result->transfers.size());
  for (const auto& t : result->transfers) recipe->widths.push_back(t.width);
  recipe->order = result->scheduled.schedule.order;
  auto rows = normalized_rows(result->scheduled.schedule);
  if (!rows) return std::unexpected(std::move(rows).error());
  recipe->rows = std::move(*rows);
  recipe->fingerprint = fingerprint;
  recipes_[phase] = std::move(recipe);
  return result;
}

LoweringResult<std::pair<ExchangeScheduleProblem, PhysicalExchangePhase>>
ExchangeScheduleCache::schedule_problem(uint16_t tile_count,
                                        const ExchangeScheduleProblem& problem) {
  if (auto valid = ExchangeScheduleSnapshot{3, tile_count, {}}.validate(); !valid) {
    return std::unexpected(std::move(valid).error());
  }
  auto topology = phase_topology(tile_count);
  if (!topology) return std::unexpected(std::move(topology).error());
  auto transfers = pending_from_problem(problem, tile_count);
  if (!transfers) return std::unexpected(std::move(transfers).error());
  for (const auto& t : *transfers) {
    if (t.width == ExchangeItemWidth::Paired64) {
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(
          "width selection requires an ordinary-transfer capture"));
    }
  }
  auto chosen = select(problem.phase, *topology, std::move(*transfers), tile_count);
  if (!chosen) return std::unexpected(std::move(chosen).error());

  ExchangeScheduleProblem scheduled{problem.phase, {}};
  scheduled.transfers.reserve(chosen->transfers.size());
  for (const auto& t : chosen->transfers) {
    ExchangeScheduleTransfer out{t.source, t.source_addresses, {}, t.words, t.width};
    out.destinations.reserve(t.destinations.size());
    for (const auto& d : t.destinations) out.destinations.push_back({d.tile, d.address});
    scheduled.transfers.push_back(std::move(out));
  }
  auto phase = finish_exchange_run(tile_count, problem.phase, std::move(chosen->incoming_bases),
                                   chosen->scheduled);
  if (!phase) return std::unexpected(std::move(phase).error());
  return std::pair{std::move(scheduled), std::move(*phase)};
}

}  // namespace tessel::codegen::exchange::reuse
