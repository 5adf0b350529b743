#include "codegen/exchange/order/matching_waves.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace tessel::codegen::exchange::order {

namespace {

constexpr uint64_t kUnreachable = std::numeric_limits<uint64_t>::max();

// (position in the current order, transfer index)
using ReadyEntry = std::pair<uint64_t, uint64_t>;
// Per source tile: destination tile -> the ready transfers between the two.
using ReadyBySource = std::vector<std::map<uint16_t, std::set<ReadyEntry>>>;

uint16_t destination_of(std::span<const PendingTransfer> transfers, uint64_t t) {
  return transfers[t].destinations.front().tile;
}

// One augmenting-path search from left tile `u` along the layers of the last
// layering. The path grows one layer per call, so the depth is bounded by the
// number of left tiles (at most the tile count).
bool augment_ready_matching(uint16_t u, std::span<const PendingTransfer> transfers,
                            const std::vector<std::vector<uint64_t>>& adjacency,
                            std::vector<std::optional<uint64_t>>& left_match,
                            std::vector<std::optional<uint16_t>>& right_match,
                            std::vector<uint64_t>& dist) {
  for (uint64_t v : adjacency[u]) {
    const uint16_t d = destination_of(transfers, v);
    const std::optional<uint16_t> w = right_match[d];
    if (!w || (dist[*w] == dist[u] + 1 &&
               augment_ready_matching(*w, transfers, adjacency, left_match, right_match, dist))) {
      left_match[u] = v;
      right_match[d] = u;
      return true;
    }
  }
  dist[u] = kUnreachable;  // later searches of this phase skip u
  return false;
}

// Every tile sends and receives at most about twice its fair share; heavily
// skewed traffic gains nothing from waves.
bool balanced(std::span<const PendingTransfer> transfers, uint16_t tile_count) {
  std::vector<uint64_t> sends(tile_count, 0), receives(tile_count, 0);
  for (const PendingTransfer& p : transfers) {
    ++sends[p.source];
    ++receives[p.destinations.front().tile];
  }
  uint64_t most = 0, senders = 0, receivers = 0;
  for (uint16_t tile = 0; tile < tile_count; ++tile) {
    most = std::max({most, sends[tile], receives[tile]});
    senders += sends[tile] != 0;
    receivers += receives[tile] != 0;
  }
  const uint64_t n = transfers.size();
  const uint64_t m = std::max<uint64_t>(1, std::min(senders, receivers));
  const uint64_t q = (n + m - 1) / m;
  return most <= 2 * q;
}

}  // namespace

