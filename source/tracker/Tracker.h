// Correlation of traffic across the two sides of the gateway: upstream
// (bind, sequence number) pairs back to the ESME session and sequence number,
// SMSC message ids to the owning ESME, and downstream session ids to their
// system id and session object. Message-id owners live in a MessageIdStore,
// on disk in a running gateway, so that they survive restarts and crashes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/SpinningMutex.h"
#include "metrics/MetricEvents.h"
#include "tracker/MessageIdStore.h"

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
  // The file earlier versions kept the message-id map in; imported once.
  static constexpr const char* kLegacyFileName = "msgtrack";

  // Starts with an in-memory message-id store.
  explicit Tracker(MetricEvents& metrics = metricEvents(), Clock clock = nullptr);
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // Replaces the message-id store. Only while no traffic thread runs (start
  // and shutdown); the previous store is closed.
  void useStore(std::unique_ptr<MessageIdStore> store);
  // Waits until every mapping recorded so far would survive a crash; false
  // when the store could not write them.
  bool syncStore() { return store_->sync(); }

  // Upstream pairs.
  void addSubmitSM(uint64_t sessionId, uint64_t seqno, uint64_t nextSMSC, uint64_t seqnoOut,
                   std::string_view systemId = {});
  std::optional<SubmitSMOrigin> getSessionForSubmitSMResp(uint64_t nextSMSC, uint64_t seqnoOut);

  // Message ids, keyed by the target part of `smscid`. A hit consumes the
  // entry; a target with a single possible owner and the default system id
  // are the fallbacks.
  void addMessageIDMapping(uint64_t smscid, std::string_view messageId,
                           std::string_view esmeSystemID);
  std::optional<std::string> getMessageIDMapping(uint64_t smscid, std::string_view messageId);
  // Target part -> the one ESME account that can route there; targets that
  // several accounts reach are left out, so that one customer's receipt is
  // never handed to another. Replaces the previous table.
  void setTargetOwners(std::map<uint64_t, std::string> owners);

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

  // Moves the entries of a file in the earlier "msgtrack" layout into the
  // store; returns how many were read. Every length is bounded by the bytes
  // left, so a corrupt file cannot make the import allocate more than it holds.
  size_t importLegacyFile(const std::string& path);

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
    uint64_t timestamp;   // µs when added
    uint64_t seqno;       // ESME sequence number
    uint64_t sessionId;   // ESME session id
    std::string systemId; // ESME system id when the submit was sent; may be empty
  };

  using SubmitSMMap = std::unordered_map<SubmitSMKey, SubmitSMEntry, SubmitSMKeyHash>;

  std::optional<std::string> takeMessageID(uint64_t target, std::string_view messageId);

  MetricEvents& metrics_; // size gauges
  const Clock clock_;     // source of "now"
  // Swapped only while no traffic thread runs, so read without the mutex.
  std::unique_ptr<MessageIdStore> store_; // message id -> ESME system id
  bool installed_ = false;                // store_ came from useStore()

  std::atomic<bool> disableTracking_{false}; // message ids are not recorded

  SpinningMutex submitMutex_;                      // guards the four below; taken alone
  SubmitSMMap submitSMMap_;                        // upstream pair -> ESME side
  std::vector<SubmitSMMap::node_type> spareNodes_; // extracted nodes kept for reuse
  bool haveLastAddSubmit_ = false;                 // lastAddSubmit_ is set
  uint64_t lastAddSubmit_ = 0;                     // µs of the previous addSubmitSM

  std::mutex mutex_;                                 // guards everything below
  std::map<uint64_t, std::string> targetOwners_;     // target part -> its only ESME
  std::map<uint64_t, std::string> sessionSystemIDs_; // session id -> system id
  std::map<uint64_t, std::weak_ptr<SMPPLoadBalancerSession>> sessions_; // session id -> session
  std::string defaultSystemID_; // receipt owner of last resort; empty = none
};

// The process-wide Tracker, constructed on the first call.
Tracker& tracker();

} // namespace quorvex
