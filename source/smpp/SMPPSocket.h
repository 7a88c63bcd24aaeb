// The byte stream under a session. All operations are non-blocking; on a
// socket without a descriptor each returns at once with its "none" value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::smpp {

class SMPPSocket {
public:
  // Does not close the descriptor: its owner does.
  virtual ~SMPPSocket() = default;

  // One receive; its result (octets, 0 at the peer's shutdown, -1 and errno).
  virtual int read(uint8_t* buffer, size_t length) = 0;
  // One send; its result (octets written, or -1 and errno).
  virtual int send(const uint8_t* buffer, size_t length) = 0;
  // Octets the kernel holds for reading.
  virtual long available() = 0;
  // The descriptor, -1 when none.
  virtual int descriptor() const = 0;
  // Input already taken from the kernel and not yet returned by read(): no
  // readiness event will report it, so the reader must come back for it.
  virtual bool holdsInput() const { return false; }
  // Says goodbye at the protocol level before the descriptor closes (a TLS
  // close_notify); never waits.
  virtual void finish() {}
};

} // namespace quorvex::smpp
