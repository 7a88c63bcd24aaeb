#include "admin/OAuthStore.h"
#include "app/Application.h"
#include "config/TarnConfiguration.h"
#include "downstream/DeliverSMQueue.h"
#include "downstream/SMPPLoadBalancerServer.h"
#include "metrics/MetricsRegistry.h"
#include "tracker/Tracker.h"
#include "upstream/SMPPUpstream.h"

namespace {

// The process-wide objects exist before main runs, in this order, and are
// destroyed in reverse order after it returns.
const bool processObjectsReady = [] {
  quorvex::loadBalancerServer();
  quorvex::oauthStore();
  quorvex::configuration();
  quorvex::metricsRegistry();
  quorvex::tracker();
  quorvex::deliverSMQueue();
  quorvex::smppUpstream();
  return true;
}();

} // namespace

int main(int argc, char** argv) { return quorvex::runApplication(argc, argv); }
