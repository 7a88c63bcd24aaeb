// The readiness loop over real socket pairs: dispatch, removal during a
// pass, and descriptors beyond select's 1024 limit.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "smpp/EventLoop.h"

namespace quorvex::smpp {
namespace {

struct Pair {
  int a = -1;
  int b = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    ::close(a);
    ::close(b);
  }
};

// Records calls; optionally removes another descriptor when called.
struct Recorder : EventHandler {
  EventLoop* loop = nullptr;
  int removeOnCall = -1;
  std::vector<int> calls;
  void onReadable(int fd) override {
    calls.push_back(fd);
    if (removeOnCall >= 0) {
      loop->remove(removeOnCall);
    }
  }
};

TEST(EventLoopTest, DispatchesReadyDescriptorsLevelTriggered) {
  EventLoop loop;
  ASSERT_TRUE(loop.valid());
  Pair one, two;
  Recorder recorder;
  ASSERT_TRUE(loop.add(one.b, &recorder));
  ASSERT_TRUE(loop.add(two.b, &recorder));
  EXPECT_EQ(loop.size(), 2u);
  EXPECT_EQ(loop.poll(0), 0);

  ASSERT_EQ(::write(one.a, "x", 1), 1);
  EXPECT_EQ(loop.poll(100), 1);
  EXPECT_EQ(recorder.calls, std::vector<int>{one.b});
  // Unread data keeps the descriptor ready.
  EXPECT_EQ(loop.poll(0), 1);
  EXPECT_EQ(recorder.calls.size(), 2u);

  loop.remove(one.b);
  EXPECT_FALSE(loop.watching(one.b));
  EXPECT_EQ(loop.poll(0), 0);
  loop.remove(one.b); // twice is harmless
  EXPECT_EQ(loop.size(), 1u);
}

TEST(EventLoopTest, RemovalDuringAPassSkipsTheRemovedDescriptor) {
  EventLoop loop;
  Pair one, two;
  Recorder first, second;
  first.loop = &loop;
  second.loop = &loop;
  ASSERT_TRUE(loop.add(one.b, &first));
  ASSERT_TRUE(loop.add(two.b, &second));
  // Whichever handler runs first removes the other descriptor.
  first.removeOnCall = two.b;
  second.removeOnCall = one.b;
  ASSERT_EQ(::write(one.a, "x", 1), 1);
  ASSERT_EQ(::write(two.a, "y", 1), 1);
  EXPECT_EQ(loop.poll(100), 2);
  EXPECT_EQ(first.calls.size() + second.calls.size(), 1u);
}

TEST(EventLoopTest, WatchesDescriptorsAbove1024) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
    limit.rlim_cur = 1200;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  Pair pair;
  const int high = ::fcntl(pair.b, F_DUPFD, 1100);
  if (high < 0) {
    GTEST_SKIP() << "descriptor limit below 1100";
  }
  EventLoop loop;
  Recorder recorder;
  ASSERT_TRUE(loop.add(high, &recorder));
  ASSERT_EQ(::write(pair.a, "x", 1), 1);
  EXPECT_EQ(loop.poll(100), 1);
  EXPECT_EQ(recorder.calls, std::vector<int>{high});
  loop.remove(high);
  ::close(high);
}

} // namespace
} // namespace quorvex::smpp
