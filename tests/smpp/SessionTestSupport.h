// Sockets, clocks and peers for the session tests.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "smpp/Clock.h"
#include "smpp/PDUHeader.h"
#include "smpp/SMPPSocket.h"
#include "support/TestProcess.h"

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
    if (gateway >= 0) {
      ::close(gateway);
    }
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

// A socket whose send results are scripted; reads find nothing.
class ScriptedSocket : public SMPPSocket {
public:
  struct Result {
    int value; // what send returns (octets or -1)
    int error; // errno when value is -1
  };

  int read(uint8_t*, size_t) override {
    errno = EAGAIN;
    return -1;
  }
  int send(const uint8_t* buffer, size_t length) override {
    ++sends;
    Result r = script.empty() ? fallback : script.front();
    if (!script.empty()) {
      script.pop_front();
    }
    if (r.value < 0) {
      errno = r.error;
      return -1;
    }
    const size_t n = std::min(static_cast<size_t>(r.value), length);
    written.insert(written.end(), buffer, buffer + n);
    return static_cast<int>(n);
  }
  long available() override { return 0; }
  int descriptor() const override { return 99; }

  std::deque<Result> script;    // results in order of the calls
  Result fallback{-1, EAGAIN};  // result once the script is used up
  int sends = 0;                // send calls so far
  std::vector<uint8_t> written; // octets "sent"
};

// What "application.log" gained since construction.
class LogTail {
public:
  LogTail() : start_(size()) {}
  std::string text() const {
    std::ifstream in("application.log");
    in.seekg(static_cast<std::streamoff>(start_));
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }

private:
  static size_t size() {
    std::ifstream in("application.log", std::ios::ate);
    return in ? static_cast<size_t>(in.tellg()) : 0;
  }
  size_t start_; // file size when the tail started
};

} // namespace quorvex::smpp::test
