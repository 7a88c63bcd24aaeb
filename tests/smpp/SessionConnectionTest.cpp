// The framing reader and the sender over a real socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <numeric>
#include <thread>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/EventLoop.h"
#include "smpp/SessionConnection.h"

namespace quorvex::smpp {
namespace {

using test::PduBuilder;
using test::SocketPair;

// A socket whose sends return the scripted results (octets taken, or
// -errno; -EAGAIN once the script is used up). Reads find nothing, or, with
// a `stream`, play a peer far ahead of the reader: the kernel holds more than
// the read buffer can take, and every read returns as much as asked for.
class ScriptedSocket : public SMPPSocket {
public:
  int read(uint8_t* buffer, size_t length) override {
    if (stream.empty()) {
      errno = EAGAIN;
      return -1;
    }
    for (size_t i = 0; i < length; ++i, ++served) {
      buffer[i] = stream[served % stream.size()];
    }
    return static_cast<int>(length);
  }
  int send(const uint8_t* buffer, size_t length) override {
    ++sends;
    const int result = script.empty() ? -EAGAIN : script.front();
    if (!script.empty()) {
      script.pop_front();
    }
    if (result < 0) {
      errno = -result;
      return -1;
    }
    const size_t n = std::min(static_cast<size_t>(result), length);
    written.insert(written.end(), buffer, buffer + n);
    return static_cast<int>(n);
  }
  long available() override { return stream.empty() ? 0 : 4L * kReadBufferCapacity; }
  int descriptor() const override { return 99; }

  std::vector<uint8_t> stream;  // repeated endlessly by the reads
  size_t served = 0;            // octets of it read so far
  std::deque<int> script;       // results in order of the calls
  int sends = 0;                // send calls so far
  std::vector<uint8_t> written; // octets "sent"
};

class SessionConnectionTest : public ::testing::Test {
protected:
  void SetUp() override { test::attach(conn, pair.gateway); }

  SocketPair pair;
  SessionConnection conn;
};

// The peer's writes complete before the reads: a socket pair's send queues
// the octets at the receiver at once, so one readPDU call sees them.
TEST_F(SessionConnectionTest, FramingAcrossSegmentsAndPeerClose) {
  // Two PDUs in one segment.
  pair.write(PduBuilder().cstr("abc").frame(command::kEnquireLink, 7));
  pair.write(PduBuilder().octet(1).octet(2).frame(command::kUnbind, 8));
  ASSERT_TRUE(conn.readPDU());
  EXPECT_EQ(std::pair(conn.header().sequence_number, conn.bodyLength()), std::pair(7u, 4));
  ASSERT_TRUE(conn.readPDU()); // no further data arrives
  EXPECT_EQ(std::pair(conn.header().command_id, conn.bodyLength()), std::pair(command::kUnbind, 2));
  // The longer body before has been cleared behind the end of this one.
  EXPECT_EQ(conn.body()[2] | conn.body()[3], 0);
  EXPECT_EQ((std::pair{conn.readPDU(), conn.bufferedOctets()}), std::pair(false, 0));

  // One PDU in three segments: cut inside the header, then inside the body.
  const std::vector<uint8_t> pdu = PduBuilder().cstr("0123456789").frame(command::kSubmitSM, 3);
  pair.write({pdu.begin(), pdu.begin() + 10});
  EXPECT_FALSE(conn.readPDU());
  pair.write({pdu.begin() + 10, pdu.begin() + 20});
  EXPECT_EQ((std::pair{conn.readPDU(), conn.framePending()}), std::pair(false, true));
  pair.write({pdu.begin() + 20, pdu.end()});
  ASSERT_TRUE(conn.readPDU());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(conn.body())), "0123456789");

  // A PDU and then the peer's close: the PDU first.
  pair.write(PduBuilder().frame(command::kUnbind, 4));
  pair.closePeer();
  ASSERT_TRUE(conn.readPDU());
  EXPECT_EQ((std::tuple{conn.readPDU(), conn.dead(), conn.peerClosed()}),
            std::tuple(false, true, true));
  EXPECT_FALSE(conn.sendE(1, command::kEnquireLink, 0, nullptr, 0));
}

// A length outside the limits is fatal, not a stall, even when a valid PDU
// follows that could be read as if nothing happened.
TEST(SessionConnectionFramingTest, LengthOutsideTheLimitsIsFatal) {
  for (uint32_t length : {0u, 15u, kMaxCommandLength + 1}) {
    SocketPair p;
    SessionConnection c;
    test::attach(c, p.gateway);
    std::vector<uint8_t> bytes = PduBuilder().frame(command::kEnquireLink, 1);
    PDUHeader{length, command::kSubmitSM, 0, 1}.encode(bytes.data());
    p.write(bytes);
    p.write(PduBuilder().frame(command::kEnquireLink, 2));
    EXPECT_EQ((std::tuple{c.readPDU(), c.dead(), c.peerClosed(), c.readPDU()}),
              std::tuple(false, true, false, false))
        << length;
  }
}

