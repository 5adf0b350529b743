#include "codegen/exchange/materialized.h"

#include <algorithm>

#include "support/checked.h"

namespace tessel::codegen::exchange {

using tessel::exchange::AssembledMulticast;
using tessel::exchange::ExchangeError;
using tessel::exchange::PhaseTransferTiming;
using tessel::exchange::Row;

namespace {

constexpr uint64_t kMinimumValidationBudget = uint64_t{1} << 29;

template <typename T>
std::unexpected<ExchangeLoweringError> fail(T error) {
  return std::unexpected(ExchangeLoweringError(error));
}

// The receive pointer of a (multicast or paired) receiver row is set to the
// destination address: the first PIC pointer control, or the PIC half of the
// first single-control PicPair word.
std::expected<void, ExchangeError> patch_receive_pointer(Row& row, uint32_t address) {
  if (address % 4 != 0 || address > 0xffffc)
    return std::unexpected(ExchangeError::address(address));
  const uint32_t pointer = address / 4;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const uint32_t w = row[i];
    if ((w & 0xfc040000u) == 0x60000000u) {
      row[i] = (w & 0x63f80000u) | pointer;
      return {};
    }
    if (w >= 0xf0000000u) {
      if ((w & (1u << 27)) == 0) {
        if (i + 1 >= row.size()) {
          return std::unexpected(ExchangeError::schedule("truncated SENDPICP payload"));
        }
        row[i + 1] = (row[i + 1] & ~0x3ffffu) | pointer;
        return {};
      }
      ++i;  // its second word carries controls, not a pointer
    }
  }
  return std::unexpected(ExchangeError::address(address));
}

uint32_t saturating_delay(uint32_t end, uint32_t from) {
  return end > from ? end - from : 0;
}

}  // namespace

SchedulingCounters& scheduling_counters() {
  static SchedulingCounters counters;
  return counters;
}

uint64_t MaterializedSchedule::validation_budget(uint16_t tile_count,
                                                 std::span<const PendingTransfer> transfers) {
  using support::saturating_add;
  using support::saturating_mul;
  std::vector<uint64_t> sends(tile_count, 0), receives(tile_count, 0);
  for (const PendingTransfer& t : transfers) {
    ++sends[t.source];
    for (const auto& d : t.destinations) ++receives[d.tile];
  }
  uint64_t sum = 0;
  for (uint16_t tile = 0; tile < tile_count; ++tile) {
    const uint64_t s = sends[tile], d = receives[tile];
    const uint64_t weight =
        saturating_add(saturating_add(s, saturating_mul<uint64_t>(3, d)), uint64_t{1});
    sum = saturating_add(sum, saturating_mul(saturating_add(s, d), weight));
  }
  return std::max(saturating_mul<uint64_t>(4, sum), kMinimumValidationBudget);
}

MaterializedSchedule::MaterializedSchedule(uint16_t tile_count,
                                           std::span<const PendingTransfer> transfers)
    : builder(PhaseProgramBuilder(tile_count)
                  .with_validation_budget(validation_budget(tile_count, transfers))),
      free_cycles(tile_count),
      memory(tile_count),
      activities(tile_count),
      placements(transfers.size()) {
  order.reserve(transfers.size());
  ++scheduling_counters().materializations;
}

