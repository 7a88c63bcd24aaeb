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

  // One octet; true when it came.
  virtual bool readByte(uint8_t* buffer) = 0;
  // One receive; true when exactly `length` octets came.
  virtual bool readExact(uint8_t* buffer, size_t length) = 0;
  // One receive; its result (octets, 0 at the peer's shutdown, -1 and errno).
  virtual int read(uint8_t* buffer, size_t length) = 0;
  // One send; its result (octets written, or -1 and errno).
  virtual int send(const uint8_t* buffer, size_t length) = 0;
  // Octets the kernel holds for reading.
  virtual long available() = 0;
  // The descriptor, -1 when none.
  virtual int descriptor() const = 0;
};

} // namespace quorvex::smpp
