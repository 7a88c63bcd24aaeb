// The manager's three threads (writer, flush, cleanup), the file writing and
// shutdown.
#include <algorithm>
#include <cstdio>

#include "app/Log.h"
#include "cdr/SMPPCDRManager.h"

namespace quorvex {
namespace {

using ull = unsigned long long;

} // namespace

// Ends only when it was told to stop and nothing is left to write, so the
// batch handed over by shutdown always reaches the file.
void SMPPCDRManager::writerLoop() {
  // Kept across batches: the emptied vector goes back through the hand-over
  // with its capacity, so the traffic thread refills it without growing it
  // (each growth moves every record) and nothing allocated on one thread is
  // freed on the other.
  std::vector<CDRRecord> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(writerMutex_);
      while (watchBatch_.empty()) {
        if (!running_) {
          return;
        }
        writerWake_.wait(lock);
      }
      batch.swap(watchBatch_);
      statWatch_.store(0, std::memory_order_relaxed);
    }
    writeBatchToFile(batch);
    batch.clear();
    if (batch.capacity() > 4 * std::max<size_t>(settings_.batchSize, 1)) {
      std::vector<CDRRecord>().swap(batch); // a backlog's worth is not kept
    }
    {
      std::lock_guard<std::mutex> guard(writerMutex_);
      ++batchesWritten_;
    }
    writtenWake_.notify_all();
  }
}

void SMPPCDRManager::flushLoop() {
  while (!stopping_.load()) {
    {
      std::unique_lock<std::mutex> lock(flushWaitMutex_);
      // An interval below one second would make this loop spin; one beyond
      // a century would overflow the clock's nanoseconds and spin as well.
      constexpr int64_t kLongestInterval = 100LL * 366 * 24 * 3600;
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::seconds(std::clamp<int64_t>(settings_.flushIntervalSeconds,
                                                                     1, kLongestInterval));
      if (flushWake_.wait_until(lock, deadline, [this] { return stopping_.load(); })) {
        return;
      }
    }
    std::lock_guard<std::mutex> guard(stateMutex_);
    if (!cdrBatch_.empty()) {
      logApplication(LOG_INFO, this, name_, "operator()",
                     "Batch interval reached, storing %zu CDRs", cdrBatch_.size());
      handOverLocked();
      publishSizes();
    }
  }
}

void SMPPCDRManager::cleanupLoop() {
  while (!stopping_.load()) {
    {
      std::unique_lock<std::mutex> lock(cleanupWaitMutex_);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3600);
      if (cleanupWake_.wait_until(lock, deadline, [this] { return stopping_.load(); })) {
        return;
      }
    }
    std::lock_guard<std::mutex> guard(stateMutex_);
    cleanupStaleCDRs();
  }
}

void SMPPCDRManager::writeBatchToFile(std::vector<CDRRecord>& batch) {
  if (batch.empty()) {
    return;
  }
  bool needHeader = true;
  if (std::FILE* probe = std::fopen(path_.c_str(), "r")) {
    needHeader = std::fgetc(probe) == EOF;
    std::fclose(probe);
  }
  std::string failure;
  std::FILE* file = std::fopen(path_.c_str(), "a");
  if (file == nullptr) {
    failure = "Failed to open CDR file: " + path_;
  } else {
    const Mode mode = this->mode();
    // The batch is formatted into one buffer and written and flushed once:
    // a flush per row would cost a system call per message.
    std::string text;
    // Each row first claims room for its longest form (about 600 octets):
    // the slack keeps the last rows of a small batch from regrowing it.
    text.reserve((batch.size() + 1) * 256 + 1024);
    if (needHeader) {
      text += cdrCsvHeader();
      text += '\n';
    }
    for (const CDRRecord& record : batch) {
      appendCdrCsvRow(text, record, mode);
    }
    bool ok =
        std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    if (std::fclose(file) != 0) {
      ok = false;
    }
    if (ok) {
      logApplication(LOG_INFO, this, name_, "writeBatchToFile", "Successfully stored %zu CDRs",
                     batch.size());
    } else {
      failure = "Failed to write CDR file: " + path_;
    }
  }
  if (!failure.empty()) {
    logApplication(LOG_WARNING, this, name_, "writeBatchToFile", "Failed to store CDR batch: %s",
                   failure.c_str());
  }
  logApplication(LOG_INFO, this, name_, "writeBatchToFile",
                 "Stats: pendingCDRs=%llu messageIdIndex=%llu cdrBatch=%llu watchBatch=%llu",
                 static_cast<ull>(statPending_.load() + inFlight_.load()),
                 static_cast<ull>(statIndex_.load()), static_cast<ull>(statBatch_.load()),
                 static_cast<ull>(statWatch_.load()));
}

bool SMPPCDRManager::waitForBatchesWritten(uint64_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(writerMutex_);
  return writtenWake_.wait_for(lock, timeout, [&] { return batchesWritten_ >= count; });
}

void SMPPCDRManager::shutdown() {
  if (mode() == Mode::NONE) {
    return;
  }
  logApplication(LOG_INFO, this, name_, "shutdown", "Shutting down CDR Manager");
  stopThreads();
}

void SMPPCDRManager::stopThreads() {
  stopping_.store(true);
  {
    // Taking each wait lock once orders the flag before the waiter's check.
    std::lock_guard<std::mutex> guard(cleanupWaitMutex_);
  }
  cleanupWake_.notify_all();
  { std::lock_guard<std::mutex> guard(flushWaitMutex_); }
  flushWake_.notify_all();
  if (cleanupThread_.joinable()) {
    cleanupThread_.join();
  }
  if (flushThread_.joinable()) {
    flushThread_.join();
  }
  std::lock_guard<std::mutex> state(stateMutex_);
  if (!cdrBatch_.empty()) {
    handOverLocked();
    publishSizes();
  }
  {
    std::lock_guard<std::mutex> guard(writerMutex_);
    running_ = false;
    writerWake_.notify_all();
  }
  if (writerThread_.joinable()) {
    writerThread_.join();
  }
}

} // namespace quorvex
