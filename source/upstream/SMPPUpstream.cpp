// The upstream thread: start, stop and one iteration.
#include "upstream/SMPPUpstream.h"

#include <chrono>
#include <cstdio>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricEvents.h"
#include "tracker/Tracker.h"

namespace quorvex {
namespace {

constexpr uint64_t kSpeedCheckMicros = 999999;

} // namespace

SMPPUpstream::SMPPUpstream(UpstreamContext context)
    : context_(context), port_(&unwired_), moRouter_(context.config) {}

SMPPUpstream::~SMPPUpstream() {
  if (thread_.joinable()) {
    stop();
  }
  removeAllSessions();
}

void SMPPUpstream::removeAllSessions() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  while (!sessions_.empty()) {
    SMPPSessionClient& session = *sessions_.back();
    closeSession(session);
    removeUpstreamSession(session);
  }
}

void SMPPUpstream::setDownstreamPort(DownstreamPort* port) {
  port_.store(port != nullptr ? port : &unwired_);
}

void SMPPUpstream::start() {
  stop_.store(false);
  thread_ = std::thread(&SMPPUpstream::threadBody, this);
}

void SMPPUpstream::stop() {
  stop_.store(true);
  std::printf("Waiting on upstream connections closing\n");
  std::fflush(stdout);
  if (thread_.joinable()) {
    thread_.join();
  }
  // While every other service still runs: at exit, thread-local and static
  // state the removal reports to may already be gone.
  removeAllSessions();
}

void SMPPUpstream::initialise() {
  const uint64_t now = context_.clock.nowMicros();
  nextPass_ = now;
  speedStart_ = 0;
  // The main thread may already be submitting, so the rebuild is guarded.
  reinitUpstreamBinds(false);
}

void SMPPUpstream::threadBody() {
  initialise();
  while (!stop_.load(std::memory_order_relaxed)) {
    activity_ = false;
    upstreamRun();
    if (activity_) {
      std::this_thread::sleep_for(std::chrono::microseconds(1));
    } else {
      // Idle: wait for readiness instead of sleeping blind, so a response
      // arriving now is read now; handlers run from inside the wait.
      eventLoop_.poll(1);
    }
  }
}

void SMPPUpstream::upstreamRun() {
  const uint64_t now = context_.clock.nowMicros();
  if (speedStart_ == 0) {
    speedStart_ = now;
    speedCount_ = 1;
  } else if (now - speedStart_ > kSpeedCheckMicros) {
    logApplication(LOG_INFO, this, kLogClass, "upstreamRun", "Speed Check = Count:%u Interval:%llu",
                   speedCount_, static_cast<unsigned long long>(now - speedStart_));
    speedStart_ = now;
    speedCount_ = 1;
    expireHeldReceipts(now);
  } else {
    ++speedCount_;
  }

  const uint64_t stamp = context_.config.configChangeStamp.load();
  if (stamp > changeStampSeen_) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    const uint64_t again = context_.config.configChangeStamp.load();
    if (again > changeStampSeen_) {
      changeStampSeen_ = again;
      reinitLocked(true);
    }
  }

  makeConnections();

  std::vector<SMPPSessionClient*> copy;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    copy.reserve(sessions_.size());
    for (const auto& session : sessions_) {
      copy.push_back(session.get());
    }
  }
  std::vector<SMPPSessionClient*> doomed;
  for (SMPPSessionClient* session : copy) {
    // A failed connect removes (destroys) the session: not touched again.
    if (session->connectionState() != kConnectionConnected && !checkAsyncConnect(*session)) {
      continue;
    }
    bool adminDown = false;
    {
      std::lock_guard<std::mutex> lock(sessionsMutex_);
      auto slot = slots_.find(session->smscid());
      adminDown = slot != slots_.end() && slot->second.adminDown;
    }
    bool remove = false;
    if (adminDown) {
      logApplication(LOG_INFO, this, kLogClass, "upstreamRun",
                     "set to administratively down - disconnect %s 0x%llx",
                     session->targetName().c_str(),
                     static_cast<unsigned long long>(session->smscid()));
      session->sendUnbind();
      remove = true;
    } else {
      bool sweep = false;
      remove = session->timedCheck(sweep);
    }
    if (remove) {
      closeSession(*session);
      session->setConnectionState(kConnectionClosed);
      doomed.push_back(session);
    }
  }
  if (!doomed.empty()) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (SMPPSessionClient* session : doomed) {
      removeUpstreamSession(*session);
    }
  }

  processSessionActivity();
}

SMPPUpstream& smppUpstream() {
  // The services are reached first so that they outlive this instance.
  static SMPPUpstream instance(UpstreamContext{
      configuration(), tracker(), SMPPCDRManager::instance(), metricEvents(), smpp::systemClock()});
  return instance;
}

} // namespace quorvex
