#pragma once
// Width selection: an ordinary transfer whose destinations come in partner
// pairs at equal 8-byte-aligned addresses can also run as a paired 64-bit
// transfer in half the cycles. Per phase the choice is all or nothing: the
// phase is scheduled both ways and the strictly shorter schedule is kept.
#include <optional>
#include <vector>

#include "codegen/exchange/improve.h"

namespace tessel::codegen::exchange {

// One optional paired alternative per transfer, in order.
LoweringResult<std::vector<std::optional<PendingTransfer>>> paired_transfer_alternatives(
    std::span<const PendingTransfer> transfers, const Topology& topology, uint16_t tile_count);

// A schedule together with the transfer list and receive configuration it
// was built for (the cache rewrites the problem from the list).
struct OwnedOptimization {
  std::vector<PendingTransfer> transfers;
  std::vector<uint64_t> incoming_counts;
  std::vector<uint32_t> incoming_bases;
  ScheduledPending scheduled;
};

LoweringResult<OwnedOptimization> optimize_owned_pending(const Topology& topology,
                                                         std::vector<PendingTransfer> transfers,
                                                         uint16_t tile_count);

LoweringResult<OwnedOptimization> select_transfer_widths(uint32_t phase, const Topology& topology,
                                                         std::vector<PendingTransfer> transfers,
                                                         uint16_t tile_count);

}  // namespace tessel::codegen::exchange
