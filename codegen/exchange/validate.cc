#include "codegen/exchange/validate.h"

#include <algorithm>
#include <set>

#include "codegen/exchange/pending.h"
#include "exchange/diagnostic.h"
#include "exchange/topology.h"

namespace tessel::codegen::exchange {

namespace {

using tessel::exchange::Topology;

std::unexpected<ExchangeLoweringError> invariant(std::string text) {
  return std::unexpected(ExchangeLoweringError::invariant(std::move(text)));
}

bool send_receive_share_element(const ExchangeScheduleTransfer& sent, const ExchangeActivity& s,
                                const ExchangeActivity& r) {
  return std::any_of(sent.source_addresses.begin(), sent.source_addresses.end(), [&](uint32_t x) {
    return spans_share_effective_memory_element(x, s.words, r.address, r.words);
  });
}

// Sorted (start, end) pairs of one kind must not overlap.
bool bus_intervals_overlap(const std::vector<ExchangeActivity>& activities,
                           ExchangeActivityKind kind,
                           std::vector<std::pair<uint32_t, uint32_t>>& scratch) {
  scratch.clear();
  for (const auto& a : activities) {
    if (a.kind == kind) scratch.emplace_back(a.start, a.end);
  }
  std::sort(scratch.begin(), scratch.end());
  for (std::size_t i = 1; i < scratch.size(); ++i) {
    if (scratch[i].first < scratch[i - 1].second) return true;
  }
  return false;
}

}  // namespace

LoweringResult<void> validate_exchange_schedule(uint16_t tile_count,
                                                const ExchangeScheduleProblem& problem,
                                                const PhysicalExchangePhase& result) {
  const uint32_t P = problem.phase;
  const auto& transfers = problem.transfers;
  if (result.phase != P) {
    return invariant(fmt::format("phase id {} differs from snapshot phase {}", result.phase, P));
  }
  const std::pair<std::size_t, const char*> lengths[] = {
      {result.active.size(), "active"},
      {result.programs.size(), "programs"},
      {result.incoming_bases.size(), "incoming bases"},
      {result.tile_horizons.size(), "tile horizons"},
      {result.activities.size(), "activities"},
      {result.repeat_patches.size(), "repeat patches"},
  };
  for (const auto& [length, name] : lengths) {
    if (length != tile_count) {
      return invariant(
          fmt::format("phase {} has {} {} entries for {} tiles", P, length, name, tile_count));
    }
  }
  for (const auto& patches : result.repeat_patches) {
    if (!patches.empty()) {
      return invariant(fmt::format("standalone phase {} unexpectedly contains repeat patches", P));
    }
  }
  uint32_t maximum = 0;
  for (uint32_t h : result.tile_horizons) maximum = std::max(maximum, h);
  if (result.horizon != maximum) {
    return invariant(fmt::format("phase {} horizon {} differs from maximum tile horizon {}", P,
                                 result.horizon, maximum));
  }

  const Topology& tarn = Topology::tarn();
  std::set<uint16_t> partner_tiles;
  for (const auto& t : transfers) {
    if (t.width == ExchangeItemWidth::Paired64) {
      auto partner = tarn.paired_logical(t.source);
      if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
      partner_tiles.insert(*partner);
    }
  }

  std::vector<uint64_t> send_counts(transfers.size(), 0);
  std::vector<uint64_t> partner_busy_counts(transfers.size(), 0);
  std::vector<std::vector<uint64_t>> receive_counts(transfers.size());
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    receive_counts[i].assign(transfers[i].destinations.size(), 0);
  }
  std::vector<std::pair<uint32_t, uint32_t>> intervals;

