#include "exchange/builder.h"

#include <algorithm>
#include <limits>

#include "exchange/diagnostic.h"
#include "support/checked.h"
#include "support/result.h"

namespace tessel::exchange {
namespace {

std::unexpected<ExchangeError> schedule_error(const char* phrase) {
  return std::unexpected(ExchangeError::schedule(phrase));
}

// Fills the tile's encoding cache so that a copy taken afterwards resumes
// from a complete encoding. A tile that does not encode simply leaves its
// copy nothing new to resume from, so the error is dropped.
void warm_encoding(const TileProgramSchedule& tile) {
  (void)tile.encoded();
}

// True when `tile` occurs among receivers[0, index). Receiver lists are short;
// long ones (wide multicasts) get a bitmap instead of a quadratic scan.
class SeenReceivers {
 public:
  explicit SeenReceivers(std::span<const uint16_t> receivers) : receivers_(receivers) {
    if (receivers.size() > kLinearLimit) {
      uint16_t largest = 0;
      for (uint16_t r : receivers) largest = std::max(largest, r);
      seen_.assign(static_cast<size_t>(largest) + 1, false);
    }
  }

  // Whether receivers[index] was listed before; records it.
  bool repeated(size_t index) {
    const uint16_t tile = receivers_[index];
    if (seen_.empty()) {
      return std::find(receivers_.begin(), receivers_.begin() + static_cast<std::ptrdiff_t>(index),
                       tile) != receivers_.begin() + static_cast<std::ptrdiff_t>(index);
    }
    if (seen_[tile]) return true;
    seen_[tile] = true;
    return false;
  }

