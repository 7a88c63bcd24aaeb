// The deliver queue, the throttle window and the simulated receipt body.
#include <gtest/gtest.h>

#include <thread>

#include "downstream/DeliverSMQueue.h"
#include "downstream/SimulatedReceipt.h"
#include "downstream/ThrottleWindow.h"
#include "smpp/EventLoop.h"
#include "support/SmppTestClient.h"

namespace quorvex {
namespace {

TEST(DeliverQueueTest, PerESMEFirstInFirstOut) {
  MetricsRegistry registry;
  MetricEvents events(registry);
  DeliverSMQueue queue(events);
  const uint8_t a[] = {1, 2};
  const uint8_t b[] = {3};
  const uint8_t c[] = {4};
  queue.push("e1", a, sizeof(a));
  queue.push("e1", b, sizeof(b));
  queue.push("e2", b, sizeof(b));
  std::vector<std::string> ready;
  queue.takeReady(ready);
  EXPECT_EQ(ready, (std::vector<std::string>{"e1", "e2"})); // each listed once
  std::vector<uint8_t> body;
  EXPECT_FALSE(queue.pop("e3", body));
  ASSERT_TRUE(queue.pop("e1", body));
  EXPECT_EQ(body, (std::vector<uint8_t>{1, 2}));
  // Pushed while older bodies wait on the draining side: still behind them.
  queue.push("e1", c, sizeof(c));
  EXPECT_EQ(queue.size("e1"), 2u);
  ASSERT_TRUE(queue.pop("e1", body));
  EXPECT_EQ(body, (std::vector<uint8_t>{3}));
  ASSERT_TRUE(queue.pop("e1", body));
  EXPECT_EQ(body, (std::vector<uint8_t>{4}));
  EXPECT_FALSE(queue.pop("e1", body));
  EXPECT_EQ(queue.size("e2"), 1u);
}

// Nothing polls the queue: a loop asleep with no deadline at all learns of a
// receipt pushed from another thread through its wake-up alone.
TEST(DeliverQueueTest, APushWakesTheSleepingLoopWithTheReadyESME) {
  MetricsRegistry registry;
  MetricEvents events(registry);
  DeliverSMQueue queue(events);
  smpp::EventLoop loop;
  queue.setWakeLoop(&loop);
  std::vector<std::string> ready;
  const uint8_t body[] = {7};
  std::thread upstream([&] {
    queue.push("alice", body, sizeof(body));
    queue.push("alice", body, sizeof(body));
  });
  // As the main loop does: take the ready ESMEs after every pass.
  while (ready.empty()) {
    ASSERT_GE(loop.poll(-1), 0);
    queue.takeReady(ready);
  }
  upstream.join();
  EXPECT_EQ(ready.front(), "alice");
  EXPECT_EQ(queue.size("alice"), 2u);
}

TEST(ThrottleWindowTest, LimitWindowAndZero) {
  constexpr uint64_t t0 = 1000000000;
  ThrottleWindow window;
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(window.admit(t0 + i * 1000, 10));
  }
  EXPECT_FALSE(window.admit(t0 + 900000, 10));
  EXPECT_FALSE(window.admit(t0 + 1000000, 10)); // exactly one second: same window
  EXPECT_TRUE(window.admit(t0 + 1100000, 10));
  EXPECT_EQ(window.closedCount(), 13u);
  EXPECT_EQ(window.closedTime(), t0 + 1100000);

  ThrottleWindow none;
  EXPECT_FALSE(none.admit(t0, 0));
  EXPECT_TRUE(none.admit(t0 + 1000001, 0)); // opens a window untested
  EXPECT_FALSE(none.admit(t0 + 1000002, 0));
}

TEST(SimulatedReceiptTest, BodyAndTLVs) {
  std::string id;
  makeSimulatedMessageId(id);
  ASSERT_EQ(id.size(), 64u);
  smpp::SubmitSMRecord submit;
  submit.source_addr = "111";
  submit.source_addr_ton = 5;
  submit.source_addr_npi = 0;
  submit.destination_addr = "222";
  submit.dest_addr_ton = 1;
  submit.dest_addr_npi = 1;
  uint8_t body[512];
  size_t n = buildSimulatedReceipt(submit, id, 0x34, body, sizeof(body));
  ASSERT_GT(n, 0u);
  auto parsed = test::SmppTestClient::parseDeliverSM(std::vector<uint8_t>(body, body + n));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->source, "222");
  EXPECT_EQ(parsed->sourceTon, 1);
  EXPECT_EQ(parsed->destination, "111");
  EXPECT_EQ(parsed->destinationTon, 5);
  EXPECT_EQ(parsed->esmClass, 0x04);
  EXPECT_EQ(parsed->shortMessage.rfind("id:" + id + " sub:000 dlvrd:001 submit date:", 0), 0u);
  EXPECT_NE(parsed->shortMessage.find(" stat:DELIVRD err:000 text:"), std::string::npos);
  using Tlv = std::pair<uint16_t, std::vector<uint8_t>>;
  std::vector<uint8_t> terminatedId(id.begin(), id.end());
  terminatedId.push_back(0);
  EXPECT_EQ(parsed->tlvs,
            (std::vector<Tlv>{{0x0427, {2}}, {0x0423, {3, 0, 0}}, {0x001E, terminatedId}}));

  n = buildSimulatedReceipt(submit, id, 0x33, body, sizeof(body));
  parsed = test::SmppTestClient::parseDeliverSM(std::vector<uint8_t>(body, body + n));
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->tlvs.empty());
  EXPECT_EQ(buildSimulatedReceipt(submit, id, 0x34, body, 40), 0u);
}

} // namespace
} // namespace quorvex
