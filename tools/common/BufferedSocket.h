// A TCP socket whose sends never wait: PDUs are queued in user space and
// written by flush(), which the tools call once per loop pass. A single-
// threaded loop must not sleep on a full kernel buffer, and batching many
// small PDUs into one send is what lets one thread carry thousands per second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::tools {

class BufferedSocket : public smpp::SMPPSocket {
public:
  explicit BufferedSocket(int descriptor)
      : inner_(std::make_unique<smpp::SMPPSocketUnencrypted>(descriptor)) {}
  // Over another stream (a TLS one whose handshake is complete).
  explicit BufferedSocket(std::unique_ptr<smpp::SMPPSocket> inner) : inner_(std::move(inner)) {}

  int read(uint8_t* buffer, size_t length) override { return inner_->read(buffer, length); }
  // Queues the octets; -1 with errno only once a flush has failed for good.
  int send(const uint8_t* buffer, size_t length) override;
  long available() override { return inner_->available(); }
  int descriptor() const override { return inner_->descriptor(); }
  bool holdsInput() const override { return inner_->holdsInput(); }
  void finish() override { inner_->finish(); }

  // Writes what the kernel takes now; false once the connection is broken.
  bool flush();
  // Octets queued and not yet written.
  size_t pendingOctets() const { return pending_.size() - start_; }

private:
  std::unique_ptr<smpp::SMPPSocket> inner_; // the stream the octets are written to
  std::vector<uint8_t> pending_;            // queued output; [start_, size) not yet written
  size_t start_ = 0;                        // first unwritten octet of pending_
  int error_ = 0;                           // errno of the failed flush, 0 while healthy
};

} // namespace quorvex::tools
