// The server dispatcher and bind state machine against a peer on a socket pair.
#include <gtest/gtest.h>

#include "PduBuilder.h"
#include "SessionTestSupport.h"
#include "smpp/SMPPSessionServer.h"
#include "smpp/SMPPSocketUnencrypted.h"

namespace quorvex::smpp {
namespace {

using test::Frame;
using test::ManualClock;
using test::PduBuilder;
using test::SocketPair;

// Hooks with scripted answers that count their calls.
class ScriptedServer : public SMPPSessionServer {
public:
  using SMPPSessionServer::SMPPSessionServer;

  int onBindAuthorisation(uint64_t, const std::string&, uint8_t version,
                          const std::string& systemId, const std::string& password,
                          const std::string&, uint32_t, const char* responseSystemId,
                          uint32_t) override {
    ++bindCalls;
    lastVersion = version;
    lastSystemId = systemId;
    lastPassword = password;
    EXPECT_STREQ(responseSystemId, "VantorelSMSC");
    return bindResult;
  }
  void onUnbind() override { ++unbindCalls; }
  bool onQuerySM(const std::string&, const std::string& messageId, std::string& finalDate,
                 uint8_t& state, uint8_t& error) override {
    queriedId = messageId;
    finalDate = "240101120000000+";
    state = 2;
    error = 0;
    return queryResult;
  }
  void onSubmitRefused(const std::string&) override { ++refusedCalls; }
  int onSubmitSM(const std::string&, const SubmitSMRecord& record, uint32_t, uint32_t,
                 std::string& messageId, uint32_t& status) override {
    ++submitCalls;
    lastRecord = record;
    messageId = "msg-1";
    status = 0x58;
    return submitResult;
  }
  bool onDeliverSMResp(uint32_t status, const std::string&, uint32_t sequence) override {
    deliverResps.push_back({status, sequence});
    return true;
  }

  int bindResult = kBindAccept;                            // what onBindAuthorisation answers
  bool queryResult = false;                                // what onQuerySM answers
  int submitResult = kSubmitAccepted;                      // what onSubmitSM answers
  int bindCalls = 0;                                       // onBindAuthorisation calls
  int unbindCalls = 0;                                     // onUnbind calls
  int refusedCalls = 0;                                    // onSubmitRefused calls
  int submitCalls = 0;                                     // onSubmitSM calls
  uint8_t lastVersion = 0;                                 // interface_version last offered
  std::string lastSystemId;                                // system_id last offered
  std::string lastPassword;                                // password last offered
  std::string queriedId;                                   // message_id last queried
  SubmitSMRecord lastRecord;                               // last record handed to onSubmitSM
  std::vector<std::pair<uint32_t, uint32_t>> deliverResps; // (status, sequence) seen
};

std::vector<uint8_t> bind(uint32_t id, uint32_t seq, uint8_t version = 0x34,
                          const std::string& systemId = "esme1") {
  return PduBuilder()
      .cstr(systemId)
      .cstr("secret")
      .cstr("")
      .octet(version)
      .octet(0)
      .octet(0)
      .cstr("")
      .frame(id, seq);
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

class ServerSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    server.connection().attach(std::make_unique<SMPPSocketUnencrypted>(pair.gateway), pair.gateway,
                               false);
    server.setPeer("192.0.2.7", 40000);
  }

  // Sends `bytes`, runs one pass and returns what the peer received.
  std::vector<Frame> exchange(const std::vector<uint8_t>& bytes, bool* closed = nullptr) {
    pair.write(bytes);
    const bool result = server.run();
    if (closed != nullptr) {
      *closed = result;
    } else {
      EXPECT_FALSE(result);
    }
    return test::readFrames(pair.peer, 20);
  }

  void bindAs(uint32_t id, uint8_t version = 0x34) {
    const std::vector<Frame> r = exchange(bind(id, 1, version));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].header.command_status, 0u);
  }

  ManualClock clock;
  SocketPair pair;
  ScriptedServer server{nullptr, clock};
};

TEST_F(ServerSessionTest, BindAcceptedThenAlreadyBound) {
  server.setClosingTime(clock.now + 20000000);
  std::vector<Frame> r = exchange(bind(command::kBindTransmitter, 11, 0x10));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kBindTransmitterResp);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(r[0].header.sequence_number, 11u);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("VantorelSMSC").tlv(0x0210, {0x34}).body());
  EXPECT_EQ(server.bindState(), kBoundTransmitter);
  EXPECT_EQ(server.interfaceVersion(), 0x34);
  EXPECT_EQ(server.systemId(), "esme1");
  EXPECT_EQ(server.lastPassword, "secret");
  EXPECT_EQ(server.closingTime(), 0u);
  EXPECT_EQ(server.bindTime(), clock.now);

  r = exchange(bind(command::kBindReceiver, 12));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kBindReceiverResp);
  EXPECT_EQ(r[0].header.command_status, status::kAlreadyBound);
  EXPECT_TRUE(r[0].body.empty());
  EXPECT_EQ(server.bindState(), kBoundTransmitter);
  EXPECT_EQ(server.bindCalls, 1);
}

