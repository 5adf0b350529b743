#include "codegen/exchange/greedy.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <tuple>

namespace tessel::codegen::exchange {

namespace {

struct ReadyTransfer {
  uint64_t work = 0;
  uint64_t destinations = 0;
  uint64_t transfer = 0;
  uint32_t start = 0;
  uint32_t cycles = 0;
  uint16_t source = 0;
};

// True when `a` is taken before `b`.
bool before(const ReadyTransfer& a, const ReadyTransfer& b) {
  if (a.start != b.start) return a.start < b.start;
  if (a.work != b.work) return a.work > b.work;
  if (a.destinations != b.destinations) return a.destinations > b.destinations;
  if (a.cycles != b.cycles) return a.cycles > b.cycles;
  if (a.source != b.source) return a.source < b.source;
  return a.transfer < b.transfer;
}

// A binary max-heap whose top may be rewritten in place and pushed down.
// Keys end with a unique transfer index, so the top never depends on the
// heap's internal arrangement.
class ReadyQueue {
 public:
  bool empty() const { return heap_.empty(); }
  std::size_t size() const { return heap_.size(); }
  ReadyTransfer& top() { return heap_.front(); }
  void push(const ReadyTransfer& r) {
    heap_.push_back(r);
    std::push_heap(heap_.begin(), heap_.end(), less);
  }
  void pop() {
    std::pop_heap(heap_.begin(), heap_.end(), less);
    heap_.pop_back();
  }
  // Restores the order after the top entry's key changed.
  void sift_top_down() {
    std::size_t i = 0;
    const std::size_t n = heap_.size();
    while (true) {
      const std::size_t l = 2 * i + 1, r = l + 1;
      std::size_t best = i;
      if (l < n && less(heap_[best], heap_[l])) best = l;
      if (r < n && less(heap_[best], heap_[r])) best = r;
      if (best == i) return;
      std::swap(heap_[i], heap_[best]);
      i = best;
    }
  }
  std::vector<ReadyTransfer>& entries() { return heap_; }
  void rebuild() { std::make_heap(heap_.begin(), heap_.end(), less); }

 private:
  static bool less(const ReadyTransfer& a, const ReadyTransfer& b) { return before(b, a); }
  std::vector<ReadyTransfer> heap_;
};

constexpr uint64_t kNoGroup = std::numeric_limits<uint64_t>::max();

class TransferScheduler {
 public:
  TransferScheduler(const SchedulingProblem& problem, const MaterializedSchedule& schedule)
      : transfers_(problem.transfers),
        successors_(problem.successors),
        schedule_(schedule),
        remaining_work_(problem.endpoint_work),
        remaining_predecessors_(transfers_.size()),
        ready_cycle_(transfers_.size(), 0),
        group_of_(transfers_.size(), kNoGroup) {
    for (std::size_t t = 0; t < transfers_.size(); ++t) {
      remaining_predecessors_[t] = problem.predecessors[t].size();
      if (transfers_[t].destinations.size() > 1) multicast_ = true;
    }
  }

  // Initial ready set, grouped by endpoints; one entry per group is queued.
  void seed() {
    std::map<std::tuple<uint16_t, std::optional<uint16_t>, std::vector<uint16_t>>, uint64_t> keys;
    for (uint64_t t = 0; t < transfers_.size(); ++t) {
      if (remaining_predecessors_[t] != 0) continue;
      const PendingTransfer& p = transfers_[t];
      std::vector<uint16_t> tiles;
      tiles.reserve(p.destinations.size());
      for (const auto& d : p.destinations) tiles.push_back(d.tile);
      auto [it, inserted] =
          keys.try_emplace({p.source, p.partner, std::move(tiles)}, groups_.size());
      if (inserted) groups_.emplace_back();
      group_of_[t] = it->second;
      groups_[it->second].push(key(t, 0));
    }
    for (ReadyQueue& g : groups_) {
      if (!g.empty()) ready_.push(g.top());
    }
  }

  bool done() const { return ready_.empty(); }

