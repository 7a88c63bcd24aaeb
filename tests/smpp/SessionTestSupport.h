// Sockets, clocks and peers for the session tests.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "smpp/Clock.h"
#include "smpp/PDUHeader.h"

namespace quorvex::smpp::test {

// A clock moved by hand, so timers are tested without sleeping.
class ManualClock : public Clock {
public:
  uint64_t nowMicros() const override { return now; }
  void advanceSeconds(uint64_t seconds) { now += seconds * 1000000ULL; }

  uint64_t now = 1704110400000000ULL; // µs; starts at 2024-01-01 12:00 UTC
};

// Writes all of `bytes` to the blocking descriptor `fd`.
inline void writeAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      throw std::runtime_error("peer write");
    }
    done += static_cast<size_t>(n);
  }
}

// A connected stream socket pair: `gateway` goes to the session, `peer`
// plays the remote side (blocking).
struct SocketPair {
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      throw std::runtime_error("socketpair");
    }
    gateway = fds[0];
    peer = fds[1];
  }
  ~SocketPair() {
    closePeer();
    ::close(gateway);
  }
  void closePeer() {
    if (peer >= 0) {
      ::close(peer);
      peer = -1;
    }
  }
  void write(const std::vector<uint8_t>& bytes) const { writeAll(peer, bytes); }

  int gateway = -1; // descriptor handed to the session (it does not own it)
  int peer = -1;    // descriptor of the simulated remote side
};

// One PDU as the peer received it.
struct Frame {
  PDUHeader header;          // decoded header
  std::vector<uint8_t> body; // command_length - 16 octets
};

// Reads exactly `n` octets or fails after `timeoutMs` of silence.
inline bool readFully(int fd, uint8_t* out, size_t n, int timeoutMs) {
  size_t done = 0;
  while (done < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
      return false;
    }
    const ssize_t r = ::recv(fd, out + done, n - done, 0);
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

// Every frame the peer can read within `timeoutMs` of the last one.
inline std::vector<Frame> readFrames(int fd, int timeoutMs = 50) {
  std::vector<Frame> frames;
  for (Frame f = readFrame(fd, timeoutMs); f.header.command_id != 0; f = readFrame(fd, timeoutMs)) {
    frames.push_back(std::move(f));
  }
  return frames;
}

// command_id, command_status and sequence_number of one PDU the peer received.
using Reply = std::tuple<uint32_t, uint32_t, uint32_t>;
using Replies = std::vector<Reply>;

// The headers of every frame the peer can read at once: the sessions under
// test write synchronously, so nothing more is on its way.
inline Replies received(int fd, std::vector<Frame>* frames = nullptr) {
  Replies out;
  std::vector<Frame> read = readFrames(fd, 5);
  for (const Frame& f : read) {
    out.emplace_back(f.header.command_id, f.header.command_status, f.header.sequence_number);
  }
  if (frames != nullptr) {
    *frames = std::move(read);
  }
  return out;
}

} // namespace quorvex::smpp::test
