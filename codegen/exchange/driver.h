#pragma once
// The production entry point: one problem in, one lowered phase out.
#include <cstdint>
#include <vector>

#include "codegen/exchange/improve.h"
#include "codegen/exchange/model.h"
#include "codegen/exchange/pending.h"

namespace tessel::codegen::exchange {

struct ReceiveConfiguration {
  std::vector<uint64_t> incoming_counts;  // destination entries naming each tile
  std::vector<uint32_t> incoming_bases;   // preset receive pointer per tile, or 0
};

// Pure: equal inputs give equal results.
LoweringResult<PhysicalExchangePhase> schedule_exchange_problem(
    uint16_t tile_count, const ExchangeScheduleProblem& problem);

LoweringResult<ReceiveConfiguration> receive_configuration(
    std::span<const PendingTransfer> transfers, uint16_t tile_count);

// A paired transfer whose partner tile lies outside the phase (the last tile
// of an odd tile count) cannot be scheduled: per-tile state has no entry for
// its partner. The first such transfer, in index order, is reported.
LoweringResult<void> check_paired_partners(uint32_t phase,
                                           std::span<const PendingTransfer> transfers,
                                           uint16_t tile_count);

// Lowers the chosen schedule into per-tile programs and records.
LoweringResult<PhysicalExchangePhase> finish_exchange_run(uint16_t tile_count, uint32_t phase,
                                                          std::vector<uint32_t> incoming_bases,
                                                          const ScheduledPending& scheduled);

// The phase's topology: the first tile_count entries of the built-in table.
LoweringResult<Topology> phase_topology(uint16_t tile_count);

}  // namespace tessel::codegen::exchange
