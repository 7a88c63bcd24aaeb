#include "smsc_sim/DeliverBodies.h"

#include <cstdio>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"
#include "smpp/TLV.h"

namespace quorvex::tools {
namespace {

void putCString(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

// The mandatory deliver_sm fields up to and including data_coding; the
// times are empty as an SMSC sends them.
void putHead(std::vector<uint8_t>& out, uint8_t sourceTon, uint8_t sourceNpi,
             const std::string& source, uint8_t destTon, uint8_t destNpi,
             const std::string& destination, uint8_t esmClass, uint8_t dataCoding) {
  putCString(out, "");
  out.push_back(sourceTon);
  out.push_back(sourceNpi);
  putCString(out, source);
  out.push_back(destTon);
  out.push_back(destNpi);
  putCString(out, destination);
  out.push_back(esmClass);
  out.push_back(0); // protocol_id
  out.push_back(0); // priority_flag
  putCString(out, "");
  putCString(out, "");
  out.push_back(0); // registered_delivery
  out.push_back(0); // replace_if_present_flag
  out.push_back(dataCoding);
  out.push_back(0); // sm_default_msg_id
}

} // namespace

std::string formatMessageId(uint64_t number, IdForm form) {
  char text[24];
  std::snprintf(text, sizeof(text), form == IdForm::kHex ? "%llx" : "%llu",
                static_cast<unsigned long long>(number));
  return text;
}

std::vector<uint8_t> buildReceiptBody(const smpp::SubmitSMRecord& submit, const std::string& id,
                                      int state, uint16_t error, ReceiptForm form) {
  std::vector<uint8_t> body;
  body.reserve(200);
  putHead(body, submit.dest_addr_ton, submit.dest_addr_npi, submit.destination_addr,
          submit.source_addr_ton, submit.source_addr_npi, submit.source_addr, kReceiptEsmClass, 0);
  if (form == ReceiptForm::kText || form == ReceiptForm::kBoth) {
    // The text's error field is three digits of one octet.
    const std::string text =
        smpp::formatReceiptText(id, state, static_cast<uint8_t>(error > 255 ? 255 : error));
    body.push_back(static_cast<uint8_t>(text.size() + 1));
    putCString(body, text);
  } else {
    body.push_back(0);
  }
  if (form == ReceiptForm::kTlv || form == ReceiptForm::kBoth) {
    std::vector<uint8_t> idValue(id.begin(), id.end());
    idValue.push_back(0);
    smpp::encodeTLV(body, smpp::tag::kReceiptedMessageId, idValue);
    smpp::encodeTLV(body, smpp::tag::kMessageState, {static_cast<uint8_t>(state)});
    // Network type 3 (GSM), then the error as two octets.
    smpp::encodeTLV(body, smpp::tag::kNetworkErrorCode,
                    {3, static_cast<uint8_t>(error >> 8), static_cast<uint8_t>(error)});
  }
  return body;
}

bool buildMOBody(const std::string& source, const std::string& destination,
                 const std::vector<uint8_t>& message, uint8_t dataCoding,
                 std::vector<uint8_t>& body) {
  if (message.size() > 254 || source.size() >= smpp::limit::kAddress ||
      destination.size() >= smpp::limit::kAddress) {
    return false;
  }
  body.clear();
  putHead(body, 1, 1, source, 1, 1, destination, 0, dataCoding);
  body.push_back(static_cast<uint8_t>(message.size()));
  body.insert(body.end(), message.begin(), message.end());
  return true;
}

bool utf8ToUcs2(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= text.size()) {
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    i += static_cast<size_t>(extra) + 1;
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    auto put = [&out](uint32_t unit) {
      out.push_back(static_cast<uint8_t>(unit >> 8));
      out.push_back(static_cast<uint8_t>(unit));
    };
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 + (code >> 10));
      put(0xDC00 + (code & 0x3FF));
    } else {
      put(code);
    }
  }
  return true;
}

} // namespace quorvex::tools
