// The upstream manager on test-owned services, a clock moved by hand, a
// recording downstream port and a minimal SMSC peer on a loopback socket.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cdr/SMPPCDRManager.h"
#include "config/TarnConfiguration.h"
#include "metrics/MetricEvents.h"
#include "metrics/MetricsRegistry.h"
#include "smpp/Clock.h"
#include "smpp/PduBuilder.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SessionTestSupport.h"
#include "support/TestProcess.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"
#include "upstream/DownstreamPort.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex::upstream::test {

using smpp::test::Frame;
using smpp::test::PduBuilder;

// Wall time of the services under test, moved by hand.
inline uint64_t& testNow() {
  static uint64_t now = 1704110400000000ULL;
  return now;
}
inline uint64_t testClock() { return testNow(); }

class TestClock : public smpp::Clock {
public:
  uint64_t nowMicros() const override { return testNow(); }
  void advanceMicros(uint64_t micros) const { testNow() += micros; }
  void advanceSeconds(uint64_t seconds) const { advanceMicros(seconds * 1000000ULL); }
};

// The downstream side as the upstream side sees it, recording every call.
class RecordingPort : public DownstreamPort {
public:
  struct Relay {
    uint64_t sessionId;    // ESME session
    uint32_t sequence;     // the ESME's sequence number
    uint32_t requestId;    // submit_sm or data_sm, answered in kind
    uint32_t status;       // command_status relayed
    std::string messageId; // message id relayed
  };
  struct Push {
    std::string esme;          // ESME system id
    std::vector<uint8_t> body; // deliver_sm body queued
  };

  bool relaySubmitSMResp(uint64_t id, uint32_t seq, uint32_t requestId, uint32_t status,
                         std::string_view messageId) override {
    if (openSessions.count(id) == 0) {
      return false;
    }
    relays.push_back(Relay{id, seq, requestId, status, std::string(messageId)});
    return relayResult;
  }
  void pushDeliverSM(const std::string& esme, const uint8_t* body, size_t length) override {
    pushes.push_back(Push{esme, std::vector<uint8_t>(body, body + length)});
  }

  std::set<uint64_t> openSessions; // sessions reported open
  bool relayResult = true;         // what relays return
  std::vector<Relay> relays;       // relays in order
  std::vector<Push> pushes;        // pushes in order
};

inline std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A deliver_sm body with the given esm_class, coding, message and
// destination; TLVs may be appended.
inline PduBuilder deliverSMBody(uint8_t esmClass, const std::vector<uint8_t>& message,
                                uint8_t dataCoding = 0, const std::string& destination = "100") {
  PduBuilder b;
  b.cstr("").octet(1).octet(1).cstr("447700900123").octet(0).octet(0).cstr(destination);
  b.octet(esmClass).octet(0).octet(0).cstr("").cstr("").octet(0).octet(0).octet(dataCoding);
  b.octet(0).octet(static_cast<uint8_t>(message.size())).raw(message);
  return b;
}

// A target record with the fields the tests vary.
inline ConfTarget makeTarget(const std::string& name, uint16_t port, int bindQty, int weight) {
  ConfTarget t;
  t.name = name;
  t.host = "127.0.0.1";
  t.port = port;
  t.bindQty = bindQty;
  t.systemId = "gw";
  t.password = "pw";
  t.systemType = "";
  t.weight = weight;
  t.tpsLimit = 32000;
  return t;
}

// A listening loopback socket that accepts binds one at a time. Blocking
// reads with time-outs; the test alternates it with upstreamRun().
class FakeSMSC {
public:
  FakeSMSC() : port_(quorvex::test::freePort()) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port_);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listener_, 16) != 0) {
      throw std::runtime_error("listen");
    }
  }
  ~FakeSMSC() {
    for (int fd : peers_) {
      ::close(fd);
    }
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

  // The next connection, or -1 after `timeoutMs`.
  int accept(int timeoutMs = 2000) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
      return -1;
    }
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      peers_.push_back(fd);
    }
    return fd;
  }
  // One frame, or a frame with command_id 0 after `timeoutMs`.
  static Frame read(int fd, int timeoutMs = 2000) { return smpp::test::readFrame(fd, timeoutMs); }
  static void write(int fd, const std::vector<uint8_t>& bytes) { smpp::test::writeAll(fd, bytes); }
  void close(int fd) {
    ::close(fd);
    peers_.erase(std::remove(peers_.begin(), peers_.end(), fd), peers_.end());
  }
  // Stops listening, so new connections are refused.
  void stopListening() {
    ::close(listener_);
    listener_ = -1;
  }

