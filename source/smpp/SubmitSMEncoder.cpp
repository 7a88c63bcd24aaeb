#include "smpp/SubmitSMEncoder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SMPPTime.h"

namespace quorvex::smpp {
namespace {

bool putOctet(uint8_t* out, size_t capacity, size_t& index, uint8_t value) {
  if (index >= capacity) {
    return false;
  }
  out[index++] = value;
  return true;
}

bool putTime(uint8_t* out, size_t capacity, size_t& index, uint64_t micros) {
  char text[kSMPPTimeBuffer];
  const size_t length = formatSMPPAbsoluteTime(micros, text);
  return appendCString(out, capacity, index, std::string_view(text, length));
}

// A TLV goes out with its own length field; a value shorter than that field
// is padded with zeros so the announced length always matches the octets.
bool putTLV(uint8_t* out, size_t capacity, size_t& index, const TLV& tlv) {
  const size_t length = tlv.length & 0xFFFF;
  if (capacity - index < 4 + length) {
    return false;
  }
  out[index] = static_cast<uint8_t>(tlv.tag >> 8);
  out[index + 1] = static_cast<uint8_t>(tlv.tag);
  out[index + 2] = static_cast<uint8_t>(length >> 8);
  out[index + 3] = static_cast<uint8_t>(length);
  index += 4;
  const size_t copied = std::min(length, tlv.value.size());
  if (copied > 0) {
    std::memcpy(out + index, tlv.value.data(), copied);
  }
  std::memset(out + index + copied, 0, length - copied);
  index += length;
  return true;
}

} // namespace

size_t encodeSubmitSM(const SubmitSMRecord& r, uint8_t* out, size_t capacity) {
  // sm_length is one octet: a longer message would announce a wrong length
  // and desynchronise the SMSC's parse of everything after it.
  if (r.short_message.size() > 255) {
    return 0;
  }
  size_t i = 0;
  const bool ok =
      appendCString(out, capacity, i, r.service_type) &&
      putOctet(out, capacity, i, r.source_addr_ton) &&
      putOctet(out, capacity, i, r.source_addr_npi) &&
      appendCString(out, capacity, i, r.source_addr) &&
      putOctet(out, capacity, i, r.dest_addr_ton) && putOctet(out, capacity, i, r.dest_addr_npi) &&
      appendCString(out, capacity, i, r.destination_addr) &&
      putOctet(out, capacity, i, r.esm_class) && putOctet(out, capacity, i, r.protocol_id) &&
      putOctet(out, capacity, i, r.priority_flag) &&
      putTime(out, capacity, i, r.schedule_delivery_time) &&
      putTime(out, capacity, i, r.validity_period) &&
      putOctet(out, capacity, i, r.registered_delivery) &&
      putOctet(out, capacity, i, r.replace_if_present_flag) &&
      putOctet(out, capacity, i, r.data_coding) && putOctet(out, capacity, i, 0) &&
      putOctet(out, capacity, i, static_cast<uint8_t>(r.short_message.size())) &&
      capacity - i >= r.short_message.size();
  if (!ok) {
    return 0;
  }
  if (!r.short_message.empty()) {
    std::memcpy(out + i, r.short_message.data(), r.short_message.size());
    i += r.short_message.size();
  }
  for (const TLV& tlv : r.tlvs) {
    if (!putTLV(out, capacity, i, tlv)) {
      return 0;
    }
  }
  return i;
}

uint8_t* submitSMEncodeBuffer() {
  thread_local uint8_t buffer[kMaxCommandLength];
  return buffer;
}

} // namespace quorvex::smpp
