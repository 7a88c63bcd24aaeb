// The per-ESME queue of deliver_sm bodies and the wake-up of its loop.
#include <gtest/gtest.h>

#include <thread>

#include "downstream/DeliverSMQueue.h"
#include "smpp/EventLoop.h"

namespace quorvex {

TEST(DeliverSMQueueTest, PerESMEFirstInFirstOut) {
  MetricsRegistry registry;
  MetricEvents events(registry);
  DeliverSMQueue queue(events);
  const uint8_t a[] = {1, 2}, b[] = {3}, c[] = {4};
  queue.push("e1", a, sizeof(a));
  queue.push("e1", b, sizeof(b));
  queue.push("e2", b, sizeof(b));
  std::vector<std::string> ready;
  queue.takeReady(ready);
  EXPECT_EQ(ready, (std::vector<std::string>{"e1", "e2"})); // each listed once
  std::vector<uint8_t> body;
  EXPECT_FALSE(queue.pop("e3", body));
  EXPECT_TRUE((queue.pop("e1", body) && body == std::vector<uint8_t>{1, 2}));
  // Pushed while older bodies wait on the draining side: still behind them.
  queue.push("e1", c, sizeof(c));
  EXPECT_EQ(queue.size("e1"), 2u);
  EXPECT_TRUE(queue.pop("e1", body) && body == std::vector<uint8_t>{3});
  EXPECT_TRUE(queue.pop("e1", body) && body == std::vector<uint8_t>{4});
  EXPECT_FALSE(queue.pop("e1", body));
  EXPECT_EQ(queue.size("e2"), 1u);
}

// Nothing polls the queue: a loop asleep with no deadline at all learns of a
// receipt pushed from another thread through its wake-up alone.
TEST(DeliverSMQueueTest, APushWakesTheSleepingLoopWithTheReadyESME) {
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

} // namespace quorvex
