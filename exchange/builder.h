#pragma once
// PhaseProgramBuilder: the per-tile exchange programs of one phase while
// transfers are placed into it, and the search for the earliest cycle at
// which a transfer fits them.
//
// What it promises
// - Placement is append-only. A transfer is placed with append_transfer_at at
//   an offset the caller obtained from earliest_transfer_offset (or its
//   deferred variant) with the same arguments; placed transfers never move.
// - All or nothing. prepare_transfer_at works on private copies of the tile
//   schedules it touches and never changes the builder; append_transfer_at
//   installs those copies only after every check has passed. A failing
//   append leaves every tile exactly as it was (the staged transfer is
//   consumed either way).
// - Checks run in a fixed order and the first failing one decides the error;
//   the error texts are the system's own (ExchangeError::Schedule phrases).
// - earliest_transfer_offset additionally proves that every touched tile
//   still encodes at the offset it returns, and keeps the prepared tile
//   programs as the staged transfer so that the matching append installs
//   them without preparing again. That proof is paid from the validation
//   budget, a counter shared by every copy of one builder and taken from
//   with a compare-and-swap loop (the one atomic value of the system).
// - finish encodes every touched tile and checks each encoding against its
//   schedule with validate_tile_program; it changes no placement.
//
// What it costs
// - Copying a builder copies one TileProgramSchedule per tile: chunk handles
//   and shared encodings only, no element.
// - One candidate offset of the search costs a few binary searches in the
//   sorted sequences of the tiles involved (sender, blocked tiles,
//   receivers); the search allocates nothing per candidate and reads no
//   other tile.
// - A placement copies the touched tile schedules (chunk handles) and writes
//   only the chunks from the edited positions to the end, which for
//   placements in cycle order is the last chunk. Encoding resumes from the
//   previous encoding's last untouched checkpoint, so the cost of a placement
//   does not grow with the size of the tile programs.
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "exchange/error.h"
#include "exchange/tile_schedule.h"
#include "exchange/timing.h"
#include "exchange/topology.h"
#include "exchange/words.h"

namespace tessel::exchange {

// Changed tile programs of one placement: the sender first, then every
// distinct receiver other than the sender in receiver order, then (append
// only) the blocked tiles.
using TileUpdates = std::vector<std::pair<uint16_t, TileProgramSchedule>>;

// The prepared programs of the last successful encodability check, kept for
// the append of the same transfer at the same offset.
struct StagedTransfer {
  std::vector<uint16_t> receivers;
  std::vector<Row> receiver_rows;
  Row sender_row{};
  TileUpdates updates;
  uint32_t offset = 0;
  uint32_t count = 0;
  uint16_t sender = 0;

  // True when this was staged for exactly this transfer at this offset.
  bool matches(uint16_t sender, std::span<const uint16_t> receivers, const AssembledMulticast& rows,
               uint32_t offset, uint32_t count) const;
};

struct FinishedPhasePrograms {
  // Per tile: no program for a tile whose horizon is 0, else its words.
  std::vector<std::optional<std::vector<uint32_t>>> programs;
  std::vector<uint32_t> tile_horizons;
  uint32_t horizon = 0;  // the largest tile horizon, 0 without tiles
  friend bool operator==(const FinishedPhasePrograms&, const FinishedPhasePrograms&) = default;
};

class PhaseProgramBuilder {
 public:
  // `tile_count` fresh tile schedules, nothing staged, no budget (unlimited).
  explicit PhaseProgramBuilder(uint16_t tile_count);

  // The same builder with a new budget counter holding `budget` work units;
  // a counter set earlier is released (copies that share it keep it).
  PhaseProgramBuilder with_validation_budget(uint64_t budget) &&;

  uint16_t tile_count() const { return static_cast<uint16_t>(tiles_.size()); }
  std::span<const TileProgramSchedule> tiles() const { return tiles_; }
  const TileProgramSchedule& tile(uint16_t logical) const { return tiles_[logical]; }
  const std::optional<StagedTransfer>& staged() const { return staged_; }
  // Work units left; nullopt without a budget.
  std::optional<uint64_t> validation_budget_remaining() const;

  // Timing of the transfer at `offset` against the receivers' receive
  // states; reads nothing else and changes nothing.
  std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
      uint16_t sender, std::span<const uint16_t> receivers, const AssembledMulticast& rows,
      uint32_t offset, uint32_t count) const;

  // The phase's current horizon: the largest tile horizon, 0 without tiles.
  uint32_t event_cycles() const;

  // Earliest offset >= not_before at which the transfer fits the placed
  // programs and every touched tile still encodes. May replace the staged
  // transfer and consumes validation budget (also when it then fails).
  // ValidationBudgetExceeded when the budget cannot pay for a check.
  std::expected<uint32_t, ExchangeError> earliest_transfer_offset(
      uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
      const AssembledMulticast& rows, uint32_t count, uint32_t not_before);

  // The same search without the encodability check: reads the builder only,
  // never the staged transfer or the budget. Encoding problems surface later
  // in finish.
  std::expected<uint32_t, ExchangeError> earliest_transfer_offset_deferred(
      uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
      const AssembledMulticast& rows, uint32_t count, uint32_t not_before) const;

  // Both entries above: check_encoding selects the first.
  std::expected<uint32_t, ExchangeError> earliest_transfer_offset_impl(
      uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
      const AssembledMulticast& rows, uint32_t count, uint32_t not_before, bool check_encoding);

  // The changed programs of placing the transfer at `offset` on `tiles`,
  // which stay untouched. With `validate`, every changed copy is encoded and
  // an encoding error is returned (the untouched originals get their
  // encoding caches filled first, as the resume base of the copies).
  static std::expected<TileUpdates, ExchangeError> prepare_transfer_at(
      std::span<const TileProgramSchedule> tiles, uint16_t sender,
      std::span<const uint16_t> receivers, const AssembledMulticast& rows, uint32_t offset,
      uint32_t count, bool validate);

  // Places the transfer at `offset` (from the search, same arguments) and
  // returns its timing. `blocked` tiles (a paired sender's partner) are held
  // idle until the sender row's horizon. Consumes the staged transfer; on any
  // error no tile changes.
  std::expected<PhaseTransferTiming, ExchangeError> append_transfer_at(
      uint16_t sender, std::span<const uint16_t> blocked, std::span<const uint16_t> receivers,
      const AssembledMulticast& rows, uint32_t offset, uint32_t count);

  // Encodes every tile with a non-zero horizon and validates each program
  // against its schedule. Fills encoding caches; changes nothing else.
  std::expected<FinishedPhasePrograms, ExchangeError> finish() const;

 private:
  // The passes of the search: the earliest offset >= lower at which nothing
  // objects, without the encodability check.
  std::expected<uint32_t, ExchangeError> search_passes(uint16_t sender,
                                                       std::span<const uint16_t> blocked,
                                                       std::span<const uint16_t> receivers,
                                                       const AssembledMulticast& rows,
                                                       uint32_t count, uint32_t lower) const;
  // Takes `work` units from the budget, or fails leaving it unchanged.
  std::expected<void, ExchangeError> take_validation_budget(uint64_t work) const;

  std::vector<TileProgramSchedule> tiles_;
  std::optional<StagedTransfer> staged_;
  std::shared_ptr<std::atomic<uint64_t>> validation_budget_;
};

}  // namespace tessel::exchange
