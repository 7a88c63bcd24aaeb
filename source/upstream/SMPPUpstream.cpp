// The upstream thread: start, stop and one iteration.
#include "upstream/SMPPUpstream.h"

#include <algorithm>
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
  context_.config.setObserver(this);
  thread_ = std::thread(&SMPPUpstream::threadBody, this);
}

void SMPPUpstream::stop() {
  stop_.store(true);
  context_.config.setObserver(nullptr);
  eventLoop_.wake();
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
  nextConnect_ = 0;
  nextSweep_ = 0;
  speedStart_ = 0;
  // The main thread may already be submitting, so the rebuild is guarded.
  reinitUpstreamBinds(false);
}

void SMPPUpstream::threadBody() {
  initialise();
  // Each iteration sleeps in the event loop until a descriptor, the next
  // connection attempt or session deadline, a wake-up (configuration change,
  // a submit queued by the main thread, stop) needs the thread.
  while (!stop_.load(std::memory_order_relaxed)) {
    upstreamRun();
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
  if (stamp != changeStampSeen_) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    const uint64_t again = context_.config.configChangeStamp.load();
    if (again != changeStampSeen_) {
      changeStampSeen_ = again;
      reinitLocked(true);
      // Admin-down flags and new slots are acted on in this iteration.
      nextSweep_ = 0;
      nextConnect_ = 0;
    }
  }

  if (!resolving_.empty()) {
    takeResolutions();
  }
  makeConnections();
  if (now >= nextSweep_) {
    superviseSessions(now);
  }
  processSessionActivity();
}

void SMPPUpstream::superviseSessions(uint64_t now) {
  // Deadlines set during the pass (a handshake started by a connect it
  // settles) are kept: the pass's own result is merged in at its end.
  nextSweep_ = ~0ULL;
  std::vector<SMPPSessionClient*> copy;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    copy.reserve(sessions_.size());
    for (const auto& session : sessions_) {
      copy.push_back(session.get());
    }
  }
  uint64_t next = ~0ULL;
  std::vector<SMPPSessionClient*> doomed;
  for (SMPPSessionClient* session : copy) {
    // A failed connect removes (destroys) the session: not touched again.
    // A connect still in progress is settled by its write readiness.
    if (session->connectionState() != kConnectionConnected) {
      // A handshake past its deadline fails here; one still running keeps
      // its deadline in the next pass's time.
      const uint64_t handshakeDeadline = session->handshakeDeadline();
      if (!checkAsyncConnect(*session)) {
        if (handshakeDeadline != 0 && handshakeDeadline > now) {
          next = std::min(next, handshakeDeadline);
        }
        continue;
      }
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
      session->sendUnbind(); // written when closeSession closes the connection
      remove = true;
    } else {
      bool sweep = false;
      remove = session->timedCheck(sweep);
    }
    if (remove) {
      closeSession(*session);
      session->setConnectionState(kConnectionClosed);
      doomed.push_back(session);
      continue;
    }
    const uint64_t delay = session->nextCheckDelay(now);
    if (delay != smpp::SMPPSession::kNoCheck) {
      next = std::min(next, now + delay);
    }
    // A submit the main thread adds after this pass cannot time out before
    // one response timeout from now, so that bounds the sleep.
    next = std::min<uint64_t>(next, now + uint64_t{session->responseTimeout()} * 1000000U);
  }
  nextSweep_ = std::min(nextSweep_, next);
  if (!doomed.empty()) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (SMPPSessionClient* session : doomed) {
      removeUpstreamSession(*session);
    }
  }
}

SMPPUpstream& smppUpstream() {
  // The services are reached first so that they outlive this instance.
  static SMPPUpstream instance(UpstreamContext{
      configuration(), tracker(), SMPPCDRManager::instance(), metricEvents(), smpp::systemClock()});
  return instance;
}

} // namespace quorvex
