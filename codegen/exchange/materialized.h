#pragma once
// MaterializedSchedule: a phase schedule being turned into real tile
// programs. Transfers are appended one at a time in the caller's order; each
// append chooses the route, finds the earliest cycle at which the transfer
// fits the programs already built and touches no memory element another
// transfer is using at the same time, places it through the program builder
// and records activities, memory accesses, free cycles and its placement.
//
// Appends only add. A schedule whose append failed must not be used further.
// Cost: per-tile state is flat; the memory rule scans only the accesses of
// the tiles the transfer involves.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codegen/exchange/model.h"
#include "codegen/exchange/pending.h"
#include "codegen/exchange/scheduling_problem.h"
#include "exchange/builder.h"
#include "exchange/topology.h"

namespace tessel::codegen::exchange {

using tessel::exchange::PhaseProgramBuilder;
using tessel::exchange::Topology;

struct MemoryAccess {
  std::vector<ExchangeMemoryElement> elements;  // ascending
  uint32_t start = 0;
  uint32_t end = 0;
};

struct TileMemorySchedule {
  std::vector<MemoryAccess> reads;   // outgoing sends
  std::vector<MemoryAccess> writes;  // incoming receives
};

struct TransferPlacement {
  std::optional<uint64_t> predecessor;  // last transfer on the binding endpoint
  uint32_t finish = 0;
};

struct TileLastTransfers {
  std::optional<uint64_t> last_send;
  std::optional<uint64_t> last_receive;
};

struct FreeCycles {
  uint32_t send_free = 0;
  uint32_t receive_free = 0;
};

// The per-tile receive configuration of a phase (see receive_configuration).
struct ReceiveInputs {
  std::span<const uint32_t> incoming_bases;
  std::span<const uint64_t> incoming_counts;
};

// Process-wide tallies for measuring the scheduler (one thread): every
// schedule created and every transfer placed, by any strategy.
struct SchedulingCounters {
  uint64_t materializations = 0;
  uint64_t placements = 0;
};
SchedulingCounters& scheduling_counters();

class MaterializedSchedule {
 public:
  MaterializedSchedule(uint16_t tile_count, std::span<const PendingTransfer> transfers);

  // Places transfer `index` no earlier than `not_before` and returns its
  // completion cycle.
  LoweringResult<uint32_t> append(const Topology& topology,
                                  std::span<const PendingTransfer> transfers,
                                  const ReceiveInputs& receive, uint64_t index, uint32_t not_before,
                                  bool incremental, std::vector<TileLastTransfers>& last_transfers);

  PhaseProgramBuilder builder;
  std::vector<FreeCycles> free_cycles;
  std::vector<TileMemorySchedule> memory;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<uint64_t> order;
  std::vector<std::optional<TransferPlacement>> placements;
  uint32_t horizon = 0;

  // Validation work units granted to a schedule of these transfers.
  static uint64_t validation_budget(uint16_t tile_count,
                                    std::span<const PendingTransfer> transfers);
};

// Places every transfer in exactly the given order (which must be a
// topological permutation), sets the horizon and trial-encodes the result.
LoweringResult<MaterializedSchedule> materialize_schedule_order(const Topology& topology,
                                                                const SchedulingProblem& problem,
                                                                const ReceiveInputs& receive,
                                                                std::span<const uint64_t> order,
                                                                bool incremental);

}  // namespace tessel::codegen::exchange
