#include "codegen/exchange/materialized.h"

#include <gtest/gtest.h>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/greedy.h"

namespace tessel::codegen::exchange {
namespace {

constexpr auto W = ExchangeItemWidth::Word32;
constexpr auto P = ExchangeItemWidth::Paired64;

// A phase ready to be scheduled: its transfers, receive configuration and
// topology, with every piece kept alive together.
struct Phase {
  uint16_t tiles;
  std::vector<PendingTransfer> transfers;
  ReceiveConfiguration config;
  Topology topology;

  Phase(uint16_t n, const std::vector<ExchangeScheduleTransfer>& list)
      : tiles(n),
        transfers(*pending_from_problem({1, list}, n)),
        config(*receive_configuration(transfers, n)),
        topology(*phase_topology(n)) {}
  ReceiveInputs receive() const { return {config.incoming_bases, config.incoming_counts}; }
  SchedulingProblem problem() const { return SchedulingProblem(transfers, tiles); }
};

std::string error_of(const LoweringResult<MaterializedSchedule>& r) {
  return r ? "ok" : r.error().display();
}

TEST(MaterializedSchedule, RoutesAndReceivePointers) {
  // A single-destination transfer at the tile's incoming base takes the
  // point-to-point route; another address on a shared tile is patched in.
  Phase phase(4, {{0, {0}, {{1, 0x2000}}, 16, W},
                  {2, {0}, {{3, 0x2000}}, 16, W},
                  {0, {0x100}, {{3, 0x3000}}, 16, W}});
  EXPECT_EQ(phase.config.incoming_bases, (std::vector<uint32_t>{0, 0x2000, 0, 0}));
  const SchedulingProblem problem = phase.problem();
  const std::vector<uint64_t> order = {0, 1, 2};
  auto s = materialize_schedule_order(phase.topology, problem, phase.receive(), order, false);
  ASSERT_EQ(error_of(s), "ok");
  ASSERT_EQ(s->activities[3].size(), 2u);
  EXPECT_EQ(s->activities[3][1].address, 0x3000u);
  EXPECT_EQ(s->order, order);
  EXPECT_EQ(s->horizon, s->builder.event_cycles());
  for (uint64_t t = 0; t < 3; ++t) ASSERT_TRUE(s->placements[t].has_value());
}

TEST(MaterializedSchedule, Failures) {
  struct Case {
    const char* name;
    uint16_t tiles;
    std::vector<ExchangeScheduleTransfer> transfers;
    std::vector<uint64_t> order;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"pointer beyond 18 bits",
       4,
       {{0, {0}, {{1, 0x100000}, {2, 0}}, 8, W}},
       {0},
       "tile address 0x100000 is not encodable"},
      {"not topological",
       4,
       {{0, {0}, {{1, 0}}, 8, W}, {2, {0}, {{1, 0}}, 8, W}},
       {1, 0},
       "exchange-schedule invariant failed: exchange order is not a topological permutation"},
      {"repeated transfer",
       4,
       {{0, {0}, {{1, 0}}, 8, W}, {2, {0}, {{3, 0}}, 8, W}},
       {0, 0},
       "exchange-schedule invariant failed: exchange order is not a topological permutation"},
      {"one short",
       4,
       {{0, {0}, {{1, 0}}, 8, W}, {2, {0}, {{3, 0}}, 8, W}},
       {0},
       "exchange address arithmetic overflowed"},
      {"loopback in another element", 4, {{0, {0}, {{0, 0x4000}, {1, 0x4000}}, 64, W}}, {0}, "ok"},
  };
  for (const Case& c : cases) {
    Phase phase(c.tiles, c.transfers);
    const SchedulingProblem problem = phase.problem();
    EXPECT_EQ(error_of(materialize_schedule_order(phase.topology, problem, phase.receive(), c.order,
                                                  false)),
              c.expected)
        << c.name;
  }
}

TEST(MaterializedSchedule, LoopbackToTheSourceAloneIsRefusedAtAppend) {
  // The conversion refuses it too; append checks it on its own.
  Phase phase(4, {{0, {0}, {{1, 0x4000}}, 16, W}});
  phase.transfers[0].destinations = {{0, 0x100}, {1, 0x4000}};
  MaterializedSchedule s(4, phase.transfers);
  std::vector<TileLastTransfers> last(4);
  auto r = s.append(phase.topology, phase.transfers, phase.receive(), 0, 0, false, last);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            "exchange-schedule invariant failed: multicast loopback requires separate source and "
            "destination memory elements");
}

