#include "smpp/SMPPConstants.h"
#include "smpp/SubmitSMRecord.h"

namespace quorvex::smpp {
namespace {

constexpr uint8_t kUdhIndicator = 0x40;
constexpr uint8_t kConcatenation8BitRef = 0x00;

// Walks the UDH information elements for element 0x00. Every octet read is
// checked against the message size, so a UDH that claims more than the
// message holds is simply not recognised.
bool fromUdh(const std::vector<uint8_t>& sm, ConcatenationInfo& info) {
  const size_t udhLength = sm[0];
  size_t p = 0;
  while (p < udhLength && p < sm.size()) {
    if (p + 2 >= sm.size()) {
      return false;
    }
    const uint8_t id = sm[p + 1];
    const uint8_t elementLength = sm[p + 2];
    if (id == kConcatenation8BitRef) {
      if (p + 4 >= sm.size()) {
        return false;
      }
      info = ConcatenationInfo{true, sm[p + 3], sm[p + 4]};
      return true;
    }
    p += elementLength + 2;
  }
  return false;
}

} // namespace

ConcatenationInfo getConcatenationInfo(const SubmitSMRecord& record) {
  ConcatenationInfo info;
  if ((record.esm_class & kUdhIndicator) != 0 && !record.short_message.empty() &&
      record.short_message[0] != 0 && fromUdh(record.short_message, info)) {
    return info;
  }
  if (record.tlvs.empty()) {
    return ConcatenationInfo{false, 1, 1};
  }
  uint8_t reference = 0;
  uint8_t total = 1;
  for (const TLV& tlv : record.tlvs) {
    if (tlv.tag == tag::kSarMsgRefNum && !tlv.value.empty()) {
      reference = tlv.value[0];
    } else if (tlv.tag == tag::kSarTotalSegments) {
      total = (tlv.length == 1 && tlv.value.size() == 1) ? tlv.value[0] : 0;
    }
  }
  return ConcatenationInfo{total != 1, reference, total};
}

} // namespace quorvex::smpp
