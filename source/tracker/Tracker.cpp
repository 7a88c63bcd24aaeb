#include "tracker/Tracker.h"

#include <cstdio>

#include "app/Log.h"
#include "tracker/SmscId.h"

namespace quorvex {
namespace {

const char* const kClass = "Tracker";

// submitSMMap is emptied after this long without any submit (µs).
constexpr uint64_t kStaleGapMicros = 30000000;
// Nodes of answered submits kept for reuse: about a window's worth per bind.
constexpr size_t kSpareNodes = 4096;

using ull = unsigned long long;

} // namespace

Tracker::Tracker(MetricEvents& metrics, Clock clock)
    : metrics_(metrics), clock_(clock != nullptr ? clock : &nowMicros),
      store_(std::make_unique<MemoryMessageIdStore>()) {}

Tracker::~Tracker() {
  // An installed store still open here means the process is exiting without
  // its shutdown (an exit from a failed start): the database library's own
  // statics may already be gone, and a traffic thread may still run. What
  // was written is in the store's log; the object is left alone.
  if (installed_) {
    static MessageIdStore* leftOpenAtExit = nullptr;
    leftOpenAtExit = store_.release();
    (void)leftOpenAtExit;
  }
}

void Tracker::useStore(std::unique_ptr<MessageIdStore> store) {
  installed_ = store != nullptr;
  store_ = store != nullptr ? std::move(store) : std::make_unique<MemoryMessageIdStore>();
  metrics_.trackerMessageIdMapSize(store_->size());
}

void Tracker::addSubmitSM(uint64_t sessionId, uint64_t seqno, uint64_t nextSMSC, uint64_t seqnoOut,
                          std::string_view systemId) {
  // The submitting and the answering thread meet on this lock once per
  // message each: nothing slow (clock, allocation, metrics) happens under it.
  const uint64_t now = clock_();
  std::lock_guard<SpinningMutex> guard(submitMutex_);
  if (!haveLastAddSubmit_) {
    haveLastAddSubmit_ = true;
    lastAddSubmit_ = now;
  }
  // A wall clock stepped back is no lull (the unsigned gap would wrap round).
  if (!submitSMMap_.empty() && now > lastAddSubmit_ && now - lastAddSubmit_ > kStaleGapMicros) {
    logApplication(LOG_WARNING, this, kClass, "addSubmitSM", "submitSMMap cleared");
    submitSMMap_.clear();
  }
  lastAddSubmit_ = now;
  const SubmitSMKey key{nextSMSC, seqnoOut};
  if (spareNodes_.empty()) {
    // A system id fits the string's inline buffer: one allocation, the node.
    submitSMMap_.insert_or_assign(key, SubmitSMEntry{now, seqno, sessionId, std::string(systemId)});
    return;
  }
  // A node taken by an earlier response is reused: no allocation at all.
  SubmitSMMap::node_type node = std::move(spareNodes_.back());
  spareNodes_.pop_back();
  node.key() = key;
  SubmitSMEntry& entry = node.mapped();
  entry.timestamp = now;
  entry.seqno = seqno;
  entry.sessionId = sessionId;
  entry.systemId.assign(systemId);
  auto placed = submitSMMap_.insert(std::move(node));
  if (!placed.inserted) {
    placed.position->second = std::move(placed.node.mapped());
    spareNodes_.push_back(std::move(placed.node));
  }
}

std::optional<SubmitSMOrigin> Tracker::getSessionForSubmitSMResp(uint64_t nextSMSC,
                                                                 uint64_t seqnoOut) {
  SubmitSMEntry entry;
  size_t size = 0;
  {
    std::lock_guard<SpinningMutex> guard(submitMutex_);
    auto it = submitSMMap_.find(SubmitSMKey{nextSMSC, seqnoOut});
    if (it == submitSMMap_.end()) {
      // One line: a dump of the whole map under the lock would stall both
      // traffic threads for as long as it takes to print.
      logApplication(LOG_WARNING, this, kClass, "getSessionForSubmitSMResp",
                     "Unable to find {sessionid,seqno} for nextSMSC 0x%llx seqno_out %llu",
                     static_cast<ull>(nextSMSC), static_cast<ull>(seqnoOut));
      return std::nullopt;
    }
    SubmitSMMap::node_type node = submitSMMap_.extract(it);
    entry.timestamp = node.mapped().timestamp;
    entry.seqno = node.mapped().seqno;
    entry.sessionId = node.mapped().sessionId;
    entry.systemId.assign(node.mapped().systemId);
    if (spareNodes_.size() < kSpareNodes) {
      spareNodes_.push_back(std::move(node));
    }
    size = submitSMMap_.size();
  }
  metrics_.trackerSubmitMapSize(size);
  // The clock is read for the log line only, so only when it is written.
  if (logEnabled(LOG_FINE)) {
    logApplication(LOG_FINE, this, kClass, "getSessionForSubmitSMResp",
                   "sessionid %llu seqno %llu nextSMSC 0x%llx seqno_out %llu latency %llu",
                   static_cast<ull>(entry.sessionId), static_cast<ull>(entry.seqno),
                   static_cast<ull>(nextSMSC), static_cast<ull>(seqnoOut),
                   static_cast<ull>(clock_() - entry.timestamp));
  }
  if (!entry.systemId.empty()) {
    return SubmitSMOrigin{entry.sessionId, entry.seqno, std::move(entry.systemId)};
  }
  return SubmitSMOrigin{entry.sessionId, entry.seqno, getSessionSystemID(entry.sessionId)};
}

void Tracker::addMessageIDMapping(uint64_t smscid, std::string_view messageId,
                                  std::string_view esmeSystemID) {
  if (disableTracking_.load(std::memory_order_relaxed)) {
    return;
  }
  if (logEnabled(LOG_FINE)) {
    const std::string id(messageId);
    const std::string esme(esmeSystemID);
    logApplication(LOG_FINE, this, kClass, "addMessageIDMapping",
                   "smscid 0x%llx message_id %s esmeSystemID %s", static_cast<ull>(smscid),
                   id.c_str(), esme.c_str());
  }
  store_->put(targetIdOf(smscid), messageId, esmeSystemID);
  metrics_.trackerMessageIdMapSize(store_->size());
}

std::optional<std::string> Tracker::takeMessageID(uint64_t target, std::string_view messageId) {
  std::optional<std::string> esme = store_->take(target, messageId);
  if (esme) {
    metrics_.trackerMessageIdMapSize(store_->size());
  }
  return esme;
}

std::optional<std::string> Tracker::getMessageIDMapping(uint64_t smscid,
                                                        std::string_view messageId) {
  const uint64_t target = targetIdOf(smscid);
  const std::string id(messageId);
  std::optional<std::string> esme = takeMessageID(target, messageId);
  if (!esme) {
    if (auto hex = hexFormOfDecimalId(messageId)) {
      esme = takeMessageID(target, *hex);
    }
  }
  if (esme) {
    logApplication(LOG_FINE, this, kClass, "getMessageIDMapping",
                   "smscid 0x%llx message_id %s esmeSystemID %s", static_cast<ull>(smscid),
                   id.c_str(), esme->c_str());
    return esme;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  auto owner = targetOwners_.find(target);
  if (owner != targetOwners_.end()) {
    logApplication(LOG_FINE, this, kClass, "getMessageIDMapping",
                   "smscid 0x%llx message_id %s esmeSystemID %s [target-esme map]",
                   static_cast<ull>(smscid), id.c_str(), owner->second.c_str());
    return owner->second;
  }
  if (!defaultSystemID_.empty()) {
    logApplication(LOG_FINE, this, kClass, "getMessageIDMapping",
                   "smscid 0x%llx message_id %s esmeSystemID %s [fallback to default]",
                   static_cast<ull>(smscid), id.c_str(), defaultSystemID_.c_str());
    return defaultSystemID_;
  }
  logApplication(LOG_WARNING, this, kClass, "getMessageIDMapping",
                 "Unable to find {esmeSystemID} for smscid 0x%llx message_id %s",
                 static_cast<ull>(smscid), id.c_str());
  return std::nullopt;
}

void Tracker::setTargetOwners(std::map<uint64_t, std::string> owners) {
  std::lock_guard<std::mutex> guard(mutex_);
  targetOwners_ = std::move(owners);
}

void Tracker::setSessionSystemID(uint64_t sessionId, std::string_view systemID) {
  std::lock_guard<std::mutex> guard(mutex_);
  sessionSystemIDs_[sessionId] = std::string(systemID);
}

std::optional<std::string> Tracker::getSessionSystemID(uint64_t sessionId) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = sessionSystemIDs_.find(sessionId);
  if (it == sessionSystemIDs_.end()) {
    return std::nullopt;
  }
  return it->second;
}

void Tracker::addSession(uint64_t sessionId, std::weak_ptr<SMPPLoadBalancerSession> session) {
  std::lock_guard<std::mutex> guard(mutex_);
  sessions_[sessionId] = std::move(session);
}

std::weak_ptr<SMPPLoadBalancerSession> Tracker::getSession(uint64_t sessionId) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = sessions_.find(sessionId);
  if (it == sessions_.end()) {
    return {};
  }
  return it->second;
}