  // Takes the greatest entry whose stored key is current and removes it.
  ReadyTransfer select() {
    uint64_t stale = 0;
    while (true) {
      ReadyTransfer& e = ready_.top();
      const uint32_t start = current_start(e.transfer);
      const uint64_t work = multicast_ ? current_work(e.transfer) : e.work;
      if (start == e.start && work == e.work) break;
      ++stale;
      const uint64_t n = ready_.size();
      if (n >= 128 && stale * static_cast<uint64_t>(std::bit_width(n) - 1) >= n) {
        for (ReadyTransfer& r : ready_.entries()) {
          r.start = current_start(r.transfer);
          if (multicast_) r.work = current_work(r.transfer);
        }
        ready_.rebuild();
      } else {
        e.start = start;
        e.work = work;
        ready_.sift_top_down();
      }
    }
    const ReadyTransfer e = ready_.top();
    ready_.pop();
    if (const uint64_t g = group_of_[e.transfer]; g != kNoGroup) {
      ReadyQueue& group = groups_[g];
      group.pop();
      if (!group.empty()) {
        ReadyTransfer next = group.top();
        next.start = e.start;
        ready_.push(next);
      }
    }
    return e;
  }

  uint32_t ready_cycle(uint64_t t) const { return ready_cycle_[t]; }

  void placed(uint64_t t, uint32_t finish) {
    if (multicast_) {
      const uint64_t c = transfer_cycles(transfers_[t]);
      for_each_tile(t, [&](uint16_t tile) {
        remaining_work_[tile] = remaining_work_[tile] > c ? remaining_work_[tile] - c : 0;
      });
    }
    for (uint64_t s : successors_[t]) {
      ready_cycle_[s] = std::max(ready_cycle_[s], finish);
      if (--remaining_predecessors_[s] == 0) ready_.push(key(s, ready_cycle_[s]));
    }
  }

 private:
  template <typename F>
  void for_each_tile(uint64_t t, F&& f) const {
    const PendingTransfer& p = transfers_[t];
    f(p.source);
    if (p.partner) f(*p.partner);
    for (const auto& d : p.destinations) f(d.tile);
  }

  uint64_t current_work(uint64_t t) const {
    uint64_t sum = 0;
    for_each_tile(t, [&](uint16_t tile) { sum += remaining_work_[tile]; });
    return sum;
  }

  uint32_t current_start(uint64_t t) const {
    const PendingTransfer& p = transfers_[t];
    uint32_t start = ready_cycle_[t];
    start = std::max(start, schedule_.free_cycles[p.source].send_free);
    if (p.partner) start = std::max(start, schedule_.free_cycles[*p.partner].send_free);
    for (const auto& d : p.destinations) {
      start = std::max(start, schedule_.free_cycles[d.tile].receive_free);
    }
    return start;
  }

  ReadyTransfer key(uint64_t t, uint32_t start) const {
    const PendingTransfer& p = transfers_[t];
    return ReadyTransfer{current_work(t), p.destinations.size(), t,
                         start,           transfer_cycles(p),    p.source};
  }

  std::span<const PendingTransfer> transfers_;
  const std::vector<std::vector<uint64_t>>& successors_;
  const MaterializedSchedule& schedule_;
  std::vector<uint64_t> remaining_work_;
  std::vector<uint64_t> remaining_predecessors_;
  std::vector<uint32_t> ready_cycle_;
  ReadyQueue ready_;
  std::vector<ReadyQueue> groups_;
  std::vector<uint64_t> group_of_;
  bool multicast_ = false;
};

}  // namespace

LoweringResult<MaterializedSchedule> materialize_greedy_schedule_impl(
    const Topology& topology, const SchedulingProblem& problem, const ReceiveInputs& receive,
    bool incremental) {
  MaterializedSchedule schedule(problem.tile_count, problem.transfers);
  std::vector<TileLastTransfers> last_transfers(problem.tile_count);
  TransferScheduler scheduler(problem, schedule);
  scheduler.seed();
  while (!scheduler.done()) {
    const ReadyTransfer e = scheduler.select();
    auto finish = schedule.append(topology, problem.transfers, receive, e.transfer,
                                  scheduler.ready_cycle(e.transfer), incremental, last_transfers);
    if (!finish) return std::unexpected(std::move(finish).error());
    scheduler.placed(e.transfer, *finish);
  }
  schedule.horizon = schedule.builder.event_cycles();
  return schedule;
}

}  // namespace tessel::codegen::exchange
