// Correlation of traffic across the two sides of the gateway: upstream
// (bind, sequence number) pairs back to the ESME session and sequence number,
// SMSC message ids to the owning ESME, and downstream session ids to their
// system id and session object. The message-id map survives restarts in the
// file "msgtrack".
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "metrics/MetricEvents.h"

namespace quorvex {

// Declared, not included: the Tracker only holds weak references to
// downstream sessions and never calls them.
class SMPPLoadBalancerSession;

// The ESME side of one re-sequenced submit_sm.
struct SubmitSMOrigin {
  uint64_t sessionId;                  // downstream session that sent the submit_sm
  uint64_t seqno;                      // its sequence number on that session
  std::optional<std::string> systemId; // that session's system id, when it is known
};

class Tracker {
public:
  using Clock = uint64_t (*)(); // wall-clock µs
  static constexpr const char* kFileName = "msgtrack";

  // Loads `path` when it is not empty, and saves to it on destruction.
  explicit Tracker(std::string path = "", MetricEvents& metrics = metricEvents(),
                   Clock clock = nullptr);
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // Upstream pairs.
  void addSubmitSM(uint64_t sessionId, uint64_t seqno, uint64_t nextSMSC, uint64_t seqnoOut);
  std::optional<SubmitSMOrigin> getSessionForSubmitSMResp(uint64_t nextSMSC, uint64_t seqnoOut);

  // Message ids, keyed by the target part of `smscid`. A hit consumes the
  // entry; the target->ESME map and the default system id are the fallbacks.
  void addMessageIDMapping(uint64_t smscid, std::string_view messageId,
                           std::string_view esmeSystemID);
  std::optional<std::string> getMessageIDMapping(uint64_t smscid, std::string_view messageId);
  void addTargetESME(uint64_t key, std::string_view esmeSystemID);

  // Downstream sessions.
  void setSessionSystemID(uint64_t sessionId, std::string_view systemID);
  std::optional<std::string> getSessionSystemID(uint64_t sessionId);
  void addSession(uint64_t sessionId, std::weak_ptr<SMPPLoadBalancerSession> session);
  std::weak_ptr<SMPPLoadBalancerSession> getSession(uint64_t sessionId);
  // Forgets a session that ended; otherwise both session maps would grow for
  // the life of the process.
  void removeSession(uint64_t sessionId);

  // Start-up settings ("dlr.default_system_id", "dlr.disable_msgid_tracking").
  void setDefaultSystemID(std::string_view systemID);
  void setDisableMessageIDTracking(bool disable);

  // The message-id map in the "msgtrack" layout.
  void saveToFile(const std::string& path);
  void loadFromFile(const std::string& path);

  size_t submitSMMapSize();
  size_t messageIDMapSize();

private:
  struct SubmitSMKey {
    uint64_t nextSMSC; // smscid of the upstream bind
    uint64_t seqnoOut; // sequence number on that bind
    bool operator==(const SubmitSMKey&) const = default;
  };
  struct SubmitSMKeyHash {
    size_t operator()(const SubmitSMKey& k) const {
      uint64_t seed = k.nextSMSC;
      seed ^= k.seqnoOut + 0x9e3779b9 + (seed << 6) + (seed >> 2);
      return seed;
    }
  };
  struct SubmitSMEntry {
    uint64_t timestamp; // µs when added
    uint64_t seqno;     // ESME sequence number
    uint64_t sessionId; // ESME session id
  };

  // Owned key and borrowed look-up form, so that look-ups do not copy the id.
  struct MessageIDKey {
    uint64_t target;       // smscid >> 8 of the issuing SMSC
    std::string messageId; // as returned in submit_sm_resp
  };
  struct MessageIDView {
    uint64_t target;            // smscid >> 8
    std::string_view messageId; // borrowed
  };
  struct MessageIDHash {
    using is_transparent = void;
    size_t operator()(const MessageIDView& k) const {
      return std::hash<std::string_view>{}(k.messageId) ^ (k.target << 1);
    }
    size_t operator()(const MessageIDKey& k) const {
      return (*this)(MessageIDView{k.target, k.messageId});
    }
  };
  struct MessageIDEqual {
    using is_transparent = void;
    template <class A, class B> bool operator()(const A& a, const B& b) const {
      return a.target == b.target && std::string_view(a.messageId) == std::string_view(b.messageId);
    }
  };
  using MessageIDMap = std::unordered_map<MessageIDKey, std::string, MessageIDHash, MessageIDEqual>;

  // Removes and returns the exact entry; the caller holds the mutex.
  std::optional<std::string> takeMessageID(uint64_t target, std::string_view messageId);
  void writeMissDiagnostic(const SubmitSMKey& key);

  const std::string path_; // file loaded at construction and saved at destruction
  MetricEvents& metrics_;  // size gauges
  const Clock clock_;      // source of "now"

  std::mutex mutex_; // guards everything below
  std::unordered_map<SubmitSMKey, SubmitSMEntry, SubmitSMKeyHash> submitSMMap_;
  MessageIDMap messageIDMap_;                        // -> ESME system id
  std::map<uint64_t, std::string> targetESMEMap_;    // target part -> ESME system id
  std::map<uint64_t, std::string> sessionSystemIDs_; // session id -> system id
  std::map<uint64_t, std::weak_ptr<SMPPLoadBalancerSession>> sessions_; // session id -> session
  std::string defaultSystemID_;    // receipt owner of last resort; empty = none
  bool disableTracking_ = false;   // message ids are not recorded
  bool haveLastAddSubmit_ = false; // lastAddSubmit_ is set
  uint64_t lastAddSubmit_ = 0;     // µs of the previous addSubmitSM
};

// The process-wide Tracker on "msgtrack", constructed (and the file loaded)
// on the first call, saved when the process exits normally.
Tracker& tracker();

} // namespace quorvex
