#include "cdr/SMPPCDRManager.h"

#include <cstdint>
#include <cstdio>
#include <exception>

#include "app/Log.h"
#include "cdr/CDRShells.h"
#include "config/TarnConfiguration.h"
#include "tracker/MessageIdStore.h"

namespace quorvex {
namespace {

// Above this many open records every new one triggers a stale sweep.
constexpr size_t kPendingSweepLimit = 999999;
// Period of the stale sweep; the configured interval is the age limit.
constexpr std::chrono::seconds kCleanupPeriod{3600};
constexpr int64_t kNanosPerHour = 3600LL * 1000000000LL;

using ull = unsigned long long;

const char* modeName(CDRMode mode) {
  switch (mode) {
  case CDRMode::CORRELATE:
    return "CORRELATE";
  case CDRMode::NONE:
    return "NONE";
  default:
    return "OPERATION";
  }
}

} // namespace

SMPPCDRManager& SMPPCDRManager::instance() {
  static SMPPCDRManager* manager = new SMPPCDRManager();
  return *manager;
}

SMPPCDRManager::SMPPCDRManager() = default;

SMPPCDRManager::~SMPPCDRManager() { stopThreads(); }

int64_t SMPPCDRManager::wallNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

SMPPCDRManager::Mode SMPPCDRManager::modeFromText(const std::string& text) {
  if (text == "correlate") {
    return Mode::CORRELATE;
  }
  if (text == "none") {
    return Mode::NONE;
  }
  return Mode::OPERATION;
}

void SMPPCDRManager::initialize(const std::string& path) {
  TarnConfiguration& config = configuration();
  Settings settings;
  settings.batchSize = static_cast<size_t>(config.getCDRSettingInt("batch_size", 1000));
  settings.flushIntervalSeconds = config.getCDRSettingInt("batch_flush_interval", 30);
  settings.cleanupIntervalHours = config.getCDRSettingInt("cleanup_interval", 24);
  initialize(path, settings);
}

void SMPPCDRManager::initialize(const std::string& path, const Settings& settings) {
  logApplication(LOG_INFO, this, name_, "initialize", "Initializing CDR Manager with file path: %s",
                 path.c_str());
  if (writerThread_.joinable()) {
    return; // already running; the threads keep their settings
  }
  path_ = path;
  settings_ = settings;
  // clang-format off
  logApplication(LOG_INFO, this, name_, "initialize",
                 "CDR Manager initialized with batch size: %zu, flush interval: %d seconds, cleanup interval: %d hours",
                 settings_.batchSize, static_cast<int>(settings_.flushIntervalSeconds),
                 static_cast<int>(settings_.cleanupIntervalHours));
  // clang-format on
  cleanupThread_ = std::thread([this] { cleanupLoop(); });
  flushThread_ = std::thread([this] { flushLoop(); });
  {
    std::lock_guard<std::mutex> guard(writerMutex_);
    running_ = true;
  }
  writerThread_ = std::thread([this] { writerLoop(); });
}

void SMPPCDRManager::setMode(Mode mode) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  logApplication(LOG_INFO, this, name_, "setMode", "Setting CDR mode to %s", modeName(mode));
  mode_.store(mode);
}

OpenCDR SMPPCDRManager::queueSubmitEvent(const CDRSubmit& submit, const std::string& esmeId,
                                         const std::string& esmeIp, const std::string& smscName,
                                         uint64_t smscId, uint64_t seqNo) {
  if (mode() == Mode::NONE) {
    return nullptr;
  }
  logApplication(LOG_FINE, this, name_, "queueSubmitEvent",
                 "Queueing submit event - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu, IP: %s",
                 esmeId.c_str(), static_cast<ull>(smscId), smscName.c_str(),
                 static_cast<ull>(seqNo), esmeIp.c_str());
  try {
    return createInitialCDR(submit, esmeId, esmeIp, smscName, smscId, seqNo);
  } catch (const std::exception& e) {
    logApplication(LOG_WARNING, this, name_, "queueSubmitEvent", "Failed to create CDR: %s",
                   e.what());
  }
  return nullptr;
}