 private:
  static constexpr size_t kLinearLimit = 32;
  std::span<const uint16_t> receivers_;
  std::vector<bool> seen_;
};

TileProgramSchedule* find_update(TileUpdates& updates, uint16_t tile) {
  for (auto& [t, schedule] : updates) {
    if (t == tile) return &schedule;
  }
  return nullptr;
}

// The old stream's release and the old format end that the new receive
// replaces in the same cycle (see the placement rules of the search, which
// accept exactly these coincidences).
void remove_superseded_events(TileProgramSchedule& tile, const TileReceiveState& state,
                              const ReceiveRowTiming& row, const ScheduledReceiverWindow& window) {
  const uint32_t from =
      state.format_end ? std::min(*state.format_end, state.stream_end) : state.stream_end;
  uint64_t j = tile.events_before(from);
  while (j < tile.receive_events.len()) {
    const ReceiveEvent& x = tile.receive_events[j];
    const bool old_format_end = window.format_shared && x.kind == ReceiveEventKind::Format &&
                                state.format_end && x.cycle == *state.format_end;
    bool old_release = false;
    if (window.source_cycle == state.stream_end && x.cycle == state.stream_end) {
      old_release = state.paired ? (row.paired && window.format_shared &&
                                    x.kind == ReceiveEventKind::PairedTeardown)
                                 : (!row.paired && x.kind == ReceiveEventKind::Teardown);
    }
    if (old_format_end || old_release) {
      tile.remove_receive_event(j);
    } else {
      ++j;
    }
  }
}

}  // namespace

bool StagedTransfer::matches(uint16_t sender_tile, std::span<const uint16_t> receiver_tiles,
                             const AssembledMulticast& rows, uint32_t at, uint32_t cycles) const {
  return sender == sender_tile && offset == at && count == cycles && sender_row == rows.sender &&
         std::ranges::equal(receivers, receiver_tiles) &&
         std::ranges::equal(receiver_rows, rows.receivers);
}

PhaseProgramBuilder::PhaseProgramBuilder(uint16_t tile_count) : tiles_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(uint64_t budget) && {
  validation_budget_ = std::make_shared<std::atomic<uint64_t>>(budget);
  return std::move(*this);
}

std::optional<uint64_t> PhaseProgramBuilder::validation_budget_remaining() const {
  if (!validation_budget_) return std::nullopt;
  return validation_budget_->load();
}

std::expected<void, ExchangeError> PhaseProgramBuilder::take_validation_budget(
    uint64_t work) const {
  if (!validation_budget_) return {};
  uint64_t left = validation_budget_->load();
  do {
    if (left < work) return std::unexpected(ExchangeError::validation_budget_exceeded());
  } while (!validation_budget_->compare_exchange_weak(left, left - work));
  return {};
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::transfer_timing_at(
    uint16_t sender, std::span<const uint16_t> receivers, const AssembledMulticast& rows,
    uint32_t offset, uint32_t count) const {
  return exchange::transfer_timing_at(tiles_, sender, receivers, rows, offset, count);
}

uint32_t PhaseProgramBuilder::event_cycles() const {
  return phase_event_cycles(tiles_);
}

std::expected<TileUpdates, ExchangeError> PhaseProgramBuilder::prepare_transfer_at(
    std::span<const TileProgramSchedule> tiles, uint16_t sender,
    std::span<const uint16_t> receivers, const AssembledMulticast& rows, uint32_t offset,
    uint32_t count, bool validate) {
  if (receivers.size() != rows.receivers.size()) return schedule_error("receiver row count");
  if (sender >= tiles.size()) return std::unexpected(ExchangeError::tile(sender));

  TileUpdates updates;
  updates.reserve(receivers.size() + 1);

  // The sender's new row.
  if (validate) warm_encoding(tiles[sender]);
  updates.emplace_back(sender, tiles[sender]);
  {
    TileProgramSchedule& tile = updates.front().second;
    const SenderRowTiming send = TESSEL_TRY(sender_row_timing(rows.sender, offset));
    const uint64_t i = tile.rows_starting_before(send.send_start);
    if ((i > 0 && tile.sender_rows[i - 1].end > send.send_start) ||
        (i < tile.sender_rows.len() && tile.sender_rows[i].start < send.send_end)) {
      return schedule_error("overlapping outgoing messages");
    }
    const uint64_t e = tile.events_before(send.send_start);
    if (e < tile.receive_events.len()) {
      const uint32_t cycle = tile.receive_events[e].cycle;
      if (cycle == send.send_start || cycle == support::saturating_add(send.send_start, 1u)) {
        return schedule_error("unencodable initial send control");
      }
    }
    tile.invalidate();
    tile.raise_horizon(send.sender_horizon);
    tile.insert_sender_row(i, ScheduledSenderRow{rows.sender, send.send_start, send.send_end});
    if (validate) TESSEL_TRY(tile.encoded());
  }

  // One receive per receiver, in receiver order.
  SeenReceivers seen(receivers);
  for (size_t k = 0; k < receivers.size(); ++k) {
    const uint16_t receiver = receivers[k];
    if (seen.repeated(k)) return std::unexpected(ExchangeError::duplicate_tile());
    TileProgramSchedule* copy;
    if (receiver == sender) {
      copy = &updates.front().second;
    } else {
      if (receiver >= tiles.size()) return std::unexpected(ExchangeError::tile(receiver));
      if (validate) warm_encoding(tiles[receiver]);
      copy = &updates.emplace_back(receiver, tiles[receiver]).second;
    }
    TileProgramSchedule& tile = *copy;

    const ReceiveRowTiming row = TESSEL_TRY(receive_row_timing(rows.receivers[k], 0));
    const ScheduledReceiverWindow window =
        TESSEL_TRY(scheduled_receive_window(row, offset, count, tile.receive_state));

    std::optional<uint32_t> next_address;
    if (window.pointer_address) {
      const std::optional<uint32_t> bytes = support::checked_mul(count, row.paired ? 8u : 4u);
      if (!bytes) return schedule_error("receive address overflow");
      next_address = support::checked_add(*window.pointer_address, *bytes);
      if (!next_address) return schedule_error("receive address overflow");
    }

    const std::optional<TileReceiveState> previous = tile.receive_state;
    if (previous && (window.source_cycle < previous->stream_end ||
                     window.pointer_cycle < previous->payload_end)) {
      return schedule_error("overlapping receive streams");
    }

    tile.invalidate();
    if (previous) remove_superseded_events(tile, *previous, row, window);
    for (const ReceiveEvent& event : window.events) tile.insert_receive_event_sorted(event);
    tile.raise_horizon(window.horizon);

    TileReceiveState state;
    state.format = format_start_value(row);
    if (row.format_end) {
      state.format_end = support::checked_add(*row.format_end, offset);
      // The window was placed at this offset, so its rebase cannot overflow.
      if (!state.format_end) return schedule_error("receive offset overflow");
    }
    state.next_address = next_address;
    state.stream_end = window.stream_end;
    state.payload_end = window.payload_end;
    state.paired = row.paired;
    tile.receive_state = state;

    if (validate) TESSEL_TRY(tile.encoded());
  }
  return updates;
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::append_transfer_at(
    uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
    const AssembledMulticast& rows, uint32_t offset, uint32_t count) {
  PhaseTransferTiming timing =
      TESSEL_TRY(transfer_timing_at(sender, receivers, rows, offset, count));

  std::optional<StagedTransfer> staged = std::exchange(staged_, std::nullopt);
  TileUpdates updates;
  if (staged && staged->matches(sender, receivers, rows, offset, count)) {
    updates = std::move(staged->updates);
  } else {
    updates = TESSEL_TRY(prepare_transfer_at(tiles_, sender, receivers, rows, offset, count,
                                             /*validate=*/false));
  }

  for (uint16_t b : blocked) {
    if (b == sender || std::ranges::find(receivers, b) != receivers.end() ||
        find_update(updates, b) != nullptr) {
      return std::unexpected(ExchangeError::duplicate_tile());
    }
    if (b >= tiles_.size()) return std::unexpected(ExchangeError::tile(b));
    TileProgramSchedule& tile = updates.emplace_back(b, tiles_[b]).second;
    tile.invalidate();
    tile.raise_reserved_until(timing.sender_horizon);
    tile.raise_horizon(timing.sender_horizon);
  }

  // Nothing can fail from here on.
  for (auto& [tile, schedule] : updates) tiles_[tile] = std::move(schedule);
  return timing;
}

std::expected<FinishedPhasePrograms, ExchangeError> PhaseProgramBuilder::finish() const {
  FinishedPhasePrograms finished;
  finished.tile_horizons.reserve(tiles_.size());
  for (const TileProgramSchedule& tile : tiles_) {
    finished.tile_horizons.push_back(tile.horizon);
    finished.horizon = std::max(finished.horizon, tile.horizon);
  }
  finished.programs.reserve(tiles_.size());
  for (size_t t = 0; t < tiles_.size(); ++t) {
    const TileProgramSchedule& tile = tiles_[t];
    if (tile.horizon == 0) {
      finished.programs.emplace_back();
      continue;
    }
    const SharedEncodedSchedule encoding = TESSEL_TRY(tile.encoded());
    std::vector<uint32_t> words = encoding->words.to_vector();
    TESSEL_TRY(validate_tile_program(static_cast<uint16_t>(t), tile, words));
    finished.programs.emplace_back(std::move(words));
  }
  return finished;
}

}  // namespace tessel::exchange
