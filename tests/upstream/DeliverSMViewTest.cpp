// Decoding of an SMSC's deliver_sm body.
#include "upstream/DeliverSMView.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {

TEST(DeliverSMViewTest, DecodesFieldsAndRejectsFieldsRunningPastTheBody) {
  PduBuilder b = deliverSMBody(0x04, bytes("hello"), "555");
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

} // namespace quorvex::upstream::test
