// The upstream manager on test-owned services, a clock moved by hand, a
// recording downstream port and a minimal SMSC peer on a loopback socket.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <functional>
#include <ranges>
#include <set>
#include <tuple>

#include "cdr/SMPPCDRManager.h"
#include "metrics/MetricEvents.h"
#include "smpp/PduBuilder.h"
#include "smpp/SMPPConstants.h"
#include "smpp/SessionTestSupport.h"
#include "support/TestProcess.h"
#include "tracker/SmscId.h"
#include "tracker/Tracker.h"
#include "upstream/SMPPUpstream.h"

namespace quorvex::upstream::test {

using smpp::test::Frame;
using smpp::test::PduBuilder;
namespace command = smpp::command;

// The downstream side as the upstream side sees it, recording every call.
class RecordingPort : public DownstreamPort {
public:
  // Session id, sequence number, request id, status and message id of a response.
  using Relay = std::tuple<uint64_t, uint32_t, uint32_t, uint32_t, std::string>;
  using Push = std::pair<std::string, std::vector<uint8_t>>; // ESME and deliver_sm body

  bool relaySubmitSMResp(uint64_t id, uint32_t seq, uint32_t requestId, uint32_t status,
                         std::string_view messageId) override {
    if (esmeConnected) {
      relays.emplace_back(id, seq, requestId, status, messageId);
    }
    return esmeConnected;
  }
  void pushDeliverSM(const std::string& esme, const uint8_t* body, size_t length) override {
    pushes.emplace_back(esme, std::vector<uint8_t>(body, body + length));
  }

  bool esmeConnected = true; // relays succeed
  std::vector<Relay> relays;
  std::vector<Push> pushes;
};

inline std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A deliver_sm body with the given esm_class, message and destination;
// TLVs may be appended.
inline PduBuilder deliverSMBody(uint8_t esmClass, const std::vector<uint8_t>& message,
                                const std::string& destination = "100") {
  PduBuilder b;
  b.cstr("").octet(1).octet(1).cstr("447700900123").octet(0).octet(0).cstr(destination);
  b.octet(esmClass).octet(0).octet(0).cstr("").cstr("").octet(0).octet(0).octet(0);
  return b.octet(0).octet(static_cast<uint8_t>(message.size())).raw(message);
}

inline ConfTarget makeTarget(const std::string& name, int32_t port, int32_t bindQty,
                             int32_t weight) {
  return {.name = name,
          .host = "127.0.0.1",
          .port = port,
          .bindQty = bindQty,
          .systemId = "gw",
          .password = "pw",
          .systemType = "",
          .weight = weight,
          .tpsLimit = 32000,
          .tlsCaFile = ""};
}

// The command and sequence number of a frame.
inline std::pair<uint32_t, uint32_t> head(const Frame& f) {
  return {f.header.command_id, f.header.sequence_number};
}

class UpstreamTest : public ::testing::Test {
protected:
  UpstreamTest() {
    upstream_.setDownstreamPort(&port_);
    upstream_.setReadinessWaitMillis(1);
  }

