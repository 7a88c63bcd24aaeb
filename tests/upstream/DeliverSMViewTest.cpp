// Decoding of an SMSC's deliver_sm body.
#include <tuple>

#include "upstream/DeliverSMView.h"
#include "upstream/UpstreamTestSupport.h"

namespace quorvex::upstream::test {

TEST(DeliverSMViewTest, DecodesFieldsAndRejectsFieldsRunningPastTheBody) {
  PduBuilder b = deliverSMBody(0x04, bytes("hello"), "555");
  b.tlv(0x1801, {0xAB});
  DeliverSMView view;
  ASSERT_TRUE(decodeDeliverSM(b.body().data(), b.body().size(), view));
  const std::string_view message(reinterpret_cast<const char*>(view.shortMessage), view.smLength);
  EXPECT_EQ(std::tie(view.sourceAddr, view.destinationAddr, view.esmClass, message, view.tlvLength),
            std::tuple("447700900123", "555", 0x04, "hello", 5u));
  // Cut inside the TLV value, inside the message, and a missing NUL.
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), b.body().size() - 1, view));
  const size_t messageEnd = b.body().size() - 5;
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), messageEnd - 2, view));
  EXPECT_FALSE(decodeDeliverSM(b.body().data(), 3, view));
  // A source address longer than 20 characters.
  const auto longAddress =
      PduBuilder().cstr("").octet(0).octet(0).cstr(std::string(21, '1')).body();
  EXPECT_FALSE(decodeDeliverSM(longAddress.data(), longAddress.size(), view));
}

} // namespace quorvex::upstream::test
