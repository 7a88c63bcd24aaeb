#include "cdr/CDRRecord.h"

#include <time.h>

#include <charconv>

namespace quorvex {
namespace {

// Rows of one batch mostly share their seconds, but one row carries up to
// four different times (two of them often 0): a few slots, chosen by the
// second, keep each of them formatted once per second instead of per row.
const std::string& isoTime(int64_t nanos) {
  struct Slot {
    time_t seconds = -1; // second the text shows, -1 = empty
    std::string text;    // its ISO 8601 text
  };
  thread_local Slot slots[8];
  const time_t seconds = static_cast<time_t>(nanos / 1000000000);
  Slot& slot = slots[static_cast<uint64_t>(seconds) & 7];
  if (slot.seconds != seconds) {
    struct tm parts;
    char buffer[32] = {0};
    if (gmtime_r(&seconds, &parts) != nullptr) {
      strftime(buffer, sizeof(buffer), "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    slot.seconds = seconds;
    slot.text = buffer;
  }
  return slot.text;
}

enum Column {
  kMessageId,
  kSourceAddr,
  kDestAddr,
  kSubmitTime,
  kSubmitTimeIso,
  kMessageIdTime,
  kMessageIdTimeIso,
  kDlrReceivedTime,
  kDlrReceivedTimeIso,
  kDlrDoneDate,
  kSubmitStatus,
  kDeliveryTime,
  kDeliveryTimeIso,
  kDeliveryStatus,
  kErrorCode,
  kEsmeId,
  kEsmeIp,
  kSmscId,
  kSmscName,
  kMessageLength,
  kDataCoding,
  kEsmClass,
  kRegisteredDelivery,
  kIsConcatenated,
  kConcatRef,
  kConcatTotal,
  kConcatPart,
  kColumns
};

constexpr uint32_t bit(int column) { return 1u << column; }
// Columns first..last inclusive.
constexpr uint32_t range(int first, int last) { return bit(last + 1) - bit(first); }

// Columns each layout fills; the others stay empty.
constexpr uint32_t kAllColumns = range(kMessageId, kConcatPart);
constexpr uint32_t kCorrelateNak =
    range(kSourceAddr, kSubmitTimeIso) | bit(kSubmitStatus) | range(kEsmeId, kConcatPart);
constexpr uint32_t kSubmitRow =
    range(kMessageId, kMessageIdTimeIso) | bit(kSubmitStatus) | range(kEsmeId, kConcatPart);
constexpr uint32_t kReceiptRow =
    bit(kMessageId) | range(kDlrReceivedTime, kDlrDoneDate) | range(kDeliveryTime, kSmscName);

template <class T> void appendNumber(std::string& out, T value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

bool needsQuotes(const std::string& text) {
  for (const char c : text) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') {
      return true;
    }
  }
  return false;
}

void appendText(std::string& out, const std::string& text) {
  if (!needsQuotes(text)) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') {
      out += '"';
    }
    out += c;
  }
  out += '"';
}

void appendColumn(std::string& out, const CDRRecord& r, int column) {
  switch (column) {
  case kMessageId:
    return appendText(out, r.messageId);
  case kSourceAddr:
    return appendText(out, r.sourceAddr);
  case kDestAddr:
    return appendText(out, r.destAddr);
  case kSubmitTime:
    return appendNumber(out, r.submitTime / 1000000000);
  case kSubmitTimeIso:
    out += isoTime(r.submitTime); // never needs quotes
    return;
  case kMessageIdTime:
    return appendNumber(out, r.messageIdTime / 1000000000);
  case kMessageIdTimeIso:
    out += isoTime(r.messageIdTime); // never needs quotes
    return;
  case kDlrReceivedTime:
    return appendNumber(out, r.dlrReceivedTime / 1000000000);
  case kDlrReceivedTimeIso:
    out += isoTime(r.dlrReceivedTime); // never needs quotes
    return;
  case kDlrDoneDate:
    return appendText(out, r.dlrDoneDate);
  case kSubmitStatus:
    return appendNumber(out, r.submitStatus);
  case kDeliveryTime:
    return appendNumber(out, r.deliveryTime / 1000000000);
  case kDeliveryTimeIso:
    out += isoTime(r.deliveryTime); // never needs quotes
    return;
  case kDeliveryStatus:
    return appendNumber(out, r.deliveryStatus);
  case kErrorCode:
    return appendNumber(out, r.errorCode);
  case kEsmeId:
    return appendText(out, r.esmeId);
  case kEsmeIp:
    return appendText(out, r.esmeIp);
  case kSmscId:
    return appendNumber(out, r.smscId);
  case kSmscName:
    return appendText(out, r.smscName);
  case kMessageLength:
    return appendNumber(out, r.messageLength);
  case kDataCoding:
    return appendNumber(out, unsigned{r.dataCoding});
  case kEsmClass:
    return appendNumber(out, unsigned{r.esmClass});
  case kRegisteredDelivery:
    return appendNumber(out, unsigned{r.registeredDelivery});
  case kIsConcatenated:
    out += r.isConcatenated ? '1' : '0';
    return;
  case kConcatRef:
    return appendNumber(out, unsigned{r.concatRef});
  case kConcatTotal:
    return appendNumber(out, unsigned{r.concatTotal});
  case kConcatPart:
    return appendNumber(out, unsigned{r.concatPart});
  }
}

} // namespace

void CDRRecord::refreshIsoTimes() {
  submitTimeISO8601 = isoTime(submitTime);
  messageIdTimeISO8601 = isoTime(messageIdTime);
  dlrReceivedTimeISO8601 = isoTime(dlrReceivedTime);
  deliveryTimeISO8601 = isoTime(deliveryTime);
}

std::string cdrCsvHeader() {
  return std::string("messageId,sourceAddr,destAddr,submitTime,submitTimeISO8601,messageIdTime,") +
         "messageIdTimeISO8601,dlrReceivedTime,dlrReceivedTimeISO8601,dlrDoneDate," +
         "submitStatus,deliveryTime,deliveryTimeISO8601,deliveryStatus,errorCode," +
         "esmeId,esmeIp,smscId,smscName,messageLength,dataCoding,esmClass," +
         "registeredDelivery,isConcatenated,concatRef,concatTotal,concatPart";
}

std::string cdrCsvRow(const CDRRecord& record, CDRMode mode) {
  std::string row;
  row.reserve(320);
  appendCdrCsvRow(row, record, mode);
  if (!row.empty()) {
    row.pop_back(); // the line end
  }
  return row;
}

void appendCdrCsvRow(std::string& row, const CDRRecord& record, CDRMode mode) {
  uint32_t columns = 0;
  switch (mode) {
  case CDRMode::NONE:
    return;
  case CDRMode::CORRELATE:
    columns = record.submitStatus == 0 ? kAllColumns : kCorrelateNak;
    break;
  case CDRMode::OPERATION:
    columns = record.deliveryStatus == 0 ? kSubmitRow : kReceiptRow;
    break;
  }
  for (int column = 0; column < kColumns; ++column) {
    if (column != 0) {
      row += ',';
    }
    if ((columns & bit(column)) != 0) {
      appendColumn(row, record, column);
    }
  }
  row += '\n';
}

} // namespace quorvex
