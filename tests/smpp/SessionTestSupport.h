// Sockets, clocks and peers for the session tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "smpp/Clock.h"
#include "smpp/PDUHeader.h"
#include "smpp/SMPPSocketUnencrypted.h"
#include "smpp/SessionConnection.h"

namespace quorvex::smpp::test {

// A clock moved by hand, so timers are tested without sleeping.
class ManualClock : public Clock {
public:
  uint64_t nowMicros() const override { return now; }
  void advanceSeconds(uint64_t seconds) { now += seconds * 1000000ULL; }

  uint64_t now = 1704110400000000ULL; // µs; starts at 2024-01-01 12:00 UTC
};

// Writes all of `bytes` to `fd`, which blocks until the kernel took them.
inline void writeAll(int fd, const std::vector<uint8_t>& bytes) {
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("peer write");
  }
}

// Hands `fd` to `conn` as an unencrypted socket.
inline void attach(SessionConnection& conn, int fd, bool owned = false) {
  conn.attach(std::make_unique<SMPPSocketUnencrypted>(fd), fd, owned);
}

// A connected stream socket pair: `gateway` goes to the session, `peer`
// plays the remote side (blocking).
struct SocketPair {
  SocketPair() {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      throw std::runtime_error("socketpair");
    }
  }
  ~SocketPair() {
    closePeer();
    ::close(gateway);
  }
  void closePeer() { ::close(std::exchange(peer, -1)); } // closing -1 is harmless
  void write(const std::vector<uint8_t>& bytes) const { writeAll(peer, bytes); }

  int fds[2] = {-1, -1};
  int& gateway = fds[0]; // descriptor handed to the session (it does not own it)
  int& peer = fds[1];    // descriptor of the simulated remote side
};

// One PDU as the peer received it.
struct Frame {
  PDUHeader header;          // decoded header
  std::vector<uint8_t> body; // command_length - 16 octets
};

// Reads exactly `n` octets; fails after `timeoutMs` of silence, or if the
// peer closes first.
inline bool readFully(int fd, uint8_t* out, size_t n, int timeoutMs) {
  for (size_t done = 0; done < n;) {
    pollfd p{fd, POLLIN, 0};
    const ssize_t r = ::poll(&p, 1, timeoutMs) > 0 ? ::recv(fd, out + done, n - done, 0) : 0;
    if (r <= 0) {
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

// The next frame, or a frame with command_id 0 after `timeoutMs` of silence.
inline Frame readFrame(int fd, int timeoutMs) {
  uint8_t head[16];
  Frame f;
  if (!readFully(fd, head, 16, timeoutMs)) {
    return f;
  }
  f.header = PDUHeader::decode(head);
  f.body.resize(f.header.command_length - 16);
  if (!readFully(fd, f.body.data(), f.body.size(), 1000)) {
    throw std::runtime_error("truncated frame");
  }
  return f;
}

// command_id, command_status and sequence_number of one PDU the peer received.
using Reply = std::tuple<uint32_t, uint32_t, uint32_t>;
using Replies = std::vector<Reply>;

// The headers of every frame the peer can read within `timeoutMs` of the
// last one, the frames themselves in `frames`. The sessions under test write
// synchronously, so by default nothing more is awaited.
inline Replies received(int fd, std::vector<Frame>& frames, int timeoutMs = 5) {
  Replies out;
  frames.clear();
  for (Frame f = readFrame(fd, timeoutMs); f.header.command_id != 0; f = readFrame(fd, timeoutMs)) {
    out.emplace_back(f.header.command_id, f.header.command_status, f.header.sequence_number);
    frames.push_back(std::move(f));
  }
  return out;
}

// A session of type S on a socket pair and a hand-moved clock.
template <typename S> class SessionTest : public ::testing::Test {
protected:
  void SetUp() override { attach(session.connection(), pair.gateway); }

  // Sends the PDUs, runs one pass (which must not end the session) and
  // returns what the peer received; the bodies are left in `frames`.
  template <typename... Pdus> Replies pass(const Pdus&... pdus) {
    (pair.write(pdus), ...);
    EXPECT_FALSE(session.run());
    return received(pair.peer, frames);
  }

  ManualClock clock;
  SocketPair pair;
  S session{nullptr, clock};
  std::vector<Frame> frames; // what the last pass sent
};

} // namespace quorvex::smpp::test
