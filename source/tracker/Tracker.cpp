#include "tracker/Tracker.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/Log.h"
#include "tracker/SmscId.h"

namespace quorvex {
namespace {

const char* const kClass = "Tracker";

// submitSMMap is emptied after this long without any submit (µs).
constexpr uint64_t kStaleGapMicros = 30000000;

using ull = unsigned long long;

// The decimal id written as lowercase hexadecimal, or nothing when the id does
// not start (after white space and sign) with a decimal number in range.
std::optional<std::string> hexOfDecimal(std::string_view messageId) {
  const std::string text(messageId);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) {
    return std::nullopt;
  }
  char hex[20];
  std::snprintf(hex, sizeof(hex), "%llx", static_cast<ull>(value));
  return std::string(hex);
}

} // namespace

Tracker::Tracker(std::string path, MetricEvents& metrics, Clock clock)
    : path_(std::move(path)), metrics_(metrics), clock_(clock != nullptr ? clock : &nowMicros) {
  if (!path_.empty()) {
    loadFromFile(path_);
  }
}

Tracker::~Tracker() {
  if (!path_.empty()) {
    saveToFile(path_);
  }
}

void Tracker::addSubmitSM(uint64_t sessionId, uint64_t seqno, uint64_t nextSMSC,
                          uint64_t seqnoOut) {
  std::lock_guard<std::mutex> guard(mutex_);
  const uint64_t now = clock_();
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
  submitSMMap_[SubmitSMKey{nextSMSC, seqnoOut}] = SubmitSMEntry{now, seqno, sessionId};
}

std::optional<SubmitSMOrigin> Tracker::getSessionForSubmitSMResp(uint64_t nextSMSC,
                                                                 uint64_t seqnoOut) {
  std::lock_guard<std::mutex> guard(mutex_);
  const SubmitSMKey key{nextSMSC, seqnoOut};
  auto it = submitSMMap_.find(key);
  if (it == submitSMMap_.end()) {
    logApplication(LOG_WARNING, this, kClass, "getSessionForSubmitSMResp",
                   "Unable to find {sessionid,seqno} for nextSMSC 0x%llx seqno_out %llu",
                   static_cast<ull>(nextSMSC), static_cast<ull>(seqnoOut));
    writeMissDiagnostic(key);
    return std::nullopt;
  }
  const SubmitSMEntry entry = it->second;
  submitSMMap_.erase(it);
  metrics_.trackerSubmitMapSize(submitSMMap_.size());
  logApplication(LOG_FINE, this, kClass, "getSessionForSubmitSMResp",
                 "sessionid %llu seqno %llu nextSMSC 0x%llx seqno_out %llu latency %llu",
                 static_cast<ull>(entry.sessionId), static_cast<ull>(entry.seqno),
                 static_cast<ull>(nextSMSC), static_cast<ull>(seqnoOut),
                 static_cast<ull>(clock_() - entry.timestamp));
  // Read under the same lock: the response path needs both, once per message.
  const auto named = sessionSystemIDs_.find(entry.sessionId);
  return SubmitSMOrigin{entry.sessionId, entry.seqno,
                        named != sessionSystemIDs_.end() ? std::optional<std::string>(named->second)
                                                         : std::nullopt};
}

// Rare path: a full scan and dump, to tell a hashing fault from a true miss.
void Tracker::writeMissDiagnostic(const SubmitSMKey& key) {
  std::string out;
  char line[256];
  bool found = false;
  for (const auto& [k, v] : submitSMMap_) {
    if (k == key) {
      std::snprintf(line, sizeof(line), "Exact pair {nextSMSC: 0x%llx, seqno_out: %llu",
                    static_cast<ull>(k.nextSMSC), static_cast<ull>(k.seqnoOut));
      out += line;
      out += "} was found by linear scan but NOT by unordered_map::find().\n";
      std::snprintf(
          line, sizeof(line), "  Mapped value -> {sessionid: %llu, seqno: %llu, timestamp: %llu}\n",
          static_cast<ull>(v.sessionId), static_cast<ull>(v.seqno), static_cast<ull>(v.timestamp));
      out += line;
      found = true;
      break;
    }
  }
  if (!found) {
    out += "Linear scan confirms the exact pair is absent from submitSMMap.\n";
  }
  std::snprintf(line, sizeof(line), "submitSMMap dump (size: %zu):\n", submitSMMap_.size());
  out += line;
  for (const auto& [k, v] : submitSMMap_) {
    std::snprintf(line, sizeof(line),
                  "  Key = {nextSMSC: 0x%llx, seqno_out: %llu} -> {sessionid: %llu, seqno: %llu, "
                  "timestamp: %llu}\n",
                  static_cast<ull>(k.nextSMSC), static_cast<ull>(k.seqnoOut),
                  static_cast<ull>(v.sessionId), static_cast<ull>(v.seqno),
                  static_cast<ull>(v.timestamp));
    out += line;
  }
  std::fputs(out.c_str(), stderr);
}

