// Message-id owners in an embedded RocksDB database on local disk.
//
// put() only queues: a committer thread writes whatever has queued for
// 50 ms as one batch to the write-ahead log (a group commit), without
// syncing, so the traffic threads never wait for the disk and a mapping
// survives a killed process from the moment its batch is written, within a
// quarter of a second of the put. A mapping taken before then never reaches
// the disk. Entries expire after the configured lifetime:
// a look-up ignores an expired entry at once, compaction removes it from
// disk later. Memory is bounded by the memtables and block cache below, not
// by the number of mappings.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tracker/MessageIdStore.h"

namespace rocksdb {
class DB;
class WriteBatch;
} // namespace rocksdb

namespace quorvex {

class DiskMessageIdStore : public MessageIdStore {
public:
  using Clock = uint64_t (*)(); // wall-clock µs

  // Opens (creating) the database in directory `path`; null with `error`
  // set when it cannot be opened (for instance while another gateway holds
  // it). `lifetimeSeconds` of at least 1.
  static std::unique_ptr<DiskMessageIdStore> open(const std::string& path, uint64_t lifetimeSeconds,
                                                  std::string& error, Clock clock = nullptr);
  // Writes what is queued, then closes without flushing the memtables: the
  // next open replays the log, so stopping costs the same however many
  // mappings live.
  ~DiskMessageIdStore() override;

  void put(uint64_t target, std::string_view messageId, std::string_view owner) override;
  std::optional<std::string> take(uint64_t target, std::string_view messageId) override;
  size_t size() const override;
  // False when a write failed meanwhile (the batch is kept and retried).
  bool sync() override;

  DiskMessageIdStore(std::unique_ptr<rocksdb::DB> db, uint64_t lifetimeSeconds, Clock clock);

private:
  // The latest change of one key not yet on disk: a value to put, or
  // nothing for a delete. One slot per key keeps a batch's order harmless.
  using Slots = std::unordered_map<std::string, std::optional<std::string>>;

  // Nodes kept for reuse at most: a few batches' worth at line rate.
  static constexpr size_t kSpareNodes = 1 << 14;

  void commitLoop();
  // Adds to `batch` a delete of each of `keys` that may be on disk.
  void addStoredDeletes(const std::vector<const std::string*>& keys, rocksdb::WriteBatch& batch);
  void queueLocked(Slots::node_type node);             // mutex_ held
  void queueDeleteLocked(const std::string& key);      // mutex_ held
  void reportFailureLocked(const std::string& reason); // mutex_ held

  const std::unique_ptr<rocksdb::DB> db_; // the open database
  const uint64_t lifetimeMicros_;         // age after which a mapping is ignored, µs
  const Clock clock_;                     // source of "now"; by default the loop pass's reading

  std::mutex mutex_;                         // guards everything below
  std::condition_variable wake_;             // wakes the committer
  std::condition_variable committed_;        // tells sync() a batch ended
  Slots queued_;                             // changes for the next batch
  Slots writing_;                            // the batch being written; only read meanwhile
  std::vector<Slots::node_type> spareNodes_; // written entries' nodes for the next puts
  bool busy_ = false;                        // writing_ is being written
  int syncRequests_ = 0;                     // sync() calls waiting: no hold
  uint64_t failures_ = 0;                    // batches that failed to write
  std::chrono::steady_clock::time_point lastReport_{}; // last failure logged
  bool stop_ = false;                                  // the committer ends once idle
  std::atomic<int64_t> size_{0};                       // live mappings, estimated
  std::thread committer_;                              // commitLoop
};

} // namespace quorvex
