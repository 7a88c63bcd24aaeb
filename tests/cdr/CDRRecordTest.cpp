#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdr/CDRRecord.h"
#include "cdr/CDRSubmit.h"

namespace quorvex {
namespace {

// 2023-11-14T22:13:20Z and 22:13:21Z
constexpr int64_t kT0 = 1700000000LL * 1000000000LL + 123;
constexpr int64_t kT1 = 1700000001LL * 1000000000LL;

CDRRecord completeRecord() {
  CDRRecord r;
  r.messageId = "m1";
  r.sourceAddr = "111";
  r.destAddr = "222";
  r.submitTime = kT0;
  r.messageIdTime = kT1;
  r.dlrReceivedTime = r.deliveryTime = kT1;
  r.dlrDoneDate = "2311142213";
  r.deliveryStatus = 2;
  r.errorCode = 5;
  r.esmeId = "esme";
  r.esmeIp = "10.0.0.1";
  r.smscName = "smscA";
  r.smscId = 0x29ef074101;
  r.messageLength = 160;
  r.dataCoding = 8;
  r.esmClass = 0x40;
  r.registeredDelivery = 1;
  r.isConcatenated = true;
  r.concatRef = 7;
  r.concatTotal = 3;
  r.concatPart = 2;
  r.refreshIsoTimes();
  return r;
}

TEST(CDRRecordTest, HeaderAndLayoutsOfBothModes) {
  EXPECT_EQ(cdrCsvHeader(),
            "messageId,sourceAddr,destAddr,submitTime,submitTimeISO8601,messageIdTime,"
            "messageIdTimeISO8601,dlrReceivedTime,dlrReceivedTimeISO8601,dlrDoneDate,submitStatus,"
            "deliveryTime,deliveryTimeISO8601,deliveryStatus,errorCode,esmeId,esmeIp,smscId,"
            "smscName,messageLength,dataCoding,esmClass,registeredDelivery,isConcatenated,"
            "concatRef,concatTotal,concatPart");
  CDRRecord r = completeRecord();
  const std::string tail = "esme,10.0.0.1,180103889153,smscA,160,8,64,1,1,7,3,2";
  EXPECT_EQ(cdrCsvRow(r, CDRMode::CORRELATE),
            "m1,111,222,1700000000,2023-11-14T22:13:20Z,1700000001,2023-11-14T22:13:21Z,"
            "1700000001,2023-11-14T22:13:21Z,2311142213,0,1700000001,2023-11-14T22:13:21Z,2,5," +
                tail);
  EXPECT_EQ(cdrCsvRow(r, CDRMode::OPERATION),
            "m1,,,,,,,1700000001,2023-11-14T22:13:21Z,2311142213,,1700000001,"
            "2023-11-14T22:13:21Z,2,5,esme,10.0.0.1,180103889153,smscA,,,,,,,,");
  EXPECT_EQ(cdrCsvRow(r, CDRMode::NONE), "");
  // A receipt whose state maps to 0 takes the submit layout.
  r.deliveryStatus = 0;
  EXPECT_EQ(cdrCsvRow(r, CDRMode::OPERATION),
            "m1,111,222,1700000000,2023-11-14T22:13:20Z,1700000001,2023-11-14T22:13:21Z,,,,0,,,,," +
                tail);
  // A negative response in CORRELATE: no message id, and the two gaps.
  r.messageId.clear();
  r.submitStatus = 0x58;
  EXPECT_EQ(cdrCsvRow(r, CDRMode::CORRELATE),
            ",111,222,1700000000,2023-11-14T22:13:20Z,,,,,,88,,,,," + tail);
}

TEST(CDRRecordTest, UnsetTimesAreTheEpochAndOddTextIsQuoted) {
  CDRRecord r;
  r.refreshIsoTimes();
  EXPECT_EQ(r.submitTimeISO8601, "1970-01-01T00:00:00Z");
  EXPECT_EQ(r.deliveryTimeISO8601, "1970-01-01T00:00:00Z");
  r.sourceAddr = "a,b";
  r.destAddr = "say \"hi\"";
  r.esmeId = "line\nbreak";
  r.smscName = "cr\rname";
  r.esmeIp = "plain";
  const std::string row = cdrCsvRow(r, CDRMode::CORRELATE);
  EXPECT_EQ(row, ",\"a,b\",\"say \"\"hi\"\"\",0,1970-01-01T00:00:00Z,0,1970-01-01T00:00:00Z,0,"
                 "1970-01-01T00:00:00Z,,0,0,1970-01-01T00:00:00Z,0,0,\"line\nbreak\",plain,0,"
                 "\"cr\rname\",0,0,0,0,0,0,0,0");
}

struct FakeTLV {
  uint32_t tag;               // parameter tag
  uint32_t length;            // length as on the wire
  std::vector<uint8_t> value; // value octets
};
struct FakeSubmit {
  std::string source_addr = "111";      // originator
  std::string destination_addr = "222"; // recipient
  uint8_t esm_class = 0;                // 0x40: UDH present
  uint8_t data_coding = 8;              // UCS-2
  uint8_t registered_delivery = 1;      // receipt requested
  std::vector<uint8_t> short_message;   // message octets
  std::vector<FakeTLV> tlvs;            // optional parameters
};

TEST(CDRSubmitTest, ConcatenationFromUdhThenTlvs) {
  FakeSubmit s;
  s.esm_class = 0x40;
  // A one-octet 0x24 element before the 8-bit concatenation element.
  s.short_message = {10, 0x24, 1, 9, 0x00, 3, 0x2a, 4, 2, 'h', 'i'};
  CDRSubmit submit = cdrSubmitOf(s);
  EXPECT_EQ(submit.sourceAddr, "111");
  EXPECT_EQ(submit.messageLength, 11u);
  EXPECT_TRUE(submit.concat.concatenated);
  EXPECT_EQ(submit.concat.reference, 0x2a);
  EXPECT_EQ(submit.concat.total, 4);
  EXPECT_EQ(submit.concat.part, 2);
  // The element does not fit inside the message: not used.
  s.short_message = {5, 0x00, 3, 0x2a, 4};
  EXPECT_FALSE(cdrSubmitOf(s).concat.concatenated);
  // The 16-bit element is not looked at; without 0x40 the header is not read.
  s.short_message = {6, 0x08, 4, 0, 1, 3, 1};
  EXPECT_FALSE(cdrSubmitOf(s).concat.concatenated);
  s.esm_class = 0;
  s.short_message = {5, 0x00, 3, 0x2a, 4, 2};
  EXPECT_FALSE(cdrSubmitOf(s).concat.concatenated);

  s.tlvs = {{0x020C, 2, {0x12, 0x34}}, {0x020E, 1, {3}}, {0x020F, 1, {2}}};
  submit = cdrSubmitOf(s);
  EXPECT_TRUE(submit.concat.concatenated);
  EXPECT_EQ(submit.concat.reference, 0x34);
  EXPECT_EQ(submit.concat.total, 3);
  EXPECT_EQ(submit.concat.part, 2);
  s.tlvs = {{0x020E, 1, {1}}, {0x020C, 1, {9}}};
  EXPECT_FALSE(cdrSubmitOf(s).concat.concatenated);
  s.tlvs = {{0x1234, 1, {9}}};
  EXPECT_FALSE(cdrSubmitOf(s).concat.concatenated);
}

} // namespace
} // namespace quorvex
