#include "codegen/exchange/validate.h"

#include <gtest/gtest.h>

#include <functional>

namespace tessel::codegen::exchange {
namespace {

constexpr uint32_t kReturn = 0x43a00000;
uint32_t delay(uint32_t n) {
  return 0x40a00000 | (n - 1);
}

using Send = ExchangeActivityKind;

ExchangeActivity act(uint32_t transfer, Send kind, uint32_t start, uint32_t end,
                     uint32_t memory_end, uint32_t address, uint32_t words, bool paired = false,
                     uint16_t dests = 1) {
  return {transfer, start, end, memory_end, address, words, dests, kind, paired};
}

// Three tiles: transfer 0 sends 16 words from tile 0 (0x0) to tile 1 (0x4000);
// transfer 1 sends 16 words from tile 1 (0x100) to tile 2 (0x0). Programs are
// bare delays: the validator only uses their decoded length.
struct Fixture {
  ExchangeScheduleProblem problem{9,
                                  {{0, {0x0}, {{1, 0x4000}}, 16, ExchangeItemWidth::Word32},
                                   {1, {0x100}, {{2, 0x0}}, 16, ExchangeItemWidth::Word32}}};
  PhysicalExchangePhase result;
  Fixture() {
    result.phase = 9;
    result.active = {true, true, true};
    result.programs = {{delay(20), kReturn}, {delay(40), kReturn}, {delay(40), kReturn}};
    result.incoming_bases = {0, 0x4000, 0};
    result.tile_horizons = {20, 40, 40};
    result.activities = {
        {act(0, Send::Send, 0, 16, 20, 0x0, 16)},
        {act(0, Send::Receive, 2, 18, 20, 0x4000, 16), act(1, Send::Send, 20, 36, 40, 0x100, 16)},
        {act(1, Send::Receive, 22, 38, 40, 0x0, 16)}};
    result.repeat_patches.resize(3);
    result.horizon = 40;
  }
};

std::string check(const Fixture& f) {
  auto r = validate_exchange_schedule(3, f.problem, f.result);
  return r ? "ok" : r.error().display();
}

TEST(ValidateExchangeSchedule, ChecksInOrder) {
  const std::string inv = "exchange-schedule invariant failed: ";
  struct Case {
    const char* name;
    std::function<void(Fixture&)> mutate;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"valid", [](Fixture&) {}, "ok"},
      {"phase id", [](Fixture& f) { f.result.phase = 8; },
       inv + "phase id 8 differs from snapshot phase 9"},
      {"programs length", [](Fixture& f) { f.result.programs.pop_back(); },
       inv + "phase 9 has 2 programs entries for 3 tiles"},
      {"bases length", [](Fixture& f) { f.result.incoming_bases.push_back(0); },
       inv + "phase 9 has 4 incoming bases entries for 3 tiles"},
      {"repeat patches",
       [](Fixture& f) {
         f.result.repeat_patches[2].push_back({0, {}});
       },
       inv + "standalone phase 9 unexpectedly contains repeat patches"},
      {"horizon", [](Fixture& f) { f.result.horizon = 39; },
       inv + "phase 9 horizon 39 differs from maximum tile horizon 40"},
      {"decoded horizon, first tile first",
       [](Fixture& f) {
         f.result.programs[0] = {delay(19), kReturn};
         f.result.programs[1] = {kReturn};
       },
       inv + "phase 9 tile 0 decoded horizon 19 differs from 20"},
      {"undecodable", [](Fixture& f) { f.result.programs[0] = {0xf0000000}; },
       "exchange schedule is not encodable: truncated SENDPICP payload"},
      {"inactive with work", [](Fixture& f) { f.result.active[2] = false; },
       inv + "phase 9 tile 2 has inconsistent active state"},
      {"cycle interval", [](Fixture& f) { f.result.activities[2][0].memory_end = 41; },
       inv + "phase 9 tile 2 transfer 1 has invalid cycle interval"},
      {"interval at the horizon is fine",
       [](Fixture& f) {
         f.result.activities[2].push_back(act(1, Send::Receive, 40, 40, 40, 0x0, 16));
       },
       inv + "phase 9 transfer 1 does not have exactly one activity per destination"},
      {"missing transfer", [](Fixture& f) { f.result.activities[2][0].transfer = 5; },
       inv + "phase 9 tile 2 references missing transfer 5"},
      {"word count", [](Fixture& f) { f.result.activities[1][0].words = 15; },
       inv + "phase 9 tile 1 transfer 0 has wrong word count"},
      {"unexpected receive", [](Fixture& f) { f.result.activities[2][0].address = 0x8; },
       inv + "phase 9 transfer 1 has an unexpected receive activity on tile 2"},
      {"send address", [](Fixture& f) { f.result.activities[0][0].address = 0x4; },
       inv + "phase 9 transfer 0 has a mismatched send activity"},
      {"partner busy on ordinary transfer",
       [](Fixture& f) {
         f.result.activities[2].push_back(act(0, Send::PartnerBusy, 0, 1, 1, 0, 16));
       },
       inv + "phase 9 transfer 0 has a mismatched partner-busy activity"},
      {"memory element shared",
       [](Fixture& f) {
         f.problem.transfers[1].source_addresses = {0x4100};
         f.result.activities[1][1] = act(1, Send::Send, 10, 26, 30, 0x4100, 16);
       },
       inv + "phase 9 tile 1 overlaps send/receive access to one SRAM element"},
      {"send counted twice",
       [](Fixture& f) {
         f.result.activities[0].push_back(act(0, Send::Send, 16, 20, 20, 0x0, 16));
       },
       inv + "phase 9 transfer 0 has 2 send activities"},
      {"send missing",
       [](Fixture& f) {
         f.result.activities[0].clear();
         f.result.active[0] = false;
         f.result.tile_horizons[0] = 0;
         f.result.programs[0] = {kReturn};
       },
       inv + "phase 9 transfer 0 has 0 send activities"},
      {"receive missing",
       [](Fixture& f) { f.result.activities[1].erase(f.result.activities[1].begin()); },
       inv + "phase 9 transfer 0 does not have exactly one activity per destination"},
  };
  for (const Case& c : cases) {
    Fixture f;
    c.mutate(f);
    EXPECT_EQ(check(f), c.expected) << c.name;
  }
}

TEST(ValidateExchangeSchedule, BusIntervalsTouchingDoNotOverlap) {
  Fixture f;
  f.problem.transfers.push_back({1, {0x200}, {{0, 0x8000}}, 10, ExchangeItemWidth::Word32});
  f.result.activities[1].push_back(act(2, Send::Send, 36, 40, 40, 0x200, 10));
  f.result.activities[0].push_back(act(2, Send::Receive, 16, 20, 20, 0x8000, 10));
  EXPECT_EQ(check(f), "ok");
  Fixture sends = f;
  sends.result.activities[1].back().start = 35;
  EXPECT_EQ(
      check(sends),
      "exchange-schedule invariant failed: phase 9 tile 1 has overlapping Send bus intervals");
  Fixture receives = f;
  receives.problem.transfers[2].destinations = {{2, 0x8000}};
  receives.result.activities[0].pop_back();
  receives.result.activities[2].push_back(act(2, Send::Receive, 37, 39, 40, 0x8000, 10));
  EXPECT_EQ(
      check(receives),
      "exchange-schedule invariant failed: phase 9 tile 2 has overlapping Receive bus intervals");
}

TEST(ValidateExchangeSchedule, PairedPartner) {
  // Tile 0 sends a paired transfer to tiles 2 and 3; tile 1 (its partner) is busy.
  ExchangeScheduleProblem problem{
      1,
      {{0, {0x0}, {{2, 0x0}, {3, 0x0}}, 128, ExchangeItemWidth::Paired64},
       {4, {0x0}, {{1, 0x8000}}, 8, ExchangeItemWidth::Word32}}};
  PhysicalExchangePhase r;
  r.phase = 1;
  r.active = {true, true, true, true, true};
  r.programs.assign(5, {delay(100), kReturn});
  r.incoming_bases.assign(5, 0);
  r.tile_horizons.assign(5, 100);
  r.activities = {{act(0, Send::Send, 10, 74, 80, 0, 128, true, 2)},
                  {act(0, Send::PartnerBusy, 10, 80, 80, 0, 128, true, 2),
                   act(1, Send::Receive, 20, 28, 30, 0x8000, 8)},
                  {act(0, Send::Receive, 12, 76, 80, 0, 128, true, 2)},
                  {act(0, Send::Receive, 12, 76, 80, 0, 128, true, 2)},
                  {act(1, Send::Send, 18, 26, 30, 0, 8)}};
  r.repeat_patches.resize(5);
  r.horizon = 100;
  // A receive of another transfer may overlap the borrowed interval.
  EXPECT_TRUE(validate_exchange_schedule(5, problem, r));

  // A send of the partner's own that overlaps the borrowed interval does not.
  ExchangeScheduleProblem with_local_send = problem;
  with_local_send.transfers.push_back({1, {0x100}, {{4, 0x100}}, 8, ExchangeItemWidth::Word32});
  PhysicalExchangePhase busy = r;
  busy.activities[1].push_back(act(2, Send::Send, 70, 78, 80, 0x100, 8));
  auto e = validate_exchange_schedule(5, with_local_send, busy);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().display(),
            "exchange-schedule invariant failed: phase 1 tile 1 overlaps borrowed and local "
            "transmit intervals");

  // The partner counts as active even without activities of its own.
  PhysicalExchangePhase idle_partner = r;
  idle_partner.activities[1].clear();
  auto f = validate_exchange_schedule(5, problem, idle_partner);
  ASSERT_FALSE(f);
  // Tile 1 passes the active check; the missing records are found later.
  EXPECT_EQ(f.error().display(),
            "exchange-schedule invariant failed: phase 1 transfer 0 has 0 partner-busy activities, "
            "expected 1");
}

}  // namespace
}  // namespace tessel::codegen::exchange
