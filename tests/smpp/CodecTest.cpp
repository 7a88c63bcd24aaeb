#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "smpp/CString.h"
#include "smpp/ResponseBodies.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SMPPTime.h"
#include "smpp/SubmitSMEncoder.h"
#include "smpp/SubmitSMParser.h"

namespace quorvex::smpp {
namespace {

using test::PduBuilder;
using test::submitBody;

constexpr uint64_t kNow = 1704110400000000ULL; // 2024-01-01 12:00:00 UTC
constexpr uint64_t kSecond = 1000000ULL;

struct Parsed {
  bool ok = false;       // parseSubmitSM's result
  uint32_t status = 0;   // status it left
  SubmitSMRecord record; // record it filled
};

Parsed parse(const std::vector<uint8_t>& body, uint32_t commandId = command::kSubmitSM,
             bool rejectPast = true) {
  Parsed p;
  p.status = 0xDEAD;
  p.record.service_type = "untouched";
  p.ok = parseSubmitSM(commandId, body.data(), body.size(), p.record, rejectPast, p.status, kNow);
  return p;
}

TEST(CStringTest, LimitCountsTheNulAndFailureChangesNothing) {
  const std::vector<uint8_t> fits = PduBuilder().cstr("abcde").body(); // 5 + NUL = 6
  size_t index = 0;
  std::string out = "old";
  ASSERT_TRUE(readCString(fits.data(), fits.size(), index, out, 6));
  EXPECT_EQ(out, "abcde");
  EXPECT_EQ(index, 6u);

  const std::vector<uint8_t> tooLong = PduBuilder().cstr("abcdef").body(); // NUL is the 7th
  index = 0;
  out = "old";
  EXPECT_FALSE(readCString(tooLong.data(), tooLong.size(), index, out, 6));
  EXPECT_EQ(out, "old");
  EXPECT_EQ(index, 0u);

  // The body ends before any NUL, although the limit would allow more.
  const std::vector<uint8_t> unterminated = {'a', 'b'};
  EXPECT_FALSE(readCString(unterminated.data(), unterminated.size(), index, out, 6));
  EXPECT_EQ(index, 0u);
  // Index at the end of the body.
  index = 2;
  EXPECT_FALSE(readCString(unterminated.data(), unterminated.size(), index, out, 6));

  const std::vector<uint8_t> empty = {0};
  index = 0;
  ASSERT_TRUE(readCString(empty.data(), empty.size(), index, out, 1));
  EXPECT_EQ(out, "");
  EXPECT_EQ(index, 1u);
}

TEST(ParseSubmitSMTest, FieldsAndStringLimits) {
  // Other command ids are not touched.
  const Parsed other = parse(submitBody().body(), command::kDeliverSM);
  EXPECT_FALSE(other.ok);
  EXPECT_EQ(other.status, 0xDEADu);

  const Parsed good = parse(submitBody("", "", {'h', 'i'}, "ABCDE").body());
  ASSERT_TRUE(good.ok);
  EXPECT_EQ(good.record.service_type, "ABCDE");
  EXPECT_EQ(good.record.source_addr, "4915550001");
  EXPECT_EQ(good.record.destination_addr, "4915550002");
  EXPECT_EQ(good.record.registered_delivery, 1);
  EXPECT_EQ(good.record.short_message, (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_TRUE(good.record.tlvs.empty());
  EXPECT_EQ(good.record.schedule_delivery_time, 0u);

  const Parsed longService = parse(submitBody("", "", {'h'}, "ABCDEF").body());
  EXPECT_FALSE(longService.ok);
  EXPECT_EQ(longService.status, status::kSubmitFailed);
  EXPECT_EQ(longService.record.service_type, "untouched");

  PduBuilder longAddress;
  longAddress.cstr("").octet(1).octet(1).cstr(std::string(21, '1'));
  EXPECT_EQ(parse(longAddress.body()).status, status::kSubmitFailed);
}

TEST(ParseSubmitSMTest, TruncatedBodiesFail) {
  const std::vector<uint8_t> full = submitBody().body();
  // Every proper prefix ends inside a mandatory field or the short message.
  for (size_t cut = 0; cut < full.size(); ++cut) {
    const std::vector<uint8_t> prefix(full.begin(), full.begin() + cut);
    const Parsed p = parse(prefix);
    EXPECT_FALSE(p.ok) << "cut at " << cut;
    EXPECT_EQ(p.status, status::kSubmitFailed);
  }
}

TEST(ParseSubmitSMTest, OptionalPartRules) {
  EXPECT_TRUE(parse(submitBody().octet(0).body()).ok);
  EXPECT_FALSE(parse(submitBody().octet(1).body()).ok);
  EXPECT_FALSE(parse(submitBody().octet(0).octet(0).body()).ok); // half a TLV header

  const Parsed zero = parse(submitBody().tlv(0x1401, {}).tlv(0x020C, {7}).body());
  ASSERT_TRUE(zero.ok);
  ASSERT_EQ(zero.record.tlvs.size(), 2u);
  EXPECT_EQ(zero.record.tlvs[0].tag, 0x1401u);
  EXPECT_EQ(zero.record.tlvs[0].length, 0u);
  EXPECT_TRUE(zero.record.tlvs[0].value.empty());
  EXPECT_EQ(zero.record.tlvs[1].value, (std::vector<uint8_t>{7}));

  // Value announced one octet longer than present; and one octet too many.
  std::vector<uint8_t> over = submitBody().tlv(0x0424, {1, 2, 3}).body();
  over.pop_back();
  EXPECT_FALSE(parse(over).ok);
  EXPECT_FALSE(parse(submitBody().tlv(0x0424, {1}).octet(9).body()).ok);
}

TEST(ParseSubmitSMTest, TimesAndPastTimeStatuses) {
  const Parsed relative = parse(submitBody("", "000000000100000R").body());
  ASSERT_TRUE(relative.ok);
  EXPECT_EQ(relative.record.validity_period, kNow + 60 * kSecond);

  const Parsed empty = parse(submitBody().body());
  EXPECT_EQ(empty.record.validity_period, kNow + 86400 * kSecond);

  const Parsed future = parse(submitBody("240101130000000+", "240102120000000+").body());
  ASSERT_TRUE(future.ok);
  EXPECT_EQ(future.record.schedule_delivery_time, kNow + 3600 * kSecond);
  EXPECT_EQ(future.record.validity_period, kNow + 86400 * kSecond);

  const Parsed pastExpiry = parse(submitBody("", "240101115959000+").body());
  EXPECT_FALSE(pastExpiry.ok);
  EXPECT_EQ(pastExpiry.status, status::kInvalidExpiry);

  const Parsed badAbsolute = parse(submitBody("garbage", "").body());
  EXPECT_EQ(badAbsolute.status, status::kInvalidSchedule);

  const Parsed badRelative = parse(submitBody("xxR", "").body());
  ASSERT_TRUE(badRelative.ok);
  EXPECT_EQ(badRelative.record.schedule_delivery_time, kNow);

  // Offsets can move a 1970 time before the epoch; it is past, not huge.
  const Parsed beforeEpoch = parse(submitBody("", "700101000000004+").body());
  EXPECT_EQ(beforeEpoch.status, status::kInvalidExpiry);

  const Parsed tolerated = parse(submitBody("", "240101115959000+").body(), command::kSubmitSM,
                                 /*rejectPast=*/false);
  EXPECT_TRUE(tolerated.ok);
}

TEST(ParseSubmitSMTest, DataSMKeepsPayloadInTLVs) {
  PduBuilder b;
  b.cstr("WAP").octet(1).octet(1).cstr("111").octet(2).octet(2).cstr("222");
  b.octet(0x40).octet(1).octet(8).tlv(0x0424, {'p', 'a', 'y'});
  const Parsed p = parse(b.body(), command::kDataSM);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.record.service_type, "WAP");
  EXPECT_EQ(p.record.esm_class, 0x40);
  EXPECT_EQ(p.record.registered_delivery, 1);
  EXPECT_EQ(p.record.data_coding, 8);
  EXPECT_TRUE(p.record.short_message.empty());
  EXPECT_EQ(p.record.schedule_delivery_time, 0u);
  ASSERT_EQ(p.record.tlvs.size(), 1u);
  EXPECT_EQ(p.record.tlvs[0].tag, 0x0424u);

  PduBuilder longDest;
  longDest.cstr("").octet(1).octet(1).cstr("1").octet(1).octet(1).cstr(std::string(21, '2'));
  longDest.octet(0).octet(0).octet(0);
  EXPECT_FALSE(parse(longDest.body(), command::kDataSM).ok);
}

SubmitSMRecord withSM(uint8_t esmClass, std::vector<uint8_t> sm, std::vector<TLV> tlvs = {}) {
  SubmitSMRecord r;
  r.esm_class = esmClass;
  r.short_message = std::move(sm);
  r.tlvs = std::move(tlvs);
  return r;
}

TEST(ConcatenationTest, UdhAndSarDetectionNeverReadingPastTheMessage) {
  ConcatenationInfo udh = getConcatenationInfo(withSM(0x40, {5, 0, 3, 0x2A, 3, 1, 'x'}));
  EXPECT_TRUE(udh.concatenated);
  EXPECT_EQ(udh.reference, 0x2A);
  EXPECT_EQ(udh.total, 3);

  // Another element first, then 0x00.
  udh = getConcatenationInfo(withSM(0x40, {7, 0x24, 1, 9, 0, 3, 7, 2, 1}));
  EXPECT_TRUE(udh.concatenated);
  EXPECT_EQ(udh.reference, 7);
  EXPECT_EQ(udh.total, 2);

  // The 16-bit element is not recognised: the TLVs decide.
  const std::vector<TLV> sar = {TLV{0x020C, 1, {9}}, TLV{0x020E, 1, {4}}};
  ConcatenationInfo bySar = getConcatenationInfo(withSM(0x40, {6, 8, 4, 0, 1, 2, 1, 'x'}, sar));
  EXPECT_TRUE(bySar.concatenated);
  EXPECT_EQ(bySar.reference, 9);
  EXPECT_EQ(bySar.total, 4);

  // Without the UDH indicator the UDH is not read.
  EXPECT_FALSE(getConcatenationInfo(withSM(0, {5, 0, 3, 0x2A, 3, 1})).concatenated);

  const ConcatenationInfo none = getConcatenationInfo(withSM(0, {'a'}));
  EXPECT_FALSE(none.concatenated);
  EXPECT_EQ(none.reference, 1);
  EXPECT_EQ(none.total, 1);

  const ConcatenationInfo wide = getConcatenationInfo(withSM(0, {'a'}, {TLV{0x020E, 2, {0, 4}}}));
  EXPECT_TRUE(wide.concatenated);
  EXPECT_EQ(wide.total, 0);

  const ConcatenationInfo single =
      getConcatenationInfo(withSM(0, {'a'}, {TLV{0x020E, 1, {1}}, TLV{0x020C, 1, {5}}}));
  EXPECT_FALSE(single.concatenated);

  // Claims 5 octets of UDH but the element is cut; ASan would catch a read.
  EXPECT_FALSE(getConcatenationInfo(withSM(0x40, {5, 0, 3})).concatenated);
  EXPECT_FALSE(getConcatenationInfo(withSM(0x40, {9, 0x24, 200})).concatenated);
  EXPECT_FALSE(getConcatenationInfo(withSM(0x40, {0xFF})).concatenated);
}

TEST(ResponseBodyTest, BindVersionNegotiationSubmitAndQueryBodies) {
  uint8_t out[kResponseBodyCapacity];
  EXPECT_EQ(negotiateInterfaceVersion(0x33), 0x33);
  EXPECT_EQ(negotiateInterfaceVersion(0x50), 0x50);
  EXPECT_EQ(negotiateInterfaceVersion(0x10), 0x34);
  EXPECT_EQ(negotiateInterfaceVersion(0x34), 0x34);

  size_t n = buildBindResponseBody(out, sizeof(out), kGatewaySystemId, 0x33);
  EXPECT_EQ(std::vector<uint8_t>(out, out + n), PduBuilder().cstr("VantorelSMSC").body());

  n = buildBindResponseBody(out, sizeof(out), kGatewaySystemId, 0x50);
  EXPECT_EQ(std::vector<uint8_t>(out, out + n),
            PduBuilder().cstr("VantorelSMSC").tlv(0x0210, {0x50}).body());

  EXPECT_EQ(submitResponseCommandId(command::kDataSM), command::kDataSMResp);
  EXPECT_EQ(submitResponseCommandId(command::kSubmitSM), command::kSubmitSMResp);
  n = buildSubmitResponseBody(out, sizeof(out), "abc");
  EXPECT_EQ(std::vector<uint8_t>(out, out + n), PduBuilder().cstr("abc").body());
  n = buildQueryResponseBody(out, sizeof(out), std::string(64, 'm'), "240101120000000+", 2, 7);
  EXPECT_EQ(
      std::vector<uint8_t>(out, out + n),
      PduBuilder().cstr(std::string(64, 'm')).cstr("240101120000000+").octet(2).octet(7).body());
}

TEST(SubmitSMEncoderTest, RoundTripsThroughTheParser) {
  SubmitSMRecord r;
  r.service_type = "CMT";
  r.source_addr = "4915550001";
  r.destination_addr = "4915550002";
  r.esm_class = 0x40;
  r.priority_flag = 1;
  r.schedule_delivery_time = kNow + 3600 * kSecond + 123; // sub-second part is dropped
  r.validity_period = kNow + 7200 * kSecond;
  r.registered_delivery = 1;
  r.data_coding = 8;
  r.sm_default_msg_id = 9; // never forwarded
  r.short_message = {5, 0, 3, 1, 2, 1, 'x'};
  r.tlvs = {TLV{0x1401, 0, {}}, TLV{0x020C, 2, {0, 7}}};

  uint8_t* buffer = submitSMEncodeBuffer();
  const size_t n = encodeSubmitSM(r, buffer, kMaxBodyLength);
  ASSERT_GT(n, 0u);
  const Parsed p = parse(std::vector<uint8_t>(buffer, buffer + n));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.record.service_type, "CMT");
  EXPECT_EQ(p.record.schedule_delivery_time, kNow + 3600 * kSecond);
  EXPECT_EQ(p.record.validity_period, kNow + 7200 * kSecond);
  EXPECT_EQ(p.record.sm_default_msg_id, 0);
  EXPECT_EQ(p.record.short_message, r.short_message);
  ASSERT_EQ(p.record.tlvs.size(), 2u);
  EXPECT_EQ(p.record.tlvs[1].value, (std::vector<uint8_t>{0, 7}));
}

TEST(SubmitSMEncoderTest, ZeroTimesAreEmptyAndOversizeIsRefused) {
  SubmitSMRecord r;
  r.tlvs = {TLV{0x0424, 3, {'a', 'b', 'c'}}};
  uint8_t out[64];
  const size_t n = encodeSubmitSM(r, out, sizeof(out));
  // 3 empty strings, 7 octets, 2 empty times, 5 octets incl. sm_length 0, TLV.
  PduBuilder expected;
  expected.cstr("").octet(0).octet(0).cstr("").octet(0).octet(0).cstr("").octet(0).octet(0);
  expected.octet(0).cstr("").cstr("").octet(0).octet(0).octet(0).octet(0).octet(0);
  expected.tlv(0x0424, {'a', 'b', 'c'});
  EXPECT_EQ(std::vector<uint8_t>(out, out + n), expected.body());

  EXPECT_EQ(encodeSubmitSM(r, out, expected.body().size() - 1), 0u);
  r.short_message.assign(256, 'x');
  EXPECT_EQ(encodeSubmitSM(r, submitSMEncodeBuffer(), kMaxBodyLength), 0u);
}

} // namespace
} // namespace quorvex::smpp