LoweringResult<uint32_t> MaterializedSchedule::append(
    const Topology& topology, std::span<const PendingTransfer> transfers,
    const ReceiveInputs& receive, uint64_t index, uint32_t not_before, bool incremental,
    std::vector<TileLastTransfers>& last_transfers) {
  const PendingTransfer& t = transfers[index];
  if (t.source_elements.empty() || t.words == 0) {
    return std::unexpected(ExchangeLoweringError::unaligned_payload());
  }

  // The binding endpoint is the busiest one; it names the placement's
  // predecessor on the critical chain.
  uint16_t binding = t.source;
  uint32_t latest = free_cycles[t.source].send_free;
  const auto consider = [&](uint16_t tile, uint32_t cycle) {
    if (cycle > latest || (cycle == latest && tile < binding)) {
      binding = tile;
      latest = cycle;
    }
  };
  if (t.partner) consider(*t.partner, free_cycles[*t.partner].send_free);
  for (const auto& d : t.destinations) consider(d.tile, free_cycles[d.tile].receive_free);
  if (not_before > latest) binding = t.source;
  const bool sends_from_binding = binding == t.source || (t.partner && binding == *t.partner);
  const std::optional<uint64_t> predecessor =
      sends_from_binding ? last_transfers[binding].last_send : last_transfers[binding].last_receive;

  const bool paired = t.width == ExchangeItemWidth::Paired64;
  for (const auto& d : t.destinations) {
    if (d.tile != t.source) continue;
    bool separate = !paired && t.destinations.size() >= 2;
    if (separate) {
      for_each_span_element(d.address, t.words, [&](ExchangeMemoryElement e) {
        if (std::binary_search(t.source_elements.begin(), t.source_elements.end(), e)) {
          separate = false;
        }
        return separate;
      });
    }
    if (!separate) {
      return std::unexpected(ExchangeLoweringError::invariant(
          "multicast loopback requires separate source and destination memory elements"));
    }
  }
  if (paired && t.words % 2 != 0)
    return std::unexpected(ExchangeLoweringError::unaligned_payload());

  const uint32_t count = transfer_cycles(t);
  std::vector<uint16_t> receivers;
  receivers.reserve(t.destinations.size());
  for (const auto& d : t.destinations) receivers.push_back(d.tile);

  AssembledMulticast rows;
  std::vector<uint16_t> blocked;
  bool point_to_point = false;
  if (paired) {
    auto partner = topology.paired_logical(t.source);
    if (!partner) return fail(partner.error());
    auto assembled = topology.paired_multicast(t.source, receivers, count);
    if (!assembled) return fail(assembled.error());
    rows = std::move(*assembled);
    blocked.push_back(*partner);
  } else if (t.destinations.size() == 1 && receive.incoming_counts[t.destinations[0].tile] == 1 &&
             receive.incoming_bases[t.destinations[0].tile] == t.destinations[0].address) {
    point_to_point = true;
    auto assembled = topology.point_to_point(t.source, t.destinations[0].tile, t.words);
    if (!assembled) return fail(assembled.error());
    auto sender_physical = topology.physical(t.source);
    if (!sender_physical) return fail(sender_physical.error());
    auto receiver =
        tessel::exchange::finalize_point_receiver(assembled->receiver, *sender_physical);
    if (!receiver) return fail(receiver.error());
    rows.sender = assembled->sender;
    rows.receivers.push_back(*receiver);
  } else {
    auto assembled = topology.multicast(t.source, receivers, t.words, 0);
    if (!assembled) return fail(assembled.error());
    rows = std::move(*assembled);
  }

  if (auto patched =
          tessel::exchange::patch_sender_address(rows.sender, t.source_addresses.front());
      !patched) {
    return fail(patched.error());
  }
  if (!point_to_point) {
    for (std::size_t i = 0; i < t.destinations.size(); ++i) {
      if (auto patched = patch_receive_pointer(rows.receivers[i], t.destinations[i].address);
          !patched) {
        return fail(patched.error());
      }
    }
  }

  // Earliest offset the programs allow, moved on while a memory element the
  // transfer reads or writes is still in use by another transfer.
  while (true) {
    auto found = incremental ? builder.earliest_transfer_offset(t.source, blocked, receivers, rows,
                                                                count, not_before)
                             : builder.earliest_transfer_offset_deferred(
                                   t.source, blocked, receivers, rows, count, not_before);
    if (!found) return fail(found.error());
    const uint32_t offset = *found;
    auto timing = builder.transfer_timing_at(t.source, receivers, rows, offset, count);
    if (!timing) return fail(timing.error());

    uint32_t delay = 0;
    for (const MemoryAccess& w : memory[t.source].writes) {
      if (w.start < timing->sender_horizon && w.end > timing->send_start &&
          elements_intersect(w.elements, t.source_elements)) {
        delay = std::max(delay, saturating_delay(w.end, timing->send_start));
      }
    }
    for (std::size_t i = 0; i < t.destinations.size(); ++i) {
      const auto& d = t.destinations[i];
      const uint32_t from = timing->pointer_cycles[i];
      const uint32_t until = timing->receive_horizons[i];
      std::vector<ExchangeMemoryElement> span;  // computed only when some read overlaps
      for (const MemoryAccess& r : memory[d.tile].reads) {
        if (!(r.start < until && r.end > from)) continue;
        if (span.empty()) span = span_elements(d.address, t.words);
        if (elements_intersect(r.elements, span))
          delay = std::max(delay, saturating_delay(r.end, from));
      }
    }
    auto candidate = support::checked_add(offset, delay);
    if (!candidate) return std::unexpected(ExchangeLoweringError::overflow());
    if (*candidate == not_before) break;
    not_before = *candidate;
  }

  auto placed = builder.append_transfer_at(t.source, blocked, receivers, rows, not_before, count);
  if (!placed) return fail(placed.error());
  const PhaseTransferTiming& timing = *placed;

  memory[t.source].reads.push_back({t.source_elements, timing.send_start, timing.sender_horizon});
  for (std::size_t i = 0; i < t.destinations.size(); ++i) {
    const auto& d = t.destinations[i];
    memory[d.tile].writes.push_back(
        {span_elements(d.address, t.words), timing.pointer_cycles[i], timing.receive_horizons[i]});
  }

  if (index > 0xFFFFFFFFull) return std::unexpected(ExchangeLoweringError::overflow());
  const uint32_t transfer = static_cast<uint32_t>(index);
  const uint16_t destination_count = static_cast<uint16_t>(t.destinations.size());
  const uint32_t first_source = t.source_addresses.front();
  activities[t.source].push_back({transfer, timing.send_start, timing.send_end,
                                  timing.sender_horizon, first_source, t.words, destination_count,
                                  ExchangeActivityKind::Send, paired});
  if (t.partner) {
    activities[*t.partner].push_back({transfer, timing.send_start, timing.sender_horizon,
                                      timing.sender_horizon, first_source, t.words,
                                      destination_count, ExchangeActivityKind::PartnerBusy, true});
  }
  for (std::size_t i = 0; i < t.destinations.size(); ++i) {
    const auto& d = t.destinations[i];
    activities[d.tile].push_back({transfer, timing.pointer_cycles[i], timing.payload_ends[i],
                                  timing.receive_horizons[i], d.address, t.words, destination_count,
                                  ExchangeActivityKind::Receive, paired});
  }

  uint32_t finish = timing.send_end;
  for (uint32_t end : timing.payload_ends) finish = std::max(finish, end);

  free_cycles[t.source].send_free = timing.send_end;
  if (t.partner) free_cycles[*t.partner].send_free = timing.sender_horizon;
  for (std::size_t i = 0; i < t.destinations.size(); ++i) {
    free_cycles[t.destinations[i].tile].receive_free = timing.payload_ends[i];
  }
  if (t.partner) last_transfers[*t.partner].last_send = index;
  last_transfers[t.source].last_send = index;
  for (const auto& d : t.destinations) last_transfers[d.tile].last_receive = index;

  order.push_back(index);
  placements[index] = TransferPlacement{predecessor, finish};
  ++scheduling_counters().placements;
  return finish;
}

