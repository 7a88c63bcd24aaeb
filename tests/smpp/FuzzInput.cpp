#include "FuzzInput.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPSessionServer.h"
#include "smpp/SubmitSMEncoder.h"
#include "smpp/SubmitSMParser.h"

namespace quorvex::smpp::test {
namespace {

// Serves the input in chunks whose sizes come from the input itself, then
// reports the peer's shutdown; everything sent is discarded.
class MemorySocket : public SMPPSocket {
public:
  MemorySocket(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int read(uint8_t* buffer, size_t length) override {
    if (at_ >= size_) {
      return 0;
    }
    const size_t chunk = std::min({length, size_ - at_, static_cast<size_t>(1 + data_[at_] * 7)});
    std::copy(data_ + at_, data_ + at_ + chunk, buffer);
    at_ += chunk;
    return static_cast<int>(chunk);
  }
  int send(const uint8_t*, size_t length) override { return static_cast<int>(length); }
  long available() override { return static_cast<long>(size_ - at_); }
  int descriptor() const override { return 1000; }

private:
  const uint8_t* data_; // the fuzz input
  size_t size_;         // its length
  size_t at_ = 0;       // next octet to serve
};

// Accepts every bind and submit so the whole dispatcher is reachable.
class OpenServer : public SMPPSessionServer {
public:
  int onBindAuthorisation(uint64_t, const std::string&, uint8_t, const std::string&,
                          const std::string&, const std::string&, uint32_t, const char*,
                          uint32_t) override {
    return kBindAccept;
  }
  int onSubmitSM(const std::string&, const SubmitSMRecord& record, uint32_t, uint32_t,
                 std::string& messageId, uint32_t&) override {
    getConcatenationInfo(record);
    encodeSubmitSM(record, submitSMEncodeBuffer(), kMaxBodyLength);
    messageId = "id";
    return kSubmitAccepted;
  }
};

} // namespace

void fuzzOneInput(const uint8_t* data, size_t size) {
  for (uint32_t id : {command::kSubmitSM, command::kDataSM}) {
    SubmitSMRecord record;
    uint32_t status = 0;
    if (parseSubmitSM(id, data, size, record, (size & 1) != 0, status, 1704110400000000ULL)) {
      getConcatenationInfo(record);
      encodeSubmitSM(record, submitSMEncodeBuffer(), kMaxBodyLength);
    }
  }
  parseReceiptText(std::string_view(reinterpret_cast<const char*>(data), size));

  OpenServer server;
  server.connection().attach(std::make_unique<MemorySocket>(data, size), 1000, false);
  // Each pass reads at most one chunk; the input is finite, so this ends.
  for (size_t pass = 0; pass <= size + 1; ++pass) {
    if (server.run()) {
      break;
    }
  }
}

} // namespace quorvex::smpp::test