std::optional<std::vector<std::vector<uint64_t>>> point_to_point_matching_waves(
    const SchedulingProblem& problem, std::span<const uint64_t> current_order) {
  const std::span<const PendingTransfer> transfers = problem.transfers;
  const uint64_t n = transfers.size();
  const uint16_t tile_count = problem.tile_count;
  if (n < 2) return std::nullopt;
  for (const PendingTransfer& p : transfers) {
    if (p.destinations.size() != 1) return std::nullopt;
  }
  if (!balanced(transfers, tile_count)) return std::nullopt;

  std::vector<uint64_t> position(n);
  for (uint64_t i = 0; i < current_order.size(); ++i) position[current_order[i]] = i;
  std::vector<uint64_t> pending_predecessors(n);
  for (uint64_t t = 0; t < n; ++t) pending_predecessors[t] = problem.predecessors[t].size();

  ReadyBySource ready(tile_count);
  // Source tiles with at least one ready transfer, so that a wave only looks
  // at tiles that can send.
  std::set<uint16_t> senders;
  const auto make_ready = [&](uint64_t t) {
    const PendingTransfer& p = transfers[t];
    ready[p.source][p.destinations.front().tile].emplace(position[t], t);
    senders.insert(p.source);
  };
  for (uint64_t t = 0; t < n; ++t) {
    const PendingTransfer& p = transfers[t];
    if (p.words == 0) return std::nullopt;
    if (p.width == ExchangeItemWidth::Paired64 && p.words % 2 != 0) return std::nullopt;
    if (pending_predecessors[t] == 0) make_ready(t);
  }

  // Indexed by tile; only the entries of the current wave's tiles are reset.
  std::vector<std::vector<uint64_t>> adjacency(tile_count);
  std::vector<std::optional<uint64_t>> left_match(tile_count);
  std::vector<std::optional<uint16_t>> right_match(tile_count);
  std::vector<uint64_t> dist(tile_count, kUnreachable);
  std::vector<uint16_t> left;
  std::vector<uint16_t> queue;

  std::vector<std::vector<uint64_t>> waves;
  uint64_t emitted = 0;
  while (emitted < n) {
    // One candidate per destination: the earliest ready transfer to it.
    left.clear();
    for (uint16_t s : senders) {
      std::vector<uint64_t>& candidates = adjacency[s];
      candidates.clear();
      for (const auto& [d, entries] : ready[s]) candidates.push_back(entries.begin()->second);
      std::sort(candidates.begin(), candidates.end(),
                [&](uint64_t a, uint64_t b) { return position[a] < position[b]; });
      left.push_back(s);
    }
    std::sort(left.begin(), left.end(), [&](uint16_t a, uint16_t b) {
      return position[adjacency[a].front()] < position[adjacency[b].front()];
    });
    for (uint16_t u : left) {
      left_match[u].reset();
      for (uint64_t v : adjacency[u]) right_match[destination_of(transfers, v)].reset();
    }

    // Hopcroft-Karp. Only left tiles ever carry a layer number.
    while (!left.empty()) {
      queue.clear();
      for (uint16_t u : left) {
        dist[u] = kUnreachable;
        if (!left_match[u]) {
          dist[u] = 0;
          queue.push_back(u);
        }
      }
      bool free_receiver = false;
      for (std::size_t head = 0; head < queue.size(); ++head) {
        const uint16_t u = queue[head];
        for (uint64_t v : adjacency[u]) {
          const std::optional<uint16_t> w = right_match[destination_of(transfers, v)];
          if (!w) {
            free_receiver = true;
          } else if (dist[*w] == kUnreachable) {
            dist[*w] = dist[u] + 1;
            queue.push_back(*w);
          }
        }
      }
      if (!free_receiver) break;
      bool augmented = false;
      for (uint16_t u : left) {
        if (!left_match[u] &&
            augment_ready_matching(u, transfers, adjacency, left_match, right_match, dist)) {
          augmented = true;
        }
      }
      if (!augmented) break;
    }

    std::vector<uint64_t> wave;
    for (uint16_t u : left) {
      if (left_match[u]) wave.push_back(*left_match[u]);
    }
    if (wave.empty()) return std::nullopt;
    std::sort(wave.begin(), wave.end(),
              [&](uint64_t a, uint64_t b) { return position[a] < position[b]; });

    for (uint64_t t : wave) {
      const PendingTransfer& p = transfers[t];
      auto& by_destination = ready[p.source];
      const auto it = by_destination.find(p.destinations.front().tile);
      it->second.erase({position[t], t});
      if (it->second.empty()) {
        by_destination.erase(it);
        if (by_destination.empty()) senders.erase(p.source);
      }
      ++emitted;
      for (uint64_t s : problem.successors[t]) {
        if (--pending_predecessors[s] == 0) make_ready(s);
      }
    }
    waves.push_back(std::move(wave));
  }
  return waves;
}

std::optional<std::vector<uint64_t>> point_to_point_matching_wave_order(
    const SchedulingProblem& problem, std::span<const uint64_t> current_order) {
  auto waves = point_to_point_matching_waves(problem, current_order);
  if (!waves) return std::nullopt;
  std::vector<uint64_t> order;
  order.reserve(problem.transfers.size());
  for (const auto& wave : *waves) order.insert(order.end(), wave.begin(), wave.end());
  return order;
}

}  // namespace tessel::codegen::exchange::order
