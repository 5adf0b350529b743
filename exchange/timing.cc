#include "exchange/timing.h"

#include <algorithm>

#include "exchange/tile_schedule.h"
#include "exchange/topology.h"
#include "support/checked.h"
#include "support/result.h"

namespace tessel::exchange {
namespace {

using support::checked_add;

std::expected<uint32_t, ExchangeError> add_or(uint32_t a, uint32_t b, const char* phrase) {
  if (auto sum = checked_add(a, b)) return *sum;
  return std::unexpected(ExchangeError::schedule(phrase));
}

// Index of the first Return among words 1 to 8.
std::optional<size_t> row_return(const Row& row) {
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] == kReturnWord) return i;
  }
  return std::nullopt;
}

ReceiveEvent control_event(uint32_t cycle, uint32_t word) {
  return ReceiveEvent{cycle, word, receive_event_kind(word)};
}

std::expected<std::optional<uint32_t>, ExchangeError> rebased(std::optional<uint32_t> cycle,
                                                              uint32_t offset) {
  if (!cycle) return std::optional<uint32_t>();
  return std::optional<uint32_t>(TESSEL_TRY(add_or(*cycle, offset, "receive offset overflow")));
}

}  // namespace

std::optional<uint32_t> format_start_value(const ReceiveRowTiming& timing) {
  for (const ReceiveEvent& e : timing.events) {
    if (e.kind == ReceiveEventKind::Format) {
      const uint32_t value = format_value(e);
      if (value == 1 || value == 2) return value;
    }
  }
  return std::nullopt;
}

std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const Row& row, uint32_t base) {
  if (row[0] != kSync3Word) return std::unexpected(ExchangeError::schedule("sender row entry"));
  const std::optional<size_t> ret = row_return(row);
  if (!ret) return std::unexpected(ExchangeError::schedule("sender row return"));

  uint32_t t = base;
  std::optional<uint32_t> send_start;
  uint32_t send_end = 0;
  for (size_t i = 1; i < *ret; ++i) {
    const uint32_t w = row[i];
    const WordKind kind = classify_word(w);
    const uint32_t issue = t;
    t = TESSEL_TRY(add_or(t, word_cycles(w), "sender event horizon overflow"));
    if (kind == WordKind::Explicit || kind == WordKind::Offset) {
      if (!send_start) send_start = issue;
      send_end = t;
    }
  }
  if (!send_start) return std::unexpected(ExchangeError::schedule("sender payload"));
  return SenderRowTiming{*send_start, send_end, t};
}

std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const Row& row, uint32_t base) {
  if (row[0] != kSync3Word) return std::unexpected(ExchangeError::schedule("receive row entry"));
  const std::optional<size_t> ret = row_return(row);
  if (!ret) return std::unexpected(ExchangeError::schedule("receive row return"));

  ReceiveRowTiming timing;
  uint32_t t = base;
  for (size_t i = 1; i < *ret;) {
    const uint32_t w = row[i];
    const WordKind kind = classify_word(w);
    if (kind == WordKind::PicPair) {
      // Both controls of a PicPair take effect one cycle after it issues; the
      // row then continues once its words have passed.
      const uint32_t second = row[i + 1];
      const uint32_t at = TESSEL_TRY(add_or(t, 1, "receive event horizon overflow"));
      timing.events.push_back(control_event(at, 0x64000000u | pic_pair_xpic_value(second)));
      timing.events.push_back(control_event(at, 0x60000000u | pic_pair_pic_value(w, second)));
      t = TESSEL_TRY(add_or(t, word_cycles(w), "receive event horizon overflow"));
      i += 2;
      continue;
    }
    t = TESSEL_TRY(add_or(t, word_cycles(w), "receive event horizon overflow"));
    if (is_incoming_control(kind)) timing.events.push_back(control_event(t, w));
    ++i;
  }
  timing.row_end = t;

  bool paired_mux = false;
  for (const ReceiveEvent& e : timing.events) {
    switch (e.kind) {
      case ReceiveEventKind::PairedSource:
        paired_mux = true;
        [[fallthrough]];
      case ReceiveEventKind::Source:
        if (timing.source)
          return std::unexpected(ExchangeError::schedule("multiple receive sources"));
        timing.source = e.cycle;
        break;
      case ReceiveEventKind::PairedTeardown:
        paired_mux = true;
        [[fallthrough]];
      case ReceiveEventKind::Teardown:
        if (timing.teardown)
          return std::unexpected(ExchangeError::schedule("multiple receive teardowns"));
        timing.teardown = e.cycle;
        break;
      case ReceiveEventKind::Pointer:
      case ReceiveEventKind::PairedPointer:
        if (timing.pointer)
          return std::unexpected(ExchangeError::schedule("multiple receive pointers"));
        timing.pointer = e.cycle;
        timing.pointer_address = (e.word & 0x3ffff) * 4;
        break;
      case ReceiveEventKind::Format: {
        const uint32_t value = format_value(e);
        if (value == 1 || value == 2) {
          if (timing.format_start)
            return std::unexpected(ExchangeError::schedule("multiple paired format starts"));
          timing.format_start = e.cycle;
        } else if (value == 0) {
          if (timing.format_end)
            return std::unexpected(ExchangeError::schedule("multiple paired format ends"));
          timing.format_end = e.cycle;
        } else {
          return std::unexpected(ExchangeError::schedule("paired receive format value"));
        }
        break;
      }
    }
  }

  if (timing.format_start) {
    if (!timing.format_end)
      return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
    timing.paired = true;
    for (ReceiveEvent& e : timing.events) {
      if (e.kind == ReceiveEventKind::Pointer) e.kind = ReceiveEventKind::PairedPointer;
    }
  } else {
    if (paired_mux)
      return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
    if (!timing.source || !timing.teardown)
      return std::unexpected(ExchangeError::schedule("incomplete ordinary receive mux"));
  }
  return timing;
}

