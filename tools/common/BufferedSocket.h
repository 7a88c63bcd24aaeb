// A TCP socket whose sends never wait: PDUs are queued in user space and
// written by flush(), which the tools call once per loop pass. A single-
// threaded loop must not sleep on a full kernel buffer, and batching many
// small PDUs into one send is what lets one thread carry thousands per second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::tools {

class BufferedSocket : public smpp::SMPPSocket {
public:
  explicit BufferedSocket(int descriptor) : plain_(descriptor) {}

  bool readByte(uint8_t* buffer) override { return plain_.readByte(buffer); }
  bool readExact(uint8_t* buffer, size_t length) override {
    return plain_.readExact(buffer, length);
  }
  int read(uint8_t* buffer, size_t length) override { return plain_.read(buffer, length); }
  // Queues the octets; -1 with errno only once a flush has failed for good.
  int send(const uint8_t* buffer, size_t length) override;
  long available() override { return plain_.available(); }
  int descriptor() const override { return plain_.descriptor(); }

  // Writes what the kernel takes now; false once the connection is broken.
  bool flush();
  // Octets queued and not yet written.
  size_t pendingOctets() const { return pending_.size() - start_; }

private:
  smpp::SMPPSocketUnencrypted plain_; // the descriptor's reads and raw sends
  std::vector<uint8_t> pending_;      // queued output; [start_, size) not yet written
  size_t start_ = 0;                  // first unwritten octet of pending_
  int error_ = 0;                     // errno of the failed flush, 0 while healthy
};

} // namespace quorvex::tools
