#include "codegen/exchange/order/repair.h"

#include <algorithm>
#include <limits>
#include <queue>

namespace tessel::codegen::exchange::order {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

// The tiles a transfer occupies, once per occurrence, without allocating.
template <typename Visit>
void for_each_tile(const PendingTransfer& p, Visit&& visit) {
  visit(p.source);
  if (p.partner) visit(*p.partner);
  for (const PendingDestination& d : p.destinations) visit(d.tile);
}

// Transfers with the same source, partner and destination tiles (sorted,
// repeats kept) compete for the same endpoints.
struct EndpointKey {
  uint16_t source = 0;
  std::optional<uint16_t> partner;
  std::vector<uint16_t> destinations;
  friend auto operator<=>(const EndpointKey&, const EndpointKey&) = default;
};

EndpointKey endpoint_key(const PendingTransfer& p) {
  EndpointKey key{p.source, p.partner, {}};
  key.destinations.reserve(p.destinations.size());
  for (const PendingDestination& d : p.destinations) key.destinations.push_back(d.tile);
  std::sort(key.destinations.begin(), key.destinations.end());
  return key;
}

struct QueueEntry {
  RepairReady key;
  uint64_t group = 0;
  uint64_t stamp = 0;
  // By key, then the larger group, then the larger stamp.
  friend bool operator<(const QueueEntry& a, const QueueEntry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.group != b.group) return a.group < b.group;
    return a.stamp < b.stamp;
  }
};

}  // namespace