TEST_F(ServerSessionTest, VersionRulesOfBinds) {
  std::vector<Frame> r = exchange(bind(command::kBindTransceiver, 1, 0x33));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kBindFailed);
  EXPECT_EQ(server.bindCalls, 0);

  r = exchange(bind(command::kBindTransmitter, 2, 0x33));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("VantorelSMSC").body());
  EXPECT_EQ(server.interfaceVersion(), 0x33);

  // data_sm below 0x34: generic_nack, and the pass ends there.
  const std::vector<uint8_t> dataSM = test::dataSMBody().frame(command::kDataSM, 3);
  r = exchange(join({dataSM, PduBuilder().frame(command::kEnquireLink, 4)}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kGenericNack);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidCommandId);
  EXPECT_EQ(r[0].header.sequence_number, 3u);
  EXPECT_EQ(server.submitCalls, 0);
  EXPECT_FALSE(server.run());
  r = test::readFrames(pair.peer, 20);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kEnquireLinkResp);
}

TEST_F(ServerSessionTest, RefusedBindRefusesTheRestOfThePass) {
  server.bindResult = kBindRefuse;
  std::vector<Frame> r =
      exchange(join({bind(command::kBindTransmitter, 1), bind(command::kBindTransmitter, 2)}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].header.command_status, status::kBindFailed);
  EXPECT_EQ(r[1].header.command_status, status::kBindFailed);
  EXPECT_EQ(r[1].header.sequence_number, 2u);
  EXPECT_EQ(server.bindCalls, 1);
  EXPECT_EQ(server.bindState(), kUnbound);

  server.bindResult = kBindAccept;
  r = exchange(bind(command::kBindTransmitter, 3));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(server.bindCalls, 2);

  // A hook that answered itself: nothing more is sent, the state stays.
  ScriptedServer other{nullptr, clock};
  SocketPair p2;
  other.connection().attach(std::make_unique<SMPPSocketUnencrypted>(p2.gateway), p2.gateway, false);
  other.bindResult = kBindAnswered;
  p2.write(bind(command::kBindTransmitter, 1));
  EXPECT_FALSE(other.run());
  EXPECT_TRUE(test::readFrames(p2.peer, 20).empty());
  EXPECT_EQ(other.bindState(), kUnbound);
}

TEST_F(ServerSessionTest, MalformedBindsAreRefused) {
  // system_id of 16 characters has no NUL within 16 octets.
  std::vector<Frame> r = exchange(bind(command::kBindTransmitter, 1, 0x34, std::string(16, 's')));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kBindFailed);
  // interface_version missing.
  r = exchange(PduBuilder().cstr("a").cstr("b").cstr("c").frame(command::kBindTransmitter, 2));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kBindFailed);
  EXPECT_EQ(server.bindCalls, 0);
}

TEST_F(ServerSessionTest, UnbindAndBindAgain) {
  std::vector<Frame> r = exchange(PduBuilder().frame(command::kUnbind, 5));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidBindState);
  EXPECT_EQ(server.unbindCalls, 0);

  bindAs(command::kBindTransceiver);
  r = exchange(PduBuilder().frame(command::kUnbind, 6));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kUnbindResp);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(server.unbindCalls, 1);
  EXPECT_EQ(server.bindState(), kUnbound);

  bindAs(command::kBindTransmitter);
  EXPECT_EQ(server.bindCalls, 2);
  EXPECT_EQ(server.bindState(), kBoundTransmitter);
}

TEST_F(ServerSessionTest, SubmitOnReceiverBindAndUnbound) {
  const std::vector<uint8_t> submit = test::submitBody().frame(command::kSubmitSM, 7);
  std::vector<Frame> r = exchange(submit);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kSubmitSMResp);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidBindState);

  bindAs(command::kBindReceiver);
  const std::vector<uint8_t> dataSM = test::dataSMBody().frame(command::kDataSM, 8);
  r = exchange(join({submit, dataSM}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].header.command_id, command::kSubmitSMResp);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidBindState);
  EXPECT_EQ(r[1].header.command_id, command::kDataSMResp);
  EXPECT_EQ(r[1].header.command_status, status::kInvalidBindState);
  EXPECT_EQ(server.refusedCalls, 3);
  EXPECT_EQ(server.submitCalls, 0);
  EXPECT_EQ(server.submitSMStats().count.load(), 0u);
}

