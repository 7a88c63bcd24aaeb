// A plain TCP socket on a connected descriptor.
#pragma once

#include "smpp/SMPPSocket.h"

namespace quorvex::smpp {

class SMPPSocketUnencrypted : public SMPPSocket {
public:
  explicit SMPPSocketUnencrypted(int descriptor) : descriptor_(descriptor) {}

  int read(uint8_t* buffer, size_t length) override;
  int send(const uint8_t* buffer, size_t length) override;
  long available() override;
  int descriptor() const override { return descriptor_; }

private:
  int descriptor_; // connected socket, -1 = none
};

} // namespace quorvex::smpp
