// The server dispatcher and bind state machine against a peer on a socket pair.
#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/SMPPSessionServer.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::smpp {
namespace {

using namespace command;
using namespace status;
using test::PduBuilder;
using test::Replies;
using Calls = std::vector<std::string>;

// Hooks with scripted answers that log their calls.
class ScriptedServer : public SMPPSessionServer {
public:
  using SMPPSessionServer::SMPPSessionServer;

  int onBindAuthorisation(uint64_t, const std::string&, uint8_t, const std::string& systemId,
                          const std::string& password, const std::string&, uint32_t,
                          const char* responseSystemId, uint32_t) override {
    calls.push_back("bind " + systemId + "/" + password);
    EXPECT_STREQ(responseSystemId, "VantorelSMSC");
    return bindResult;
  }
  void onUnbind() override { calls.push_back("unbind"); }
  bool onQuerySM(const std::string&, const std::string& messageId, std::string& finalDate,
                 uint8_t& state, uint8_t&) override {
    calls.push_back("query " + messageId);
    finalDate = "240101120000000+";
    state = 2;
    return queryResult;
  }
  void onSubmitRefused(const std::string&) override { calls.push_back("refused"); }
  int onSubmitSM(const std::string&, const SubmitSMRecord& record, uint32_t, uint32_t,
                 std::string& messageId, uint32_t& outStatus) override {
    calls.push_back("submit to " + record.destination_addr);
    lastRecord = record;
    messageId = "msg-1";
    outStatus = kThrottled;
    return submitResult;
  }
  bool onDeliverSMResp(uint32_t commandStatus, const std::string&, uint32_t sequence) override {
    calls.push_back("deliver_sm_resp " + std::to_string(commandStatus) + " #" +
                    std::to_string(sequence));
    return true;
  }

  int bindResult = kBindAccept;       // what onBindAuthorisation answers
  bool queryResult = false;           // what onQuerySM answers
  int submitResult = kSubmitAccepted; // what onSubmitSM answers
  std::vector<std::string> calls;     // the hooks called, in order
  SubmitSMRecord lastRecord;          // last record handed to onSubmitSM
};

std::vector<uint8_t> bind(uint32_t id, uint32_t seq, uint8_t version = 0x34,
                          const std::string& systemId = "esme1") {
  PduBuilder b;
  b.cstr(systemId).cstr("secret").cstr("").octet(version).octet(0).octet(0).cstr("");
  return b.frame(id, seq);
}

std::vector<uint8_t> bare(uint32_t id, uint32_t seq) { return PduBuilder().frame(id, seq); }

class SMPPSessionServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    server.connection().attach(std::make_unique<SMPPSocketUnencrypted>(pair.gateway), pair.gateway,
                               false);
  }

  // Sends the PDUs, runs one pass (which must not end the session) and
  // returns what the peer received; the bodies are left in `frames`.
  template <typename... Pdus> Replies pass(const Pdus&... pdus) {
    (pair.write(pdus), ...);
    EXPECT_FALSE(server.run());
    return test::received(pair.peer, &frames);
  }

  void bindAs(uint32_t id, uint8_t version = 0x34) {
    ASSERT_EQ(pass(bind(id, 1, version)), (Replies{{id | kResponseBit, kOk, 1}}));
  }

  test::ManualClock clock;
  test::SocketPair pair;
  ScriptedServer server{nullptr, clock};
  std::vector<test::Frame> frames; // what the last pass sent
};

