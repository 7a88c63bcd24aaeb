#include "loadgen/RequestBody.h"

#include "smpp/SMPPConstants.h"
#include "smpp/SubmitSMEncoder.h"
#include "smpp/TLV.h"

namespace quorvex::tools {
namespace {

// message_payload: the data_sm's text.
constexpr uint16_t kMessagePayload = 0x0424;

void putCString(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

} // namespace

std::vector<uint8_t> buildRequestBody(const LoadOptions& options) {
  const uint8_t registered = options.receipts ? 1 : 0;
  std::vector<uint8_t> body;
  if (options.dataSM) {
    putCString(body, "");
    body.insert(body.end(), {1, 1});
    putCString(body, options.source);
    body.insert(body.end(), {1, 1});
    putCString(body, options.destination);
    body.insert(body.end(), {0, registered, 0}); // esm_class, registered_delivery, data_coding
    smpp::encodeTLV(body, kMessagePayload,
                    std::vector<uint8_t>(options.text.begin(), options.text.end()));
    return body;
  }
  smpp::SubmitSMRecord record;
  record.source_addr_ton = 1;
  record.source_addr_npi = 1;
  record.source_addr = options.source;
  record.dest_addr_ton = 1;
  record.dest_addr_npi = 1;
  record.destination_addr = options.destination;
  record.registered_delivery = registered;
  record.short_message.assign(options.text.begin(), options.text.end());
  body.resize(smpp::kMaxBodyLength);
  body.resize(smpp::encodeSubmitSM(record, body.data(), body.size()));
  return body;
}

uint32_t requestCommandId(const LoadOptions& options) {
  return options.dataSM ? smpp::command::kDataSM : smpp::command::kSubmitSM;
}

} // namespace quorvex::tools
