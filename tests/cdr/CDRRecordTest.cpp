#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cdr/CDRRecord.h"
#include "cdr/CDRSubmit.h"

namespace quorvex {
namespace {

constexpr int64_t kS = 1000000000LL, kT0 = 1700000000LL * kS + 123; // 2023-11-14T22:13:20Z
constexpr int64_t kT1 = kT0 + kS, kT2 = kT1 + kS, kT3 = kT2 + kS;

TEST(CDRRecordTest, HeaderRowsAndQuoting) {
  EXPECT_EQ(cdrCsvHeader(),
            "messageId,sourceAddr,destAddr,submitTime,submitTimeISO8601,messageIdTime,"
            "messageIdTimeISO8601,dlrReceivedTime,dlrReceivedTimeISO8601,dlrDoneDate,submitStatus,"
            "deliveryTime,deliveryTimeISO8601,deliveryStatus,errorCode,esmeId,esmeIp,smscId,"
            "smscName,messageLength,dataCoding,esmClass,registeredDelivery,isConcatenated,"
            "concatRef,concatTotal,concatPart");
  // Every field in declaration order, each column a value of its own.
  const CDRRecord r{
      "m1",   "a,b",      "say \"hi\"", kT0,          kT1, kT2, "2311142213", 0, kT3,  2, 5,
      "e\nx", "10.0.0.1", "s\rx",       0x29ef074101, 160, 8,   0x40,         1, true, 7, 3,
      2,      0,          {},           {},           {},  {}};
  EXPECT_EQ(cdrCsvRow(r, CDRMode::CORRELATE),
            "m1,\"a,b\",\"say \"\"hi\"\"\",1700000000,2023-11-14T22:13:20Z,1700000001,"
            "2023-11-14T22:13:21Z,1700000002,2023-11-14T22:13:22Z,2311142213,0,1700000003,2023-11-"
            "14T22:13:23Z,2,5,\"e\nx\",10.0.0.1,180103889153,\"s\rx\",160,8,64,1,1,7,3,2");
  // The partial layouts are checked with the rows the manager writes.
  EXPECT_EQ(cdrCsvRow(r, CDRMode::NONE), "");
  // Unset times are the epoch.
  EXPECT_EQ(cdrCsvRow(CDRRecord{}, CDRMode::CORRELATE),
            ",,,0,1970-01-01T00:00:00Z,0,1970-01-01T00:00:00Z,0,1970-01-01T00:00:00Z,,0,0,"
            "1970-01-01T00:00:00Z,0,0,,,0,,0,0,0,0,0,0,0,0");
}

struct FakeTLV {
  uint32_t tag, length; // length as on the wire
  std::vector<uint8_t> value;
};
// The decoded submit_sm fields cdrSubmitOf() reads.
struct FakeSubmit {
  uint8_t esm_class = 0; // 0x40: UDH present
  std::vector<uint8_t> short_message = {};
  std::vector<FakeTLV> tlvs = {};
  std::string source_addr = "111", destination_addr = "222";
  uint8_t data_coding = 8, registered_delivery = 1;
};

TEST(CDRSubmitTest, FieldsAndConcatenationFromUdhThenTlvs) {
  const FakeSubmit submit{0x03, {1, 2, 3}}; // the addresses are borrowed from it
  const CDRSubmit plain = cdrSubmitOf(submit);
  EXPECT_EQ(std::tuple(plain.sourceAddr, plain.destAddr, plain.messageLength, plain.esmClass,
                       plain.dataCoding, plain.registeredDelivery),
            std::tuple("111", "222", 3u, 0x03, 8, 1));
  const std::pair<FakeSubmit, CDRConcat> cases[] = {
      // A one-octet 0x24 element before the 8-bit concatenation element.
      {{0x40, {10, 0x24, 1, 9, 0x00, 3, 0x2a, 4, 2, 'h', 'i'}}, {true, 0x2a, 4, 2}},
      // Not wholly inside the message; the 16-bit element; no 0x40: none is used.
      {{0x40, {5, 0x00, 3, 0x2a, 4}}, {}},
      {{0x40, {6, 0x08, 4, 0, 1, 3, 1}}, {}},
      {{0, {5, 0x00, 3, 0x2a, 4, 2}}, {}},
      // The sar TLVs: the reference's low octet; one part in all or no sar TLV is none.
      {{0, {}, {{0x020C, 2, {0x12, 0x34}}, {0x020E, 1, {3}}, {0x020F, 1, {2}}}},
       {true, 0x34, 3, 2}},
      {{0, {}, {{0x020E, 1, {1}}, {0x020C, 1, {9}}}}, {}},
      {{0, {}, {{0x1234, 1, {9}}}}, {}},
  };
  const auto fields = [](const CDRConcat& c) {
    return std::tuple(c.concatenated, int{c.reference}, int{c.total}, int{c.part});
  };
  for (const auto& [submit, expected] : cases) {
    EXPECT_EQ(fields(cdrSubmitOf(submit).concat), fields(expected)) << &submit - &cases[0].first;
  }
}

} // namespace
} // namespace quorvex
