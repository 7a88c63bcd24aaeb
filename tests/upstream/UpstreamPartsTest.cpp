// The pieces of the upstream traffic path on their own: the outstanding
// submit table, deliver_sm decoding, receipt fields, MO text and look-up,
// and the table of receipts held for an unknown message id.
#include <gtest/gtest.h>

#include "config/TarnConfiguration.h"
#include "smpp/PduBuilder.h"
#include "tracker/SmscId.h"
#include "upstream/DeliverSMView.h"
#include "upstream/MORouter.h"
#include "upstream/OutstandingSubmits.h"
#include "upstream/ReceiptFields.h"
#include "upstream/ShortMessageText.h"
#include "upstream/UnknownReceipts.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

using smpp::test::PduBuilder;

ReceiptFields receiptOf(const PduBuilder& b) {
  DeliverSMView view;
  EXPECT_TRUE(decodeDeliverSM(b.body().data(), b.body().size(), view));
  return readReceipt(view);
}

SubmitOrigin origin(uint32_t esmeSequence) {
  SubmitOrigin submit;
  submit.esmeSequence = esmeSequence;
  return submit;
}

TEST(OutstandingSubmitsTest, TakesEachEntryOnceAndTracksTheOldest) {
  OutstandingSubmits table(4);
  table.add(1, origin(101), 1000);
  table.add(2, origin(102), 2000);
  table.add(3, origin(103), 3000);
  EXPECT_EQ(table.oldestSent(), 1000u);
  EXPECT_EQ(table.take(1).value_or(SubmitOrigin{}).esmeSequence, 101u);
  EXPECT_FALSE(table.take(1).has_value());
  EXPECT_EQ(table.oldestSent(), 2000u);
  EXPECT_EQ(table.take(3).value_or(SubmitOrigin{}).esmeSequence, 103u);
  EXPECT_EQ(table.oldestSent(), 2000u);
  EXPECT_EQ(table.take(2).value_or(SubmitOrigin{}).esmeSequence, 102u);
  EXPECT_EQ(table.oldestSent(), 0u);
  EXPECT_EQ(table.size(), 0u);
}

TEST(OutstandingSubmitsTest, RingGrowsWithTheWindowAndKeepsEveryEntry) {
  OutstandingSubmits table;
  for (uint32_t seq = 1; seq <= 1000; ++seq) {
    table.add(seq, origin(seq), seq);
  }
  EXPECT_EQ(table.oldestSent(), 1u);
  for (uint32_t seq = 1000; seq >= 1; --seq) {
    ASSERT_EQ(table.take(seq).value_or(SubmitOrigin{}).esmeSequence, seq);
    EXPECT_EQ(table.oldestSent(), seq > 1 ? 1u : 0u);
  }
}

TEST(OutstandingSubmitsTest, EntriesOutlivingTheirRingCellMoveAside) {
  OutstandingSubmits table(4);
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    table.add(seq, origin(seq + 100), seq * 10);
  }
  EXPECT_EQ(table.size(), 10u);
  EXPECT_EQ(table.oldestSent(), 10u);
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    EXPECT_EQ(table.take(seq).value_or(SubmitOrigin{}).esmeSequence, seq + 100) << seq;
  }
  EXPECT_EQ(table.oldestSent(), 0u);
  EXPECT_FALSE(table.take(11).has_value());

  // A lost bind hands back every waiting entry once, ring and overflow alike.
  for (uint32_t seq = 20; seq < 30; ++seq) {
    table.add(seq, {seq, 7, 0x103, true, nullptr}, 1000 - seq);
  }
  table.take(25);
  const auto all = table.takeAll();
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all.front().first, 29u); // oldest first
  EXPECT_EQ(all.front().second.esmeCommand, 0x103u);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.oldestSent(), 0u);
  EXPECT_TRUE(table.takeAll().empty());

  // Across the wrap from 0x7FFFFFFF to 1 the oldest is still found at once.
  table.add(0x7FFFFFFE, origin(1), 50);
  table.add(0x7FFFFFFF, origin(2), 60);
  table.add(1, origin(3), 70);
  table.take(0x7FFFFFFE);
  table.take(0x7FFFFFFF);
  EXPECT_EQ(table.oldestSent(), 70u);
}

TEST(DeliverSMViewTest, DecodesFieldsAndRejectsFieldsRunningPastTheBody) {
  PduBuilder b = deliverSMBody(0x04, bytes("hello"), 0, "555");
  b.tlv(0x1801, {0xAB});
  DeliverSMView view;
  ASSERT_TRUE(decodeDeliverSM(b.body().data(), b.body().size(), view));
  EXPECT_EQ(view.sourceAddr, "447700900123");
  EXPECT_EQ(view.destinationAddr, "555");
  EXPECT_EQ(view.esmClass, 0x04);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.shortMessage), view.smLength), "hello");
  EXPECT_EQ(view.tlvLength, 5u);
  // Cut inside the TLV value, inside the message, and a missing NUL.
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), b.body().size() - 1, view));
  const size_t messageEnd = b.body().size() - 5;
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), messageEnd - 2, view));
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), 3, view));
  // A source address longer than 20 characters.
  PduBuilder longAddress;
  longAddress.cstr("").octet(0).octet(0).cstr(std::string(21, '1'));
  EXPECT_FALSE(decodeDeliverSM(longAddress.body().data(), longAddress.body().size(), view));
}

