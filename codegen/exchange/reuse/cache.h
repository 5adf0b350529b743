#pragma once
// The schedule cache: per phase, a recipe of the decisions that produced its
// schedule (transfer widths and placement order) together with the tile
// programs it gave once addresses are cleared. A phase compiled again with
// the same shape but moved addresses replays the recipe instead of
// optimising again; the replay is accepted only when it reproduces exactly
// the recorded normalized programs, otherwise the phase is re-optimised and
// the recipe replaced.
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "codegen/exchange/widths.h"

namespace tessel::codegen::exchange::reuse {

using ExchangePhaseId = uint32_t;

struct ScheduleRecipe {
  std::vector<ExchangeItemWidth> widths;
  std::vector<uint64_t> order;
  std::vector<std::vector<uint32_t>> rows;  // normalized per-tile programs
  uint64_t fingerprint = 0;

  // Rebuilds the recorded decisions for `transfers`; nullopt when the replay
  // does not reproduce the recorded rows (or cannot be built).
  std::optional<OwnedOptimization> replay(uint32_t phase, const Topology& topology,
                                          std::span<const PendingTransfer> transfers,
                                          uint16_t tile_count) const;
};

// Addresses do not enter the fingerprint, so relocation keeps it.
uint64_t shape_fingerprint(std::span<const PendingTransfer> transfers, uint16_t tile_count);

// Every tile's finished program (Return alone for an idle tile) with its
// addresses cleared.
LoweringResult<std::vector<std::vector<uint32_t>>> normalized_rows(
    const MaterializedSchedule& schedule);

class ExchangeScheduleCache {
 public:
  // The problem rewritten with the chosen widths, and its lowered phase.
  LoweringResult<std::pair<ExchangeScheduleProblem, PhysicalExchangePhase>> schedule_problem(
      uint16_t tile_count, const ExchangeScheduleProblem& problem);

  LoweringResult<OwnedOptimization> select(uint32_t phase, const Topology& topology,
                                           std::vector<PendingTransfer> transfers,
                                           uint16_t tile_count);

  void clear() { recipes_.clear(); }
  const std::map<ExchangePhaseId, std::shared_ptr<const ScheduleRecipe>>& recipes() const {
    return recipes_;
  }

 private:
  std::map<ExchangePhaseId, std::shared_ptr<const ScheduleRecipe>> recipes_;
};

}  // namespace tessel::codegen::exchange::reuse
