#include "upstream/DeliverSMView.h"

#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"

namespace quorvex {
namespace {

bool octet(const uint8_t* body, size_t length, size_t& i, uint8_t& out) {
  if (i >= length) {
    return false;
  }
  out = body[i++];
  return true;
}

} // namespace

bool decodeDeliverSM(const uint8_t* body, size_t length, DeliverSMView& v) {
  namespace limit = smpp::limit;
  size_t i = 0;
  uint8_t smLength = 0;
  const bool ok =
      smpp::readCStringView(body, length, i, v.serviceType, limit::kServiceType) &&
      octet(body, length, i, v.sourceTon) && octet(body, length, i, v.sourceNpi) &&
      smpp::readCStringView(body, length, i, v.sourceAddr, limit::kAddress) &&
      octet(body, length, i, v.destTon) && octet(body, length, i, v.destNpi) &&
      smpp::readCStringView(body, length, i, v.destinationAddr, limit::kAddress) &&
      octet(body, length, i, v.esmClass) && octet(body, length, i, v.protocolId) &&
      octet(body, length, i, v.priorityFlag) &&
      smpp::readCStringView(body, length, i, v.scheduleTime, limit::kTime) &&
      smpp::readCStringView(body, length, i, v.validityPeriod, limit::kTime) &&
      octet(body, length, i, v.registeredDelivery) && octet(body, length, i, v.replaceIfPresent) &&
      octet(body, length, i, v.dataCoding) && octet(body, length, i, v.smDefaultMsgId) &&
      octet(body, length, i, smLength) && length - i >= smLength;
  if (!ok) {
    return false;
  }
  v.shortMessage = body + i;
  v.smLength = smLength;
  i += smLength;
  v.tlvs = body + i;
  v.tlvLength = length - i;
  // A TLV header or value cut by the body's end is a field running past it.
  size_t t = 0;
  while (t < v.tlvLength) {
    if (v.tlvLength - t < 4) {
      return false;
    }
    const size_t valueLength = smpp::readU16(v.tlvs + t + 2);
    if (v.tlvLength - t - 4 < valueLength) {
      return false;
    }
    t += 4 + valueLength;
  }
  return true;
}

} // namespace quorvex
