// The event loop over real socket pairs: dispatch, removal during a pass and
// timers (wake-ups from other threads are exercised by the connection and
// deliver-queue tests).
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "smpp/EventLoop.h"

namespace quorvex::smpp {
namespace {

using Pair = test::SocketPair; // `peer` writes, `gateway` is watched

// Records calls; optionally removes another descriptor when called.
struct Recorder : EventHandler {
  explicit Recorder(EventLoop* l) : loop(l) {}
  void onReadable(int fd) override {
    calls.push_back(fd);
    if (removeOnCall >= 0) {
      loop->remove(removeOnCall);
    }
  }

  EventLoop* loop;        // the loop to remove from
  int removeOnCall = -1;  // descriptor removed on every call
  std::vector<int> calls; // descriptors called for
};

TEST(EventLoopTest, DispatchesReadyDescriptorsLevelTriggeredAndSkipsRemovedOnes) {
  EventLoop loop;
  ASSERT_TRUE(loop.valid());
  Pair one, two;
  Recorder first(&loop), second(&loop);
  ASSERT_TRUE(loop.add(one.gateway, &first));
  ASSERT_TRUE(loop.add(two.gateway, &second));
  EXPECT_EQ(loop.poll(0), 0);
  one.write({'x'});
  EXPECT_EQ(loop.poll(100), 1);
  EXPECT_EQ(loop.poll(0), 1); // unread data keeps the descriptor ready
  EXPECT_EQ(first.calls, (std::vector<int>{one.gateway, one.gateway}));

  // Both ready: whichever handler runs first removes the other descriptor.
  first.removeOnCall = two.gateway;
  second.removeOnCall = one.gateway;
  two.write({'y'});
  EXPECT_EQ(loop.poll(100), 2);
  EXPECT_EQ(first.calls.size() + second.calls.size(), 3u);
  EXPECT_EQ(loop.size(), 1u);
  loop.remove(one.gateway); // one of the two a second time, which is harmless
  loop.remove(two.gateway);
  EXPECT_FALSE(loop.watching(one.gateway));
  EXPECT_EQ(loop.size(), 0u);
  EXPECT_EQ(loop.poll(0), 0);
}

struct TimerLog : TimerHandler {
  void onTimer(Timer& timer) override { fired.push_back(&timer); }
  std::vector<Timer*> fired; // in firing order
};

TEST(EventLoopTest, TimersFireInDeadlineOrderAndTheWaitEndsAtTheNearest) {
  EventLoop loop;
  TimerLog log;
  Timer late(&log), early(&log), cancelled(&log), moved(&log);
  loop.armTimer(late, 30000);
  loop.armTimer(early, 10000);
  loop.armTimer(cancelled, 5000);
  loop.armTimer(moved, 100000000);
  loop.cancelTimer(cancelled);
  loop.armTimer(moved, 20000); // brought forward
  const auto start = std::chrono::steady_clock::now();
  // No descriptor is ready: each unbounded wait ends at the next deadline.
  while (log.fired.size() < 3) {
    ASSERT_EQ(loop.poll(-1), 0);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(log.fired, (std::vector<Timer*>{&early, &moved, &late}));
  EXPECT_EQ(loop.timerCount(), 0u);
}

} // namespace
} // namespace quorvex::smpp
