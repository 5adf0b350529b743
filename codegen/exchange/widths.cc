#include "codegen/exchange/widths.h"

#include <map>

#include "codegen/exchange/driver.h"
#include "support/events.h"

namespace tessel::codegen::exchange {

namespace {

// The alternative of one transfer, or none. Errors that are not about this
// alternative's feasibility fail the whole selection.
LoweringResult<std::optional<PendingTransfer>> paired_alternative(const PendingTransfer& t,
                                                                  const Topology& topology,
                                                                  uint16_t tile_count) {
  if (t.width == ExchangeItemWidth::Paired64 || t.words < 128 || t.words % 2 != 0) {
    return std::nullopt;
  }
  for (uint32_t s : t.source_addresses) {
    if (s % 8 != 0) return std::nullopt;
  }
  auto partner = topology.paired_logical(t.source);
  if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
  if (*partner >= tile_count) return std::nullopt;

  // Destinations grouped by partner pair (physical id with bit 1 cleared),
  // visited in ascending key order, each group in transfer order.
  std::map<uint16_t, std::vector<PendingDestination>> groups;
  for (const auto& d : t.destinations) {
    auto physical = topology.physical(d.tile);
    if (!physical) return std::unexpected(ExchangeLoweringError(ExchangeError::tile(d.tile)));
    groups[static_cast<uint16_t>(*physical & ~2u)].push_back(d);
  }
  if (groups.empty()) return std::nullopt;
  std::vector<PendingDestination> grouped;
  for (const auto& [key, members] : groups) {
    if (members.size() != 2) return std::nullopt;
    const auto& [d1, a1] = members[0];
    const auto& [d2, a2] = members[1];
    auto pair = topology.paired_logical(d1);
    if (!pair || *pair != d2 || d1 == *partner || d2 == *partner || a1 % 8 != 0 || a1 != a2) {
      return std::nullopt;
    }
    grouped.push_back(members[0]);
    grouped.push_back(members[1]);
  }
  std::vector<uint16_t> receivers;
  for (const auto& d : grouped) receivers.push_back(d.tile);
  if (!topology.paired_multicast(t.source, receivers, t.words / 2)) return std::nullopt;

  PendingTransfer alternative = t;
  alternative.destinations = std::move(grouped);
  alternative.partner = *partner;
  alternative.width = ExchangeItemWidth::Paired64;
  return alternative;
}

}  // namespace

LoweringResult<std::vector<std::optional<PendingTransfer>>> paired_transfer_alternatives(
    std::span<const PendingTransfer> transfers, const Topology& topology, uint16_t tile_count) {
  std::vector<std::optional<PendingTransfer>> out;
  out.reserve(transfers.size());
  for (const PendingTransfer& t : transfers) {
    auto alternative = paired_alternative(t, topology, tile_count);
    if (!alternative) return std::unexpected(std::move(alternative).error());
    out.push_back(std::move(*alternative));
  }
  return out;
}

LoweringResult<OwnedOptimization> optimize_owned_pending(const Topology& topology,
                                                         std::vector<PendingTransfer> transfers,
                                                         uint16_t tile_count) {
  auto config = receive_configuration(transfers, tile_count);
  if (!config) return std::unexpected(std::move(config).error());
  const ReceiveInputs receive{config->incoming_bases, config->incoming_counts};
  auto scheduled = optimize_pending_schedule(topology, transfers, receive, tile_count);
  if (!scheduled) return std::unexpected(std::move(scheduled).error());
  return OwnedOptimization{std::move(transfers), std::move(config->incoming_counts),
                           std::move(config->incoming_bases), std::move(*scheduled)};
}

LoweringResult<OwnedOptimization> select_transfer_widths(uint32_t phase, const Topology& topology,
                                                         std::vector<PendingTransfer> transfers,
                                                         uint16_t tile_count) {
  auto alternatives = paired_transfer_alternatives(transfers, topology, tile_count);
  if (!alternatives) return std::unexpected(std::move(alternatives).error());
  uint64_t candidates = 0;
  std::vector<PendingTransfer> paired;
  paired.reserve(transfers.size());
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    auto& alternative = (*alternatives)[i];
    if (alternative) ++candidates;
    paired.push_back(alternative ? std::move(*alternative) : transfers[i]);
  }
  if (candidates == 0) return optimize_owned_pending(topology, std::move(transfers), tile_count);

  auto ordinary_result = optimize_owned_pending(topology, std::move(transfers), tile_count);
  auto paired_result = optimize_owned_pending(topology, std::move(paired), tile_count);
  constexpr const char* kTarget = "tessel_codegen::exchange";
  if (ordinary_result && paired_result) {
    const uint32_t ordinary_horizon = ordinary_result->scheduled.schedule.horizon;
    const uint32_t paired_horizon = paired_result->scheduled.schedule.horizon;
    const bool use_paired = paired_horizon < ordinary_horizon;
    TESSEL_EVENT(kTarget, "compared ordinary and paired exchange schedules", ("phase", phase),
                 ("candidates", candidates), ("ordinary_horizon", ordinary_horizon),
                 ("paired_horizon", paired_horizon), ("use_paired", use_paired));
    return use_paired ? std::move(paired_result) : std::move(ordinary_result);
  }
  if (!paired_result) {
    TESSEL_EVENT(kTarget, "paired exchange candidate is not encodable", ("phase", phase),
                 ("error", paired_result.error().display()));
    return ordinary_result;
  }
  TESSEL_EVENT(kTarget, "ordinary exchange candidate is not encodable", ("phase", phase),
               ("error", ordinary_result.error().display()));
  return paired_result;
}

}  // namespace tessel::codegen::exchange
