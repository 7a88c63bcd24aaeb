#include <gtest/gtest.h>

#include <tuple>

#include "PduBuilder.h"
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
constexpr uint64_t kDay = 86400 * kSecond;

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

std::vector<uint8_t> encode(const SubmitSMRecord& r, size_t capacity = kMaxBodyLength) {
  uint8_t* out = submitSMEncodeBuffer();
  return std::vector<uint8_t>(out, out + encodeSubmitSM(r, out, capacity));
}

// 0 when parsed, else the status left.
uint32_t failure(const std::vector<uint8_t>& body, uint32_t commandId = command::kSubmitSM) {
  const Parsed p = parse(body, commandId);
  return p.ok ? 0 : p.status;
}

TEST(ParseSubmitSMTest, FieldsAndStringLimits) {
  EXPECT_EQ(failure(submitBody().body(), command::kDeliverSM), 0xDEADu); // not touched
  // Every field's place is checked by the encoder's round trip below.
  EXPECT_EQ(failure(submitBody("", "", {'h'}, "ABCDE").body()), 0u); // 5 characters and the NUL
  const Parsed longService = parse(submitBody("", "", {'h'}, "ABCDEF").body());
  EXPECT_EQ(std::tuple(longService.ok, longService.status, longService.record.service_type),
            std::tuple(false, status::kSubmitFailed, "untouched"));
  // Every proper prefix ends inside a mandatory field or the short message.
  const std::vector<uint8_t> full = submitBody().body();
  for (size_t cut = 0; cut < full.size(); ++cut) {
    EXPECT_EQ(failure({full.begin(), full.begin() + cut}), status::kSubmitFailed) << cut;
  }
}

TEST(ParseSubmitSMTest, OptionalPartRules) {
  EXPECT_TRUE(parse(submitBody().octet(0).body()).ok);
  EXPECT_FALSE(parse(submitBody().octet(1).body()).ok);
  EXPECT_FALSE(parse(submitBody().octet(0).octet(0).body()).ok); // half a TLV header

  // Value announced one octet longer than present; and one octet too many.
  EXPECT_FALSE(parse(submitBody().raw({0x04, 0x24, 0, 3, 1, 2}).body()).ok);
  EXPECT_FALSE(parse(submitBody().tlv(0x0424, {1}).octet(9).body()).ok);
}

TEST(ParseSubmitSMTest, TimesAndPastTimeStatuses) {
  // (status, 0 when parsed; schedule_delivery_time; validity_period)
  const auto times = [](const char* schedule, const char* validity) {
    const Parsed p = parse(submitBody(schedule, validity).body());
    return std::tuple(p.ok ? 0u : p.status, p.record.schedule_delivery_time,
                      p.record.validity_period);
  };
  EXPECT_EQ(times("", "000000000100000R"), std::tuple(0u, 0u, kNow + 60 * kSecond));
  EXPECT_EQ(times("", ""), std::tuple(0u, 0u, kNow + kDay));
  EXPECT_EQ(times("240101130000000+", "240102120000000+"),
            std::tuple(0u, kNow + 3600 * kSecond, kNow + kDay));
  EXPECT_EQ(times("xxR", ""), std::tuple(0u, kNow, kNow + kDay)); // unreadable relative: now
  EXPECT_EQ(times("", "240101115959000+"), std::tuple(status::kInvalidExpiry, 0u, 0u));
  EXPECT_EQ(times("garbage", ""), std::tuple(status::kInvalidSchedule, 0u, 0u));
  // Offsets can move a 1970 time before the epoch; it is past, not huge.
  EXPECT_EQ(times("", "700101000000004+"), std::tuple(status::kInvalidExpiry, 0u, 0u));
  EXPECT_TRUE(parse(submitBody("", "240101115959000+").body(), command::kSubmitSM, false).ok);
}

