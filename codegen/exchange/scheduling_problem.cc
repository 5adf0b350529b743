#include "codegen/exchange/scheduling_problem.h"

#include <algorithm>
#include <optional>

namespace tessel::codegen::exchange {

uint32_t transfer_cycles(const PendingTransfer& t) {
  return t.cycle_count();
}

namespace {

struct TransferAccess {
  uint64_t transfer;
  uint64_t start;
  uint64_t end;
  bool write;
};

struct AccessFrontier {
  std::optional<uint64_t> last_writer;
  std::vector<uint64_t> readers;  // since the last write
};

using Edge = std::pair<uint64_t, uint64_t>;

// Replays one tile's accesses over the intervals between their boundaries.
// The frontier of an interval keeps only the last writer and the readers
// since, so a long run of reads of the same data costs one entry per reader.
void tile_dependencies(const std::vector<TransferAccess>& accesses, std::vector<Edge>& edges) {
  if (accesses.empty()) return;
  std::vector<uint64_t> bounds;
  bounds.reserve(2 * accesses.size());
  for (const auto& a : accesses) {
    bounds.push_back(a.start);
    bounds.push_back(a.end);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  std::vector<AccessFrontier> frontier(bounds.size() - 1);
  const auto position = [&](uint64_t b) {
    return static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), b) -
                                    bounds.begin());
  };
  // An access that covers many intervals meets the same predecessors in
  // each; they are deduplicated per access before they join the edge list.
  std::vector<uint64_t> before;
  for (const auto& a : accesses) {
    const std::size_t u = position(a.start);
    const std::size_t v = position(a.end);
    before.clear();
    for (std::size_t i = u; i < v; ++i) {
      AccessFrontier& f = frontier[i];
      if (f.last_writer && *f.last_writer != a.transfer) before.push_back(*f.last_writer);
      if (a.write) {
        for (uint64_t r : f.readers) {
          if (r != a.transfer) before.push_back(r);
        }
        f.readers.clear();
        f.last_writer = a.transfer;
      } else if (f.readers.empty() || f.readers.back() != a.transfer) {
        f.readers.push_back(a.transfer);
      }
    }
    std::sort(before.begin(), before.end());
    before.erase(std::unique(before.begin(), before.end()), before.end());
    for (uint64_t p : before) edges.emplace_back(p, a.transfer);
  }
}

void sort_unique(std::vector<Edge>& edges) {
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
}

}  // namespace

SchedulingProblem::SchedulingProblem(std::span<const PendingTransfer> transfers_in,
                                     uint16_t tile_count_in)
    : predecessors(transfers_in.size()),
      successors(transfers_in.size()),
      endpoint_work(tile_count_in, 0),
      transfers(transfers_in),
      tile_count(tile_count_in) {
  std::vector<std::vector<TransferAccess>> per_tile(tile_count);
  for (uint64_t t = 0; t < transfers.size(); ++t) {
    const PendingTransfer& p = transfers[t];
    const uint64_t bytes = 4 * uint64_t{p.words};
    for (uint32_t a : p.source_addresses) per_tile[p.source].push_back({t, a, a + bytes, false});
    for (const auto& d : p.destinations) {
      per_tile[d.tile].push_back({t, d.address, d.address + bytes, true});
    }
  }
  // Collected, then sorted and deduplicated: the same as walking an ordered
  // pair set, which makes every adjacency list ascending and duplicate-free.
  // An edge found on many tiles (a multicast to the same tiles as an earlier
  // one) repeats, so the list is compacted whenever it has doubled.
  std::vector<Edge> edges;
  std::size_t compacted = 0;
  for (auto& accesses : per_tile) {
    tile_dependencies(accesses, edges);
    std::vector<TransferAccess>().swap(accesses);
    if (edges.size() > 2 * compacted + 4096) {
      sort_unique(edges);
      compacted = edges.size();
    }
  }
  sort_unique(edges);
  edges.shrink_to_fit();
  for (const auto& [a, b] : edges) {
    predecessors[b].push_back(a);
    successors[a].push_back(b);
  }

  for (const PendingTransfer& p : transfers) {
    const uint64_t c = transfer_cycles(p);
    endpoint_work[p.source] += c;
    if (p.partner) endpoint_work[*p.partner] += c;
    for (const auto& d : p.destinations) endpoint_work[d.tile] += c;
  }
}

uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> transfers,
                                   uint16_t tile_count) {
  std::vector<uint64_t> send(tile_count, 0), receive(tile_count, 0);
  for (const PendingTransfer& p : transfers) {
    const uint64_t c = transfer_cycles(p);
    send[p.source] += c;
    if (p.partner) send[*p.partner] += c;
    for (const auto& d : p.destinations) receive[d.tile] += c;
  }
  uint64_t bound = 0;
  for (uint16_t t = 0; t < tile_count; ++t) bound = std::max({bound, send[t], receive[t]});
  return bound > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bound);
}

}  // namespace tessel::codegen::exchange