TEST(ReceiptFieldsTest, TextThenTlvsInOrderWithMalformedNetworkErrorsIgnored) {
  const std::string text = "id:111 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                           "stat:DELIVRD err:000 text:";
  ReceiptFields r = receiptOf(deliverSMBody(0x04, bytes(text)));
  EXPECT_EQ(r.messageId, "111");
  EXPECT_EQ(r.state, 2);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.doneDate, "2401011201");
  // Text that does not parse fully keeps only its state word.
  r = receiptOf(deliverSMBody(0x04, bytes("something stat:UNDELIV")));
  EXPECT_EQ(r.messageId, "");
  EXPECT_EQ(r.state, 5);

  PduBuilder b = deliverSMBody(0x04, bytes(text));
  b.tlv(0x001E, bytes(std::string("abc\0", 4))).tlv(0x0427, {5}).tlv(0x0423, {3, 0x01, 0x02});
  r = receiptOf(b);
  EXPECT_EQ(r.messageId, "abc");
  EXPECT_EQ(r.state, 5);
  EXPECT_EQ(r.error, 0x0102);

  // A network error of another type or length is ignored.
  b = deliverSMBody(0x04, bytes(""));
  b.tlv(0x0423, {2, 0x01, 0x02}).tlv(0x0423, {3, 0x01}).tlv(0x001E, bytes("noterm"));
  r = receiptOf(b);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.messageId, "noterm");
}

TEST(ShortMessageTextTest, Ucs2BecomesUtf8UdhIsSkippedAndOtherCodingsKeptRaw) {
  // "Grüße €" and a character outside the basic plane (U+1F600).
  const std::vector<uint8_t> ucs2 = {0x00, 'G',  0x00, 'r',  0x00, 0xFC, 0x00, 0xDF, 0x00,
                                     'e',  0x00, ' ',  0x20, 0xAC, 0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(shortMessageText(ucs2.data(), ucs2.size(), 0, 8), "Gr\xC3\xBC\xC3\x9F"
                                                              "e \xE2\x82\xAC\xF0\x9F\x98\x80");
  // Broken UCS-2 gives replacement characters.
  const std::vector<uint8_t> loneSurrogate = {0xD8, 0x3D, 0x00, 'A', 0x00};
  EXPECT_EQ(ucs2ToUtf8(loneSurrogate.data(), loneSurrogate.size()), "\xEF\xBF\xBD"
                                                                    "A\xEF\xBF\xBD");
  const std::vector<uint8_t> udh = {0x05, 0x00, 0x03, 0x01, 0x02, 0x01, 'S', 'T', 'O', 'P'};
  EXPECT_EQ(shortMessageText(udh.data(), udh.size(), 0x40, 0), "STOP");
  EXPECT_EQ(shortMessageText(udh.data(), 6, 0x40, 0), "");
  const std::vector<uint8_t> latin = {'c', 0xE9};
  EXPECT_EQ(shortMessageText(latin.data(), latin.size(), 0, 3), "c\xE9");
  EXPECT_EQ(shortMessageText(nullptr, 0, 0, 8), "");
}

TEST(MORouterTest, ExactNumberFirstThenValidExpressionsAndChangesOnceStamped) {
  TarnConfiguration config;
  MORouter router(config);
  config.numberOwners = {{"100", "owner100"}, {"1", "owner1"}};
  EXPECT_EQ(router.lookup("100"), "owner100");
  // Searched anywhere, first in ascending order: "1" before "100".
  EXPECT_EQ(router.lookup("x100y"), "owner1");
  EXPECT_EQ(router.lookup("999"), "");

  config.numberOwners = {{"(12", "broken"}, {"^4477", "uk"}};
  EXPECT_EQ(router.lookup("100"), "owner100"); // unseen until the stamp moves
  config.configChangeStamp.store(42);
  // An invalid expression is skipped, but still matches exactly.
  EXPECT_EQ(router.lookup("447700900123"), "uk");
  EXPECT_EQ(router.lookup("(12"), "broken");
  EXPECT_EQ(router.lookup("x(12"), "");
}

TEST(UnknownReceiptsTest, HeldUnderTheTargetForAnyBindOfItUntilTooOld) {
  UnknownReceipts table;
  HeldReceipt held;
  held.body = {1, 2, 3};
  held.arrived = 1000;
  EXPECT_EQ(table.add(smscId("T", 0, false), "m1", held), 1u);
  EXPECT_FALSE(table.take(smscId("U", 0, false), "m1").has_value());
  const auto found = table.take(smscId("T", 3, false), "m1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->body, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(table.size(), 0u);

  // Expiry drops only receipts older than the maximum age.
  HeldReceipt old;
  old.arrived = 1000;
  HeldReceipt young;
  young.arrived = 5000;
  table.add(1 << 8, "old", old);
  table.add(1 << 8, "young", young);
  table.add(1 << 8, "taken", old);
  table.take(1 << 8, "taken");
  EXPECT_EQ(table.expire(6000, 4000), 1u);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.dropped(), 1u);
  // Held again later: the new arrival time counts.
  young.arrived = 9000;
  table.add(1 << 8, "young", young);
  EXPECT_EQ(table.expire(10000, 4000), 0u);
  EXPECT_EQ(table.expire(14000, 4000), 1u);
  EXPECT_EQ(table.size(), 0u);
}

} // namespace
} // namespace quorvex::upstream::test
