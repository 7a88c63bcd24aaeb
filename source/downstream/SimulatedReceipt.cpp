#include "downstream/SimulatedReceipt.h"

#include <cstdlib>

#include "smpp/CString.h"
#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "smpp/TLV.h"

namespace quorvex {
namespace {

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr uint8_t kEsmClassReceipt = 0x04;
// network_error_code network type: GSM.
constexpr uint8_t kNetworkTypeGSM = 3;

bool appendOctet(uint8_t* out, size_t capacity, size_t& index, uint8_t value) {
  if (index >= capacity) {
    return false;
  }
  out[index++] = value;
  return true;
}

} // namespace

void makeSimulatedMessageId(std::string& out) {
  out.resize(kSimulatedMessageIdLength);
  for (char& c : out) {
    c = kAlphabet[random() % 62];
  }
}

size_t buildSimulatedReceipt(const smpp::SubmitSMRecord& submit, const std::string& messageId,
                             uint8_t interfaceVersion, uint8_t* out, size_t capacity) {
  using smpp::appendCString;
  const std::string text = smpp::formatReceiptText(messageId, smpp::kStateDelivered, 0);
  const size_t smLength = text.size() + 1;
  size_t i = 0;
  bool ok = appendCString(out, capacity, i, "") &&
            appendOctet(out, capacity, i, submit.dest_addr_ton) &&
            appendOctet(out, capacity, i, submit.dest_addr_npi) &&
            appendCString(out, capacity, i, submit.destination_addr) &&
            appendOctet(out, capacity, i, submit.source_addr_ton) &&
            appendOctet(out, capacity, i, submit.source_addr_npi) &&
            appendCString(out, capacity, i, submit.source_addr) &&
            appendOctet(out, capacity, i, kEsmClassReceipt) && appendOctet(out, capacity, i, 0) &&
            appendOctet(out, capacity, i, 0) && appendCString(out, capacity, i, "") &&
            appendCString(out, capacity, i, "") && appendOctet(out, capacity, i, 0) &&
            appendOctet(out, capacity, i, 0) && appendOctet(out, capacity, i, 0) &&
            appendOctet(out, capacity, i, 0) && smLength <= 255 &&
            appendOctet(out, capacity, i, static_cast<uint8_t>(smLength)) &&
            appendCString(out, capacity, i, text);
  if (ok && interfaceVersion > smpp::kInterfaceVersion33) {
    const uint8_t state = smpp::kStateDelivered;
    const uint8_t networkError[3] = {kNetworkTypeGSM, 0, 0};
    ok = smpp::encodeTLV(out, capacity, i, smpp::tag::kMessageState, &state, 1) &&
         smpp::encodeTLV(out, capacity, i, smpp::tag::kNetworkErrorCode, networkError, 3) &&
         smpp::encodeTLV(out, capacity, i, smpp::tag::kReceiptedMessageId,
                         reinterpret_cast<const uint8_t*>(messageId.c_str()), messageId.size() + 1);
  }
  return ok ? i : 0;
}

} // namespace quorvex
