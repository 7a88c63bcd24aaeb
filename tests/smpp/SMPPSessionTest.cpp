// Timers of the session base, driven by a hand-moved clock.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/SMPPSessionNull.h"
#include "smpp/SMPPSessionServer.h"

namespace quorvex::smpp {
namespace {

using namespace command;
using test::PduBuilder;
using test::Replies;

class SMPPSessionTest : public test::SessionTest<SMPPSessionServer> {
protected:
  bool check() {
    bool sweep = false;
    return session.timedCheck(sweep);
  }
  // Moves the clock, runs a check that must keep the session and returns
  // what it sent.
  Replies after(uint64_t seconds) {
    clock.advanceSeconds(seconds);
    EXPECT_FALSE(check());
    return test::received(pair.peer, frames);
  }
};

TEST_F(SMPPSessionTest, KeepAliveProbesAndClosesASilentPeer) {
  ASSERT_EQ(pass(PduBuilder().frame(kEnquireLink, 1)), (Replies{{kEnquireLinkResp, 0, 1}}));
  // The owner's timer is armed for exactly the next step below.
  EXPECT_EQ(session.nextCheckDelay(clock.now), 120000001u);
  EXPECT_EQ(after(120), Replies{}); // not yet: exactly 120 s
  EXPECT_EQ(after(1), (Replies{{kEnquireLink, 0, 1}}));
  // An answered probe keeps the session open.
  EXPECT_EQ(pass(PduBuilder().frame(kEnquireLinkResp, 1)), Replies{});
  EXPECT_EQ(after(70), Replies{});

  // Silence again: probed once, unbound, closed; the numbers wrap to 1.
  session.setNextSequenceNumber(SMPPSession::kMaxSequence);
  EXPECT_EQ(after(51), (Replies{{kEnquireLink, 0, 0x7FFFFFFF}}));
  EXPECT_EQ(session.nextCheckDelay(clock.now), 60000001u);
  EXPECT_EQ(after(60), Replies{}); // one probe only
  EXPECT_EQ(after(1), (Replies{{kUnbind, 0, 1}}));
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
  EXPECT_EQ(after(60), Replies{});
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
  EXPECT_EQ(std::pair(session.connection().dead(), session.pdusRead()), std::pair(true, 1));
  EXPECT_TRUE(check());
  EXPECT_EQ(session.connection().descriptor(), -1);
}

TEST(SMPPSessionOwnershipTest, OwnedDescriptorIsClosedWithTheSession) {
  test::SocketPair pair;
  const int fd = ::dup(pair.gateway);
  test::attach(SMPPSessionNull().connection(), fd, true); // the session ends here
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);                    // EBADF
}

} // namespace
} // namespace quorvex::smpp
