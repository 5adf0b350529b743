#pragma once
// SchedulingProblem: the order-independent facts about one phase that every
// strategy reads: the memory-hazard dependency graph between transfers and
// the exchange work each tile must do. Built once, never modified; the
// strategies (greedy, matching waves, repair, cache) only read it.
//
// Every edge a -> b has a < b, so transfer index order is always a valid
// topological order.
#include <cstdint>
#include <span>
#include <vector>

#include "codegen/exchange/pending.h"

namespace tessel::codegen::exchange {

// Cycles a transfer occupies its endpoints: words, halved for a paired
// transfer with an even word count.
uint32_t transfer_cycles(const PendingTransfer& t);

class SchedulingProblem {
 public:
  // Borrows `transfers`: they must outlive the problem. Every tile number in
  // them must be below `tile_count`.
  SchedulingProblem(std::span<const PendingTransfer> transfers, uint16_t tile_count);

  std::vector<std::vector<uint64_t>> predecessors;  // each strictly ascending
  std::vector<std::vector<uint64_t>> successors;    // each strictly ascending
  std::vector<uint64_t> endpoint_work;              // one per tile
  std::span<const PendingTransfer> transfers;
  uint16_t tile_count = 0;
};

// The busiest single direction (send or receive) of the busiest tile, in
// cycles, saturated to 32 bits. No schedule of the phase can finish earlier.
uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers, uint16_t tile_count);

}  // namespace tessel::codegen::exchange
