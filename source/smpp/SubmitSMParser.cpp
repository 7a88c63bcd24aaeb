#include "smpp/SubmitSMParser.h"

#include <string_view>

#include "app/Log.h"
#include "smpp/CString.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SMPPTime.h"

namespace quorvex::smpp {
namespace {

constexpr uint64_t kMicrosPerSecond = 1000000ULL;
// Validity given to a submit that names none.
constexpr uint64_t kDefaultValidityMicros = 86400ULL * kMicrosPerSecond;

// Sequential reader over one body; every read is bounded by the body end.
class BodyReader {
public:
  BodyReader(const uint8_t* body, size_t length) : body_(body), length_(length) {}

  bool octet(uint8_t& out) {
    if (index_ >= length_) {
      return false;
    }
    out = body_[index_++];
    return true;
  }
  bool text(std::string& out, size_t maxLength) {
    return readCString(body_, length_, index_, out, maxLength);
  }
  bool view(std::string_view& out, size_t maxLength) {
    return readCStringView(body_, length_, index_, out, maxLength);
  }
  bool bytes(std::vector<uint8_t>& out, size_t count) {
    if (length_ - index_ < count) {
      return false;
    }
    out.assign(body_ + index_, body_ + index_ + count);
    index_ += count;
    return true;
  }
  const uint8_t* rest() const { return body_ + index_; }
  size_t remaining() const { return length_ - index_; }

private:
  const uint8_t* body_; // the PDU body
  size_t length_;       // octets in the body
  size_t index_ = 0;    // next octet to read
};

// The times are views into the body, which holds each one's NUL, so they
// can be handed to the scanners as C strings.
uint64_t convertTime(std::string_view text, uint64_t now) {
  if (text.back() == 'R') {
    return now + static_cast<uint64_t>(parseSMPPRelativeTime(text.data())) * kMicrosPerSecond;
  }
  const int64_t seconds = parseSMPPAbsoluteTime(text.data());
  // Offsets can push a 1970 time before the epoch; it is still in the past.
  return seconds <= 0 ? 0 : static_cast<uint64_t>(seconds) * kMicrosPerSecond;
}

bool readHead(BodyReader& in, SubmitSMRecord& r) {
  return in.text(r.service_type, limit::kServiceType) && in.octet(r.source_addr_ton) &&
         in.octet(r.source_addr_npi) && in.text(r.source_addr, limit::kAddress) &&
         in.octet(r.dest_addr_ton) && in.octet(r.dest_addr_npi) &&
         in.text(r.destination_addr, limit::kAddress) && in.octet(r.esm_class);
}

// One trailing 0x00 is tolerated as padding; anything else must be TLVs.
bool readOptional(BodyReader& in, SubmitSMRecord& r) {
  if (in.remaining() == 0 || (in.remaining() == 1 && in.rest()[0] == 0)) {
    return true;
  }
  return parseTLVs(in.rest(), in.remaining(), r.tlvs);
}

} // namespace

bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t bodyLength,
                   SubmitSMRecord& record, bool rejectPastTimes, uint32_t& status,
                   uint64_t parseStartMicros) {
  if (commandId != command::kSubmitSM && commandId != command::kDataSM) {
    return false;
  }
  status = status::kSubmitFailed;
  BodyReader in(body, bodyLength);
  SubmitSMRecord r;
  r.command_id = commandId;
  if (!readHead(in, r)) {
    return false;
  }
  if (commandId == command::kDataSM) {
    if (!in.octet(r.registered_delivery) || !in.octet(r.data_coding) || !readOptional(in, r)) {
      return false;
    }
    // data_sm carries no validity; 0 leaves the SMSC's default in force.
    record = std::move(r);
    return true;
  }

  std::string_view schedule;
  std::string_view validity;
  uint8_t smLength = 0;
  if (!in.octet(r.protocol_id) || !in.octet(r.priority_flag) || !in.view(schedule, limit::kTime) ||
      !in.view(validity, limit::kTime) || !in.octet(r.registered_delivery) ||
      !in.octet(r.replace_if_present_flag) || !in.octet(r.data_coding) ||
      !in.octet(r.sm_default_msg_id) || !in.octet(smLength) ||
      !in.bytes(r.short_message, smLength) || !readOptional(in, r)) {
    return false;
  }

  r.schedule_delivery_time = schedule.empty() ? 0 : convertTime(schedule, parseStartMicros);
  r.validity_period = validity.empty() ? parseStartMicros + kDefaultValidityMicros
                                       : convertTime(validity, parseStartMicros);
  if (rejectPastTimes) {
    if (!schedule.empty() && r.schedule_delivery_time < parseStartMicros) {
      status = status::kInvalidSchedule;
      return false;
    }
    if (r.validity_period < parseStartMicros) {
      status = status::kInvalidExpiry;
      return false;
    }
  }
  record = std::move(r);
  return true;
}

bool parseSubmitSM(uint32_t commandId, const uint8_t* body, size_t bodyLength,
                   SubmitSMRecord& record, bool rejectPastTimes, uint32_t& status) {
  return parseSubmitSM(commandId, body, bodyLength, record, rejectPastTimes, status,
                       passNowMicros());
}

} // namespace quorvex::smpp
