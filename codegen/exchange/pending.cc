#include "codegen/exchange/pending.h"

#include <algorithm>
#include <set>

#include "exchange/topology.h"
#include "support/checked.h"

namespace tessel::codegen::exchange {

using tessel::exchange::Topology;

ExchangeMemoryElement memory_element_of(uint32_t address) {
  if (address < kUpperMemoryBase) return {false, address >> 14};
  return {true, (address - kUpperMemoryBase) >> 15};
}

uint32_t next_element_start(ExchangeMemoryElement element) {
  const uint64_t base = element.upper ? kUpperMemoryBase : 0;
  const uint64_t size = element.upper ? 0x8000 : 0x4000;
  const uint64_t next = base + (uint64_t{element.index} + 1) * size;  // cannot overflow 64 bits
  return next > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(next);
}

uint32_t span_end(uint32_t start, uint32_t words) {
  const uint64_t end = uint64_t{start} + 4 * uint64_t{words};
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
}

std::vector<ExchangeMemoryElement> span_elements(uint32_t start, uint32_t words) {
  std::vector<ExchangeMemoryElement> out;
  for_each_span_element(start, words, [&](ExchangeMemoryElement e) {
    out.push_back(e);
    return true;
  });
  return out;
}

bool elements_intersect(std::span<const ExchangeMemoryElement> a,
                        std::span<const ExchangeMemoryElement> b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j]) return true;
    if (a[i] < b[j]) {
      ++i;
    } else {
      ++j;
    }
  }
  return false;
}

bool spans_share_effective_memory_element(uint32_t start_a, uint32_t words_a, uint32_t start_b,
                                          uint32_t words_b) {
  return elements_intersect(span_elements(start_a, words_a), span_elements(start_b, words_b));
}

void PendingTransfer::refresh_source_elements() {
  std::vector<ExchangeMemoryElement> elements;
  for (uint32_t s : source_addresses) {
    for_each_span_element(s, words, [&](ExchangeMemoryElement e) {
      elements.push_back(e);
      return true;
    });
  }
  std::sort(elements.begin(), elements.end());
  elements.erase(std::unique(elements.begin(), elements.end()), elements.end());
  source_elements = std::move(elements);
}

std::vector<uint16_t> PendingTransfer::tiles() const {
  std::vector<uint16_t> out;
  out.reserve(destinations.size() + 2);
  out.push_back(source);
  if (partner) out.push_back(*partner);
  for (const auto& d : destinations) out.push_back(d.tile);
  return out;
}

uint32_t PendingTransfer::cycle_count() const {
  // An odd paired count (never produced by the conversion) is taken word by word.
  const uint32_t s = static_cast<uint32_t>(width);
  return (words & s) == 0 ? (words >> s) : words;
}

namespace {

// start + 4 * words must fit in 32 bits.
bool span_fits(uint32_t start, uint32_t words) {
  return uint64_t{start} + 4 * uint64_t{words} <= 0xFFFFFFFFull;
}

ExchangeLoweringError invalid(std::string text) {
  return ExchangeLoweringError::invalid_snapshot(std::move(text));
}

}  // namespace

LoweringResult<std::vector<PendingTransfer>> pending_from_problem(
    const ExchangeScheduleProblem& problem, uint16_t tile_count) {
  const uint32_t phase = problem.phase;
  std::vector<PendingTransfer> out;
  out.reserve(problem.transfers.size());
  // seen_in[tile] == i + 1 marks a destination tile already named by transfer i.
  std::vector<uint64_t> seen_in(tile_count, 0);
  for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
    const ExchangeScheduleTransfer& t = problem.transfers[i];
    const uint32_t mask = alignment_mask(t.width);
    if (t.source >= tile_count) {
      return std::unexpected(
          invalid(fmt::format("phase {} transfer {} has source tile {} outside 0..{}", phase, i,
                              t.source, tile_count)));
    }
    if (t.words < 1 || t.words > tessel::exchange::kMaxTransferWords) {
      return std::unexpected(invalid(
          fmt::format("phase {} transfer {} has invalid word count {}", phase, i, t.words)));
    }
    if (t.width == ExchangeItemWidth::Paired64 && (t.words < 128 || t.words % 2 != 0)) {
      return std::unexpected(invalid(fmt::format(
          "phase {} transfer {} has invalid {}-word paired payload", phase, i, t.words)));
    }
    if (t.source_addresses.empty()) {
      return std::unexpected(
          invalid(fmt::format("phase {} transfer {} has no source addresses", phase, i)));
    }
    for (uint32_t s : t.source_addresses) {
      if ((s & mask) != 0) {
        return std::unexpected(invalid(
            fmt::format("phase {} transfer {} has unaligned source address {:#x}", phase, i, s)));
      }
      if (!span_fits(s, t.words)) return std::unexpected(ExchangeLoweringError::overflow());
    }
    if (t.destinations.empty()) {
      return std::unexpected(
          invalid(fmt::format("phase {} transfer {} has no destinations", phase, i)));
    }
    for (const ExchangeScheduleDestination& d : t.destinations) {
      const auto bad_tile = [&] {
        return std::unexpected(invalid(
            fmt::format("phase {} transfer {} has invalid destination tile {}", phase, i, d.tile)));
      };
      if (d.tile >= tile_count) return bad_tile();
      if (d.tile == t.source) {
        const bool loopback_ok =
            t.width == ExchangeItemWidth::Word32 && t.destinations.size() > 1 &&
            std::none_of(t.source_addresses.begin(), t.source_addresses.end(), [&](uint32_t s) {
              return spans_share_effective_memory_element(s, t.words, d.address, t.words);
            });
        if (!loopback_ok) return bad_tile();
      }
      if (seen_in[d.tile] == i + 1) return bad_tile();
      seen_in[d.tile] = i + 1;
      if ((d.address & mask) != 0) {
        return std::unexpected(invalid(fmt::format(
            "phase {} transfer {} has unaligned destination address {:#x}", phase, i, d.address)));
      }
      if (!span_fits(d.address, t.words)) return std::unexpected(ExchangeLoweringError::overflow());
    }
    if (i > 0xFFFFFFFFull) return std::unexpected(ExchangeLoweringError::overflow());
    PendingTransfer p;
    if (t.width == ExchangeItemWidth::Paired64) {
      auto partner = Topology::tarn().paired_logical(t.source);
      if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
      p.partner = *partner;
    }
    p.destinations.reserve(t.destinations.size());
    for (const auto& d : t.destinations) p.destinations.push_back({d.tile, d.address});
    p.source_addresses = t.source_addresses;
    p.value = static_cast<BlockValueId>(i);
    p.value_offset = 0;
    p.words = t.words;
    p.source = t.source;
    p.width = t.width;
    p.refresh_source_elements();
    out.push_back(std::move(p));
  }
  return out;
}

std::expected<void, ExchangeLoweringError> ExchangeScheduleSnapshot::validate() const {
  if (schema_version != 3) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("unsupported schema version {} (expected {})", schema_version, 3)));
  }
  if (tile_count < 1 || tile_count > Topology::tarn().tile_count()) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("tile count {} is outside the TARN topology", tile_count)));
  }
  std::set<uint32_t> ids;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!ids.insert(problem.phase).second) {
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(
          fmt::format("duplicate phase {}", problem.phase)));
    }
    auto converted = pending_from_problem(problem, tile_count);
    if (!converted) return std::unexpected(std::move(converted).error());
  }
  return {};
}

}  // namespace tessel::codegen::exchange
