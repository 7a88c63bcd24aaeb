// The fields of a delivery receipt: its text, then its TLVs.
#include "upstream/ReceiptFields.h"
#include "upstream/DeliverSMView.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {
namespace {

ReceiptFields receiptOf(const PduBuilder& b) {
  DeliverSMView view;
  EXPECT_TRUE(decodeDeliverSM(b.body().data(), b.body().size(), view));
  return readReceipt(view);
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

} // namespace
} // namespace quorvex::upstream::test