TEST(ParseSubmitSMTest, DataSMKeepsPayloadInTLVs) {
  PduBuilder b;
  b.cstr("WAP").octet(1).octet(1).cstr("111").octet(2).octet(2).cstr("222").octet(0x40);
  const std::vector<uint8_t> payload = PduBuilder().tlv(0x0424, {'p', 'a', 'y'}).body();
  const Parsed p = parse(PduBuilder(b).octet(1).octet(8).raw(payload).body(), command::kDataSM);
  ASSERT_TRUE(p.ok);
  // Forwarded as a submit_sm without times and short message.
  b.octet(0).octet(0).cstr("").cstr("").octet(1).octet(0).octet(8).octet(0).octet(0);
  EXPECT_EQ(encode(p.record), b.raw(payload).body());

  // Addresses take 20 characters and the NUL.
  const auto addresses = [](const std::string& source, const std::string& destination) {
    PduBuilder b;
    b.cstr("").octet(1).octet(1).cstr(source).octet(1).octet(1).cstr(destination);
    return parse(b.octet(0).octet(0).octet(0).body(), command::kDataSM).ok;
  };
  const std::string longest(20, '1');
  EXPECT_TRUE(addresses(longest, longest));
  EXPECT_FALSE(addresses(longest + "1", "2"));
  EXPECT_FALSE(addresses("1", longest + "2"));
}

TEST(ConcatenationTest, UdhAndSarDetectionNeverReadingPastTheMessage) {
  const auto info = [](uint8_t esmClass, std::vector<uint8_t> sm, std::vector<TLV> tlvs = {}) {
    SubmitSMRecord r;
    r.esm_class = esmClass;
    r.short_message = std::move(sm);
    r.tlvs = std::move(tlvs);
    const ConcatenationInfo i = getConcatenationInfo(r);
    return std::tuple(i.concatenated, int{i.reference}, int{i.total});
  };
  EXPECT_EQ(info(0x40, {5, 0, 3, 0x2A, 3, 1, 'x'}), std::tuple(true, 0x2A, 3));
  EXPECT_EQ(info(0x40, {7, 0x24, 1, 9, 0, 3, 7, 2, 1}), std::tuple(true, 7, 2)); // 0x00 second
  // The 16-bit element is not recognised: the TLVs decide.
  const std::vector<TLV> sar = {TLV{0x020C, 1, {9}}, TLV{0x020E, 1, {4}}};
  EXPECT_EQ(info(0x40, {6, 8, 4, 0, 1, 2, 1, 'x'}, sar), std::tuple(true, 9, 4));
  // Without the UDH indicator the UDH is not read.
  EXPECT_EQ(info(0, {5, 0, 3, 0x2A, 3, 1}), std::tuple(false, 1, 1));
  EXPECT_EQ(info(0, {'a'}, {TLV{0x020E, 2, {0, 4}}}), std::tuple(true, 0, 0));
  EXPECT_EQ(info(0, {'a'}, {TLV{0x020E, 1, {1}}, TLV{0x020C, 1, {5}}}), std::tuple(false, 5, 1));
  // The UDH claims more than the message holds; ASan would catch a read.
  EXPECT_EQ(info(0x40, {5, 0, 3}), std::tuple(false, 1, 1));
  EXPECT_EQ(info(0x40, {9, 0x24, 200}), std::tuple(false, 1, 1));
  EXPECT_EQ(info(0x40, {0xFF}), std::tuple(false, 1, 1));
}

TEST(SubmitSMEncoderTest, LayoutTimesPaddingAndLimits) {
  // Every field distinct, so that a field out of place shows.
  const auto layout = [](const std::string& schedule, const std::string& validity) {
    PduBuilder b;
    b.cstr("CMT").octet(1).octet(2).cstr("4915550001").octet(3).octet(4).cstr("4915550002");
    b.octet(0x40).octet(5).octet(1).cstr(schedule).cstr(validity).octet(1).octet(6).octet(8);
    b.octet(0).octet(3).raw({2, 0, 'x'}).tlv(0x1401, {}).tlv(0x020C, {7, 0});
    return b.body();
  };
  const Parsed p = parse(layout("240101130000000+", "240101140000000+"));
  ASSERT_TRUE(p.ok);
  SubmitSMRecord r = p.record;
  r.schedule_delivery_time += 123; // the fraction of a second is dropped
  r.sm_default_msg_id = 9;         // never forwarded
  r.tlvs[1] = TLV{0x020C, 2, {7}}; // a short value is padded with zeros
  EXPECT_EQ(encode(r), layout("240101130000000+", "240101140000000+"));
  r.schedule_delivery_time = r.validity_period = 0; // zero times are empty
  const std::vector<uint8_t> expected = layout("", "");
  EXPECT_EQ(encode(r), expected);
  EXPECT_TRUE(encode(r, expected.size() - 1).empty());
  r.short_message.assign(256, 'x'); // longer than sm_length can announce
  EXPECT_TRUE(encode(r).empty());
}

} // namespace
} // namespace quorvex::smpp
