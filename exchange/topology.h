#pragma once
// Topology: the logical-to-physical tile table of a phase plus the exchange
// geometry, and the assembly of the nine-word sender and receiver programs of
// one transfer (point-to-point, multicast, paired 64-bit multicast).
//
// A Topology is immutable once built and shared read-only. Everything else is
// pure computation: rows are fixed arrays built without allocation; only the
// per-receiver row lists and receiver-set checks allocate. Every fallible
// operation checks in a fixed order, returns the first failure and changes
// nothing on failure.
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "exchange/error.h"
#include "exchange/words.h"

namespace tessel::exchange {

// Send direction towards one receiver: `code` 1 or 2 is the send control of
// a single-receiver send, `delta` the signed distance it was derived from.
struct Direction {
  uint8_t code;
  int32_t delta;
  friend bool operator==(const Direction&, const Direction&) = default;
};

// A point-to-point receiver row still missing the sender's physical
// identifier, which goes into bits 0-12 of words[patch_index].
struct PointReceiverTemplate {
  uint32_t patch_index = 1;
  std::array<uint32_t, 8> words{};
  friend bool operator==(const PointReceiverTemplate&, const PointReceiverTemplate&) = default;
};

struct AssembledPointToPoint {
  Row sender{};
  PointReceiverTemplate receiver;
  friend bool operator==(const AssembledPointToPoint&, const AssembledPointToPoint&) = default;
};

// The program fragments of one transfer: one receiver row per receiver, in
// the order of the receiver list given, and the sender row.
struct AssembledMulticast {
  std::vector<Row> receivers;
  Row sender{};
  friend bool operator==(const AssembledMulticast&, const AssembledMulticast&) = default;
};

class Topology {
 public:
  // Takes the physical identifiers indexed by logical tile. Empty, or with a
  // repeated identifier: ReceiverSet.
  static std::expected<Topology, ExchangeError> create(std::vector<uint16_t> physical_tiles);

  // The built-in 1472-tile table, built on first use.
  static const Topology& tarn();
  // Physical identifier of logical tile `logical` by the tarn formula (also
  // evaluated past 1471, where it no longer yields distinct identifiers).
  static uint16_t tarn_physical(uint16_t logical);
  // A phase's topology: `create` over the tarn formula for logical tiles
  // 0..n-1 (n = 0 or n > 1472 therefore fails with ReceiverSet).
  static std::expected<Topology, ExchangeError> tarn_prefix(uint16_t n);

  const std::vector<uint16_t>& physical_tiles() const { return physical_tiles_; }
  uint64_t tile_count() const { return physical_tiles_.size(); }
  // Out of range: Tile(logical).
  std::expected<uint16_t, ExchangeError> physical(uint16_t logical) const;

  // Cycle, relative to the sender's send, at which the receiver's incoming
  // multiplexer must switch to the sender; negative means before the send.
  static int32_t time_to_mux(uint16_t sender_physical, uint16_t receiver_physical);
  static Direction direction(uint16_t sender_physical, uint16_t receiver_physical);

  // Logical number of the tile whose identifier is this tile's ^ 2 (first
  // match in table order). Out of range or no partner: Tile(logical).
  std::expected<uint16_t, ExchangeError> paired_logical(uint16_t logical) const;

  std::expected<AssembledPointToPoint, ExchangeError> point_to_point(uint16_t sender_logical,
                                                                     uint16_t receiver_logical,
                                                                     uint32_t count) const;

  // `schedule_offset` delays the whole exchange (callers here pass 0). A list
  // of two or more receivers may contain the sender (loopback receive).
  std::expected<AssembledMulticast, ExchangeError> multicast(
      uint16_t sender_logical, std::span<const uint16_t> receiver_logicals, uint32_t count,
      uint32_t schedule_offset) const;

  // 64-bit transfer to whole pairs of partner tiles; count >= 64.
  std::expected<AssembledMulticast, ExchangeError> paired_multicast(
      uint16_t sender_logical, std::span<const uint16_t> receiver_logicals, uint32_t count) const;

  // One receiver of a paired transfer; `earliest` is the earliest multiplexer
  // cycle over the whole receiver list, as paired_multicast computes it.
  std::expected<Row, ExchangeError> paired_receiver_row(uint16_t sender_logical,
                                                        uint16_t receiver_logical, uint32_t count,
                                                        int32_t earliest) const;

  friend bool operator==(const Topology&, const Topology&) = default;

 private:
  explicit Topology(std::vector<uint16_t> physical_tiles)
      : physical_tiles_(std::move(physical_tiles)) {}

  std::vector<uint16_t> physical_tiles_;
};

// Replaces the send control (bits 0-2, 1..=7) of every send word of a sender
// row: Explicit, Offset and PicPair first words that already send (low two
// bits non-zero). Control outside 1..=7: Schedule("send control"); no send
// word: Schedule("sender payload").
std::expected<void, ExchangeError> set_sender_control(Row& row, uint32_t control);

// Writes the source byte address into the row's first Explicit word, in units
// of 8 bytes for a paired send and 4 otherwise. No Explicit word, an
// unaligned address or one beyond the 18-bit operand: Address(address).
std::expected<void, ExchangeError> patch_sender_address(Row& row, uint32_t address);

// Completes a point-to-point receiver row with the sender's identifier.
// patch_index >= 8 or sender_physical >= 8192:
// Schedule("point receiver patch index").
std::expected<Row, ExchangeError> finalize_point_receiver(const PointReceiverTemplate& receiver,
                                                          uint16_t sender_physical);

}  // namespace tessel::exchange
