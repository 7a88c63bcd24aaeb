#include "upstream/ReceiptFields.h"

#include <string_view>

#include "smpp/ReceiptText.h"
#include "smpp/SMPPConstants.h"

namespace quorvex {
namespace {

std::string_view doneDateWord(std::string_view text) {
  constexpr std::string_view kLabel = "done date:";
  const size_t at = text.find(kLabel);
  if (at == std::string_view::npos) {
    return {};
  }
  size_t i = at + kLabel.size();
  while (i < text.size() && smpp::isReceiptSpace(text[i])) {
    ++i;
  }
  const size_t start = i;
  while (i < text.size() && !smpp::isReceiptSpace(text[i])) {
    ++i;
  }
  // An over-long word is no date; it is not kept, as the scan would not.
  if (i - start > smpp::kReceiptWordMax) {
    return {};
  }
  return text.substr(start, i - start);
}

} // namespace

ReceiptFields readReceipt(const DeliverSMView& view) {
  std::string_view text(reinterpret_cast<const char*>(view.shortMessage), view.smLength);
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    text = text.substr(0, nul);
  }
  smpp::ReceiptInfo info = smpp::parseReceiptText(text);
  ReceiptFields fields;
  fields.messageId = std::move(info.messageId);
  fields.state = info.state;
  fields.error = info.error;
  fields.doneDate.assign(doneDateWord(text));

  forEachTLV(view, [&fields](uint16_t tag, const uint8_t* value, size_t length) {
    if (tag == smpp::tag::kReceiptedMessageId) {
      if (length > 0 && value[length - 1] == 0) {
        --length;
      }
      fields.messageId.assign(reinterpret_cast<const char*>(value), length);
    } else if (tag == smpp::tag::kMessageState && length >= 1) {
      fields.state = value[0];
    } else if (tag == smpp::tag::kNetworkErrorCode && length == 3 && value[0] == 3) {
      fields.error = (value[1] << 8) + value[2];
    }
  });
  return fields;
}

} // namespace quorvex