  for (uint32_t t = 0; t < tile_count; ++t) {
    auto decoded = tessel::exchange::diagnose_plan_program(result.programs[t], std::nullopt);
    if (!decoded) return std::unexpected(ExchangeLoweringError(decoded.error()));
    const uint32_t tile_horizon = result.tile_horizons[t];
    if (decoded->horizon != tile_horizon) {
      return invariant(fmt::format("phase {} tile {} decoded horizon {} differs from {}", P, t,
                                   decoded->horizon, tile_horizon));
    }
    const auto& activities = result.activities[t];
    const bool expected = !activities.empty() || partner_tiles.contains(static_cast<uint16_t>(t));
    if (result.active[t] != expected || result.active[t] != (tile_horizon != 0)) {
      return invariant(fmt::format("phase {} tile {} has inconsistent active state", P, t));
    }
    for (const ExchangeActivity& a : activities) {
      if (!(a.start <= a.end && a.end <= a.memory_end && a.memory_end <= tile_horizon)) {
        return invariant(fmt::format("phase {} tile {} transfer {} has invalid cycle interval", P,
                                     t, a.transfer));
      }
      if (a.transfer >= transfers.size()) {
        return invariant(
            fmt::format("phase {} tile {} references missing transfer {}", P, t, a.transfer));
      }
      const ExchangeScheduleTransfer& T = transfers[a.transfer];
      if (a.words != T.words) {
        return invariant(
            fmt::format("phase {} tile {} transfer {} has wrong word count", P, t, a.transfer));
      }
      switch (a.kind) {
        case ExchangeActivityKind::Receive: {
          const auto it =
              std::find_if(T.destinations.begin(), T.destinations.end(),
                           [&](const auto& d) { return d.tile == t && d.address == a.address; });
          if (it == T.destinations.end()) {
            return invariant(
                fmt::format("phase {} transfer {} has an unexpected receive activity on tile {}", P,
                            a.transfer, t));
          }
          ++receive_counts[a.transfer][static_cast<std::size_t>(it - T.destinations.begin())];
          break;
        }
        case ExchangeActivityKind::Send:
          if (t != T.source || a.address != T.source_addresses.front()) {
            return invariant(
                fmt::format("phase {} transfer {} has a mismatched send activity", P, a.transfer));
          }
          ++send_counts[a.transfer];
          break;
        case ExchangeActivityKind::PartnerBusy: {
          const auto mismatched = [&] {
            return invariant(fmt::format(
                "phase {} transfer {} has a mismatched partner-busy activity", P, a.transfer));
          };
          if (T.width != ExchangeItemWidth::Paired64) return mismatched();
          auto partner = tarn.paired_logical(T.source);
          if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
          if (*partner != t || a.address != T.source_addresses.front()) return mismatched();
          ++partner_busy_counts[a.transfer];
          break;
        }
      }
    }
    for (ExchangeActivityKind kind : {ExchangeActivityKind::Send, ExchangeActivityKind::Receive}) {
      if (bus_intervals_overlap(activities, kind, intervals)) {
        return invariant(fmt::format("phase {} tile {} has overlapping {} bus intervals", P, t,
                                     activity_kind_name(kind)));
      }
    }
    for (const ExchangeActivity& s : activities) {
      if (s.kind != ExchangeActivityKind::Send) continue;
      for (const ExchangeActivity& r : activities) {
        if (r.kind != ExchangeActivityKind::Receive) continue;
        if (s.start < r.memory_end && r.start < s.memory_end &&
            send_receive_share_element(transfers[s.transfer], s, r)) {
          return invariant(fmt::format(
              "phase {} tile {} overlaps send/receive access to one SRAM element", P, t));
        }
      }
    }
    for (const ExchangeActivity& b : activities) {
      if (b.kind != ExchangeActivityKind::PartnerBusy) continue;
      for (const ExchangeActivity& x : activities) {
        if (x.transfer != b.transfer &&
            (x.kind == ExchangeActivityKind::Send || x.kind == ExchangeActivityKind::PartnerBusy) &&
            x.start < b.end && b.start < x.end) {
          return invariant(
              fmt::format("phase {} tile {} overlaps borrowed and local transmit intervals", P, t));
        }
      }
    }
  }

  for (std::size_t i = 0; i < transfers.size(); ++i) {
    if (send_counts[i] != 1) {
      return invariant(
          fmt::format("phase {} transfer {} has {} send activities", P, i, send_counts[i]));
    }
  }
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const uint64_t expected = static_cast<uint64_t>(transfers[i].width);
    if (partner_busy_counts[i] != expected) {
      return invariant(
          fmt::format("phase {} transfer {} has {} partner-busy activities, expected {}", P, i,
                      partner_busy_counts[i], expected));
    }
  }
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    for (uint64_t c : receive_counts[i]) {
      if (c != 1) {
        return invariant(fmt::format(
            "phase {} transfer {} does not have exactly one activity per destination", P, i));
      }
    }
  }
  return {};
}

}  // namespace tessel::codegen::exchange
