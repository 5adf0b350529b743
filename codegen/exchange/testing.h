#pragma once
// Fixtures shared by the scheduler's tests: pending transfers built directly
// (without the problem conversion) and a scheduling problem kept together
// with the transfers it borrows.
#include <memory>
#include <vector>

#include "codegen/exchange/scheduling_problem.h"

namespace tessel::codegen::exchange::testing {

// A paired transfer's partner is its source's neighbour in the built-in table.
inline PendingTransfer pending_transfer(uint16_t source, std::vector<uint32_t> source_addresses,
                                        std::vector<PendingDestination> destinations,
                                        uint32_t words,
                                        ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  PendingTransfer p;
  p.source = source;
  p.source_addresses = std::move(source_addresses);
  p.destinations = std::move(destinations);
  p.words = words;
  p.width = width;
  if (width == ExchangeItemWidth::Paired64) p.partner = source ^ 1;
  p.refresh_source_elements();
  return p;
}

// The problem borrows the transfers, so both live together behind one pointer.
struct OwnedProblem {
  std::vector<PendingTransfer> transfers;
  SchedulingProblem problem;
  OwnedProblem(std::vector<PendingTransfer> t, uint16_t tiles)
      : transfers(std::move(t)), problem(transfers, tiles) {}
};

inline std::unique_ptr<OwnedProblem> owned_problem(std::vector<PendingTransfer> transfers,
                                                   uint16_t tiles) {
  return std::make_unique<OwnedProblem>(std::move(transfers), tiles);
}

}  // namespace tessel::codegen::exchange::testing
