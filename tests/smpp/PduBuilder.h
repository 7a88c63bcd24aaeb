// Builds PDU bodies and frames for the tests, field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smpp/PDUHeader.h"

namespace quorvex::smpp::test {

class PduBuilder {
public:
  PduBuilder& octet(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  PduBuilder& cstr(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
    return *this;
  }
  PduBuilder& raw(const std::vector<uint8_t>& v) {
    bytes_.insert(bytes_.end(), v.begin(), v.end());
    return *this;
  }
  PduBuilder& tlv(uint16_t tag, const std::vector<uint8_t>& value) {
    octet(tag >> 8).octet(tag & 0xFF).octet(value.size() >> 8).octet(value.size() & 0xFF);
    return raw(value);
  }
  const std::vector<uint8_t>& body() const { return bytes_; }

  // The body framed with a header whose command_length is the true length.
  std::vector<uint8_t> frame(uint32_t commandId, uint32_t sequence, uint32_t status = 0) const {
    std::vector<uint8_t> out(16 + bytes_.size());
    PDUHeader{static_cast<uint32_t>(out.size()), commandId, status, sequence}.encode(out.data());
    std::copy(bytes_.begin(), bytes_.end(), out.begin() + 16);
    return out;
  }

private:
  std::vector<uint8_t> bytes_; // the body built so far
};

// A submit_sm body with the given times and short message; no TLVs.
inline PduBuilder submitBody(const std::string& schedule = "", const std::string& validity = "",
                             const std::vector<uint8_t>& sm = {'h', 'i'},
                             const std::string& serviceType = "") {
  PduBuilder b;
  b.cstr(serviceType).octet(1).octet(1).cstr("4915550001").octet(1).octet(1).cstr("4915550002");
  b.octet(0).octet(0).octet(0).cstr(schedule).cstr(validity);
  b.octet(1).octet(0).octet(0).octet(0).octet(static_cast<uint8_t>(sm.size())).raw(sm);
  return b;
}

// A data_sm body (addresses "1" and "2"), TLVs to be appended.
inline PduBuilder dataSMBody() {
  PduBuilder b;
  b.cstr("").octet(1).octet(1).cstr("1").octet(1).octet(1).cstr("2").octet(0).octet(0).octet(0);
  return b;
}

} // namespace quorvex::smpp::test
