// Timers of the session base, driven by a hand-moved clock.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "app/Log.h"
#include "smpp/SMPPSessionNull.h"
#include "smpp/SMPPSessionServer.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::smpp {
namespace {

using test::Frame;
using test::LogTail;
using test::ManualClock;
using test::PduBuilder;
using test::SocketPair;

class KeepAliveTest : public ::testing::Test {
protected:
  void SetUp() override {
    session.connection().attach(std::make_unique<SMPPSocketUnencrypted>(pair.gateway), pair.gateway,
                                false);
  }
  bool check() {
    bool sweep = false;
    return session.timedCheck(sweep);
  }

  ManualClock clock;
  SocketPair pair;
  SMPPSessionServer session{nullptr, clock};
};

TEST_F(KeepAliveTest, SilentPeerIsProbedUnboundAndClosed) {
  LogTail log;
  pair.write(PduBuilder().frame(command::kEnquireLink, 1));
  ASSERT_FALSE(session.run());
  EXPECT_EQ(session.lastActivityTime(), clock.now);
  ASSERT_EQ(test::readFrames(pair.peer).size(), 1u); // its answer
  // The owner's timer is armed for exactly the next step below.
  EXPECT_EQ(session.nextCheckDelay(clock.now), 120000001u);

  clock.advanceSeconds(120);
  EXPECT_FALSE(check());
  EXPECT_TRUE(test::readFrames(pair.peer, 5).empty()); // not yet: exactly 120 s

  clock.advanceSeconds(1);
  EXPECT_FALSE(check());
  std::vector<Frame> sent = test::readFrames(pair.peer);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header.command_id, command::kEnquireLink);
  EXPECT_EQ(sent[0].header.sequence_number, 1u);
  EXPECT_EQ(session.nextCheckDelay(clock.now), 60000001u);

  clock.advanceSeconds(60);
  EXPECT_FALSE(check());
  EXPECT_TRUE(test::readFrames(pair.peer, 5).empty()); // one probe only

  clock.advanceSeconds(1);
  EXPECT_FALSE(check());
  sent = test::readFrames(pair.peer);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header.command_id, command::kUnbind);
  EXPECT_EQ(sent[0].header.sequence_number, 2u);
  EXPECT_EQ(session.nextCheckDelay(clock.now), 5000000u);

  clock.advanceSeconds(4);
  EXPECT_FALSE(check());
  clock.advanceSeconds(1);
  EXPECT_TRUE(check());
  EXPECT_TRUE(log.contains("Due to close (line:"));
}

TEST_F(KeepAliveTest, AnsweredProbeKeepsTheSessionOpen) {
  pair.write(PduBuilder().frame(command::kEnquireLink, 1));
  ASSERT_FALSE(session.run());
  test::readFrames(pair.peer);

  for (int round = 0; round < 3; ++round) {
    clock.advanceSeconds(121);
    EXPECT_FALSE(check());
    const std::vector<Frame> probe = test::readFrames(pair.peer);
    ASSERT_EQ(probe.size(), 1u);
    pair.write(PduBuilder().frame(command::kEnquireLinkResp, probe[0].header.sequence_number));
    clock.advanceSeconds(1);
    ASSERT_FALSE(session.run());
    EXPECT_EQ(session.enquireSentTime(), 0u);
    clock.advanceSeconds(70);
    EXPECT_FALSE(check());
    EXPECT_TRUE(test::readFrames(pair.peer, 5).empty());
  }
}

TEST_F(KeepAliveTest, MissingResponseClosesAnActiveSession) {
  LogTail log;
  session.addOutstandingRequest(5, clock.now);
  session.addOutstandingRequest(6, clock.now + 30000000);
  session.setLastActivityTime(clock.now);
  clock.advanceSeconds(60);
  EXPECT_FALSE(check());
  clock.advanceSeconds(1);
  session.setLastActivityTime(clock.now);
  EXPECT_TRUE(check());
  EXPECT_TRUE(log.contains("oldest="));
  EXPECT_TRUE(log.contains("seqno=6 t="));
  EXPECT_TRUE(log.contains("PDU response not received - closing session (line:"));

  session.removeOutstandingRequest(5);
  EXPECT_FALSE(check());
}

TEST_F(KeepAliveTest, DeadConnectionEndsTheSession) {
  LogTail log;
  pair.write(PduBuilder().frame(command::kEnquireLink, 1));
  pair.closePeer();
  // The PDU before the close is still handled; its answer meets EPIPE.
  EXPECT_TRUE(session.run());
  EXPECT_TRUE(session.connection().dead());
  EXPECT_EQ(session.pdusRead(), 1);
  EXPECT_TRUE(check());
  EXPECT_TRUE(log.contains("Session dead (line:"));
  EXPECT_EQ(session.connection().descriptor(), -1);
}

TEST_F(KeepAliveTest, ClosingTimeEndsRunAndTimedCheck) {
  session.setClosingTime(clock.now + 20000000);
  clock.advanceSeconds(19);
  EXPECT_FALSE(session.run());
  EXPECT_FALSE(check());
  clock.advanceSeconds(1);
  EXPECT_TRUE(session.run());
  EXPECT_TRUE(check());
}

TEST(SessionOwnershipTest, OwnedDescriptorIsClosedWithTheSession) {
  SocketPair pair;
  const int fd = ::dup(pair.gateway);
  {
    SMPPSessionNull session;
    session.connection().attach(std::make_unique<SMPPSocketUnencrypted>(fd), fd, true);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(SessionSequenceTest, SequenceNumbersWrapWithinTheSMPPRange) {
  SMPPSessionNull session;
  EXPECT_EQ(session.takeSequenceNumber(), 1u);
  session.setNextSequenceNumber(SMPPSession::kMaxSequence - 1);
  EXPECT_EQ(session.takeSequenceNumber(), 0x7FFFFFFEu);
  EXPECT_EQ(session.takeSequenceNumber(), 0x7FFFFFFFu);
  EXPECT_EQ(session.takeSequenceNumber(), 1u);
  EXPECT_EQ(session.takeSequenceNumber(), 2u);
}

} // namespace
} // namespace quorvex::smpp