std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing_from_base(
    const ReceiveRowTiming& timing, uint32_t offset) {
  ReceiveRowTiming out = timing;
  for (ReceiveEvent& e : out.events) {
    e.cycle = TESSEL_TRY(add_or(e.cycle, offset, "receive offset overflow"));
  }
  out.teardown = TESSEL_TRY(rebased(timing.teardown, offset));
  out.source = TESSEL_TRY(rebased(timing.source, offset));
  out.format_start = TESSEL_TRY(rebased(timing.format_start, offset));
  out.format_end = TESSEL_TRY(rebased(timing.format_end, offset));
  out.pointer = TESSEL_TRY(rebased(timing.pointer, offset));
  out.row_end = TESSEL_TRY(add_or(timing.row_end, offset, "receive offset overflow"));
  return out;
}

std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, uint32_t offset, uint32_t count,
    const std::optional<TileReceiveState>& state) {
  const ReceiveRowTiming row = TESSEL_TRY(receive_row_timing_from_base(timing, offset));

  ScheduledReceiverWindow window;
  window.pointer_address = row.pointer_address;
  if (row.source) {
    window.source_cycle = *row.source;
  } else if (row.format_start) {
    window.source_cycle = *row.format_start;
  } else {
    return std::unexpected(ExchangeError::schedule("receive source timing"));
  }
  window.stream_end =
      TESSEL_TRY(add_or(window.source_cycle, count, "receive source timing overflow"));

  // The tile's pointer already stands where this ordinary receive starts.
  const bool pointer_in_place =
      state && !row.paired && !state->paired && row.pointer_address == state->next_address;
  if (row.format_start && state && state->format && state->format_end &&
      *state->format_end == *row.format_start) {
    for (const ReceiveEvent& e : row.events) {
      if (e.kind == ReceiveEventKind::Format && e.cycle == *row.format_start) {
        window.format_shared = format_value(e) == *state->format;
        break;
      }
    }
  }

  if (!row.pointer) return std::unexpected(ExchangeError::schedule("receive pointer event"));
  window.pointer_cycle = *row.pointer;
  window.payload_end =
      TESSEL_TRY(add_or(window.pointer_cycle, count, "receive payload timing overflow"));
  window.horizon = std::max({window.stream_end, window.payload_end, row.row_end});

  for (ReceiveEvent e : row.events) {
    if (e.kind == ReceiveEventKind::Teardown) {
      // The multiplexer is released when the stream ends, wherever the row's
      // teardown word completes.
      e.cycle = window.stream_end;
    } else if (e.kind == ReceiveEventKind::Pointer && pointer_in_place) {
      continue;
    } else if (e.kind == ReceiveEventKind::Format && window.format_shared &&
               e.cycle == *row.format_start) {
      continue;
    }
    window.events.push_back(e);
  }
  // Stable insertion sort: at most eight events, and std::stable_sort would
  // allocate a buffer for every candidate offset the search tries.
  for (auto i = window.events.begin() + 1; i < window.events.end(); ++i) {
    const ReceiveEvent moving = *i;
    auto j = i;
    for (; j != window.events.begin() && (j - 1)->cycle > moving.cycle; --j) *j = *(j - 1);
    *j = moving;
  }

  const size_t n = window.events.size();
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && window.events[j].cycle == window.events[i].cycle) ++j;
    const size_t group = j - i;
    if (group > 2 || (group == 2 && !compatible_simultaneous_events(window.events[i].kind,
                                                                    window.events[i + 1].kind))) {
      return std::unexpected(ExchangeError::schedule("incompatible simultaneous receive controls"));
    }
    i = j;
  }
  return window;
}

std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
    std::span<const TileProgramSchedule> tiles, uint16_t sender,
    std::span<const uint16_t> receivers, const AssembledMulticast& rows, uint32_t offset,
    uint32_t count) {
  if (receivers.size() != rows.receivers.size())
    return std::unexpected(ExchangeError::schedule("receiver row count"));
  if (sender >= tiles.size()) return std::unexpected(ExchangeError::tile(sender));

  const SenderRowTiming send = TESSEL_TRY(sender_row_timing(rows.sender, offset));
  PhaseTransferTiming timing;
  timing.send_start = send.send_start;
  timing.send_end = send.send_end;
  timing.sender_horizon = send.sender_horizon;
  timing.pointer_cycles.reserve(receivers.size());
  timing.payload_ends.reserve(receivers.size());
  timing.receive_horizons.reserve(receivers.size());
  for (size_t i = 0; i < receivers.size(); ++i) {
    const uint16_t receiver = receivers[i];
    if (receiver >= tiles.size()) return std::unexpected(ExchangeError::tile(receiver));
    const ReceiveRowTiming row = TESSEL_TRY(receive_row_timing(rows.receivers[i], 0));
    const ScheduledReceiverWindow window =
        TESSEL_TRY(scheduled_receive_window(row, offset, count, tiles[receiver].receive_state));
    timing.pointer_cycles.push_back(window.pointer_cycle);
    timing.payload_ends.push_back(window.payload_end);
    timing.receive_horizons.push_back(window.horizon);
  }
  return timing;
}

uint32_t phase_event_cycles(std::span<const TileProgramSchedule> tiles) {
  uint32_t horizon = 0;
  for (const TileProgramSchedule& tile : tiles) horizon = std::max(horizon, tile.horizon);
  return horizon;
}

}  // namespace tessel::exchange
