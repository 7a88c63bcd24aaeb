#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cdr/CDRRecord.h"
#include "cdr/CDRSubmit.h"

// Records are built naming only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quorvex {
namespace {

// 2023-11-14T22:13:20Z and 22:13:21Z
constexpr int64_t kT0 = 1700000000LL * 1000000000LL + 123;
constexpr int64_t kT1 = 1700000001LL * 1000000000LL;

TEST(CDRRecordTest, HeaderAndEveryColumnOfACompleteRow) {
  EXPECT_EQ(cdrCsvHeader(),
            "messageId,sourceAddr,destAddr,submitTime,submitTimeISO8601,messageIdTime,"
            "messageIdTimeISO8601,dlrReceivedTime,dlrReceivedTimeISO8601,dlrDoneDate,submitStatus,"
            "deliveryTime,deliveryTimeISO8601,deliveryStatus,errorCode,esmeId,esmeIp,smscId,"
            "smscName,messageLength,dataCoding,esmClass,registeredDelivery,isConcatenated,"
            "concatRef,concatTotal,concatPart");
  // clang-format off
  const CDRRecord r{.messageId = "m1", .sourceAddr = "111", .destAddr = "222",
                    .submitTime = kT0, .messageIdTime = kT1, .dlrReceivedTime = kT1,
                    .dlrDoneDate = "2311142213", .deliveryTime = kT1, .deliveryStatus = 2,
                    .errorCode = 5, .esmeId = "esme", .esmeIp = "10.0.0.1", .smscName = "smscA",
                    .smscId = 0x29ef074101, .messageLength = 160, .dataCoding = 8,
                    .esmClass = 0x40, .registeredDelivery = 1, .isConcatenated = true,
                    .concatRef = 7, .concatTotal = 3, .concatPart = 2};
  // clang-format on
  const std::string tail = "esme,10.0.0.1,180103889153,smscA,160,8,64,1,1,7,3,2";
  EXPECT_EQ(cdrCsvRow(r, CDRMode::CORRELATE),
            "m1,111,222,1700000000,2023-11-14T22:13:20Z,1700000001,2023-11-14T22:13:21Z,"
            "1700000001,2023-11-14T22:13:21Z,2311142213,0,1700000001,2023-11-14T22:13:21Z,2,5," +
                tail);
  // The partial layouts are checked with the rows the manager writes.
  EXPECT_EQ(cdrCsvRow(r, CDRMode::NONE), "");
}

TEST(CDRRecordTest, UnsetTimesAreTheEpochAndOddTextIsQuoted) {
  // clang-format off
  const CDRRecord r{.sourceAddr = "a,b", .destAddr = "say \"hi\"", .esmeId = "line\nbreak",
                    .esmeIp = "plain", .smscName = "cr\rname"};
  // clang-format on
  EXPECT_EQ(cdrCsvRow(r, CDRMode::CORRELATE),
            ",\"a,b\",\"say \"\"hi\"\"\",0,1970-01-01T00:00:00Z,0,1970-01-01T00:00:00Z,0,"
            "1970-01-01T00:00:00Z,,0,0,1970-01-01T00:00:00Z,0,0,\"line\nbreak\",plain,0,"
            "\"cr\rname\",0,0,0,0,0,0,0,0");
}

struct FakeTLV {
  uint32_t tag;               // parameter tag
  uint32_t length;            // length as on the wire
  std::vector<uint8_t> value; // value octets
};
// The decoded submit_sm fields cdrSubmitOf() reads.
struct FakeSubmit {
  std::string source_addr = "111", destination_addr = "222";
  uint8_t esm_class = 0x03, data_coding = 8, registered_delivery = 1;
  std::vector<uint8_t> short_message;
  std::vector<FakeTLV> tlvs;
};

TEST(CDRSubmitTest, FieldsAndConcatenationFromUdhThenTlvs) {
  FakeSubmit s;
  s.short_message = {1, 2, 3};
  const CDRSubmit plain = cdrSubmitOf(s);
  EXPECT_EQ(std::tuple(plain.sourceAddr, plain.destAddr, plain.messageLength, plain.esmClass,
                       plain.dataCoding, plain.registeredDelivery),
            std::tuple("111", "222", 3u, 0x03, 8, 1));
  struct Case {
    uint8_t esmClass;             // 0x40: UDH present
    std::vector<uint8_t> message; // short_message
    std::vector<FakeTLV> tlvs;    // optional parameters
    CDRConcat expected;           // all zero: not concatenated
  };
  const Case cases[] = {
      // A one-octet 0x24 element before the 8-bit concatenation element.
      {0x40, {10, 0x24, 1, 9, 0x00, 3, 0x2a, 4, 2, 'h', 'i'}, {}, {true, 0x2a, 4, 2}},
      // Not wholly inside the message; the 16-bit element; no 0x40: none is used.
      {0x40, {5, 0x00, 3, 0x2a, 4}, {}, {}},
      {0x40, {6, 0x08, 4, 0, 1, 3, 1}, {}, {}},
      {0, {5, 0x00, 3, 0x2a, 4, 2}, {}, {}},
      // The sar TLVs: the reference's low octet; one part in all or no sar TLV is none.
      {0, {}, {{0x020C, 2, {0x12, 0x34}}, {0x020E, 1, {3}}, {0x020F, 1, {2}}}, {true, 0x34, 3, 2}},
      {0, {}, {{0x020E, 1, {1}}, {0x020C, 1, {9}}}, {}},
      {0, {}, {{0x1234, 1, {9}}}, {}},
  };
  const auto fields = [](const CDRConcat& c) {
    return std::tuple(c.concatenated, int{c.reference}, int{c.total}, int{c.part});
  };
  for (const Case& c : cases) {
    s.esm_class = c.esmClass;
    s.short_message = c.message;
    s.tlvs = c.tlvs;
    EXPECT_EQ(fields(cdrSubmitOf(s).concat), fields(c.expected)) << &c - cases;
  }
}

} // namespace
} // namespace quorvex
