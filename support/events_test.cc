#include "support/events.h"

#include <gtest/gtest.h>

namespace tessel::support::events {
namespace {

struct Recorder : Receiver {
  std::vector<Event> seen;
  void receive(const Event& e) override { seen.push_back(e); }
};

int evaluations = 0;
int counted(int v) {
  ++evaluations;
  return v;
}

TEST(Events, DisabledEventEvaluatesNothing) {
  ASSERT_FALSE(enabled());
  evaluations = 0;
  TESSEL_EVENT("tessel_exchange", "assembled multicast exchange", ("count", counted(3)));
  EXPECT_EQ(evaluations, 0);
}

TEST(Events, InstalledReceiverGetsTargetMessageAndFields) {
  Recorder r;
  set_receiver(&r);
  TESSEL_EVENT("tessel_exchange", "assembled point-to-point exchange", ("sender_logical", 4),
               ("receiver_logical", 5), ("count", 100u));
  TESSEL_EVENT("tessel_codegen::exchange", "no fields");
  set_receiver(nullptr);
  ASSERT_EQ(r.seen.size(), 2u);
  EXPECT_EQ(r.seen[0].target, "tessel_exchange");
  ASSERT_EQ(r.seen[0].fields.size(), 3u);
  EXPECT_EQ(r.seen[0].fields[1].name, "receiver_logical");
  EXPECT_EQ(r.seen[0].fields[2].value, "100");
  EXPECT_TRUE(r.seen[1].fields.empty());
}

}  // namespace
}  // namespace tessel::support::events