TEST(MaterializedSchedule, MemoryRuleDelaysAReceiveIntoAnElementBeingSent) {
  // Transfer 0 sends from element 0 of tile 1; transfer 1 writes element 0 of
  // tile 1 and may not start writing before that send has read its data.
  Phase phase(4, {{1, {0x0}, {{2, 0x0}}, 200, W}, {0, {0x0}, {{1, 0x1000}, {3, 0}}, 400, W}});
  MaterializedSchedule s(4, phase.transfers);
  std::vector<TileLastTransfers> last(4);
  ASSERT_TRUE(s.append(phase.topology, phase.transfers, phase.receive(), 0, 0, false, last));
  ASSERT_TRUE(s.append(phase.topology, phase.transfers, phase.receive(), 1, 0, false, last));
  const ExchangeActivity& send = s.activities[1][0];
  const ExchangeActivity& receive = s.activities[1][1];
  ASSERT_EQ(send.kind, ExchangeActivityKind::Send);
  ASSERT_EQ(receive.kind, ExchangeActivityKind::Receive);
  EXPECT_GE(receive.start, send.memory_end);
  // Point of reference: on another element the receive is not held back.
  Phase free_phase(4, {{1, {0x0}, {{2, 0x0}}, 200, W}, {0, {0x0}, {{1, 0x8000}, {3, 0}}, 400, W}});
  MaterializedSchedule f(4, free_phase.transfers);
  std::vector<TileLastTransfers> last2(4);
  ASSERT_TRUE(f.append(free_phase.topology, free_phase.transfers, free_phase.receive(), 0, 0, false,
                       last2));
  ASSERT_TRUE(f.append(free_phase.topology, free_phase.transfers, free_phase.receive(), 1, 0, false,
                       last2));
  EXPECT_LT(f.activities[1][1].start, send.memory_end);
}

TEST(MaterializedSchedule, PairedTransferKeepsItsPartnerBusy) {
  Phase phase(4, {{0, {0}, {{2, 0}, {3, 0}}, 256, P}});
  MaterializedSchedule s(4, phase.transfers);
  std::vector<TileLastTransfers> last(4);
  auto finish = s.append(phase.topology, phase.transfers, phase.receive(), 0, 0, false, last);
  ASSERT_TRUE(finish) << finish.error().display();
  ASSERT_EQ(s.activities[1].size(), 1u);
  const ExchangeActivity& busy = s.activities[1][0];
  EXPECT_EQ(busy.kind, ExchangeActivityKind::PartnerBusy);
  EXPECT_TRUE(busy.paired);
  EXPECT_EQ(s.free_cycles[1].send_free, busy.end);  // the sender row's horizon
  EXPECT_EQ(last[1].last_send, std::optional<uint64_t>(0));
  EXPECT_EQ(s.activities[0][0].end - s.activities[0][0].start, 128u);  // 256 words, 128 cycles
}

TEST(MaterializedSchedule, ValidationBudget) {
  Phase phase(4, {{0, {0}, {{1, 0}, {2, 0}}, 8, W}});
  // Tiny phases get the floor of 2^29 work units.
  EXPECT_EQ(MaterializedSchedule::validation_budget(4, phase.transfers), uint64_t{1} << 29);
  std::vector<PendingTransfer> many(20000, phase.transfers[0]);
  // Tile 0: s = 20000, d = 0 -> 20000 * 20001; tiles 1, 2: d = 20000 -> 20000 * 60001 each.
  const uint64_t sum = 20000ull * 20001 + 2 * 20000ull * 60001;
  EXPECT_EQ(MaterializedSchedule::validation_budget(4, many), 4 * sum);
}

TEST(GreedyScheduler, PriorityOrder) {
  struct Case {
    const char* name;
    std::vector<ExchangeScheduleTransfer> transfers;
    std::vector<uint64_t> order;
  };
  const std::vector<Case> cases = {
      {"larger work first", {{0, {0}, {{1, 0}}, 10, W}, {2, {0}, {{3, 0}}, 20, W}}, {1, 0}},
      {"more destinations first",
       {{0, {0}, {{1, 0}}, 12, W}, {2, {0}, {{3, 0}, {4, 0}}, 8, W}, {5, {0}, {{6, 0}}, 4, W}},
       {1, 0, 2}},
      {"lower source on equal keys",
       {{2, {0}, {{3, 0}}, 10, W}, {0, {0}, {{1, 0}}, 10, W}},
       {1, 0}},
      {"endpoint group releases longest first",
       {{0, {0}, {{1, 0}}, 10, W},
        {0, {0x100}, {{1, 0x100}}, 30, W},
        {0, {0x200}, {{1, 0x200}}, 20, W}},
       {1, 2, 0}},
      {"dependency waits for its predecessor",
       {{0, {0}, {{1, 0x100}}, 10, W}, {1, {0x100}, {{2, 0}}, 90, W}, {3, {0}, {{4, 0}}, 5, W}},
       {0, 2, 1}},
  };
  for (const Case& c : cases) {
    Phase phase(8, c.transfers);
    const SchedulingProblem problem = phase.problem();
    auto s = materialize_greedy_schedule_impl(phase.topology, problem, phase.receive(), false);
    ASSERT_TRUE(s) << c.name << ": " << s.error().display();
    EXPECT_EQ(s->order, c.order) << c.name;
    EXPECT_EQ(s->horizon, s->builder.event_cycles());
  }
}

TEST(GreedyScheduler, EmptyPhase) {
  Phase phase(3, {});
  const SchedulingProblem problem = phase.problem();
  auto s = materialize_greedy_schedule_impl(phase.topology, problem, phase.receive(), false);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->horizon, 0u);
  EXPECT_TRUE(s->order.empty());
}

}  // namespace
}  // namespace tessel::codegen::exchange
