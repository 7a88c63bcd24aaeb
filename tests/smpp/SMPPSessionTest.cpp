// Timers of the session base, driven by a hand-moved clock.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/SMPPSessionNull.h"
#include "smpp/SMPPSessionServer.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::smpp {
namespace {

using namespace command;
using test::PduBuilder;
using test::Replies;

class SMPPSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    session.connection().attach(std::make_unique<SMPPSocketUnencrypted>(pair.gateway), pair.gateway,
                                false);
  }
  bool check() {
    bool sweep = false;
    return session.timedCheck(sweep);
  }
  // Moves the clock, runs a check that must keep the session and returns
  // what it sent.
  Replies after(uint64_t seconds) {
    clock.advanceSeconds(seconds);
    EXPECT_FALSE(check());
    return test::received(pair.peer);
  }

  test::ManualClock clock;
  test::SocketPair pair;
  SMPPSessionServer session{nullptr, clock};
};

TEST_F(SMPPSessionTest, KeepAliveProbesAndClosesASilentPeer) {
  pair.write(PduBuilder().frame(kEnquireLink, 1));
  ASSERT_FALSE(session.run());
  ASSERT_EQ(test::received(pair.peer), (Replies{{kEnquireLinkResp, 0, 1}}));
  EXPECT_EQ(session.lastActivityTime(), clock.now);
  // The owner's timer is armed for exactly the next step below.
  EXPECT_EQ(session.nextCheckDelay(clock.now), 120000001u);
  EXPECT_EQ(after(120), Replies{}); // not yet: exactly 120 s
  EXPECT_EQ(after(1), (Replies{{kEnquireLink, 0, 1}}));
  // An answered probe keeps the session open.
  pair.write(PduBuilder().frame(kEnquireLinkResp, 1));
  ASSERT_FALSE(session.run());
  EXPECT_EQ(session.enquireSentTime(), 0u);
  EXPECT_EQ(after(70), Replies{});

  // Silence again: probed once, unbound, closed.
  EXPECT_EQ(after(51), (Replies{{kEnquireLink, 0, 2}}));
  EXPECT_EQ(session.nextCheckDelay(clock.now), 60000001u);
  EXPECT_EQ(after(60), Replies{}); // one probe only
  EXPECT_EQ(after(1), (Replies{{kUnbind, 0, 3}}));
  EXPECT_EQ(session.nextCheckDelay(clock.now), 5000000u);
  EXPECT_EQ(after(4), Replies{});
  EXPECT_FALSE(session.run());
  clock.advanceSeconds(1);
  EXPECT_TRUE(check());
  EXPECT_TRUE(session.run());
}

TEST_F(SMPPSessionTest, MissingResponseClosesAnActiveSession) {
  session.addOutstandingRequest(5, clock.now);
  session.addOutstandingRequest(6, clock.now + 30000000);
  session.setLastActivityTime(clock.now);
  EXPECT_EQ(session.nextCheckDelay(clock.now), 60000001u);
  clock.advanceSeconds(60);
  EXPECT_FALSE(check());
  clock.advanceSeconds(1);
  EXPECT_TRUE(check());
  session.removeOutstandingRequest(5);
  EXPECT_FALSE(check());
}

TEST_F(SMPPSessionTest, DeadConnectionEndsTheSession) {
  pair.write(PduBuilder().frame(kEnquireLink, 1));
  pair.closePeer();
  // The PDU before the close is still handled; its answer meets EPIPE.
  EXPECT_TRUE(session.run());
  EXPECT_TRUE(session.connection().dead());
  EXPECT_EQ(session.pdusRead(), 1);
  EXPECT_TRUE(check());
  EXPECT_EQ(session.connection().descriptor(), -1);
}

TEST(SMPPSessionOwnershipTest, OwnedDescriptorIsClosedWithTheSession) {
  test::SocketPair pair;
  const int fd = ::dup(pair.gateway);
  {
    SMPPSessionNull session;
    session.connection().attach(std::make_unique<SMPPSocketUnencrypted>(fd), fd, true);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(SMPPSessionSequenceTest, SequenceNumbersWrapWithinTheSMPPRange) {
  SMPPSessionNull session;
  EXPECT_EQ(session.takeSequenceNumber(), 1u);
  session.setNextSequenceNumber(SMPPSession::kMaxSequence - 1);
  for (uint64_t expected : {0x7FFFFFFEu, 0x7FFFFFFFu, 1u, 2u}) {
    EXPECT_EQ(session.takeSequenceNumber(), expected);
  }
}

} // namespace
} // namespace quorvex::smpp