  void addSet(const std::string& id, std::vector<ConfTarget> targets, bool enabled = true) {
    config_.confSharedTargetSets[id] = {id, id, enabled, std::move(targets)};
  }
  ConfTarget& target(size_t i = 0, const std::string& set = "s1") {
    return config_.confSharedTargetSets[set].targets[i];
  }
  // Runs iterations until `done` holds; false after `limit` iterations.
  bool runUntil(const std::function<bool()>& done, int limit = 400) {
    for (int i = 0; i < limit; ++i) {
      upstream_.upstreamRun();
      if (done && done()) {
        return true;
      }
    }
    return false;
  }
  void run(int iterations) { runUntil(nullptr, iterations); }
  // Moves the clock on, then runs.
  void after(uint64_t seconds, int iterations = 1) {
    clock_.advanceSeconds(seconds);
    run(iterations);
  }
  // A copy of every slot.
  std::map<uint64_t, BindSlot> slots() {
    std::map<uint64_t, BindSlot> copy;
    upstream_.inspect([&](const auto& all, const auto&) { copy = all; });
    return copy;
  }
  // A copy of the slot; smscid 0 when there is none.
  BindSlot slot(uint64_t smscid) { return slots()[smscid]; }
  // Ids of the slots `pick` holds for.
  std::set<uint64_t> slotsWhere(const std::function<bool(const BindSlot&)>& pick) {
    const auto all = slots();
    auto ids =
        all | std::views::filter([&](const auto& s) { return pick(s.second); }) | std::views::keys;
    return {ids.begin(), ids.end()};
  }
  // Bind states of the sessions, in creation order.
  std::vector<int> sessions() {
    std::vector<int> states;
    upstream_.inspect([&](const auto&, const auto& list) {
      std::ranges::transform(list, std::back_inserter(states), &smpp::SMPPSession::bindState);
    });
    return states;
  }

  // Static, as the registry and the tracker read it through plain functions.
  static inline smpp::test::ManualClock clock_;
  MetricsRegistry registry_{[] { return clock_.now; }};
  MetricEvents events_{registry_};
  TarnConfiguration config_;
  Tracker tracker_{events_, [] { return clock_.now; }};
  SMPPCDRManager cdr_;
  RecordingPort port_;
  SMPPUpstream upstream_{UpstreamContext{config_, tracker_, cdr_, events_, clock_}};
};

// The upstream manager against a minimal SMSC: a listening loopback socket
// the test accepts and reads with time-outs, alternating with upstreamRun().
class LoopbackSmscTest : public UpstreamTest {
protected:
  LoopbackSmscTest() {
    sockaddr_in addr{AF_INET, htons(smscPort_), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(::listen(listener_, 16), 0);
  }
  ~LoopbackSmscTest() override {
    ::close(fd_);
    ::close(listener_);
  }

  // Configures `t` (named "A") as the one target of set "s1" and initialises
  // the thread.
  void configure(ConfTarget t) {
    addSet("s1", {std::move(t)});
    upstream_.initialise();
  }
  void configure() { configure(makeTarget("A", smscPort_, 1, 1)); }
  // The SMSC's next frame, or one with command_id 0 after `timeoutMs`.
  Frame read(int timeoutMs = 2000) { return smpp::test::readFrame(fd_, timeoutMs); }
  void write(const std::vector<uint8_t>& bytes) { smpp::test::writeAll(fd_, bytes); }
  // Runs until the SMSC has the connection and the bind request in
  // `bindRequest_`; false if either does not come.
  bool connectAndReadBind() {
    pollfd p{listener_, POLLIN, 0};
    ::close(std::exchange(fd_, -1));
    if (!runUntil([&] { return sessions().size() == 1; }) || ::poll(&p, 1, 2000) <= 0 ||
        (fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) < 0 ||
        !runUntil([&] { return sessions() == std::vector<int>{smpp::kBindRequested}; })) {
      return false;
    }
    bindRequest_ = read();
    return true;
  }
  // Connects and answers a bind request of type `request` with success.
  bool bind(uint32_t request = command::kBindTransceiver) {
    if (!connectAndReadBind() || bindRequest_.header.command_id != request) {
      return false;
    }
    write(PduBuilder().cstr("SMSC").frame(request | smpp::kResponseBit,
                                          bindRequest_.header.sequence_number));
    return runUntil(
        [&] { return !sessions().empty() && sessions()[0] >= smpp::kBoundTransceiver; });
  }

  const uint16_t smscPort_ = quorvex::test::freePort();
  const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const uint64_t id_ = smscId("A", 0, false); // smscid of the bind
  int fd_ = -1;                               // the SMSC's end of its connection
  Frame bindRequest_;
};

} // namespace quorvex::upstream::test
