// The fields of a delivery receipt: its text, then its TLVs.
#include <tuple>

#include "upstream/DeliverSMView.h"
#include "upstream/ReceiptFields.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

using Fields = std::tuple<std::string, int, int, std::string>; // id, state, error, done date

Fields receiptOf(const PduBuilder& b) {
  DeliverSMView view;
  EXPECT_TRUE(decodeDeliverSM(b.body().data(), b.body().size(), view));
  const ReceiptFields r = readReceipt(view);
  return {r.messageId, r.state, r.error, r.doneDate};
}

TEST(ReceiptFieldsTest, TextThenTlvsInOrderWithMalformedNetworkErrorsIgnored) {
  const std::string text = "id:111 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 "
                           "stat:DELIVRD err:000 text:";
  EXPECT_EQ(receiptOf(deliverSMBody(0x04, bytes(text))), Fields("111", 2, 0, "2401011201"));
  // Text that does not parse fully keeps only its state word.
  EXPECT_EQ(receiptOf(deliverSMBody(0x04, bytes("something stat:UNDELIV"))), Fields("", 5, 0, ""));
  PduBuilder b = deliverSMBody(0x04, bytes(text));
  b.tlv(0x001E, bytes(std::string("abc\0", 4))).tlv(0x0427, {5}).tlv(0x0423, {3, 0x01, 0x02});
  EXPECT_EQ(receiptOf(b), Fields("abc", 5, 0x0102, "2401011201"));
  // A network error of another type or length is ignored.
  b = deliverSMBody(0x04, bytes(""));
  b.tlv(0x0423, {2, 0x01, 0x02}).tlv(0x0423, {3, 0x01}).tlv(0x001E, bytes("noterm"));
  EXPECT_EQ(receiptOf(b), Fields("noterm", 0, 0, ""));
}

} // namespace
} // namespace quorvex::upstream::test
