#include "tools/exchange_schedule_bench/report.h"

#include <gtest/gtest.h>

namespace tessel::bench {
namespace {

TEST(Report, FingerprintOfOneIdleTile) {
  // The 20 bytes 01 00.., 01 00.., 00 00 a0 43.
  EXPECT_EQ(fmt::format("{:016x}", row_fingerprint({{0x43a00000}})), "7f96a39d50763082");
}

TEST(Report, Percentiles) {
  std::vector<double> one = {4.5};
  EXPECT_EQ(percentile(one, 50), 4.5);
  EXPECT_EQ(percentile(one, 95), 4.5);
  std::vector<double> three = {1, 2, 3};
  EXPECT_EQ(percentile(three, 50), 2);
  EXPECT_EQ(percentile(three, 95), 3);
  std::vector<double> twenty;
  for (int i = 0; i < 20; ++i) twenty.push_back(i);
  EXPECT_EQ(percentile(twenty, 50), 9);
  EXPECT_EQ(percentile(twenty, 95), 18);
}

TEST(Report, ResultLine) {
  PhaseFigures f;
  f.phase = 7;
  f.transfers = 2;
  f.destinations = 3;
  f.initial_horizon = 120;
  f.horizon = 100;
  f.endpoint_lower_bound = 110;  // above the horizon: the gap is 0
  f.neighborhood_improvements = 1;
  f.row_words = 9;
  f.maximum_row_words = 5;
  f.reused = true;
  f.row_fingerprint = 0xab;
  EXPECT_EQ(result_line(f, {0.5, 1.25, 2.0}, {0.0004}),
            "phase=7 transfers=2 destinations=3 initialHorizonCycles=120 horizonCycles=100 "
            "endpointLowerBoundCycles=110 lowerBoundGapCycles=0 neighborhoodImprovements=1 "
            "rowWords=9 maximumRowWords=5 scheduleCodegenMinMs=0.500 "
            "scheduleCodegenMedianMs=1.250 scheduleCodegenP95Ms=2.000 scheduleCodegenMaxMs=2.000 "
            "validationMedianMs=0.000 reused=true rowFingerprint=00000000000000ab "
            "invariants=PASS\n");
}

}  // namespace
}  // namespace tessel::bench
