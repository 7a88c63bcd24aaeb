// The receipt the built-in simulated SMSC returns for a submit.
#include <gtest/gtest.h>

#include "downstream/SimulatedReceipt.h"
#include "support/SmppTestClient.h"

namespace quorvex {

TEST(SimulatedReceiptTest, BodyAndTLVs) {
  std::string id;
  makeSimulatedMessageId(id);
  ASSERT_EQ(id.size(), 64u);
  smpp::SubmitSMRecord submit;
  submit.source_addr = "111";
  submit.source_addr_ton = 5;
  submit.source_addr_npi = 2;
  submit.destination_addr = "222";
  submit.dest_addr_ton = 1;
  submit.dest_addr_npi = 1;
  uint8_t body[512];
  const auto receipt = [&](uint8_t version) {
    const size_t n = buildSimulatedReceipt(submit, id, version, body, sizeof(body));
    return test::SmppTestClient::parseDeliverSM(std::vector<uint8_t>(body, body + n));
  };
  const auto parsed = receipt(0x34);
  ASSERT_TRUE(parsed);
  // The addresses swapped.
  EXPECT_EQ(std::tuple(parsed->source, parsed->sourceTon, parsed->sourceNpi, parsed->destination,
                       parsed->destinationTon, parsed->destinationNpi, parsed->esmClass),
            std::tuple("222", 1, 1, "111", 5, 2, 0x04));
  EXPECT_EQ(parsed->shortMessage.rfind("id:" + id + " sub:000 dlvrd:001 submit date:", 0), 0u);
  EXPECT_NE(parsed->shortMessage.find(" stat:DELIVRD err:000 text:"), std::string::npos);
  using Tlv = std::pair<uint16_t, std::vector<uint8_t>>;
  std::vector<uint8_t> terminatedId(id.begin(), id.end());
  terminatedId.push_back(0);
  EXPECT_EQ(parsed->tlvs,
            (std::vector<Tlv>{{0x0427, {2}}, {0x0423, {3, 0, 0}}, {0x001E, terminatedId}}));

  const auto older = receipt(0x33);
  ASSERT_TRUE(older);
  EXPECT_TRUE(older->tlvs.empty());
  EXPECT_EQ(buildSimulatedReceipt(submit, id, 0x34, body, 40), 0u);
}

} // namespace quorvex