void Tracker::removeSession(uint64_t sessionId) {
  std::lock_guard<std::mutex> guard(mutex_);
  sessions_.erase(sessionId);
  sessionSystemIDs_.erase(sessionId);
}

void Tracker::setDefaultSystemID(std::string_view systemID) {
  std::lock_guard<std::mutex> guard(mutex_);
  defaultSystemID_ = std::string(systemID);
}

void Tracker::setDisableMessageIDTracking(bool disable) {
  disableTracking_.store(disable, std::memory_order_relaxed);
}

// The earlier layout: count, then per entry target, id length, id bytes,
// system id length, system id bytes; 64-bit integers in host byte order.
size_t Tracker::importLegacyFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return 0;
  }
  uint64_t remaining = 0;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    remaining = size > 0 ? static_cast<uint64_t>(size) : 0;
  }
  std::rewind(f);
  auto readU64 = [f, &remaining](uint64_t& v) {
    if (remaining < sizeof(v) || std::fread(&v, sizeof(v), 1, f) != 1) {
      return false;
    }
    remaining -= sizeof(v);
    return true;
  };
  auto readText = [f, &remaining, &readU64](std::string& s) {
    uint64_t length = 0;
    if (!readU64(length) || length > remaining) {
      return false;
    }
    s.resize(length);
    if (length != 0 && std::fread(s.data(), 1, length, f) != length) {
      return false;
    }
    remaining -= length;
    return true;
  };
  uint64_t count = 0;
  bool ok = readU64(count);
  size_t imported = 0;
  for (uint64_t i = 0; ok && i < count; ++i) {
    uint64_t target = 0;
    std::string id;
    std::string esme;
    ok = readU64(target) && readText(id) && readText(esme);
    if (ok) {
      store_->put(target, id, esme);
      ++imported;
    }
  }
  std::fclose(f);
  metrics_.trackerMessageIdMapSize(store_->size());
  if (!ok) {
    std::fprintf(stderr, "Error occurred while reading from file: %s\n", path.c_str());
  }
  return imported;
}

size_t Tracker::submitSMMapSize() {
  std::lock_guard<SpinningMutex> guard(submitMutex_);
  return submitSMMap_.size();
}

size_t Tracker::messageIDMapSize() { return store_->size(); }

Tracker& tracker() {
  static Tracker instance;
  return instance;
}

} // namespace quorvex