TEST_F(ServerSessionTest, SubmitOutcomes) {
  bindAs(command::kBindTransceiver);
  std::vector<Frame> r = exchange(test::submitBody().frame(command::kSubmitSM, 20));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("msg-1").body());
  EXPECT_EQ(server.lastRecord.destination_addr, "4915550002");
  EXPECT_EQ(server.lastRecord.validity_period, clock.now + 86400000000ULL);

  server.submitResult = kSubmitRefused;
  r = exchange(test::submitBody().frame(command::kSubmitSM, 21));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, 0x58u);
  EXPECT_TRUE(r[0].body.empty());

  server.submitResult = kSubmitAnswerLater;
  r = exchange(test::submitBody().frame(command::kSubmitSM, 22));
  EXPECT_TRUE(r.empty());
  server.handleESMESubmitSMResponse(true, command::kSubmitSM, 22, "late", 0);
  r = test::readFrames(pair.peer, 20);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.sequence_number, 22u);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("late").body());

  // Past validity: the parser's status, and the hook is not asked.
  r = exchange(test::submitBody("", "240101115959000+").frame(command::kSubmitSM, 23));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidExpiry);
  r = exchange(test::submitBody().octet(1).frame(command::kSubmitSM, 24));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kSubmitFailed);
  EXPECT_EQ(server.submitCalls, 3);
  EXPECT_EQ(server.refusedCalls, 2);
  EXPECT_EQ(server.submitSMStats().count.load(), 5u);
}

TEST_F(ServerSessionTest, DataSMAnsweredWithDataSMResp) {
  bindAs(command::kBindTransmitter, 0x50);
  const std::vector<uint8_t> dataSM =
      test::dataSMBody().tlv(0x0424, {'x'}).frame(command::kDataSM, 30);
  const std::vector<Frame> r = exchange(dataSM);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_id, command::kDataSMResp);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("msg-1").body());
  ASSERT_EQ(server.lastRecord.tlvs.size(), 1u);
}

TEST_F(ServerSessionTest, UnservedRequestsAreNackedAndResponsesIgnored) {
  std::vector<Frame> r = exchange(join({
      test::submitBody().frame(command::kDeliverSM, 1),
      PduBuilder().cstr("x").frame(command::kBindTransmitterResp, 2),
      PduBuilder().frame(command::kOutbind, 3),
      PduBuilder().frame(command::kGenericNack, 4),
      PduBuilder().frame(0x00012345, 5),
      PduBuilder().frame(command::kReplaceSM, 7),
      PduBuilder().frame(command::kSubmitMulti, 8),
      PduBuilder().frame(0, 11),
      PduBuilder().frame(command::kEnquireLink, 6),
  }));
  // Each request the gateway does not serve costs the peer no window slot.
  const std::vector<uint32_t> nacked{1, 5, 7, 8, 11};
  ASSERT_EQ(r.size(), nacked.size() + 1);
  for (size_t i = 0; i < nacked.size(); ++i) {
    EXPECT_EQ(r[i].header.command_id, command::kGenericNack);
    EXPECT_EQ(r[i].header.command_status, status::kInvalidCommandId);
    EXPECT_EQ(r[i].header.sequence_number, nacked[i]);
  }
  EXPECT_EQ(r.back().header.command_id, command::kEnquireLinkResp);
  EXPECT_EQ(server.bindState(), kUnbound);
  EXPECT_EQ(server.pdusRead(), 9);

  server.setEnquireSentTime(clock.now);
  r = exchange(join({PduBuilder().frame(command::kDeliverSMResp, 9, 0x45),
                     PduBuilder().frame(command::kEnquireLinkResp, 10)}));
  EXPECT_TRUE(r.empty());
  ASSERT_EQ(server.deliverResps.size(), 1u);
  EXPECT_EQ(server.deliverResps[0], (std::pair<uint32_t, uint32_t>{0x45, 9}));
  EXPECT_EQ(server.enquireSentTime(), 0u);
}

TEST_F(ServerSessionTest, QueryAndCancel) {
  const std::vector<uint8_t> query =
      PduBuilder().cstr("abc").octet(1).octet(1).cstr("123").frame(command::kQuerySM, 1);
  const std::vector<uint8_t> cancel =
      PduBuilder().cstr("").cstr("abc").octet(1).octet(1).cstr("1").frame(command::kCancelSM, 2);
  std::vector<Frame> r = exchange(join({query, cancel}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].header.command_status, status::kInvalidBindState);
  EXPECT_EQ(r[1].header.command_id, command::kCancelSMResp);
  EXPECT_EQ(r[1].header.command_status, status::kInvalidBindState);

  bindAs(command::kBindTransmitter);
  r = exchange(join({query, cancel}));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].header.command_id, command::kQuerySMResp);
  EXPECT_EQ(r[0].header.command_status, status::kQueryFailed);
  EXPECT_EQ(r[1].header.command_status, status::kCancelFailed);

  server.queryResult = true;
  r = exchange(query);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, 0u);
  EXPECT_EQ(r[0].body, PduBuilder().cstr("abc").cstr("240101120000000+").octet(2).octet(0).body());

  // message_id without a NUL within 65 octets.
  r = exchange(
      PduBuilder().raw(std::vector<uint8_t>(65, 'm')).octet(0).frame(command::kQuerySM, 3));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].header.command_status, status::kQueryFailed);
  EXPECT_EQ(server.queriedId, "abc");
}

} // namespace
} // namespace quorvex::smpp
