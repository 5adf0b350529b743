// The earliest-offset search of PhaseProgramBuilder and its encodability
// check.
//
// The search raises a candidate offset until nothing objects: the sender's
// window, its reservation and its incoming controls, the blocked tiles'
// idleness, and for every receiver the end of its previous stream and the
// compatibility of the new controls with the tile's own. Each test is a
// binary search in the sorted sequences of the tiles involved; candidates only
// grow, so the search ends or overflows into an error. Nothing is allocated
// per candidate: row timings and windows live in fixed inline arrays.
#include <algorithm>
#include <limits>

#include "exchange/builder.h"
#include "support/checked.h"
#include "support/result.h"

namespace tessel::exchange {
namespace {

constexpr uint32_t kMaxCycle = std::numeric_limits<uint32_t>::max();

std::unexpected<ExchangeError> schedule_error(const char* phrase) {
  return std::unexpected(ExchangeError::schedule(phrase));
}

// The sender fit: the earliest c' >= c at which the send window avoids every
// placed sender row of the tile and no incoming control of the tile lands on
// the send start or the cycle after it.
std::expected<uint32_t, ExchangeError> fit_sender(const TileProgramSchedule& tile, uint32_t c,
                                                  const SenderRowTiming& row) {
  for (;;) {
    const std::optional<uint32_t> start = support::checked_add(c, row.send_start);
    const std::optional<uint32_t> end = support::checked_add(c, row.send_end);
    if (!start || !end) return schedule_error("send offset overflow");

    const uint64_t r = tile.first_row_ending_after(*start);
    if (r < tile.sender_rows.len() && tile.sender_rows[r].start < *end) {
      // That row's end exceeds *start = c + send_start, so this moves c on.
      c = tile.sender_rows[r].end - row.send_start;
      continue;
    }
    const uint64_t e = tile.events_before(*start);
    if (e < tile.receive_events.len()) {
      const uint32_t cycle = tile.receive_events[e].cycle;
      if (cycle == *start || cycle == support::saturating_add(*start, 1u)) {
        if (c == kMaxCycle) return schedule_error("send offset overflow");
        ++c;
        continue;
      }
    }
    return c;
  }
}

// Whether the new event `e` may share its cycle with `x`, already on the tile.
bool coincidence_allowed(const ReceiveEvent& e, const ReceiveEvent& x,
                         const std::optional<TileReceiveState>& state, const ReceiveRowTiming& row,
                         const ScheduledReceiverWindow& window) {
  if (state) {
    // The append removes the old format end that the continuing format replaces.
    if (window.format_shared && x.kind == ReceiveEventKind::Format && state->format_end &&
        x.cycle == *state->format_end) {
      return true;
    }
    // The append removes the old stream's release that the new source replaces.
    if (window.source_cycle == state->stream_end && x.cycle == state->stream_end) {
      const bool replaced = state->paired ? (row.paired && window.format_shared &&
                                             x.kind == ReceiveEventKind::PairedTeardown)
                                          : (!row.paired && x.kind == ReceiveEventKind::Teardown);
      if (replaced) return true;
    }
  }
  return compatible_simultaneous_events(e.kind, x.kind);
}

// Whether the window's events clash with the tile's own events or sends.
bool receive_conflicts(const TileProgramSchedule& tile, const ReceiveRowTiming& row,
                       const ScheduledReceiverWindow& window) {
  const std::optional<TileReceiveState>& state = tile.receive_state;
  bool conflict = false;
  for (const ReceiveEvent& e : window.events) {
    for (uint64_t j = tile.events_before(e.cycle);
         j < tile.receive_events.len() && tile.receive_events[j].cycle == e.cycle; ++j) {
      if (!coincidence_allowed(e, tile.receive_events[j], state, row, window)) conflict = true;
    }
    // An incoming control may not land on the issue cycle of one of the
    // tile's own sends, nor on the cycle after it.
    const uint32_t before = support::saturating_sub(e.cycle, 1u);
    const uint64_t r = tile.rows_starting_before(before);
    if (r < tile.sender_rows.len()) {
      const uint32_t start = tile.sender_rows[r].start;
      if (start == e.cycle || start == before) conflict = true;
    }
  }
  return conflict;
}

// The earliest c' >= c at which the receive fits the tile.
std::expected<uint32_t, ExchangeError> fit_receiver(const TileProgramSchedule& tile, uint32_t c,
                                                    const ReceiveRowTiming& row, uint32_t count) {
  const std::optional<TileReceiveState>& state = tile.receive_state;
  if (state) {
    // The new receive may not begin before the old stream and payload end.
    const std::optional<uint32_t> begin = row.source ? row.source : row.format_start;
    if (!begin) return schedule_error("receive source timing");
    c = std::max(c, support::saturating_sub(state->stream_end, *begin));
    if (!state->paired && row.format_start) {
      c = std::max(c, support::saturating_sub(state->payload_end, *row.format_start));
    }
    if (!row.pointer) return schedule_error("receive pointer event");
    c = std::max(c, support::saturating_sub(state->payload_end, *row.pointer));
  }
  for (;;) {
    const ScheduledReceiverWindow window =
        TESSEL_TRY(scheduled_receive_window(row, c, count, state));
    if (!receive_conflicts(tile, row, window)) return c;
    if (c == kMaxCycle) return schedule_error("receive offset overflow");
    ++c;
  }
}

}  // namespace

std::expected<uint32_t, ExchangeError> PhaseProgramBuilder::search_passes(
    uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
    const AssembledMulticast& rows, uint32_t count, uint32_t lower) const {
  for (;;) {
    const SenderRowTiming send = TESSEL_TRY(sender_row_timing(rows.sender, 0));
    const TileProgramSchedule& source = tiles_[sender];
    uint32_t c = std::max(lower, support::saturating_sub(source.reserved_until, send.send_start));
    c = TESSEL_TRY(fit_sender(source, c, send));

    // A blocked tile must be idle from the offset on.
    for (uint16_t b : blocked) {
      if (b >= tiles_.size()) return std::unexpected(ExchangeError::tile(b));
      const TileProgramSchedule& tile = tiles_[b];
      c = std::max(c, tile.reserved_until);
      if (!tile.sender_rows.empty()) c = std::max(c, tile.sender_rows.back().end);
    }

    for (size_t k = 0; k < receivers.size(); ++k) {
      const uint16_t receiver = receivers[k];
      if (receiver >= tiles_.size()) return std::unexpected(ExchangeError::tile(receiver));
      const ReceiveRowTiming row = TESSEL_TRY(receive_row_timing(rows.receivers[k], 0));
      c = TESSEL_TRY(fit_receiver(tiles_[receiver], c, row, count));
    }

    if (c == lower) return lower;
    lower = c;
  }
}

std::expected<uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset(
    uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
    const AssembledMulticast& rows, uint32_t count, uint32_t not_before) {
  return earliest_transfer_offset_impl(sender, blocked, receivers, rows, count, not_before,
                                       /*check_encoding=*/true);
}

std::expected<uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
    const AssembledMulticast& rows, uint32_t count, uint32_t not_before) const {
  if (receivers.size() != rows.receivers.size()) return schedule_error("receiver row count");
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
  return search_passes(sender, blocked, receivers, rows, count, not_before);
}

