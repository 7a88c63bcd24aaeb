// One call-detail record per submitted message, and the CSV text of records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorvex {

// What the CDR manager records (the numeric values are the configuration's).
enum class CDRMode : int32_t {
  NONE = 0,      // nothing is recorded
  CORRELATE = 1, // one row per message, once it is finished
  OPERATION = 2, // one row per submit response and one per receipt
};

// Field names are the CSV column names.
struct CDRRecord {
  std::string messageId;              // SMSC message id from submit_sm_resp; empty until then
  std::string sourceAddr;             // source_addr of the submit
  std::string destAddr;               // destination_addr of the submit
  int64_t submitTime = 0;             // ns since the epoch the record was opened; 0 = unset
  int64_t messageIdTime = 0;          // ns when submit_sm_resp was processed; 0 = unset
  int64_t dlrReceivedTime = 0;        // ns when the receipt was processed; 0 = unset
  std::string dlrDoneDate;            // "done date" text of the receipt as received
  uint32_t submitStatus = 0;          // command_status of a negative submit_sm_resp
  int64_t deliveryTime = 0;           // ns, equal to dlrReceivedTime
  uint32_t deliveryStatus = 0;        // message state from the receipt; 0 = none yet
  uint32_t errorCode = 0;             // error number from the receipt
  std::string esmeId;                 // system_id of the downstream session
  std::string esmeIp;                 // dotted IPv4 address of the downstream session
  std::string smscName;               // upstream target name
  uint64_t smscId = 0;                // smscid of the upstream bind
  uint64_t messageLength = 0;         // short_message length in octets
  uint8_t dataCoding = 0;             // data_coding of the submit
  uint8_t esmClass = 0;               // esm_class of the submit
  uint8_t registeredDelivery = 0;     // registered_delivery of the submit
  bool isConcatenated = false;        // one part of a concatenated message
  uint8_t concatRef = 0;              // concatenation reference; 0 when not concatenated
  uint8_t concatTotal = 0;            // number of parts; 0 when not concatenated
  uint8_t concatPart = 0;             // this part's number; 0 when not concatenated
  uint64_t seqNo = 0;                 // sequence_number of the submit_sm sent upstream
  std::string submitTimeISO8601;      // submitTime as UTC text
  std::string messageIdTimeISO8601;   // messageIdTime as UTC text
  std::string dlrReceivedTimeISO8601; // dlrReceivedTime as UTC text
  std::string deliveryTimeISO8601;    // deliveryTime as UTC text

  // Derives the four ISO texts from the four times (0 gives the epoch); the
  // writer calls it just before the row is written.
  void refreshIsoTimes();
};

// A record opened for a submit and not yet complete; owned by whoever holds
// the submit meanwhile.
using OpenCDR = std::unique_ptr<CDRRecord>;

// The header line of a CDR file, without its line feed.
std::string cdrCsvHeader();

// The row of `record` as `mode` lays it out, without its line feed; empty in
// mode NONE. Text fields holding a comma, a double quote or a line break are
// quoted as RFC 4180 says; every other value is written bare.
std::string cdrCsvRow(const CDRRecord& record, CDRMode mode);
// The same row and its line end appended to `out` (nothing for NONE); the
// time texts come from a per-second cache, not from the record's fields.
void appendCdrCsvRow(std::string& out, const CDRRecord& record, CDRMode mode);

} // namespace quorvex