OpenCDR SMPPCDRManager::createInitialCDR(const CDRSubmit& submit, const std::string& esmeId,
                                         const std::string& esmeIp, const std::string& smscName,
                                         uint64_t smscId, uint64_t seqNo) {
  if (mode() == Mode::NONE) {
    return nullptr;
  }
  logApplication(LOG_FINE, this, name_, "createInitialCDR",
                 "Creating initial CDR - ESME: %s, SMSC: 0x%llx (%s), SeqNo: %llu", esmeId.c_str(),
                 static_cast<ull>(smscId), smscName.c_str(), static_cast<ull>(seqNo));
  OpenCDR record = takeCDRShell();
  record->sourceAddr = submit.sourceAddr;
  record->destAddr = submit.destAddr;
  record->submitTime = now();
  record->esmeId = esmeId;
  record->esmeIp = esmeIp;
  record->smscName = smscName;
  record->smscId = smscId;
  record->seqNo = seqNo;
  record->messageLength = submit.messageLength;
  record->dataCoding = submit.dataCoding;
  record->esmClass = submit.esmClass;
  record->registeredDelivery = submit.registeredDelivery;
  if (submit.concat.concatenated) {
    record->isConcatenated = true;
    record->concatRef = submit.concat.reference;
    record->concatTotal = submit.concat.total;
    record->concatPart = submit.concat.part;
    logApplication(LOG_FINE, this, name_, "createInitialCDR",
                   "Concatenated SMS detected - Ref: %d, Total: %d, Part: %d", record->concatRef,
                   record->concatTotal, record->concatPart);
  }
  inFlight_.fetch_add(1, std::memory_order_relaxed);
  logApplication(
      LOG_FINE, this, name_, "createInitialCDR", "Initial CDR created - Pending CDRs: %zu",
      statPending_.load(std::memory_order_relaxed) + inFlight_.load(std::memory_order_relaxed));
  return record;
}

void SMPPCDRManager::discardInitialCDR(OpenCDR record) {
  landed(record);
  returnCDRShell(std::move(record));
}

void SMPPCDRManager::landed(const OpenCDR& record) {
  if (record != nullptr) {
    inFlight_.fetch_sub(1, std::memory_order_relaxed);
  }
}

size_t SMPPCDRManager::openLocked() const {
  return pendingCDRs_.size() + inFlight_.load(std::memory_order_relaxed);
}

void SMPPCDRManager::logMissing(const char* function, uint64_t smscId, uint64_t seqNo) {
  logApplication(LOG_WARNING, this, name_, function,
                 "No pending CDR found for SMSC ID 0x%llx, sequence %llu", static_cast<ull>(smscId),
                 static_cast<ull>(seqNo));
}

void SMPPCDRManager::updateCDRWithMessageID(uint64_t smscId, uint64_t seqNo, OpenCDR record,
                                            const std::string& messageId, bool awaitReceipt) {
  landed(record);
  if (mode() == Mode::NONE) {
    return;
  }
  logApplication(LOG_FINE, this, name_, "updateCDRWithMessageID",
                 "Updating CDR with message ID - SMSC: 0x%llx, SeqNo: %llu, MessageID: %s",
                 static_cast<ull>(smscId), static_cast<ull>(seqNo), messageId.c_str());
  if (record == nullptr) {
    logMissing("updateCDRWithMessageID", smscId, seqNo);
    return;
  }
  const int64_t time = now();
  record->messageId = messageId;
  record->messageIdTime = time;
  completeWithMessageID(smscId, seqNo, *record, messageId, awaitReceipt, time);
  returnCDRShell(std::move(record));
}

void SMPPCDRManager::completeWithMessageID(uint64_t smscId, uint64_t seqNo, CDRRecord& record,
                                           const std::string& messageId, bool awaitReceipt,
                                           int64_t time) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  // Only a message that asked for a receipt will see one: indexing the
  // others would only fill memory until the stale sweep.
  if (awaitReceipt) {
    messageIdIndex_.insert_or_assign(MessageIdKey{messageId, smscId >> 8},
                                     IndexEntry{PendingKey{smscId, seqNo}, time});
  }
  if (mode() == Mode::OPERATION || !awaitReceipt) {
    logApplication(LOG_FINE, this, name_, "updateCDRWithMessageID",
                   "CDR updated with message ID - Pending CDRs: %zu, MessageID Index: %zu",
                   openLocked(), messageIdIndex_.size());
    // Completed: queued under the same lock, one acquisition per response.
    queueLocked(std::move(record));
    return;
  }
  if (pendingCDRs_.size() > kPendingSweepLimit) {
    logApplication(LOG_WARNING, this, name_, "createInitialCDR",
                   "CDR queue full (%zu entries), dropping oldest entries", pendingCDRs_.size());
    cleanupStaleCDRs();
  }
  pendingCDRs_.insert_or_assign(PendingKey{smscId, seqNo}, std::move(record));
  logApplication(LOG_FINE, this, name_, "updateCDRWithMessageID",
                 "CDR updated with message ID - Pending CDRs: %zu, MessageID Index: %zu",
                 openLocked(), messageIdIndex_.size());
  publishSizes();
}