LoweringResult<MaterializedSchedule> materialize_schedule_order(const Topology& topology,
                                                                const SchedulingProblem& problem,
                                                                const ReceiveInputs& receive,
                                                                std::span<const uint64_t> order,
                                                                bool incremental) {
  const auto transfers = problem.transfers;
  if (order.size() != transfers.size()) return std::unexpected(ExchangeLoweringError::overflow());
  MaterializedSchedule schedule(problem.tile_count, transfers);
  std::vector<TileLastTransfers> last_transfers(problem.tile_count);
  std::vector<std::optional<uint32_t>> finished(transfers.size());
  for (uint64_t t : order) {
    const auto not_topological = [] {
      return std::unexpected(
          ExchangeLoweringError::invariant("exchange order is not a topological permutation"));
    };
    if (t >= transfers.size() || finished[t]) return not_topological();
    uint32_t not_before = 0;
    for (uint64_t p : problem.predecessors[t]) {
      if (!finished[p]) return not_topological();
      not_before = std::max(not_before, *finished[p]);
    }
    auto finish =
        schedule.append(topology, transfers, receive, t, not_before, incremental, last_transfers);
    if (!finish) return std::unexpected(std::move(finish).error());
    finished[t] = *finish;
  }
  schedule.horizon = schedule.builder.event_cycles();
  if (auto trial = schedule.builder.finish(); !trial) return fail(trial.error());
  return schedule;
}

}  // namespace tessel::codegen::exchange