TEST(SessionConnectionFramingTest, BacklogLargerThanTheReadBufferIsStillRead) {
  // Frames of 18 octets and the largest ones, neither a divisor of the
  // buffer and more than one buffer of them, so the reader refills mid-frame.
  for (uint32_t body : {2u, kMaxBodyLength}) {
    auto socket = std::make_unique<ScriptedSocket>();
    socket->stream = PduBuilder().raw(std::vector<uint8_t>(body, 'x')).frame(command::kUnbind, 5);
    SessionConnection conn;
    conn.attach(std::move(socket), 99, false);
    for (size_t i = 0; i < 2 * kReadBufferCapacity / (body + 16) + 3; ++i) {
      ASSERT_EQ((std::pair{conn.readPDU(), conn.bodyLength()}), std::pair(true, int(body))) << i;
    }
  }
}

// Flushes the connection whenever its loop asks, as the servers do.
struct Flusher : EventHandler {
  Flusher(SessionConnection& c, EventLoop& l) : conn(c), loop(l) {}
  void onReadable(int) override {}
  void onWritable(int fd) override { loop.setWriting(fd, conn.flush() == FlushResult::kPending); }

  SessionConnection& conn; // the connection flushed
  EventLoop& loop;         // the loop it is bound to
};

// The production pattern: the loop's thread flushes while another thread
// appends (as the upstream thread appends responses for an ESME).
TEST_F(SessionConnectionTest, FullSocketBuffersOutputAndEveryPDULeavesWholeAndInOrder) {
  int small = 4096;
  ASSERT_EQ(::setsockopt(pair.gateway, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
  EventLoop loop;
  Flusher flusher(conn, loop);
  ASSERT_TRUE(loop.add(pair.gateway, &flusher));
  conn.bindLoop(&loop);
  std::vector<uint8_t> body(40000);
  std::iota(body.begin(), body.end(), 0);
  // The peer reads nothing: every send is still taken at once.
  for (uint32_t seq = 1; seq <= 20; ++seq) {
    ASSERT_TRUE(conn.sendE(seq, command::kSubmitSM, 0, body.data(), body.size()));
  }
  loop.poll(0);
  EXPECT_EQ(std::tuple(conn.pendingOutput() > 0, conn.outputStalledSince() != 0, conn.dead()),
            std::tuple(true, true, false));

  std::vector<test::Frame> frames;
  std::thread reader([&] { test::received(pair.peer, frames, 1000); });
  std::atomic<bool> appended{false};
  std::thread other([&] {
    const std::vector<uint8_t> mine(20000, 'B');
    for (uint32_t seq = 100; seq < 120; ++seq) {
      conn.sendE(seq, command::kDeliverSM, 0, mine.data(), mine.size());
    }
    appended = true;
  });
  for (int i = 0; i < 4000 && (!appended || conn.pendingOutput() > 0); ++i) {
    loop.poll(5);
  }
  other.join();
  reader.join();
  EXPECT_EQ(std::pair(conn.pendingOutput(), conn.outputStalledSince()), std::pair(0ul, 0ul));
  // The own PDUs were all queued before the other thread started.
  ASSERT_EQ(frames.size(), 40u);
  for (uint32_t i = 0; i < 40; ++i) {
    EXPECT_EQ(frames[i].header.sequence_number, i < 20 ? i + 1 : i + 80);
    EXPECT_EQ(frames[i].body, i < 20 ? body : std::vector<uint8_t>(20000, 'B'));
  }
}

TEST(SessionConnectionSendTest, WouldBlockKeepsThePDUAndAFatalErrorKillsTheConnection) {
  auto owned = std::make_unique<ScriptedSocket>();
  ScriptedSocket* socket = owned.get();
  SessionConnection conn;
  conn.attach(std::move(owned), 99, false);
  const std::vector<uint8_t> body(100, 'b');
  // 5 octets, then would-block: the rest waits, nothing is retried now.
  socket->script = {5, -EAGAIN};
  ASSERT_TRUE(conn.sendE(1, command::kSubmitSM, 0, body.data(), body.size()));
  EXPECT_EQ(std::pair(socket->sends, conn.pendingOutput()), std::pair(2, size_t{111}));
  socket->script = {1000};
  EXPECT_EQ(conn.flush(), FlushResult::kDone);
  ASSERT_EQ(socket->written.size(), 116u);
  EXPECT_EQ(PDUHeader::decode(socket->written.data()).command_length, 116u);

  // A frame the peer would have to refuse is not sent at all.
  const std::vector<uint8_t> tooBig(kMaxBodyLength + 1);
  EXPECT_FALSE(conn.sendE(3, command::kSubmitSM, 0, tooBig.data(), tooBig.size()));
  EXPECT_EQ(conn.pendingOutput(), 0u);

  // Half a frame on the wire and then a reset: the stream is corrupt for good.
  socket->script = {7, -ECONNRESET};
  EXPECT_FALSE(conn.sendE(2, command::kSubmitSM, 0, body.data(), body.size()));
  EXPECT_TRUE(conn.dead());
  EXPECT_FALSE(conn.sendE(3, command::kEnquireLink, 0, nullptr, 0));
}

} // namespace
} // namespace quorvex::smpp
