// The server dispatcher and bind state machine against a peer on a socket pair.
#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/SMPPSessionServer.h"

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
                          const std::string& password, const std::string&, uint32_t, const char*,
                          uint32_t) override {
    calls.push_back("bind " + systemId + "/" + password);
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
};

std::vector<uint8_t> bind(uint32_t id, uint32_t seq, uint8_t version = 0x34,
                          const std::string& systemId = "esme1") {
  PduBuilder b;
  b.cstr(systemId).cstr("secret").cstr("").octet(version).octet(0).octet(0).cstr("");
  return b.frame(id, seq);
}

std::vector<uint8_t> bare(uint32_t id, uint32_t seq) { return PduBuilder().frame(id, seq); }
test::Reply nack(uint32_t seq) { return {kGenericNack, kInvalidCommandId, seq}; }

class SMPPSessionServerTest : public test::SessionTest<ScriptedServer> {
protected:
  // Binds with `version`, which is kept and answered as offered.
  void bindAs(uint32_t id, uint8_t version = 0x34) {
    ASSERT_EQ(pass(bind(id, 1, version)), (Replies{{id | kResponseBit, kOk, 1}}));
    EXPECT_EQ(frames[0].body, PduBuilder().cstr("VantorelSMSC").tlv(0x0210, {version}).body());
  }
};

