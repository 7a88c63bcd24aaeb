// Call-detail records: one record per submitted message, opened when the
// submit_sm went upstream, completed from the submit_sm_resp and the delivery
// receipt, and written to a CSV file in batches by a writer thread so that no
// SMPP thread touches the file. A flush thread hands over partly filled
// batches after an interval; a cleanup thread drops records that never
// completed.
//
// An opened record travels with its submit (the caller keeps it until the
// response) instead of waiting in a shared table: the thread that sends
// submits never takes the state lock, so it does not contend with the
// thread that reads the responses.
//
// Lock order: state lock, then writer lock. The writer thread takes only the
// writer lock and writes the file outside every lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cdr/CDRRecord.h"
#include "cdr/CDRSubmit.h"

namespace quorvex {

class SMPPCDRManager {
public:
  using Mode = CDRMode;
  using Clock = int64_t (*)(); // wall-clock ns since the epoch

  struct Settings {
    size_t batchSize = 1000;           // queued records that trigger a hand-over
    int64_t flushIntervalSeconds = 30; // period of the flush thread, seconds
    int64_t cleanupIntervalHours = 24; // age after which a pending record is stale, hours
  };

  // The process-wide manager, created on first use and never destroyed.
  static SMPPCDRManager& instance();

  SMPPCDRManager();
  // Stops the threads if shutdown() did not (tests and mode NONE).
  ~SMPPCDRManager();
  SMPPCDRManager(const SMPPCDRManager&) = delete;
  SMPPCDRManager& operator=(const SMPPCDRManager&) = delete;

  // Reads "batch_size", "batch_flush_interval", "cleanup_interval" of the
  // configuration's "cdr" object, then starts the three threads.
  void initialize(const std::string& path);
  void initialize(const std::string& path, const Settings& settings);
  void setMode(Mode mode);
  Mode mode() const { return mode_.load(std::memory_order_relaxed); }
  // "correlate" and "none" select those modes; any other text OPERATION.
  static Mode modeFromText(const std::string& text);

  // Opens the record of a submit_sm sent upstream; null in mode NONE. Takes
  // no lock. Never throws.
  template <class SubmitRecord>
  OpenCDR queueSubmitEvent(const SubmitRecord& submit, const std::string& esmeId,
                           const std::string& esmeIp, const std::string& smscName, uint64_t smscId,
                           uint64_t seqNo) {
    return queueSubmitEvent(cdrSubmitOf(submit), esmeId, esmeIp, smscName, smscId, seqNo);
  }
  OpenCDR queueSubmitEvent(const CDRSubmit& submit, const std::string& esmeId,
                           const std::string& esmeIp, const std::string& smscName, uint64_t smscId,
                           uint64_t seqNo);
  OpenCDR createInitialCDR(const CDRSubmit& submit, const std::string& esmeId,
                           const std::string& esmeIp, const std::string& smscName, uint64_t smscId,
                           uint64_t seqNo);

  // Upstream responses and receipts; smscId and seqNo are those of the
  // answering bind and the submit, `record` what queueSubmitEvent opened
  // (null: none was opened, which is logged). `awaitReceipt` false: no
  // receipt was asked for, so the record is complete with the response (one
  // row in either mode) and not indexed.
  void updateCDRWithMessageID(uint64_t smscId, uint64_t seqNo, OpenCDR record,
                              const std::string& messageId, bool awaitReceipt = true);
  void updateCDRWithSubmitFail(uint64_t smscId, uint64_t seqNo, OpenCDR record,
                               uint32_t commandStatus);
  // A record whose submit_sm was never written.
  void discardInitialCDR(OpenCDR record);
  void updateCDRWithDeliveryReceipt(uint64_t smscId, const std::string& smscName,
                                    const std::string& messageId, uint32_t state, uint32_t error,
                                    const std::string& doneDate);
  // Drops the records of one ended bind that never got a response (its
  // caller answers those first, so normally none).
  void cleanupPendingCDRsForSMSC(uint64_t smscId);

  // Stops the threads and writes everything queued before returning.
  void shutdown();

