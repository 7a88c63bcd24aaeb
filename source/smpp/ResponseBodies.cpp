#include "smpp/ResponseBodies.h"

#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"
#include "smpp/TLV.h"

namespace quorvex::smpp {

uint8_t negotiateInterfaceVersion(uint8_t requested) {
  if (requested == kInterfaceVersion33 || requested == kInterfaceVersion50) {
    return requested;
  }
  return kInterfaceVersion34;
}

size_t buildBindResponseBody(uint8_t* out, size_t capacity, std::string_view systemId,
                             uint8_t negotiatedVersion) {
  size_t index = 0;
  if (!appendCString(out, capacity, index, systemId)) {
    return 0;
  }
  if (negotiatedVersion != kInterfaceVersion33 &&
      !encodeTLV(out, capacity, index, tag::kScInterfaceVersion, &negotiatedVersion, 1)) {
    return 0;
  }
  return index;
}

uint32_t submitResponseCommandId(uint32_t requestCommandId) {
  return requestCommandId == command::kDataSM ? command::kDataSMResp : command::kSubmitSMResp;
}

size_t buildSubmitResponseBody(uint8_t* out, size_t capacity, std::string_view messageId) {
  size_t index = 0;
  return appendCString(out, capacity, index, messageId) ? index : 0;
}

size_t buildQueryResponseBody(uint8_t* out, size_t capacity, std::string_view messageId,
                              std::string_view finalDate, uint8_t messageState, uint8_t errorCode) {
  size_t index = 0;
  if (!appendCString(out, capacity, index, messageId) ||
      !appendCString(out, capacity, index, finalDate) || capacity - index < 2) {
    return 0;
  }
  out[index++] = messageState;
  out[index++] = errorCode;
  return index;
}

} // namespace quorvex::smpp
