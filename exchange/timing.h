#pragma once
// The exchange timing model: when a placed transfer's send words run, when each
// receiver's incoming controls take effect, when receive streams and payloads
// end, and how long every involved tile stays busy.
//
// All cycles count from the phase-entry sync. The geometry of the fabric is
// already folded into the rows (Delay words and control delay fields), so the
// timing is read off the rows alone. Every function here is pure; every cycle
// sum is checked and an overflow is reported as a Schedule error, never
// wrapped.
//
// Cost: the row walks are fixed-size (nine words); event lists are fixed
// capacity inline arrays, so timing a candidate offset allocates nothing.
// Transfer timing allocates its three per-receiver result sequences.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "exchange/error.h"
#include "exchange/words.h"

namespace tessel::exchange {

struct AssembledMulticast;
struct TileProgramSchedule;

// What an incoming control does. The order is part of the model: kinds below
// PairedPointer are XPIC controls, the others PIC controls.
enum class ReceiveEventKind : uint8_t {
  Source = 0,          // XPIC, selects the sending tile
  Teardown = 1,        // XPIC value 0x640: releases the incoming connection
  PairedSource = 2,    // XPIC with value bit 13 set
  PairedTeardown = 3,  // XPIC with value bit 13 set, bits 0-12 = 0x640
  PairedPointer = 4,   // the pointer of a paired receive (rewritten from Pointer)
  Pointer = 5,         // PIC, value bit 18 clear: receive word address
  Format = 6,          // PIC, value bit 18 set: paired format 1/2 starts, 0 ends
};

constexpr bool is_xpic_event(ReceiveEventKind kind) {
  return static_cast<uint8_t>(kind) < static_cast<uint8_t>(ReceiveEventKind::PairedPointer);
}

// Kind of an incoming-control word (XPIC 0x64000000..0x67ffffff or PIC
// 0x60000000..0x63ffffff); the delay field is ignored.
constexpr ReceiveEventKind receive_event_kind(uint32_t control_word) {
  if (classify_word(control_word) == WordKind::Xpic) {
    const uint32_t value = xpic_value(control_word);
    const bool paired = (value & 0x2000) != 0;
    const bool teardown = (value & 0x1fff) == 0x640;
    if (paired) return teardown ? ReceiveEventKind::PairedTeardown : ReceiveEventKind::PairedSource;
    return teardown ? ReceiveEventKind::Teardown : ReceiveEventKind::Source;
  }
  return (pic_value(control_word) & 0x40000) != 0 ? ReceiveEventKind::Format
                                                  : ReceiveEventKind::Pointer;
}

// One incoming-control change on a receiving tile. `word` is the control as
// an incoming-control word: the row's own XPIC/PIC word (delay field
// included), or for the controls of a PicPair the value or-ed into
// 0x64000000 / 0x60000000.
struct ReceiveEvent {
  uint32_t cycle = 0;
  uint32_t word = 0;
  ReceiveEventKind kind = ReceiveEventKind::Source;
  friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

// Value bits 0-17 of a Format event: 1 or 2 starts a paired format, 0 ends it.
constexpr uint32_t format_value(const ReceiveEvent& event) {
  return event.word & 0x3ffff;
}

// The events of one row or one receive window. A row has at most seven
// instruction words and hence at most seven events, so they live inline.
class ReceiveEventList {
 public:
  static constexpr size_t kCapacity = 8;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const ReceiveEvent& operator[](size_t i) const { return items_[i]; }
  ReceiveEvent& operator[](size_t i) { return items_[i]; }
  const ReceiveEvent* begin() const { return items_.data(); }
  const ReceiveEvent* end() const { return items_.data() + size_; }
  ReceiveEvent* begin() { return items_.data(); }
  ReceiveEvent* end() { return items_.data() + size_; }
  std::span<const ReceiveEvent> span() const { return {items_.data(), size_}; }

  void push_back(const ReceiveEvent& event) {
    assert(size_ < kCapacity);
    items_[size_++] = event;
  }
  void clear() { size_ = 0; }