std::expected<uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_impl(
    uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
    const AssembledMulticast& rows, uint32_t count, uint32_t not_before, bool check_encoding) {
  if (!check_encoding) {
    return earliest_transfer_offset_deferred(sender, blocked, receivers, rows, count, not_before);
  }
  if (receivers.size() != rows.receivers.size()) return schedule_error("receiver row count");
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));

  uint32_t lower = not_before;
  for (;;) {
    const uint32_t offset =
        TESSEL_TRY(search_passes(sender, blocked, receivers, rows, count, lower));

    // The encodability check.
    if (staged_ && staged_->matches(sender, receivers, rows, offset, count)) return offset;

    // Work of the check: every schedule it copies and re-encodes.
    auto tile_work = [&](uint16_t t) {
      const TileProgramSchedule& tile = tiles_[t];
      return support::saturating_add(
          support::saturating_add(tile.sender_rows.len(), tile.receive_events.len()), uint64_t{1});
    };
    uint64_t work = tile_work(sender);
    for (uint16_t receiver : receivers) {
      if (receiver >= tiles_.size()) return std::unexpected(ExchangeError::tile(receiver));
      work = support::saturating_add(work, tile_work(receiver));
    }
    TESSEL_TRY(take_validation_budget(work));

    staged_.reset();
    std::expected<TileUpdates, ExchangeError> updates =
        prepare_transfer_at(tiles_, sender, receivers, rows, offset, count, /*validate=*/true);
    if (updates) {
      staged_ = StagedTransfer{
          .receivers = std::vector<uint16_t>(receivers.begin(), receivers.end()),
          .receiver_rows = rows.receivers,
          .sender_row = rows.sender,
          .updates = std::move(*updates),
          .offset = offset,
          .count = count,
          .sender = sender,
      };
      return offset;
    }
    if (!updates.error().is_schedule("SENDPICP instruction alignment")) {
      return std::unexpected(updates.error());
    }
    // A two-control receive word fell on an odd word position; one cycle later
    // the layout differs.
    if (offset == kMaxCycle) return schedule_error("receive offset overflow");
    lower = offset + 1;
  }
}

}  // namespace tessel::exchange