private:
  uint16_t port_;          // loopback port listened on
  int listener_ = -1;      // listening socket
  std::vector<int> peers_; // accepted connections
};

// The upstream manager on services of its own; logs land in a temporary
// directory that is the working directory.
class UpstreamTest : public ::testing::Test {
protected:
  UpstreamTest()
      : events_(registry_), tracker_(events_, &testClock),
        upstream_(std::make_unique<SMPPUpstream>(
            UpstreamContext{config_, tracker_, cdr_, events_, clock_})) {
    EXPECT_EQ(::chdir(dir_.path().c_str()), 0);
    upstream_->setDownstreamPort(&port_);
    upstream_->setReadinessWaitMillis(1);
  }

  ConfSharedTargetSet& addSet(const std::string& id, std::vector<ConfTarget> targets,
                              bool enabled = true) {
    ConfSharedTargetSet& set = config_.confSharedTargetSets[id];
    set.id = id;
    set.name = id;
    set.submitsEnabled = enabled;
    set.targets = std::move(targets);
    return set;
  }
  void addEsme(const std::string& systemId, const std::string& setId) {
    ConfESME& esme = config_.confESME[systemId];
    esme.systemId = systemId;
    esme.sharedTargetSetId = setId;
  }
  // Marks the configuration changed, as admin operations do.
  void touchConfiguration() {
    clock_.advanceMicros(1);
    config_.configChangeStamp.store(testNow());
  }
  // Runs iterations until `done` holds; false after `limit` iterations.
  bool runUntil(const std::function<bool()>& done, int limit = 400) {
    for (int i = 0; i < limit; ++i) {
      upstream_->upstreamRun();
      if (done()) {
        return true;
      }
    }
    return false;
  }
  BindSlot slot(uint64_t smscid) {
    BindSlot copy;
    upstream_->inspect([&](const auto& slots, const auto&) {
      auto it = slots.find(smscid);
      if (it != slots.end()) {
        copy = it->second;
        copy.session = nullptr;
      }
    });
    return copy;
  }
  bool hasSlot(uint64_t smscid) {
    bool found = false;
    upstream_->inspect([&](const auto& slots, const auto&) { found = slots.count(smscid) != 0; });
    return found;
  }
  size_t sessionCount() {
    size_t n = 0;
    upstream_->inspect([&](const auto&, const auto& sessions) { n = sessions.size(); });
    return n;
  }
  int bindStateOf(uint64_t smscid) {
    int state = -1;
    upstream_->inspect([&](const auto&, const auto& sessions) {
      for (const auto& s : sessions) {
        if (s->smscid() == smscid) {
          state = s->bindState();
        }
      }
    });
    return state;
  }

  quorvex::test::TempDir dir_;
  TestClock clock_;
  MetricsRegistry registry_{&testClock};
  MetricEvents events_;
  TarnConfiguration config_;
  Tracker tracker_;
  SMPPCDRManager cdr_;
  RecordingPort port_;
  std::unique_ptr<SMPPUpstream> upstream_;
};

// The upstream manager against the loopback SMSC, driven by hand.
class LoopbackSmscTest : public UpstreamTest {
protected:
  // Configures target "A" with one bind at `port` and starts the thread's
  // initialisation.
  uint64_t configure(uint16_t port, bool rxOnly = false) {
    ConfTarget t = makeTarget("A", port, 1, 1);
    t.useRxOnly = rxOnly;
    addSet("s1", {t});
    upstream_->initialise();
    return smscId("A", 0, false);
  }
  // Runs until the SMSC has the connection and the bind request; returns
  // the SMSC's descriptor (or -1) and the bind frame.
  int connectAndReadBind(uint64_t smscid, Frame& bind) {
    upstream_->upstreamRun();
    const int fd = smsc_.accept();
    if (fd < 0 || !runUntil([&] { return bindStateOf(smscid) == smpp::kBindRequested; })) {
      return -1;
    }
    bind = FakeSMSC::read(fd);
    return fd;
  }
  int bind(uint64_t smscid, uint32_t respId = smpp::command::kBindTransceiverResp) {
    Frame request;
    const int fd = connectAndReadBind(smscid, request);
    if (fd < 0) {
      return -1;
    }
    FakeSMSC::write(fd, PduBuilder().cstr("SMSC").frame(respId, request.header.sequence_number));
    if (!runUntil([&] { return bindStateOf(smscid) >= smpp::kBoundTransceiver; })) {
      return -1;
    }
    return fd;
  }

  FakeSMSC smsc_;
};

} // namespace quorvex::upstream::test