  // Observation for status and tests.
  size_t pendingCount();
  size_t indexCount();
  size_t queuedCount();
  // Waits until `count` batches have been written (or failed); false on timeout.
  bool waitForBatchesWritten(uint64_t count, std::chrono::milliseconds timeout);
  // Runs the stale sweep now, as the cleanup thread does hourly.
  void runStaleCleanup();
  void setClock(Clock clock) { clock_.store(clock != nullptr ? clock : &wallNanos); }

private:
  struct PendingKey {
    uint64_t smscId; // full smscid of the bind the submit went through
    uint64_t seqNo;  // upstream sequence number
    bool operator==(const PendingKey&) const = default;
  };
  struct PendingKeyHash {
    size_t operator()(const PendingKey& k) const { return (k.seqNo << 1) ^ k.smscId; }
  };
  struct MessageIdKey {
    std::string messageId; // SMSC message id
    uint64_t targetId;     // smscid >> 8
    bool operator==(const MessageIdKey&) const = default;
  };
  struct MessageIdKeyHash {
    size_t operator()(const MessageIdKey& k) const {
      return std::hash<std::string>{}(k.messageId) ^ (k.targetId << 1);
    }
  };
  struct IndexEntry {
    PendingKey pending; // record the message id belongs to
    int64_t created;    // ns when the id became known; bounds the entry's age
  };

  static int64_t wallNanos();
  int64_t now() const { return clock_.load()(); }
  void queueCDR(CDRRecord record);
  void logMissing(const char* function, uint64_t smscId, uint64_t seqNo);
  void landed(const OpenCDR& record); // an opened record came back
  size_t openLocked() const;          // open records, in flight or in the table; state lock held
  // updateCDRWithMessageID under the state lock; `record` is moved from.
  void completeWithMessageID(uint64_t smscId, uint64_t seqNo, CDRRecord& record,
                             const std::string& messageId, bool awaitReceipt, int64_t time);
  void handOverLocked();                // state lock held
  void queueLocked(CDRRecord&& record); // queueCDR, state lock held
  void cleanupStaleCDRs();              // state lock held
  void stopThreads();
  void writerLoop();
  void flushLoop();
  void cleanupLoop();
  // Derives the ISO texts here, on the writer thread, keeping time formatting
  // off the SMPP threads.
  void writeBatchToFile(std::vector<CDRRecord>& batch);
  void publishSizes(); // state lock held

  const char* const name_ = "SMPPCDRManager"; // class name in log lines
  std::atomic<Clock> clock_{&wallNanos};      // source of record times

  std::mutex stateMutex_;               // guards cdrBatch_, pendingCDRs_, messageIdIndex_, mode
  std::vector<CDRRecord> cdrBatch_;     // completed, not yet handed to the writer
  std::mutex writerMutex_;              // guards watchBatch_, running_, batchesWritten_
  std::vector<CDRRecord> watchBatch_;   // handed to the writer, not yet taken
  std::condition_variable writerWake_;  // wakes the writer thread
  std::condition_variable writtenWake_; // signals a finished batch
  std::thread writerThread_;            // writerLoop
  bool running_ = false;                // the writer may keep running
  uint64_t batchesWritten_ = 0;         // batches the writer has finished
  std::string path_;                    // CSV file path
  std::atomic<bool> stopping_{false};   // set once by shutdown
  std::atomic<Mode> mode_{Mode::OPERATION};
  Settings settings_;                   // batch size and intervals
  std::mutex cleanupWaitMutex_;         // timed wait of the cleanup thread
  std::condition_variable cleanupWake_; // wakes the cleanup thread early
  std::thread cleanupThread_;           // cleanupLoop
  std::mutex flushWaitMutex_;           // timed wait of the flush thread
  std::condition_variable flushWake_;   // wakes the flush thread early
  std::thread flushThread_;             // flushLoop
  // Answered records of mode CORRELATE waiting for their receipt.
  std::unordered_map<PendingKey, CDRRecord, PendingKeyHash> pendingCDRs_;
  std::unordered_map<MessageIdKey, IndexEntry, MessageIdKeyHash> messageIdIndex_; // id -> record

  // Sizes for the writer's Stats line, which must not take the state lock.
  std::atomic<size_t> statPending_{0}; // pendingCDRs_.size()
  std::atomic<size_t> inFlight_{0};    // records opened and riding with their submits
  std::atomic<size_t> statIndex_{0};   // messageIdIndex_.size()
  std::atomic<size_t> statBatch_{0};   // cdrBatch_.size()
  std::atomic<size_t> statWatch_{0};   // watchBatch_.size()
};

} // namespace quorvex