TEST_F(SMPPSessionServerTest, BindUnbindAndBindAgain) {
  EXPECT_EQ(pass(bare(kUnbind, 5)), (Replies{{kUnbindResp, kInvalidBindState, 5}}));
  server.setClosingTime(clock.now + 20000000);
  ASSERT_EQ(pass(bind(kBindTransmitter, 11, 0x10)), (Replies{{kBindTransmitterResp, kOk, 11}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("VantorelSMSC").tlv(0x0210, {0x34}).body());
  EXPECT_EQ(server.bindState(), kBoundTransmitter);
  EXPECT_EQ(server.interfaceVersion(), 0x34);
  EXPECT_EQ(server.systemId(), "esme1");
  EXPECT_EQ(server.closingTime(), 0u);
  EXPECT_EQ(server.bindTime(), clock.now);

  ASSERT_EQ(pass(bind(kBindReceiver, 12)), (Replies{{kBindReceiverResp, kAlreadyBound, 12}}));
  EXPECT_TRUE(frames[0].body.empty());
  EXPECT_EQ(server.bindState(), kBoundTransmitter);

  EXPECT_EQ(pass(bare(kUnbind, 6)), (Replies{{kUnbindResp, kOk, 6}}));
  EXPECT_EQ(server.bindState(), kUnbound);
  bindAs(kBindTransceiver);
  EXPECT_EQ(server.bindState(), kBoundTransceiver);
  EXPECT_EQ(server.calls, (Calls{"bind esme1/secret", "unbind", "bind esme1/secret"}));
}

TEST_F(SMPPSessionServerTest, RefusedBindsAndVersionRules) {
  // Each in a pass of its own, refused before the hook is asked.
  EXPECT_EQ(pass(bind(kBindTransceiver, 1, 0x33)),
            (Replies{{kBindTransceiverResp, kBindFailed, 1}}));
  // system_id of 16 characters has no NUL within 16 octets.
  EXPECT_EQ(pass(bind(kBindTransmitter, 2, 0x34, std::string(16, 's'))),
            (Replies{{kBindTransmitterResp, kBindFailed, 2}}));
  // interface_version missing.
  EXPECT_EQ(pass(PduBuilder().cstr("a").cstr("b").cstr("c").frame(kBindTransmitter, 3)),
            (Replies{{kBindTransmitterResp, kBindFailed, 3}}));
  EXPECT_TRUE(server.calls.empty());

  server.bindResult = kBindAnswered; // the hook answered: nothing more is sent
  EXPECT_EQ(pass(bind(kBindTransmitter, 1)), Replies{});
  // A refused bind refuses the rest of its pass without asking again.
  server.bindResult = kBindRefuse;
  EXPECT_EQ(
      pass(bind(kBindTransmitter, 2), bind(kBindTransmitter, 3)),
      (Replies{{kBindTransmitterResp, kBindFailed, 2}, {kBindTransmitterResp, kBindFailed, 3}}));
  EXPECT_EQ(server.bindState(), kUnbound);

  server.bindResult = kBindAccept;
  ASSERT_EQ(pass(bind(kBindTransmitter, 4, 0x33)), (Replies{{kBindTransmitterResp, kOk, 4}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("VantorelSMSC").body());
  EXPECT_EQ(server.interfaceVersion(), 0x33);
  // data_sm below 0x34: generic_nack, and the pass ends there.
  EXPECT_EQ(pass(test::dataSMBody().frame(kDataSM, 5), bare(kEnquireLink, 6)),
            (Replies{{kGenericNack, kInvalidCommandId, 5}}));
  EXPECT_EQ(pass(), (Replies{{kEnquireLinkResp, kOk, 6}}));
  EXPECT_EQ(server.calls, Calls(3, "bind esme1/secret"));
}

TEST_F(SMPPSessionServerTest, SubmitAndDataSMOutcomes) {
  const std::vector<uint8_t> submit = test::submitBody().frame(kSubmitSM, 7);
  EXPECT_EQ(pass(submit), (Replies{{kSubmitSMResp, kInvalidBindState, 7}}));
  bindAs(kBindReceiver);
  EXPECT_EQ(pass(submit, test::dataSMBody().frame(kDataSM, 8)),
            (Replies{{kSubmitSMResp, kInvalidBindState, 7}, {kDataSMResp, kInvalidBindState, 8}}));
  EXPECT_EQ(server.submitSMStats().count.load(), 0u);
  EXPECT_EQ(pass(bare(kUnbind, 9)), (Replies{{kUnbindResp, kOk, 9}}));

  bindAs(kBindTransceiver, 0x50);
  ASSERT_EQ(pass(test::submitBody().frame(kSubmitSM, 20)), (Replies{{kSubmitSMResp, kOk, 20}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("msg-1").body());
  EXPECT_EQ(server.lastRecord.validity_period, clock.now + 86400000000ULL);

  ASSERT_EQ(pass(test::dataSMBody().tlv(0x0424, {'x'}).frame(kDataSM, 21)),
            (Replies{{kDataSMResp, kOk, 21}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("msg-1").body());
  EXPECT_EQ(server.lastRecord.tlvs.size(), 1u);

  server.submitResult = kSubmitRefused;
  ASSERT_EQ(pass(test::submitBody().frame(kSubmitSM, 22)),
            (Replies{{kSubmitSMResp, kThrottled, 22}}));
  EXPECT_TRUE(frames[0].body.empty());

  server.submitResult = kSubmitAnswerLater;
  EXPECT_EQ(pass(test::submitBody().frame(kSubmitSM, 23)), Replies{});
  server.handleESMESubmitSMResponse(true, kSubmitSM, 23, "late", 0);
  ASSERT_EQ(test::received(pair.peer, &frames), (Replies{{kSubmitSMResp, kOk, 23}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("late").body());

  // Unparsable or past validity: the parser's status, and the hook is not asked.
  EXPECT_EQ(pass(test::submitBody("", "240101115959000+").frame(kSubmitSM, 24),
                 test::submitBody().octet(1).frame(kSubmitSM, 25)),
            (Replies{{kSubmitSMResp, kInvalidExpiry, 24}, {kSubmitSMResp, kSubmitFailed, 25}}));
  const std::string submitted = "submit to 4915550002";
  EXPECT_EQ(server.calls, (Calls{"refused", "bind esme1/secret", "refused", "refused", "unbind",
                                 "bind esme1/secret", submitted, "submit to 2", submitted,
                                 submitted, "refused", "refused"}));
  EXPECT_EQ(server.submitSMStats().count.load(), 6u);
}

TEST_F(SMPPSessionServerTest, UnservedRequestsAreNackedAndResponsesIgnored) {
  // Each request the gateway does not serve gets an answer, or the peer
  // loses a window slot; responses, outbind and alert_notification do not.
  EXPECT_EQ(pass(test::submitBody().frame(kDeliverSM, 1),
                 PduBuilder().cstr("x").frame(kBindTransmitterResp, 2), bare(kOutbind, 3),
                 bare(kGenericNack, 4), bare(0x00012345, 5), bare(kReplaceSM, 7),
                 bare(kSubmitMulti, 8), bare(0, 11), bare(kAlertNotification, 12),
                 bare(kEnquireLink, 6)),
            (Replies{{kGenericNack, kInvalidCommandId, 1},
                     {kGenericNack, kInvalidCommandId, 5},
                     {kGenericNack, kInvalidCommandId, 7},
                     {kGenericNack, kInvalidCommandId, 8},
                     {kGenericNack, kInvalidCommandId, 11},
                     {kEnquireLinkResp, kOk, 6}}));
  EXPECT_EQ(server.bindState(), kUnbound);
  EXPECT_EQ(server.pdusRead(), 10);

  server.setEnquireSentTime(clock.now);
  EXPECT_EQ(pass(PduBuilder().frame(kDeliverSMResp, 9, 0x45), bare(kEnquireLinkResp, 10)),
            Replies{});
  EXPECT_EQ(server.calls, Calls{"deliver_sm_resp 69 #9"});
  EXPECT_EQ(server.enquireSentTime(), 0u);
}

TEST_F(SMPPSessionServerTest, QueryAndCancel) {
  const std::vector<uint8_t> query =
      PduBuilder().cstr("abc").octet(1).octet(1).cstr("123").frame(kQuerySM, 1);
  const std::vector<uint8_t> cancel =
      PduBuilder().cstr("").cstr("abc").octet(1).octet(1).cstr("1").frame(kCancelSM, 2);
  EXPECT_EQ(pass(query, cancel),
            (Replies{{kQuerySMResp, kInvalidBindState, 1}, {kCancelSMResp, kInvalidBindState, 2}}));
  bindAs(kBindTransmitter);
  EXPECT_EQ(pass(query, cancel),
            (Replies{{kQuerySMResp, kQueryFailed, 1}, {kCancelSMResp, kCancelFailed, 2}}));

  server.queryResult = true;
  ASSERT_EQ(pass(query), (Replies{{kQuerySMResp, kOk, 1}}));
  EXPECT_EQ(frames[0].body,
            PduBuilder().cstr("abc").cstr("240101120000000+").octet(2).octet(0).body());
  // message_id without a NUL within 65 octets.
  EXPECT_EQ(pass(PduBuilder().raw(std::vector<uint8_t>(65, 'm')).octet(0).frame(kQuerySM, 3)),
            (Replies{{kQuerySMResp, kQueryFailed, 3}}));
  EXPECT_EQ(server.calls, (Calls{"bind esme1/secret", "query abc", "query abc"}));
}

} // namespace
} // namespace quorvex::smpp