  friend bool operator==(const ReceiveEventList& a, const ReceiveEventList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::array<ReceiveEvent, kCapacity> items_{};
  uint8_t size_ = 0;
};

// A sender row as placed in a tile program. Its send window is the half-open
// interval [start, end).
struct ScheduledSenderRow {
  Row words{};
  uint32_t start = 0;  // issue of the row's first send word
  uint32_t end = 0;    // completion of its last send word
  friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

struct SenderRowTiming {
  uint32_t send_start = 0;      // issue of the first send word
  uint32_t send_end = 0;        // completion of the last send word
  uint32_t sender_horizon = 0;  // completion of the last instruction before the Return
  friend bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

// Timing of a receiver row; every cycle is relative to the base it was timed
// at (see receive_row_timing_from_base).
struct ReceiveRowTiming {
  ReceiveEventList events;  // in row order
  std::optional<uint32_t> teardown;
  std::optional<uint32_t> source;
  std::optional<uint32_t> format_start;
  std::optional<uint32_t> format_end;
  std::optional<uint32_t> pointer;
  std::optional<uint32_t> pointer_address;  // byte address set by the pointer event
  uint32_t row_end = 0;                     // completion of the last instruction
  bool paired = false;                      // the row has a format start
  friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

// Value (1 or 2) of the row's format-start event, when it has one.
std::optional<uint32_t> format_start_value(const ReceiveRowTiming& timing);

// What a tile's incoming hardware is left with after its last placed receive.
struct TileReceiveState {
  std::optional<uint32_t> format;        // 1 or 2 after a paired receive
  std::optional<uint32_t> format_end;    // absolute cycle of the last format end
  std::optional<uint32_t> next_address;  // where the incoming pointer stands now
  uint32_t stream_end = 0;
  uint32_t payload_end = 0;
  bool paired = false;
  friend bool operator==(const TileReceiveState&, const TileReceiveState&) = default;
};

// One receiver of a transfer placed at an offset; absolute cycles.
struct ScheduledReceiverWindow {
  ReceiveEventList events;  // the events this receive adds, sorted by cycle
  std::optional<uint32_t> pointer_address;
  uint32_t source_cycle = 0;  // source, or the format start of a row without one
  uint32_t stream_end = 0;
  uint32_t pointer_cycle = 0;
  uint32_t payload_end = 0;
  uint32_t horizon = 0;        // last cycle at which the receive keeps the tile busy
  bool format_shared = false;  // the receive continues the tile's paired format
  friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

// Timing of one transfer at one offset.
struct PhaseTransferTiming {
  std::vector<uint32_t> pointer_cycles;    // per receiver, in receiver order
  std::vector<uint32_t> payload_ends;      // per receiver
  std::vector<uint32_t> receive_horizons;  // per receiver
  uint32_t send_start = 0;
  uint32_t send_end = 0;
  uint32_t sender_horizon = 0;
  friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

// Times a sender row issued at `base`. Errors: "sender row entry", "sender row
// return", "sender event horizon overflow", "sender payload".
std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const Row& row, uint32_t base);

// Times a receiver row issued at `base` (the builder passes 0 and rebases).
std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const Row& row, uint32_t base);

// The same timing moved by `offset`. Error: "receive offset overflow".
std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing_from_base(
    const ReceiveRowTiming& timing, uint32_t offset);

// Places a receive at `offset` on a tile whose receive state is `state`:
// rebases, derives the stream and payload windows, drops controls that the
// tile already has in place, moves the teardown to the stream end and checks
// coincident controls.
std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, uint32_t offset, uint32_t count,
    const std::optional<TileReceiveState>& state);

// True when two events may take effect in the same cycle: a Pointer together
// with a Source or a Teardown.
constexpr bool compatible_simultaneous_events(ReceiveEventKind a, ReceiveEventKind b) {
  auto is_mux = [](ReceiveEventKind k) {
    return k == ReceiveEventKind::Source || k == ReceiveEventKind::Teardown;
  };
  return (a == ReceiveEventKind::Pointer && is_mux(b)) ||
         (b == ReceiveEventKind::Pointer && is_mux(a));
}

// The timing of a transfer at `offset` against the tiles of a phase (the
// builder's `transfer_timing_at`); reads only the receivers' receive states.
std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
    std::span<const TileProgramSchedule> tiles, uint16_t sender,
    std::span<const uint16_t> receivers, const AssembledMulticast& rows, uint32_t offset,
    uint32_t count);

// The phase's current horizon (the builder's `event_cycles`): the largest tile
// horizon, 0 without tiles.
uint32_t phase_event_cycles(std::span<const TileProgramSchedule> tiles);

}  // namespace tessel::exchange