uint64_t integer_sqrt(uint64_t n) {
  // Digit by digit in base 4: exact, no floating point.
  uint64_t root = 0;
  uint64_t bit = uint64_t{1} << 62;
  while (bit > n) bit >>= 2;
  while (bit != 0) {
    if (n >= root + bit) {
      n -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
    bit >>= 2;
  }
  return root;
}

std::strong_ordering operator<=>(const RepairReady& a, const RepairReady& b) {
  if (a.block != b.block) return b.block <=> a.block;
  if (a.start != b.start) return b.start <=> a.start;
  if (a.contiguous != b.contiguous) return a.contiguous <=> b.contiguous;
  if (a.in_neighborhood != b.in_neighborhood) return a.in_neighborhood <=> b.in_neighborhood;
  if (a.work != b.work) return a.work <=> b.work;
  if (a.position != b.position) return b.position <=> a.position;
  return b.transfer <=> a.transfer;
}

RepairReady plain_repair_key(uint64_t t, const RepairContext& context) {
  const uint64_t position = context.position[t];
  RepairReady key;
  key.block = position / context.block_size;
  key.in_neighborhood = context.neighborhood[t];
  key.position = position;
  key.transfer = t;
  return key;
}

RepairReady repair_ready(uint64_t t, const RepairContext& context,
                         const RepairSimulation& simulation) {
  const PendingTransfer& p = context.transfers[t];
  RepairReady key = plain_repair_key(t, context);
  uint32_t start = simulation.send_free[p.source];
  if (p.partner) start = std::max(start, simulation.send_free[*p.partner]);
  for (const PendingDestination& d : p.destinations) {
    start = std::max(start, simulation.receive_free[d.tile]);
    if (simulation.receive_end[d.tile] == d.address) ++key.contiguous;
  }
  key.start = start;
  for_each_tile(p, [&](uint16_t tile) { key.work += simulation.remaining_work[tile]; });
  return key;
}

void RepairGroup::insert_ready(uint64_t t, const RepairContext& context) {
  ready.insert(plain_repair_key(t, context));
  for (const PendingDestination& d : context.transfers[t].destinations) {
    std::vector<uint64_t>& writers = by_destination[{d.tile, d.address}];
    writers.insert(std::lower_bound(writers.begin(), writers.end(), t), t);
  }
}

void RepairGroup::remove_ready(uint64_t t, const RepairContext& context) {
  ready.erase(plain_repair_key(t, context));
  for (const PendingDestination& d : context.transfers[t].destinations) {
    const auto it = by_destination.find({d.tile, d.address});
    std::vector<uint64_t>& writers = it->second;
    writers.erase(std::lower_bound(writers.begin(), writers.end(), t));
    if (writers.empty()) by_destination.erase(it);
  }
}

std::optional<RepairReady> RepairGroup::best(const RepairContext& context,
                                             const RepairSimulation& simulation) const {
  if (ready.empty()) return std::nullopt;
  const uint64_t head = ready.rbegin()->transfer;
  RepairReady best = repair_ready(head, context, simulation);
  for (const PendingDestination& d : context.transfers[head].destinations) {
    const std::optional<uint32_t> end = simulation.receive_end[d.tile];
    if (!end) continue;
    const auto it = by_destination.find({d.tile, *end});
    if (it == by_destination.end()) continue;
    for (uint64_t u : it->second) {
      if (context.position[u] / context.block_size != best.block) continue;
      const RepairReady candidate = repair_ready(u, context, simulation);
      if (!(candidate < best)) best = candidate;
    }
  }
  return best;
}

std::vector<uint64_t> repair_order(const SchedulingProblem& problem,
                                   std::span<const uint64_t> current_order,
                                   const std::vector<bool>& neighborhood) {
  const std::span<const PendingTransfer> transfers = problem.transfers;
  const uint64_t n = transfers.size();
  const auto unchanged = [&] {
    return std::vector<uint64_t>(current_order.begin(), current_order.end());
  };
  if (n == 0) return unchanged();

  std::vector<uint64_t> position(n);
  for (uint64_t i = 0; i < current_order.size(); ++i) position[current_order[i]] = i;
  const RepairContext context{transfers, position, integer_sqrt(n), neighborhood};

  std::vector<uint64_t> pending_predecessors(n);
  for (uint64_t t = 0; t < n; ++t) pending_predecessors[t] = problem.predecessors[t].size();
  RepairSimulation simulation{
      std::vector<uint32_t>(problem.tile_count, 0), std::vector<uint32_t>(problem.tile_count, 0),
      std::vector<std::optional<uint32_t>>(problem.tile_count), problem.endpoint_work};

  std::vector<RepairGroup> groups;
  std::vector<uint64_t> group_of(n);
  {
    std::map<EndpointKey, uint64_t> group_ids;
    for (uint64_t t = 0; t < n; ++t) {
      const auto [it, created] = group_ids.try_emplace(endpoint_key(transfers[t]), groups.size());
      if (created) groups.emplace_back();
      group_of[t] = it->second;
      if (pending_predecessors[t] == 0) groups[it->second].insert_ready(t, context);
    }
  }

  std::priority_queue<QueueEntry> queue;
  for (uint64_t g = 0; g < groups.size(); ++g) {
    if (auto key = groups[g].best(context, simulation)) queue.push({*key, g, 0});
  }

  std::vector<uint64_t> order;
  order.reserve(n);
  std::vector<uint64_t> touched;
  while (!queue.empty()) {
    const QueueEntry top = queue.top();
    queue.pop();
    RepairGroup& group = groups[top.group];
    if (top.stamp != group.stamp) continue;
    const std::optional<RepairReady> best = group.best(context, simulation);
    if (!best) continue;
    if (*best != top.key) {
      queue.push({*best, top.group, top.stamp});
      continue;
    }

    const uint64_t t = top.key.transfer;
    const PendingTransfer& p = transfers[t];
    group.remove_ready(t, context);
    const uint32_t cycles = transfer_cycles(p);
    const uint64_t finish = uint64_t{top.key.start} + cycles;
    if (finish > kMax32) return unchanged();
    const uint32_t f = static_cast<uint32_t>(finish);
    simulation.send_free[p.source] = f;
    if (p.partner) simulation.send_free[*p.partner] = f;
    const uint64_t bytes = 4 * uint64_t{p.words};
    if (bytes > kMax32) return unchanged();
    for (const PendingDestination& d : p.destinations) {
      simulation.receive_free[d.tile] = f;
      const uint64_t end = uint64_t{d.address} + bytes;
      simulation.receive_end[d.tile] =
          end <= kMax32 ? std::optional<uint32_t>(static_cast<uint32_t>(end)) : std::nullopt;
    }
    for_each_tile(p, [&](uint16_t tile) {
      uint64_t& work = simulation.remaining_work[tile];
      work = work > cycles ? work - cycles : 0;
    });
    order.push_back(t);

    touched.assign(1, top.group);
    for (uint64_t s : problem.successors[t]) {
      if (--pending_predecessors[s] == 0) {
        groups[group_of[s]].insert_ready(s, context);
        touched.push_back(group_of[s]);
      }
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (uint64_t h : touched) {
      const uint64_t stamp = ++groups[h].stamp;
      if (auto key = groups[h].best(context, simulation)) queue.push({*key, h, stamp});
    }
  }
  if (order.size() != n) return unchanged();
  return order;
}

}  // namespace tessel::codegen::exchange::order
