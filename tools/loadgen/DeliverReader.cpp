#include "loadgen/DeliverReader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "smpp/CString.h"
#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "smpp/TLV.h"

namespace quorvex::tools {

bool readDeliver(const uint8_t* body, size_t length, DeliverSummary& out) {
  size_t i = 0;
  std::string_view word;
  auto skip = [&](size_t octets) {
    i += octets;
    return i <= length;
  };
  // service_type, source ton/npi/addr, destination ton/npi/addr.
  if (!smpp::readCStringView(body, length, i, word, smpp::limit::kServiceType) || !skip(2) ||
      !smpp::readCStringView(body, length, i, word, smpp::limit::kAddress) || !skip(2) ||
      !smpp::readCStringView(body, length, i, word, smpp::limit::kAddress) || i >= length) {
    return false;
  }
  const uint8_t esmClass = body[i];
  // esm_class, protocol_id, priority_flag, then the two times.
  if (!skip(3) || !smpp::readCStringView(body, length, i, word, smpp::limit::kTime) ||
      !smpp::readCStringView(body, length, i, word, smpp::limit::kTime) || !skip(4) ||
      i >= length) {
    return false;
  }
  const size_t smLength = body[i++];
  if (i + smLength > length) {
    return false;
  }
  out.receipt = (esmClass & 0x24) != 0;
  out.messageId.clear();
  if (!out.receipt) {
    return true;
  }
  const std::string_view text(reinterpret_cast<const char*>(body + i), smLength);
  out.messageId = smpp::parseReceiptText(text).messageId;
  std::vector<smpp::TLV> tlvs;
  if (smpp::parseTLVs(body + i + smLength, length - i - smLength, tlvs)) {
    for (const auto& tlv : tlvs) {
      if (tlv.tag == smpp::tag::kReceiptedMessageId) {
        std::string id(tlv.value.begin(), tlv.value.end());
        if (!id.empty() && id.back() == '\0') {
          id.pop_back();
        }
        out.messageId = id;
      }
    }
  }
  return true;
}

std::string hexFromDecimal(const std::string& id) {
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
    return {};
  }
  errno = 0;
  const unsigned long long value = std::strtoull(id.c_str(), nullptr, 10);
  if (errno != 0) {
    return {};
  }
  char text[24];
  std::snprintf(text, sizeof(text), "%llx", value);
  return text;
}

std::string decimalFromHex(const std::string& id) {
  if (id.empty() || id.size() > 16 ||
      id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return {};
  }
  char text[24];
  std::snprintf(text, sizeof(text), "%llu", std::strtoull(id.c_str(), nullptr, 16));
  return text;
}

} // namespace quorvex::tools
