#pragma once
// TileProgramSchedule: one tile's program while a phase is being built — its
// placed sender rows, its timed incoming-control events, its receive state and
// horizon, and a cache of its encoded instruction words.
//
// What it promises
// - Copies are cheap and independent: the sequences share their chunks until
//   written, the cached encodings are shared immutable values, and each copy
//   owns its own cache cell (filling one copy's cache never fills another's).
// - The cache is honest: every change goes through invalidate() first, which
//   retires the cached encoding into `previous_encoding` and records how much
//   of the sequences that encoding was built from. The mutators below
//   invalidate and lower the dirty indices themselves, so a caller cannot
//   forget either step. The first `dirty_rows` sender rows and the first
//   `dirty_events` receive events are always exactly what `previous_encoding`
//   was built from; the encoder resumes from there.
//
// What it costs
// - Copy: one reference per chunk of each sequence plus two shared handles.
// - insert/remove at index i: copies the chunks from i's chunk to the end.
// - The lookups are binary searches: O(log n) element reads.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "exchange/chunked.h"
#include "exchange/error.h"
#include "exchange/timing.h"

namespace tessel::exchange {

// Encoder state after one group of receive events or after one sender row.
struct Checkpoint {
  bool pair_group = false;  // the group just encoded was two simultaneous events
  uint32_t pair_limit = 0;  // cycle limit that bounded that group's PicPair word
  uint64_t next_row = 0;    // next sender row to encode
  uint64_t next_event = 0;  // next receive event to encode
  uint64_t word_count = 0;  // words emitted so far
  uint32_t cycle = 0;       // encoder cursor after the group
  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

// One tile's encoded program; immutable once built and shared between the
// schedule that cached it, its copies and later encodings resumed from it.
struct EncodedSchedule {
  Chunked<Checkpoint> checkpoints;  // in emission order
  Chunked<uint32_t> words;          // the complete program, ending with Return
  friend bool operator==(const EncodedSchedule&, const EncodedSchedule&) = default;
};

using SharedEncodedSchedule = std::shared_ptr<const EncodedSchedule>;

struct TileProgramSchedule {
  // Sorted by start; send windows never overlap.
  Chunked<ScheduledSenderRow> sender_rows;
  // Sorted by cycle; events of equal cycle in insertion order.
  Chunked<ReceiveEvent> receive_events;
  // Once-initialised cache cell; empty after any change. Filled through
  // encoded(), also on a schedule that is otherwise read only.
  mutable SharedEncodedSchedule encoding;
  // The last cached encoding that was invalidated: the encoder's resume base.
  SharedEncodedSchedule previous_encoding;
  uint64_t dirty_rows = 0;
  uint64_t dirty_events = 0;
  std::optional<TileReceiveState> receive_state;
  uint32_t reserved_until = 0;  // no send of this tile may begin before it
  uint32_t horizon = 0;         // last cycle anything placed keeps the tile busy

  // Retires the cached encoding before a change. Without a cached encoding
  // nothing changes: the older resume base and dirty indices stay valid.
  void invalidate();

  // Changes that keep the cache honest (invalidate, edit, lower the dirty
  // index). Indices follow Chunked's preconditions.
  void insert_sender_row(uint64_t index, const ScheduledSenderRow& row);
  void remove_sender_row(uint64_t index);
  void insert_receive_event(uint64_t index, const ReceiveEvent& event);
  void remove_receive_event(uint64_t index);
  // Inserts after every event whose cycle is at most the event's own and
  // returns the position it took.
  uint64_t insert_receive_event_sorted(const ReceiveEvent& event);
  // Raise the horizon (invalidating: the encoding pads to it) or the
  // reservation, where they are lower.
  void raise_horizon(uint32_t cycle);
  void raise_reserved_until(uint32_t cycle);

  // Lookups (binary searches over the sorted sequences).
  // Number of sender rows whose start is below `cycle` (the insertion index of
  // a row starting at `cycle`).
  uint64_t rows_starting_before(uint32_t cycle) const;
  // Index of the first sender row whose end exceeds `cycle` (len if none).
  uint64_t first_row_ending_after(uint32_t cycle) const;
  // Number of receive events whose cycle is below `cycle` (the index of the
  // first event at or after it).
  uint64_t events_before(uint32_t cycle) const;
  // Number of receive events whose cycle is at most `cycle`.
  uint64_t events_through(uint32_t cycle) const;

  // The cached encoding, computed (resuming from previous_encoding) and
  // cached when the cell is empty. On failure the cell stays empty and the
  // next call tries again. Defined with the encoder.
  std::expected<SharedEncodedSchedule, ExchangeError> encoded() const;
};

}  // namespace tessel::exchange
