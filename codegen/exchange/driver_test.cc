#include "codegen/exchange/driver.h"

#include <gtest/gtest.h>

#include <random>

#include "codegen/exchange/validate.h"

namespace tessel::codegen::exchange {
namespace {

constexpr auto W = ExchangeItemWidth::Word32;
constexpr auto P = ExchangeItemWidth::Paired64;

std::string run(uint16_t tiles, const ExchangeScheduleProblem& problem,
                PhysicalExchangePhase* out = nullptr) {
  auto r = schedule_exchange_problem(tiles, problem);
  if (!r) return r.error().display();
  if (auto v = validate_exchange_schedule(tiles, problem, *r); !v) return v.error().display();
  if (out) *out = std::move(*r);
  return "ok";
}

TEST(ScheduleExchangeProblem, EmptyPhaseLeavesEveryTileIdle) {
  PhysicalExchangePhase r;
  ASSERT_EQ(run(3, {5, {}}, &r), "ok");
  EXPECT_EQ(r.active, (std::vector<bool>{false, false, false}));
  EXPECT_EQ(r.programs, (std::vector<std::vector<uint32_t>>(3, {0x43a00000})));
  EXPECT_EQ(r.tile_horizons, (std::vector<uint32_t>{0, 0, 0}));
  EXPECT_EQ(r.horizon, 0u);
  EXPECT_EQ(r.phase, 5u);
  EXPECT_EQ(r.activities, std::vector<std::vector<ExchangeActivity>>(3));
}

TEST(ScheduleExchangeProblem, TileCountOutsideTopology) {
  for (uint16_t tiles : {uint16_t{0}, uint16_t{1473}}) {
    EXPECT_EQ(run(tiles, {1, {}}),
              fmt::format("invalid exchange-schedule snapshot: tile count {} is outside the TARN "
                          "topology",
                          tiles));
  }
  EXPECT_EQ(run(1472, {1, {}}), "ok");
}

TEST(ScheduleExchangeProblem, PairedPartnerOutsideThePhaseIsReported) {
  const ExchangeScheduleProblem problem{3,
                                        {{0, {0}, {{1, 0x100}}, 16, W},
                                         {46, {0x8000}, {{44, 0x8000}, {45, 0x8000}}, 128, P},
                                         {46, {0x9000}, {{44, 0x9000}, {45, 0x9000}}, 128, P}}};
  EXPECT_EQ(run(47, problem),
            "invalid exchange-schedule snapshot: phase 3 transfer 1 has paired partner tile 47 "
            "outside 0..47");
}

TEST(ReceiveConfiguration, BasesOnlyForSingleNamedTiles) {
  auto pending = pending_from_problem({1,
                                       {{0, {0}, {{2, 0x2000}}, 4, W},
                                        {0, {0}, {{3, 0x100}}, 4, W},
                                        {1, {0}, {{3, 0x200}}, 4, W},
                                        {1, {0}, {{4, 0x300}, {5, 0x300}}, 4, W}}},
                                      6);
  ASSERT_TRUE(pending);
  auto config = receive_configuration(*pending, 6);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->incoming_counts, (std::vector<uint64_t>{0, 0, 1, 2, 1, 1}));
  EXPECT_EQ(config->incoming_bases, (std::vector<uint32_t>{0, 0, 0x2000, 0, 0, 0}));
}

TEST(ScheduleExchangeProblem, SmallPhasesScheduleValidateAndRepeat) {
  const std::vector<std::pair<uint16_t, ExchangeScheduleProblem>> cases = {
      {4, {7, {{0, {4096}, {{1, 8192}}, 16, W}}}},
      {4, {7, {{0, {0}, {{1, 0}}, 100, W}, {0, {0x4000}, {{1, 0x4000}}, 100, W}}}},
      {4, {7, {{0, {0}, {{1, 0x4000}, {2, 0x4000}, {3, 0x4000}}, 300, W}}}},
      {4, {7, {{0, {0}, {{0, 0x4000}, {1, 0x4000}}, 64, W}}}},
      {4, {7, {{0, {0}, {{2, 0}, {3, 0}}, 256, P}}}},
      {8,
       {7,
        {{0, {0}, {{1, 0x100}}, 40, W},
         {1, {0x100}, {{2, 0x100}}, 40, W},
         {2, {0x100, 0x200}, {{3, 0x100}, {4, 0x100}}, 40, W},
         {5, {0}, {{1, 0x100}}, 8, W}}}},
  };
  for (const auto& [tiles, problem] : cases) {
    PhysicalExchangePhase first, second;
    ASSERT_EQ(run(tiles, problem, &first), "ok");
    ASSERT_EQ(run(tiles, problem, &second), "ok");
    EXPECT_TRUE(identical_output(first, second));
    EXPECT_GE(first.horizon, first.endpoint_lower_bound);
    EXPECT_LE(first.horizon, first.initial_horizon);
  }
}

}  // namespace
}  // namespace tessel::codegen::exchange
