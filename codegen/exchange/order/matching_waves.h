#pragma once
// Matching-wave order: an alternative transfer order for phases made of
// balanced point-to-point traffic.
//
// When every transfer goes from one tile to one other tile, a set of transfers
// in which no tile sends twice and no tile receives twice can run at the same
// time. The order is built in waves: each wave is a maximum bipartite matching
// (Hopcroft-Karp) between sending and receiving tiles over the transfers that
// are ready (all memory-hazard predecessors already emitted), keeping for each
// (source, destination) pair only its earliest transfer in the current order.
// Within a wave, and between equally good choices, the current order decides.
//
// The construction never places transfers; the improvement step materialises
// the order it returns. Cost per wave: one pass over the ready (source,
// destination) pairs plus Hopcroft-Karp on at most one edge per tile pair.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codegen/exchange/scheduling_problem.h"

namespace tessel::codegen::exchange::order {

// The waves of the matching-wave order, each sorted by position in
// `current_order` (which must hold every transfer index exactly once). No
// order exists (nullopt) for fewer than two transfers, for a transfer with
// other than one destination, for unbalanced traffic, for a transfer with no
// words or an odd paired word count, or when no transfer is ready.
std::optional<std::vector<std::vector<uint64_t>>> point_to_point_matching_waves(
    const SchedulingProblem& problem, std::span<const uint64_t> current_order);

// The waves above, emitted one after another.
std::optional<std::vector<uint64_t>> point_to_point_matching_wave_order(
    const SchedulingProblem& problem, std::span<const uint64_t> current_order);

}  // namespace tessel::codegen::exchange::order
