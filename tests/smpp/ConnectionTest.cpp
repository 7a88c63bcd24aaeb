// The framing reader and the sender over a real socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/EventLoop.h"
#include "smpp/SMPPSocketUnencrypted.h"
#include "smpp/SessionConnection.h"

namespace quorvex::smpp {
namespace {

using test::Frame;
using test::PduBuilder;
using test::ScriptedSocket;
using test::SocketPair;

std::vector<uint8_t> header(uint32_t length, uint32_t id = command::kSubmitSM, uint32_t seq = 1) {
  std::vector<uint8_t> h(16);
  PDUHeader{length, id, 0, seq}.encode(h.data());
  return h;
}

class ConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    conn.attach(std::make_unique<SMPPSocketUnencrypted>(pair.gateway), pair.gateway, false);
  }

  // Calls readPDU until it delivers or `attempts` calls returned false.
  bool readWithin(int attempts = 50) {
    for (int i = 0; i < attempts; ++i) {
      if (conn.readPDU()) {
        return true;
      }
      if (conn.dead()) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  SocketPair pair;
  SessionConnection conn;
};

TEST_F(ConnectionTest, TwoPDUsInOneSegmentAreBothDelivered) {
  std::vector<uint8_t> both = PduBuilder().cstr("abc").frame(command::kEnquireLink, 7);
  const std::vector<uint8_t> second = PduBuilder().octet(1).octet(2).frame(command::kUnbind, 8);
  both.insert(both.end(), second.begin(), second.end());
  pair.write(both);

  ASSERT_TRUE(readWithin());
  EXPECT_EQ(conn.header().sequence_number, 7u);
  EXPECT_EQ(conn.bodyLength(), 4);
  ASSERT_TRUE(conn.readPDU()); // no further data arrives
  EXPECT_EQ(conn.header().command_id, command::kUnbind);
  EXPECT_EQ(conn.bodyLength(), 2);
  // The longer body before has been cleared behind the end of this one.
  EXPECT_EQ(conn.body()[2], 0);
  EXPECT_EQ(conn.body()[3], 0);
  EXPECT_FALSE(conn.readPDU());
  EXPECT_EQ(conn.bufferedOctets(), 0);
}

TEST_F(ConnectionTest, OnePDUInThreeSegments) {
  const std::vector<uint8_t> pdu = PduBuilder().cstr("0123456789").frame(command::kSubmitSM, 3);
  pair.write({pdu.begin(), pdu.begin() + 10}); // inside the header
  EXPECT_FALSE(readWithin(3));
  pair.write({pdu.begin() + 10, pdu.begin() + 20}); // inside the body
  EXPECT_FALSE(readWithin(3));
  EXPECT_TRUE(conn.framePending());
  pair.write({pdu.begin() + 20, pdu.end()});
  ASSERT_TRUE(readWithin());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(conn.body())), "0123456789");
  EXPECT_FALSE(conn.dead());
}

TEST_F(ConnectionTest, LengthLimits) {
  std::vector<uint8_t> largest = header(kMaxCommandLength);
  largest.resize(kMaxCommandLength, 'x');
  std::thread writer([&] { pair.write(largest); });
  EXPECT_TRUE(readWithin(500));
  writer.join();
  EXPECT_EQ(conn.bodyLength(), static_cast<int>(kMaxBodyLength));
  EXPECT_FALSE(conn.dead());

  pair.write(header(kMaxCommandLength + 1));
  EXPECT_FALSE(readWithin());
  EXPECT_TRUE(conn.dead());
  EXPECT_FALSE(conn.peerClosed());
}

