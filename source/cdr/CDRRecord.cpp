#include "cdr/CDRRecord.h"

#include <time.h>

#include <charconv>
#include <cstring>

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

// Octets one number column takes at most (a negative 64-bit value).
constexpr size_t kNumberRoom = 20;
// Octets one ISO time column takes at most (see isoTime's buffer).
constexpr size_t kIsoRoom = 31;

// Writes a row through a pointer into room reserved for the whole row, so
// no column pays the string's capacity check and length update.
struct RowWriter {
  char* at; // next octet to write

  template <class T> void number(T value) { at = std::to_chars(at, at + kNumberRoom, value).ptr; }
  void raw(const std::string& text) {
    std::memcpy(at, text.data(), text.size());
    at += text.size();
  }
  // Bare unless it holds a comma, a double quote or a line break; quoted as
  // RFC 4180 says otherwise.
  void text(const std::string& text) {
    // One pass over the (short) text: find_first_of would scan it once per
    // character it looks for.
    bool plain = true;
    for (const char c : text) {
      plain &= c != ',' && c != '"' && c != '\r' && c != '\n';
    }
    if (plain) {
      return raw(text);
    }
    *at++ = '"';
    for (const char c : text) {
      if (c == '"') {
        *at++ = '"';
      }
      *at++ = c;
    }
    *at++ = '"';
  }
};

// The most a row of `r` can take: every text quoted with each octet doubled.
size_t rowRoom(const CDRRecord& r) {
  const size_t texts = r.messageId.size() + r.sourceAddr.size() + r.destAddr.size() +
                       r.dlrDoneDate.size() + r.esmeId.size() + r.esmeIp.size() + r.smscName.size();
  return 2 * texts + 2 * 7 + 16 * kNumberRoom + 4 * kIsoRoom + kColumns + 1;
}

void writeColumn(RowWriter& w, const CDRRecord& r, int column) {
  switch (column) {
  case kMessageId:
    return w.text(r.messageId);
  case kSourceAddr:
    return w.text(r.sourceAddr);
  case kDestAddr:
    return w.text(r.destAddr);
  case kSubmitTime:
    return w.number(r.submitTime / 1000000000);
  case kSubmitTimeIso:
    return w.raw(isoTime(r.submitTime)); // never needs quotes
  case kMessageIdTime:
    return w.number(r.messageIdTime / 1000000000);
  case kMessageIdTimeIso:
    return w.raw(isoTime(r.messageIdTime));
  case kDlrReceivedTime:
    return w.number(r.dlrReceivedTime / 1000000000);
  case kDlrReceivedTimeIso:
    return w.raw(isoTime(r.dlrReceivedTime));
  case kDlrDoneDate:
    return w.text(r.dlrDoneDate);
  case kSubmitStatus:
    return w.number(r.submitStatus);
  case kDeliveryTime:
    return w.number(r.deliveryTime / 1000000000);
  case kDeliveryTimeIso:
    return w.raw(isoTime(r.deliveryTime));
  case kDeliveryStatus:
    return w.number(r.deliveryStatus);
  case kErrorCode:
    return w.number(r.errorCode);
  case kEsmeId:
    return w.text(r.esmeId);
  case kEsmeIp:
    return w.text(r.esmeIp);
  case kSmscId:
    return w.number(r.smscId);
  case kSmscName:
    return w.text(r.smscName);
  case kMessageLength:
    return w.number(r.messageLength);
  case kDataCoding:
    return w.number(unsigned{r.dataCoding});
  case kEsmClass:
    return w.number(unsigned{r.esmClass});
  case kRegisteredDelivery:
    return w.number(unsigned{r.registeredDelivery});
  case kIsConcatenated:
    *w.at++ = r.isConcatenated ? '1' : '0';
    return;
  case kConcatRef:
    return w.number(unsigned{r.concatRef});
  case kConcatTotal:
    return w.number(unsigned{r.concatTotal});
  case kConcatPart:
    return w.number(unsigned{r.concatPart});
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
  const size_t at = row.size();
  row.resize(at + rowRoom(record));
  RowWriter w{row.data() + at};
  for (int column = 0; column < kColumns; ++column) {
    if (column != 0) {
      *w.at++ = ',';
    }
    if ((columns & bit(column)) != 0) {
      writeColumn(w, record, column);
    }
  }
  *w.at++ = '\n';
  row.resize(static_cast<size_t>(w.at - row.data()));
}

} // namespace quorvex