void SMPPCDRManager::updateCDRWithSubmitFail(uint64_t smscId, uint64_t seqNo, OpenCDR record,
                                             uint32_t commandStatus) {
  landed(record);
  if (mode() == Mode::NONE) {
    return;
  }
  logApplication(LOG_FINE, this, name_, "updateCDRWithSubmitFail",
                 "Updating CDR with NAK command status - SMSC: 0x%llx, SeqNo: %llu, CmdStatus: %d",
                 static_cast<ull>(smscId), static_cast<ull>(seqNo),
                 static_cast<int>(commandStatus));
  if (record == nullptr) {
    logMissing("updateCDRWithSubmitFail", smscId, seqNo);
    return;
  }
  record->submitStatus = commandStatus;
  record->messageIdTime = now();
  queueCDR(std::move(*record));
  returnCDRShell(std::move(record));
}

void SMPPCDRManager::updateCDRWithDeliveryReceipt(uint64_t smscId, const std::string& smscName,
                                                  const std::string& messageId, uint32_t state,
                                                  uint32_t error, const std::string& doneDate) {
  if (mode() == Mode::NONE) {
    return;
  }
  logApplication(LOG_FINE, this, name_, "updateCDRWithDeliveryReceipt",
                 "Processing delivery receipt - MessageID: %s, Status: %u, Error: %u",
                 messageId.c_str(), state, error);
  std::lock_guard<std::mutex> guard(stateMutex_);
  MessageIdKey key{messageId, smscId >> 8};
  auto index = messageIdIndex_.find(key);
  if (index == messageIdIndex_.end()) {
    // A receipt may quote in decimal an id the SMSC returned in hexadecimal.
    if (std::optional<std::string> hex = hexFormOfDecimalId(messageId)) {
      key.messageId = std::move(*hex);
      index = messageIdIndex_.find(key);
    }
  }
  if (index == messageIdIndex_.end()) {
    logApplication(LOG_WARNING, this, name_, "updateCDRWithDeliveryReceipt",
                   "CDR not found for delivery receipt %s", messageId.c_str());
    logApplication(LOG_WARNING, this, name_, "updateCDRWithDeliveryReceipt",
                   "Delivery receipt for unknown message %s", messageId.c_str());
    return;
  }
  const int64_t time = now();
  CDRRecord record;
  if (mode() == Mode::CORRELATE) {
    auto open = pendingCDRs_.find(index->second.pending);
    if (open != pendingCDRs_.end()) {
      record = std::move(open->second);
      pendingCDRs_.erase(open);
    }
    if (record.deliveryStatus != 0) {
      logApplication(LOG_WARNING, this, name_, "updateCDRWithDeliveryReceipt",
                     "Duplicate delivery receipt for message %s", messageId.c_str());
    }
    record.deliveryTime = record.dlrReceivedTime = time;
    record.dlrDoneDate = doneDate;
    record.errorCode = error;
    record.deliveryStatus = state;
    queueLocked(std::move(record));
  } else {
    record.messageId = messageId;
    record.dlrReceivedTime = record.deliveryTime = time;
    record.dlrDoneDate = doneDate;
    record.deliveryStatus = state;
    record.errorCode = error;
    record.smscName = smscName;
    record.smscId = smscId;
    queueLocked(std::move(record));
  }
  messageIdIndex_.erase(index);
  publishSizes();
  logApplication(LOG_FINE, this, name_, "updateCDRWithDeliveryReceipt",
                 "CDR updated with delivery receipt - Pending CDRs: %zu, MessageID Index: %zu",
                 openLocked(), messageIdIndex_.size());
}

void SMPPCDRManager::queueCDR(CDRRecord record) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  queueLocked(std::move(record));
}

void SMPPCDRManager::queueLocked(CDRRecord&& record) {
  logApplication(LOG_FINE, this, name_, "queueCDR",
                 "Queueing CDR for storage - MessageID: %s, ESME: %s, SMSC: %llu (%s)",
                 record.messageId.c_str(), record.esmeId.c_str(), static_cast<ull>(record.smscId),
                 record.smscName.c_str());
  cdrBatch_.push_back(std::move(record));
  if (cdrBatch_.size() >= settings_.batchSize) {
    handOverLocked();
  }
  publishSizes();
}