TEST_F(SMPPSessionServerTest, BindUnbindAndBindAgain) {
  EXPECT_EQ(pass(bare(kUnbind, 5)), (Replies{{kUnbindResp, kInvalidBindState, 5}}));
  session.setClosingTime(clock.now + 20000000);
  ASSERT_EQ(pass(bind(kBindTransmitter, 11, 0x10)), (Replies{{kBindTransmitterResp, kOk, 11}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("VantorelSMSC").tlv(0x0210, {0x34}).body());
  EXPECT_EQ(std::tuple(session.bindState(), session.interfaceVersion(), session.systemId(),
                       session.closingTime(), session.bindTime()),
            std::tuple(kBoundTransmitter, 0x34, "esme1", 0u, clock.now));

  ASSERT_EQ(pass(bind(kBindReceiver, 12)), (Replies{{kBindReceiverResp, kAlreadyBound, 12}}));
  EXPECT_TRUE(frames[0].body.empty());
  // Both would fail if the refusal had left the session unbound.
  EXPECT_EQ(pass(bare(kUnbind, 6)), (Replies{{kUnbindResp, kOk, 6}}));
  bindAs(kBindTransceiver);
  EXPECT_EQ(session.bindState(), kBoundTransceiver);
  EXPECT_EQ(session.calls, (Calls{"bind esme1/secret", "unbind", "bind esme1/secret"}));
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

  session.bindResult = kBindAnswered; // the hook answered: nothing more is sent
  EXPECT_EQ(pass(bind(kBindTransmitter, 1)), Replies{});
  // A refused bind refuses the rest of its pass without asking again.
  session.bindResult = kBindRefuse;
  EXPECT_EQ(
      pass(bind(kBindTransmitter, 2), bind(kBindTransmitter, 3)),
      (Replies{{kBindTransmitterResp, kBindFailed, 2}, {kBindTransmitterResp, kBindFailed, 3}}));

  session.bindResult = kBindAccept;
  ASSERT_EQ(pass(bind(kBindTransmitter, 4, 0x33)), (Replies{{kBindTransmitterResp, kOk, 4}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("VantorelSMSC").body());
  // data_sm below 0x34 (the version kept): generic_nack, and the pass ends there.
  EXPECT_EQ(pass(test::dataSMBody().frame(kDataSM, 5), bare(kEnquireLink, 6)), Replies{nack(5)});
  EXPECT_EQ(pass(), (Replies{{kEnquireLinkResp, kOk, 6}}));
  EXPECT_EQ(session.calls, Calls(3, "bind esme1/secret"));
}

TEST_F(SMPPSessionServerTest, SubmitAndDataSMOutcomes) {
  const std::vector<uint8_t> submit = test::submitBody().frame(kSubmitSM, 7);
  EXPECT_EQ(pass(submit), (Replies{{kSubmitSMResp, kInvalidBindState, 7}}));
  bindAs(kBindReceiver);
  EXPECT_EQ(pass(submit, test::dataSMBody().frame(kDataSM, 8)),
            (Replies{{kSubmitSMResp, kInvalidBindState, 7}, {kDataSMResp, kInvalidBindState, 8}}));
  EXPECT_EQ(pass(bare(kUnbind, 9)), (Replies{{kUnbindResp, kOk, 9}}));

  bindAs(kBindTransceiver, 0x50);
  ASSERT_EQ(pass(test::submitBody().frame(kSubmitSM, 20)), (Replies{{kSubmitSMResp, kOk, 20}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("msg-1").body());

  EXPECT_EQ(pass(test::dataSMBody().tlv(0x0424, {'x'}).frame(kDataSM, 21)),
            (Replies{{kDataSMResp, kOk, 21}}));

  session.submitResult = kSubmitRefused;
  ASSERT_EQ(pass(test::submitBody().frame(kSubmitSM, 22)),
            (Replies{{kSubmitSMResp, kThrottled, 22}}));
  EXPECT_TRUE(frames[0].body.empty());

  session.submitResult = kSubmitAnswerLater;
  EXPECT_EQ(pass(test::submitBody().frame(kSubmitSM, 23)), Replies{});
  session.handleESMESubmitSMResponse(true, kSubmitSM, 23, "late", 0);
  ASSERT_EQ(test::received(pair.peer, frames), (Replies{{kSubmitSMResp, kOk, 23}}));
  EXPECT_EQ(frames[0].body, PduBuilder().cstr("late").body());

  // Unparsable or past validity: the parser's status, and the hook is not asked.
  EXPECT_EQ(pass(test::submitBody("", "240101115959000+").frame(kSubmitSM, 24),
                 test::submitBody().octet(1).frame(kSubmitSM, 25)),
            (Replies{{kSubmitSMResp, kInvalidExpiry, 24}, {kSubmitSMResp, kSubmitFailed, 25}}));
  const std::string submitted = "submit to 4915550002";
  EXPECT_EQ(session.calls, (Calls{"refused", "bind esme1/secret", "refused", "refused", "unbind",
                                  "bind esme1/secret", submitted, "submit to 2", submitted,
                                  submitted, "refused", "refused"}));
  EXPECT_EQ(session.submitSMStats().count.load(), 6u);
}

TEST_F(SMPPSessionServerTest, UnservedRequestsAreNackedAndResponsesIgnored) {
  // Each request the gateway does not serve gets an answer, or the peer
  // loses a window slot; responses, outbind and alert_notification do not.
  EXPECT_EQ(pass(test::submitBody().frame(kDeliverSM, 1),
                 PduBuilder().cstr("x").frame(kBindTransmitterResp, 2), bare(kOutbind, 3),
                 bare(kGenericNack, 4), bare(0x00012345, 5), bare(kReplaceSM, 7),
                 bare(kSubmitMulti, 8), bare(0, 11), bare(kAlertNotification, 12),
                 bare(kEnquireLink, 6)),
            (Replies{nack(1), nack(5), nack(7), nack(8), nack(11), {kEnquireLinkResp, kOk, 6}}));
  EXPECT_EQ(session.pdusRead(), 10);

  session.setEnquireSentTime(clock.now);
  EXPECT_EQ(pass(PduBuilder().frame(kDeliverSMResp, 9, 0x45), bare(kEnquireLinkResp, 10)),
            Replies{});
  EXPECT_EQ(session.calls, Calls{"deliver_sm_resp 69 #9"});
  EXPECT_EQ(session.enquireSentTime(), 0u);
}

TEST_F(SMPPSessionServerTest, QueryAndCancel) {
  const std::string id(64, 'm'); // the longest message_id
  const std::vector<uint8_t> query =
      PduBuilder().cstr(id).octet(1).octet(1).cstr("123").frame(kQuerySM, 1);
  const std::vector<uint8_t> cancel =
      PduBuilder().cstr("").cstr(id).octet(1).octet(1).cstr("1").frame(kCancelSM, 2);
  EXPECT_EQ(pass(query, cancel),
            (Replies{{kQuerySMResp, kInvalidBindState, 1}, {kCancelSMResp, kInvalidBindState, 2}}));
  bindAs(kBindTransmitter);
  EXPECT_EQ(pass(query, cancel),
            (Replies{{kQuerySMResp, kQueryFailed, 1}, {kCancelSMResp, kCancelFailed, 2}}));

  session.queryResult = true;
  ASSERT_EQ(pass(query), (Replies{{kQuerySMResp, kOk, 1}}));
  EXPECT_EQ(frames[0].body,
            PduBuilder().cstr(id).cstr("240101120000000+").octet(2).octet(0).body());
  EXPECT_EQ(pass(PduBuilder().cstr(id + "m").frame(kQuerySM, 3)),
            (Replies{{kQuerySMResp, kQueryFailed, 3}}));
  EXPECT_EQ(session.calls, (Calls{"bind esme1/secret", "query " + id, "query " + id}));
}

} // namespace
} // namespace quorvex::smpp
