#include "exchange/tile_schedule.h"

#include <algorithm>

namespace tessel::exchange {
namespace {

// First index in [0, len) for which `past` holds, given that it holds for a
// suffix of the indices.
template <class Past>
uint64_t partition_index(uint64_t len, Past past) {
  uint64_t lo = 0;
  uint64_t hi = len;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (past(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

}  // namespace

void TileProgramSchedule::invalidate() {
  if (!encoding) return;
  previous_encoding = std::move(encoding);
  encoding.reset();
  dirty_rows = sender_rows.len();
  dirty_events = receive_events.len();
}

void TileProgramSchedule::insert_sender_row(uint64_t index, const ScheduledSenderRow& row) {
  invalidate();
  sender_rows.insert(index, row);
  dirty_rows = std::min(dirty_rows, index);
}

void TileProgramSchedule::remove_sender_row(uint64_t index) {
  invalidate();
  sender_rows.remove(index);
  dirty_rows = std::min(dirty_rows, index);
}

void TileProgramSchedule::insert_receive_event(uint64_t index, const ReceiveEvent& event) {
  invalidate();
  receive_events.insert(index, event);
  dirty_events = std::min(dirty_events, index);
}

void TileProgramSchedule::remove_receive_event(uint64_t index) {
  invalidate();
  receive_events.remove(index);
  dirty_events = std::min(dirty_events, index);
}

uint64_t TileProgramSchedule::insert_receive_event_sorted(const ReceiveEvent& event) {
  const uint64_t index = events_through(event.cycle);
  insert_receive_event(index, event);
  return index;
}

void TileProgramSchedule::raise_horizon(uint32_t cycle) {
  invalidate();
  horizon = std::max(horizon, cycle);
}

void TileProgramSchedule::raise_reserved_until(uint32_t cycle) {
  reserved_until = std::max(reserved_until, cycle);
}

uint64_t TileProgramSchedule::rows_starting_before(uint32_t cycle) const {
  return partition_index(sender_rows.len(),
                         [&](uint64_t i) { return sender_rows[i].start >= cycle; });
}

uint64_t TileProgramSchedule::first_row_ending_after(uint32_t cycle) const {
  return partition_index(sender_rows.len(), [&](uint64_t i) { return sender_rows[i].end > cycle; });
}

uint64_t TileProgramSchedule::events_before(uint32_t cycle) const {
  return partition_index(receive_events.len(),
                         [&](uint64_t i) { return receive_events[i].cycle >= cycle; });
}

uint64_t TileProgramSchedule::events_through(uint32_t cycle) const {
  return partition_index(receive_events.len(),
                         [&](uint64_t i) { return receive_events[i].cycle > cycle; });
}

}  // namespace tessel::exchange
