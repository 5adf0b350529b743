#pragma once
// Critical-neighbourhood repair: re-sorts the current best order locally.
//
// The order is cut into blocks of W = floor(sqrt(n)) consecutive positions and
// replayed through a light simulation of each tile's send and receive side.
// Blocks keep their sequence; within a block a transfer is preferred when it
// can start earlier, when it continues writing exactly where the previous
// receive on a tile ended, when it lies in the neighbourhood of the critical
// chain, and when its tiles have more work left. Dependencies only decide when
// a transfer becomes ready; the simulated start ignores them.
//
// Transfers sharing endpoints (source, partner, destination tiles) form a
// group. The priority queue holds at most one live entry per group and is
// refreshed lazily: a group's stamp invalidates its older entries when the
// group changes, and entries of other groups are recomputed only when they
// reach the top. Because that laziness decides which transfer comes next, it is
// part of the result, not an implementation detail.
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "codegen/exchange/scheduling_problem.h"

namespace tessel::codegen::exchange::order {

// floor(sqrt(n)), exact for every 64-bit n.
uint64_t integer_sqrt(uint64_t n);

// The priority key of one transfer. Greater is better: smaller block, then
// smaller start, more contiguous destinations, neighbourhood members, more
// remaining work, smaller position, smaller index.
struct RepairReady {
  uint64_t block = 0;
  uint32_t start = 0;
  uint64_t contiguous = 0;
  bool in_neighborhood = false;
  uint64_t work = 0;
  uint64_t position = 0;
  uint64_t transfer = 0;

  friend bool operator==(const RepairReady&, const RepairReady&) = default;
  friend std::strong_ordering operator<=>(const RepairReady& a, const RepairReady& b);
};

// The simulated state of the tiles while the repair replays an order.
struct RepairSimulation {
  std::vector<uint32_t> send_free;
  std::vector<uint32_t> receive_free;
  // Byte address just past the last simulated receive on the tile.
  std::vector<std::optional<uint32_t>> receive_end;
  std::vector<uint64_t> remaining_work;
};

// What the keys are computed from: the transfers, each transfer's position in
// the current order, the block size W and the neighbourhood flags.
struct RepairContext {
  std::span<const PendingTransfer> transfers;
  std::span<const uint64_t> position;
  uint64_t block_size = 1;
  const std::vector<bool>& neighborhood;
};

// The key with the real block, neighbourhood flag, position and index, and
// start, contiguity and work left at 0: what the groups store.
RepairReady plain_repair_key(uint64_t t, const RepairContext& context);

// The full key of transfer t in the current simulation state.
RepairReady repair_ready(uint64_t t, const RepairContext& context,
                         const RepairSimulation& simulation);

using RepairDestination = std::pair<uint16_t, uint32_t>;  // (tile, address)

struct RepairGroup {
  std::set<RepairReady> ready;  // plain keys of the ready, not yet emitted transfers
  // The group's ready transfers writing at (tile, address), in index order.
  // Only a ready transfer can be chosen, so writers that are not ready (yet
  // or any more) are left out; this keeps a lookup proportional to the
  // candidates rather than to every write of the group at that place.
  std::map<RepairDestination, std::vector<uint64_t>> by_destination;
  uint64_t stamp = 0;

  void insert_ready(uint64_t t, const RepairContext& context);
  void remove_ready(uint64_t t, const RepairContext& context);

  // The group's head (its greatest plain key), unless a ready transfer of the
  // same block that continues writing where a receive of the head's
  // destination tiles ended has a key at least as good.
  std::optional<RepairReady> best(const RepairContext& context,
                                  const RepairSimulation& simulation) const;
};

// A complete order. `current_order` holds every transfer index once and
// `neighborhood` has one flag per transfer. The current order comes back
// unchanged when a simulated finish cycle or a transfer's byte length does not
// fit in 32 bits, or when some transfer could not be emitted.
std::vector<uint64_t> repair_order(const SchedulingProblem& problem,
                                   std::span<const uint64_t> current_order,
                                   const std::vector<bool>& neighborhood);

}  // namespace tessel::codegen::exchange::order
