#pragma once
// The scheduler's working record of one transfer, the tile-memory model every
// hazard check uses, and the conversion that checks a problem's transfers.
//
// Memory is divided into elements: 16 KiB below byte address 0x80000, 32 KiB
// from there on. Two accesses conflict when they touch a common element.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codegen/exchange/model.h"

namespace tessel::codegen::exchange {

struct ExchangeMemoryElement {
  bool upper = false;  // false: below 0x80000 (16 KiB elements); true: 32 KiB elements above
  uint32_t index = 0;
  friend auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
};

inline constexpr uint32_t kUpperMemoryBase = 0x80000;

ExchangeMemoryElement memory_element_of(uint32_t address);
// First byte of the element after `element`, saturating at 0xFFFFFFFF.
uint32_t next_element_start(ExchangeMemoryElement element);
// End of the half-open byte range of a payload: start + 4 * words, saturating.
uint32_t span_end(uint32_t start, uint32_t words);

// Elements that hold at least one byte of [start, start + 4 * words), in
// increasing address order; empty when words is 0.
std::vector<ExchangeMemoryElement> span_elements(uint32_t start, uint32_t words);

// Calls `visit` for each element of the span, in increasing address order,
// without allocating; stops early when `visit` returns false.
template <typename Visit>
void for_each_span_element(uint32_t start, uint32_t words, Visit&& visit) {
  const uint32_t end = span_end(start, words);
  uint32_t a = start;
  while (a < end) {
    const ExchangeMemoryElement e = memory_element_of(a);
    if (!visit(e)) return;
    const uint32_t n = next_element_start(e);
    if (n >= end) return;
    a = n;
  }
}

// True when two ascending element sequences have an element in common.
bool elements_intersect(std::span<const ExchangeMemoryElement> a,
                        std::span<const ExchangeMemoryElement> b);

bool spans_share_effective_memory_element(uint32_t start_a, uint32_t words_a, uint32_t start_b,
                                          uint32_t words_b);

using BlockValueId = uint32_t;

struct PendingDestination {
  uint16_t tile = 0;
  uint32_t address = 0;
  friend bool operator==(const PendingDestination&, const PendingDestination&) = default;
};

struct PendingTransfer {
  std::vector<PendingDestination> destinations;
  std::vector<uint32_t> source_addresses;
  std::vector<ExchangeMemoryElement> source_elements;  // strictly ascending
  std::optional<uint16_t> partner;                     // Paired64 only
  BlockValueId value = 0;
  uint32_t value_offset = 0;
  uint32_t words = 0;
  uint16_t source = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  void refresh_source_elements();
  // Source, then partner (if any), then each destination tile in order.
  std::vector<uint16_t> tiles() const;
  // Cycles on the exchange: words, halved for a paired transfer with even words.
  uint32_t cycle_count() const;

  friend bool operator==(const PendingTransfer&, const PendingTransfer&) = default;
};

LoweringResult<std::vector<PendingTransfer>> pending_from_problem(
    const ExchangeScheduleProblem& problem, uint16_t tile_count);

}  // namespace tessel::codegen::exchange
