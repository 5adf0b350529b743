#include "codegen/exchange/scheduling_problem.h"

#include <gtest/gtest.h>

#include "codegen/exchange/testing.h"

namespace tessel::codegen::exchange {
namespace {

using Edges = std::vector<std::pair<uint64_t, uint64_t>>;

PendingTransfer make(uint16_t source, std::vector<uint32_t> sources,
                     std::vector<PendingDestination> dests, uint32_t words,
                     ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  return testing::pending_transfer(source, std::move(sources), std::move(dests), words, width);
}

Edges edges_of(const SchedulingProblem& p) {
  Edges out;
  for (uint64_t a = 0; a < p.successors.size(); ++a) {
    for (uint64_t b : p.successors[a]) out.emplace_back(a, b);
  }
  // Both adjacency lists describe the same edges.
  Edges back;
  for (uint64_t b = 0; b < p.predecessors.size(); ++b) {
    for (uint64_t a : p.predecessors[b]) back.emplace_back(a, b);
  }
  std::sort(back.begin(), back.end());
  EXPECT_EQ(out, back);
  return out;
}

TEST(SchedulingProblem, HazardEdges) {
  struct Case {
    const char* name;
    std::vector<PendingTransfer> transfers;
    Edges expected;
  };
  const std::vector<Case> cases = {
      {"disjoint writes", {make(0, {0}, {{1, 0}}, 2), make(2, {0}, {{1, 8}}, 2)}, {}},
      {"overlapping writes", {make(0, {0}, {{1, 0}}, 2), make(2, {0}, {{1, 4}}, 2)}, {{0, 1}}},
      {"write after read", {make(1, {0}, {{0, 0}}, 4), make(2, {0}, {{1, 8}}, 1)}, {{0, 1}}},
      {"write elsewhere", {make(1, {0}, {{0, 0}}, 4), make(3, {0}, {{2, 8}}, 1)}, {}},
      {"read after write",
       {make(0, {0}, {{1, 0x100}}, 4), make(1, {0x104}, {{2, 0}}, 4)},
       {{0, 1}}},
      {"loopback never depends on itself", {make(2, {0x0}, {{3, 0}, {2, 0x0}}, 16)}, {}},
      {"readers then writer",
       {make(1, {0}, {{0, 0}}, 4), make(1, {0}, {{2, 0}}, 4), make(1, {0}, {{3, 0}}, 4),
        make(4, {0}, {{1, 0}}, 4)},
       {{0, 3}, {1, 3}, {2, 3}}},
      {"zero words", {make(0, {0}, {{1, 0}}, 0), make(2, {0}, {{1, 0}}, 4)}, {}},
      {"edge found twice is recorded once",
       {make(0, {0}, {{1, 0}, {2, 0}}, 4), make(3, {0}, {{1, 0}, {2, 0}}, 4)},
       {{0, 1}}},
      {"repeat iterations all read",
       {make(1, {0x0, 0x100}, {{0, 0}}, 4), make(2, {0}, {{1, 0x104}}, 1)},
       {{0, 1}}},
  };
  for (const Case& c : cases) {
    SchedulingProblem p(c.transfers, 8);
    EXPECT_EQ(edges_of(p), c.expected) << c.name;
  }
}

TEST(SchedulingProblem, EmptyPhase) {
  std::vector<PendingTransfer> none;
  SchedulingProblem p(none, 4);
  EXPECT_TRUE(p.predecessors.empty());
  EXPECT_EQ(p.endpoint_work, (std::vector<uint64_t>{0, 0, 0, 0}));
  EXPECT_EQ(endpoint_work_lower_bound(none, 4), 0u);
}

TEST(SchedulingProblem, EndpointWorkAndBound) {
  const std::vector<PendingTransfer> loopback = {make(2, {0}, {{2, 0x4000}, {7, 0}}, 5)};
  SchedulingProblem p(loopback, 8);
  EXPECT_EQ(p.endpoint_work[2], 10u);
  EXPECT_EQ(p.endpoint_work[7], 5u);
  EXPECT_EQ(endpoint_work_lower_bound(loopback, 8), 5u);

  const std::vector<PendingTransfer> paired = {
      make(0, {0}, {{2, 0}, {3, 0}}, 256, ExchangeItemWidth::Paired64),
      make(4, {0}, {{1, 0}}, 100)};
  EXPECT_EQ(transfer_cycles(paired[0]), 128u);
  SchedulingProblem q(paired, 8);
  EXPECT_EQ(q.endpoint_work, (std::vector<uint64_t>{128, 228, 128, 128, 100, 0, 0, 0}));
  // Tile 1 sends 128 as partner and receives 100: directions are bounded apart.
  EXPECT_EQ(endpoint_work_lower_bound(paired, 8), 128u);
}

TEST(SchedulingProblem, CycleCount) {
  EXPECT_EQ(transfer_cycles(make(0, {0}, {{1, 0}}, 7)), 7u);
  EXPECT_EQ(transfer_cycles(make(0, {0}, {{1, 0}}, 0)), 0u);
  EXPECT_EQ(transfer_cycles(make(0, {0}, {{2, 0}, {3, 0}}, 129, ExchangeItemWidth::Paired64)),
            129u);
}

}  // namespace
}  // namespace tessel::codegen::exchange