void Tracker::addMessageIDMapping(uint64_t smscid, std::string_view messageId,
                                  std::string_view esmeSystemID) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (disableTracking_) {
    return;
  }
  const std::string id(messageId);
  const std::string esme(esmeSystemID);
  logApplication(LOG_FINE, this, kClass, "addMessageIDMapping",
                 "smscid 0x%llx message_id %s esmeSystemID %s", static_cast<ull>(smscid),
                 id.c_str(), esme.c_str());
  messageIDMap_.insert_or_assign(MessageIDKey{targetIdOf(smscid), id}, esme);
  metrics_.trackerMessageIdMapSize(messageIDMap_.size());
}

std::optional<std::string> Tracker::takeMessageID(uint64_t target, std::string_view messageId) {
  auto it = messageIDMap_.find(MessageIDView{target, messageId});
  if (it == messageIDMap_.end()) {
    return std::nullopt;
  }
  std::string esme = std::move(it->second);
  messageIDMap_.erase(it);
  metrics_.trackerMessageIdMapSize(messageIDMap_.size());
  return esme;
}

std::optional<std::string> Tracker::getMessageIDMapping(uint64_t smscid,
                                                        std::string_view messageId) {
  std::lock_guard<std::mutex> guard(mutex_);
  const uint64_t target = targetIdOf(smscid);
  const std::string id(messageId);
  std::optional<std::string> esme = takeMessageID(target, messageId);
  if (!esme) {
    // A receipt may quote in decimal an id the SMSC returned in hexadecimal.
    if (auto hex = hexOfDecimal(messageId)) {
      esme = takeMessageID(target, *hex);
    }
  }
  if (esme) {
    logApplication(LOG_FINE, this, kClass, "getMessageIDMapping",
                   "smscid 0x%llx message_id %s esmeSystemID %s", static_cast<ull>(smscid),
                   id.c_str(), esme->c_str());
    return esme;
  }
  auto owner = targetESMEMap_.find(target);
  if (owner != targetESMEMap_.end()) {
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

void Tracker::addTargetESME(uint64_t key, std::string_view esmeSystemID) {
  std::lock_guard<std::mutex> guard(mutex_);
  targetESMEMap_[key] = std::string(esmeSystemID);
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
  std::lock_guard<std::mutex> guard(mutex_);
  disableTracking_ = disable;
}

// "msgtrack": count, then per entry target, id length, id bytes, system id
// length, system id bytes; 64-bit integers in host byte order, no header.
void Tracker::saveToFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "Failed to open file for writing: %s\n", path.c_str());
    return;
  }
  auto writeU64 = [f](uint64_t v) { return std::fwrite(&v, sizeof(v), 1, f) == 1; };
  auto writeText = [f, &writeU64](const std::string& s) {
    return writeU64(s.size()) && (s.empty() || std::fwrite(s.data(), 1, s.size(), f) == s.size());
  };
  bool ok = writeU64(messageIDMap_.size());
  for (auto it = messageIDMap_.begin(); ok && it != messageIDMap_.end(); ++it) {
    ok = writeU64(it->first.target) && writeText(it->first.messageId) && writeText(it->second);
  }
  if (std::fclose(f) != 0) {
    ok = false;
  }
  if (!ok) {
    std::fprintf(stderr, "Error occurred while writing to file: %s\n", path.c_str());
  }
}

// Every length is bounded by the bytes left in the file, so a corrupt or
// truncated file cannot make the load allocate more than the file holds; the
// load stops at the first short read and keeps the entries read before it.
void Tracker::loadFromFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "Failed to open file for reading: %s\n", path.c_str());
    return;
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
  messageIDMap_.clear();
  for (uint64_t i = 0; ok && i < count; ++i) {
    MessageIDKey key{0, {}};
    std::string esme;
    ok = readU64(key.target) && readText(key.messageId) && readText(esme);
    if (ok) {
      messageIDMap_.insert_or_assign(std::move(key), std::move(esme));
    }
  }
  std::fclose(f);
  metrics_.trackerMessageIdMapSize(messageIDMap_.size());
  if (!ok) {
    std::fprintf(stderr, "Error occurred while reading from file: %s\n", path.c_str());
  }
}

size_t Tracker::submitSMMapSize() {
  std::lock_guard<std::mutex> guard(mutex_);
  return submitSMMap_.size();
}

size_t Tracker::messageIDMapSize() {
  std::lock_guard<std::mutex> guard(mutex_);
  return messageIDMap_.size();
}

Tracker& tracker() {
  static Tracker instance(Tracker::kFileName);
  return instance;
}

} // namespace quorvex