// Swapping keeps both vectors' capacity, so steady traffic does not allocate;
// should the writer not yet have taken the previous batch, the new records
// are appended behind it instead, keeping the order of rows.
void SMPPCDRManager::handOverLocked() {
  std::lock_guard<std::mutex> guard(writerMutex_);
  if (watchBatch_.empty()) {
    watchBatch_.swap(cdrBatch_);
  } else {
    watchBatch_.insert(watchBatch_.end(), std::make_move_iterator(cdrBatch_.begin()),
                       std::make_move_iterator(cdrBatch_.end()));
    cdrBatch_.clear();
  }
  statBatch_.store(0, std::memory_order_relaxed);
  statWatch_.store(watchBatch_.size(), std::memory_order_relaxed);
  writerWake_.notify_one();
}

void SMPPCDRManager::publishSizes() {
  statPending_.store(pendingCDRs_.size(), std::memory_order_relaxed);
  statIndex_.store(messageIdIndex_.size(), std::memory_order_relaxed);
  statBatch_.store(cdrBatch_.size(), std::memory_order_relaxed);
}

void SMPPCDRManager::cleanupStaleCDRs() {
  const size_t pendingBefore = pendingCDRs_.size();
  const size_t indexBefore = messageIdIndex_.size();
  logApplication(LOG_INFO, this, name_, "cleanupStaleCDRs",
                 "Starting stale CDR cleanup - Current pending: %zu, index: %zu", pendingBefore,
                 indexBefore);
  const int64_t time = now();
  // A configured age beyond what 64-bit nanoseconds hold means "never".
  const int64_t hours = settings_.cleanupIntervalHours;
  const int64_t maxAge = hours > INT64_MAX / kNanosPerHour ? INT64_MAX
                         : hours < 0                       ? 0
                                                           : hours * kNanosPerHour;
  for (auto it = pendingCDRs_.begin(); it != pendingCDRs_.end();) {
    if (time - it->second.submitTime > maxAge) {
      logApplication(LOG_INFO, this, name_, "cleanupStaleCDRs",
                     "Cleaning up stale CDR for message %s", it->second.messageId.c_str());
      if (!it->second.messageId.empty()) {
        messageIdIndex_.erase(MessageIdKey{it->second.messageId, it->second.smscId >> 8});
      }
      it = pendingCDRs_.erase(it);
    } else {
      ++it;
    }
  }
  // In OPERATION mode an index entry outlives its record, waiting for a
  // receipt that may never come; the same age limit bounds it.
  for (auto it = messageIdIndex_.begin(); it != messageIdIndex_.end();) {
    it = time - it->second.created > maxAge ? messageIdIndex_.erase(it) : std::next(it);
  }
  publishSizes();
  logApplication(LOG_INFO, this, name_, "cleanupStaleCDRs",
                 "Stale CDR cleanup complete - Removed %zu pending CDRs and %zu index entries",
                 pendingBefore - pendingCDRs_.size(), indexBefore - messageIdIndex_.size());
}

void SMPPCDRManager::runStaleCleanup() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  cleanupStaleCDRs();
}

void SMPPCDRManager::cleanupPendingCDRsForSMSC(uint64_t smscId) {
  if (mode() == Mode::NONE) {
    return;
  }
  std::lock_guard<std::mutex> guard(stateMutex_);
  // Only this bind's submits still waiting for their response: records of
  // sibling binds, and records waiting for a receipt (which may arrive on any
  // bind of the target), stay.
  const size_t pendingBefore = pendingCDRs_.size();
  for (auto it = pendingCDRs_.begin(); it != pendingCDRs_.end();) {
    const bool unanswered = it->first.smscId == smscId && it->second.messageId.empty();
    it = unanswered ? pendingCDRs_.erase(it) : std::next(it);
  }
  publishSizes();
  logApplication(LOG_INFO, this, name_, "cleanupPendingCDRsForSMSC",
                 "Cleanup complete - Removed %zu pending CDRs and %zu index entries",
                 pendingBefore - pendingCDRs_.size(), size_t{0});
}

size_t SMPPCDRManager::pendingCount() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return openLocked();
}

size_t SMPPCDRManager::indexCount() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return messageIdIndex_.size();
}

size_t SMPPCDRManager::queuedCount() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return cdrBatch_.size();
}

} // namespace quorvex