TEST_F(ConnectionTest, LengthBelowHeaderIsFatalNotAStall) {
  for (uint32_t length : {0u, 15u}) {
    SocketPair p;
    SessionConnection c;
    c.attach(std::make_unique<SMPPSocketUnencrypted>(p.gateway), p.gateway, false);
    // Followed by a valid PDU that must not be read as if nothing happened.
    std::vector<uint8_t> bytes = header(length);
    const std::vector<uint8_t> valid = PduBuilder().frame(command::kEnquireLink, 2);
    bytes.insert(bytes.end(), valid.begin(), valid.end());
    p.write(bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(c.readPDU()) << length;
    EXPECT_TRUE(c.dead()) << length;
    EXPECT_FALSE(c.readPDU());
  }
}

// A peer far ahead of the reader: the kernel holds more than the read
// buffer can take, and every read returns as much of the stream as asked for.
class BacklogSocket : public ScriptedSocket {
public:
  int read(uint8_t* buffer, size_t length) override {
    for (size_t i = 0; i < length; ++i, ++served) {
      buffer[i] = frame[served % frame.size()];
    }
    return static_cast<int>(length);
  }
  long available() override { return 4L * kReadBufferCapacity; }

  const std::vector<uint8_t> frame = PduBuilder().cstr("x").frame(command::kEnquireLink, 5);
  size_t served = 0; // octets handed out so far
};

TEST(BacklogTest, BacklogLargerThanTheReadBufferIsStillRead) {
  SessionConnection conn;
  conn.attach(std::make_unique<BacklogSocket>(), 99, false);
  // More PDUs than one buffer holds, so the reader must refill mid-frame.
  const size_t perBuffer = kReadBufferCapacity / 18;
  for (size_t i = 0; i < 2 * perBuffer + 3; ++i) {
    ASSERT_TRUE(conn.readPDU()) << i;
    ASSERT_EQ(conn.header().command_id, command::kEnquireLink);
    ASSERT_EQ(conn.bodyLength(), 2);
  }
  EXPECT_FALSE(conn.dead());
}

TEST_F(ConnectionTest, PeerCloseAfterAPDU) {
  pair.write(PduBuilder().frame(command::kUnbind, 4));
  pair.closePeer();
  ASSERT_TRUE(readWithin());
  EXPECT_FALSE(readWithin());
  EXPECT_TRUE(conn.dead());
  EXPECT_TRUE(conn.peerClosed());
  EXPECT_FALSE(conn.sendE(1, command::kEnquireLink, 0, nullptr, 0));
}

// Flushes the connection whenever its loop asks, as the servers do.
struct Flusher : EventHandler {
  SessionConnection* conn = nullptr;
  EventLoop* loop = nullptr;
  void onReadable(int) override {}
  void onWritable(int fd) override { loop->setWriting(fd, conn->flush() == FlushResult::kPending); }
};

// The production pattern: the loop's thread flushes while another thread
// appends (as the upstream thread appends responses for an ESME).
TEST_F(ConnectionTest, FullSocketBuffersOutputAndEveryPDULeavesWholeAndInOrder) {
  int small = 4096;
  ASSERT_EQ(::setsockopt(pair.gateway, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
  EventLoop loop;
  Flusher flusher;
  flusher.conn = &conn;
  flusher.loop = &loop;
  ASSERT_TRUE(loop.add(pair.gateway, &flusher));
  conn.bindLoop(&loop);
  std::vector<uint8_t> body(40000);
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<uint8_t>(i * 7);
  }
  // The peer reads nothing: every send is still taken at once.
  for (uint32_t seq = 1; seq <= 20; ++seq) {
    ASSERT_TRUE(conn.sendE(seq, command::kSubmitSM, 0, body.data(), body.size()));
  }
  loop.poll(0);
  EXPECT_GT(conn.pendingOutput(), 0u);
  EXPECT_NE(conn.outputStalledSince(), 0u);
  EXPECT_FALSE(conn.dead());

  std::vector<Frame> frames;
  std::thread reader([&] { frames = test::readFrames(pair.peer, 1000); });
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
  EXPECT_EQ(conn.pendingOutput(), 0u);
  EXPECT_EQ(conn.outputStalledSince(), 0u);
  ASSERT_EQ(frames.size(), 40u);
  uint32_t own = 0;
  uint32_t others = 100;
  for (const Frame& f : frames) {
    if (f.header.command_id == command::kSubmitSM) {
      EXPECT_EQ(f.header.sequence_number, ++own);
      EXPECT_EQ(f.body, body);
    } else {
      EXPECT_EQ(f.header.sequence_number, others++);
      EXPECT_EQ(std::count(f.body.begin(), f.body.end(), 'B'), 20000);
    }
  }
}

TEST(SendFailureTest, WouldBlockKeepsThePDUAndAFatalErrorKillsTheConnection) {
  auto owned = std::make_unique<ScriptedSocket>();
  ScriptedSocket* socket = owned.get();
  SessionConnection conn;
  conn.attach(std::move(owned), 99, false);
  const std::vector<uint8_t> body(100, 'b');
  // 5 octets, then would-block: the rest waits, nothing is retried now.
  socket->script = {{5, 0}, {-1, EAGAIN}};
  ASSERT_TRUE(conn.sendE(1, command::kSubmitSM, 0, body.data(), body.size()));
  EXPECT_EQ(socket->sends, 2);
  EXPECT_EQ(conn.pendingOutput(), 111u);
  socket->script = {{1000, 0}};
  EXPECT_EQ(conn.flush(), FlushResult::kDone);
  ASSERT_EQ(socket->written.size(), 116u);
  EXPECT_EQ(PDUHeader::decode(socket->written.data()).command_length, 116u);

  // A frame the peer would have to refuse is not sent at all.
  std::vector<uint8_t> tooBig(kMaxBodyLength + 1);
  EXPECT_FALSE(conn.sendE(3, command::kSubmitSM, 0, tooBig.data(), tooBig.size()));
  EXPECT_EQ(conn.pendingOutput(), 0u);

  // Half a frame on the wire and then a reset: the stream is corrupt for good.
  socket->script = {{7, 0}, {-1, ECONNRESET}};
  EXPECT_FALSE(conn.sendE(2, command::kSubmitSM, 0, body.data(), body.size()));
  EXPECT_TRUE(conn.dead());
  EXPECT_FALSE(conn.sendE(3, command::kEnquireLink, 0, nullptr, 0));
}

} // namespace
} // namespace quorvex::smpp
