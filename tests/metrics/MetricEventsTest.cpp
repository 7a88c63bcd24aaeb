#include <gtest/gtest.h>

#include <string>

#include "metrics/MetricEvents.h"
#include "metrics/MetricFamilies.h"
#include "metrics/MetricsRegistry.h"

namespace quorvex {
namespace {

class MetricEventsTest : public ::testing::Test {
protected:
  MetricEventsTest() : events_(registry_) { registerMetrics(registry_); }
  MetricsRegistry registry_;
  MetricEvents events_;
};

TEST_F(MetricEventsTest, SubmitSentUpstreamLabelsEsmeTargetAndBindInstance) {
  events_.submitSentUpstream("esme1", "smscA", 0x1234567800 + 2);
  events_.submitSentUpstream("esme1", "smscA", 0x12345678ff);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM{esme=\"esme1\",smsc=\"smscA\"}"), 2u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM_SMSC{smsc=\"smscA\"}"), 2u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM_SMSC_Bind{smsc=\"smscA\",bind=\"2\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSM_SMSC_Bind{smsc=\"smscA\",bind=\"255\"}"), 1u);
  const std::string text = registry_.renderMetrics();
  EXPECT_NE(text.find("quorvex_smppSubmitSMRate{esme=\"esme1\",smsc=\"smscA\"} 0 "),
            std::string::npos);
}

TEST_F(MetricEventsTest, LabelValuesAreEscapedForTheTextFormat) {
  events_.submitReceived("bad\"esme\\x\ny");
  const std::string name = "smppSubmitSM_ESME{esme=\"bad\\\"esme\\\\x\\ny\"}";
  EXPECT_EQ(registry_.counterValue(name), 1u);
  const std::string text = registry_.renderMetrics();
  EXPECT_NE(text.find("quorvex_" + name + " 1 "), std::string::npos);
  EXPECT_EQ(text.find("bad\"esme"), std::string::npos);
}

TEST_F(MetricEventsTest, UnboundGaugesCountOpenedMinusBound) {
  events_.upstreamSessionOpened("t", 2);
  events_.upstreamSessionOpened("t", 2);
  events_.upstreamSessionBound("t", 2);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 2);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions_SMSC_Type{smsc=\"t\",type=\"trx\"}"), 2);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound_SMSC{smsc=\"t\"}"), 1);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsUnbound"), 1);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsUnbound_SMSC{smsc=\"t\"}"), 1);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsUnbound_SMSC_Type{smsc=\"t\",type=\"trx\"}"),
            1);
  events_.upstreamBoundSessionEnded("t", 2);
  events_.upstreamSessionClosed("t", 2);
  events_.upstreamSessionClosed("t", 2);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions"), 0);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsBound"), 0);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessionsUnbound"), 0);
  events_.upstreamSessionOpened("t", 7);
  EXPECT_EQ(registry_.gaugeValue("upstreamSMPPSessions_SMSC_Type{smsc=\"t\",type=\"invalid\"}"), 1);
}

TEST_F(MetricEventsTest, ResetTargetMetricsZeroesPerTargetSeries) {
  events_.receiptReceived("t");
  events_.receiptReceived("t");
  events_.submitRespFromUpstream("t");
  EXPECT_EQ(registry_.counterValue("smppDeliverSMDLR_SMSC{smsc=\"t\"}"), 2u);
  events_.resetTargetMetrics("t");
  events_.resetTargetMetrics("fresh");
  EXPECT_EQ(registry_.counterValue("smppDeliverSMDLR_SMSC{smsc=\"t\"}"), 0u);
  EXPECT_EQ(registry_.counterValue("smppSubmitSMResp_SMSC{smsc=\"t\"}"), 0u);
  EXPECT_EQ(registry_.counterValue("smppDeliverSMDLR"), 2u); // totals are kept
  const std::string text = registry_.renderMetrics();
  EXPECT_NE(text.find("quorvex_smppDeliverSMMORate_SMSC{smsc=\"fresh\"} 0 "), std::string::npos);
  EXPECT_NE(text.find("quorvex_sockets_smpp_UP_SubmitSM_sendFail_SMSC{smsc=\"fresh\"} 0 "),
            std::string::npos);
}

// Upstream bind results and the tracker gauges are checked by the tests of
// their callers.
TEST_F(MetricEventsTest, DownstreamBindAttemptsAndDeliverPath) {
  events_.downstreamBindAttempt(true);
  events_.downstreamBindAttempt(false);
  events_.downstreamBindAttempt(false);
  events_.deliverSendToEsmeFailed("e");
  events_.deliverRespFromEsme("e");
  EXPECT_EQ(registry_.counterValue("smppDownstreamBindAttemptTotal"), 3u);
  EXPECT_EQ(registry_.counterValue("smppDownstreamBindAttempt{result=\"success\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppDownstreamBindAttempt{result=\"fail\"}"), 2u);
  EXPECT_EQ(registry_.counterValue("sockets_smpp_DN_DeliverSM_sendFail_ESME{esme=\"e\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppDeliverSMSendFail_ESME{esme=\"e\"}"), 1u);
  EXPECT_EQ(registry_.counterValue("smppDeliverSMRespTotal"), 1u);
}

} // namespace
} // namespace quorvex
