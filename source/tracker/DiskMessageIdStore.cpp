#include "tracker/DiskMessageIdStore.h"

#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/table.h>
#include <rocksdb/utilities/db_ttl.h>
#include <rocksdb/write_batch.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "app/Log.h"

namespace quorvex {
namespace {

const char* const kClass = "DiskMessageIdStore";

constexpr uint64_t kMicrosPerSecond = 1000000;

// How long a batch gathers before it is written: well inside the second
// after which a mapping must survive a crash, and long enough that a
// receipt arriving this soon spares the disk both the put and the delete.
// Short enough that a batch stays small at line rate (about 10,000 entries
// at 200,000 messages a second): the traffic threads' inserts and look-ups
// then stay in cache, which made a 200 ms hold cost 0.7 µs per message more.
constexpr std::chrono::milliseconds kHold{50};

// A value is the time the mapping was made (µs, 8 octets little-endian)
// followed by the owner's system id.
void encodeValue(std::string& value, uint64_t madeMicros, std::string_view owner) {
  value.resize(8);
  for (int i = 0; i < 8; ++i) {
    value[static_cast<size_t>(i)] = static_cast<char>(madeMicros >> (8 * i));
  }
  value.append(owner);
}

uint64_t madeMicrosOf(const std::string& value) {
  uint64_t made = 0;
  for (int i = 0; i < 8 && static_cast<size_t>(i) < value.size(); ++i) {
    made |= static_cast<uint64_t>(static_cast<unsigned char>(value[static_cast<size_t>(i)]))
            << (8 * i);
  }
  return made;
}

rocksdb::Options storeOptions() {
  rocksdb::Options options;
  options.create_if_missing = true;
  // Memory: two 16 MiB memtables, a 32 MiB block cache, and the index and
  // filter blocks of the table files held open (about 2 bytes per mapping),
  // so that a look-up reads at most one data block from the disk.
  options.write_buffer_size = 16 << 20;
  options.max_write_buffer_number = 2;
  // A whole-key filter on each memtable (about 330 KiB): most deletes are of
  // mappings taken before they were written, and the filter rules those out
  // without a search of the memtable.
  options.memtable_prefix_bloom_size_ratio = 0.02;
  options.memtable_whole_key_filtering = true;
  options.max_total_wal_size = 64 << 20;
  options.avoid_flush_during_shutdown = true;
  options.max_background_jobs = 2;
  options.keep_log_file_num = 2;
  options.max_log_file_size = 1 << 20;
  rocksdb::BlockBasedTableOptions table;
  table.block_cache = rocksdb::NewLRUCache(32 << 20);
  // Most look-ups of a decimal receipt id first miss its exact form.
  table.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
  options.table_factory.reset(rocksdb::NewBlockBasedTableFactory(table));
  return options;
}

} // namespace

std::unique_ptr<DiskMessageIdStore> DiskMessageIdStore::open(const std::string& path,
                                                             uint64_t lifetimeSeconds,
                                                             std::string& error, Clock clock) {
  lifetimeSeconds = std::clamp<uint64_t>(lifetimeSeconds, 1, INT32_MAX);
  rocksdb::Options options = storeOptions();
  // Files older than the lifetime are compacted, so expired entries leave the disk.
  options.periodic_compaction_seconds = lifetimeSeconds;
  rocksdb::DBWithTTL* db = nullptr;
  const rocksdb::Status status =
      rocksdb::DBWithTTL::Open(options, path, &db, static_cast<int32_t>(lifetimeSeconds));
  if (!status.ok()) {
    error = status.ToString();
    return nullptr;
  }
  return std::make_unique<DiskMessageIdStore>(std::unique_ptr<rocksdb::DB>(db), lifetimeSeconds,
                                              clock);
}

DiskMessageIdStore::DiskMessageIdStore(std::unique_ptr<rocksdb::DB> db, uint64_t lifetimeSeconds,
                                       Clock clock)
    : db_(std::move(db)), lifetimeMicros_(lifetimeSeconds * kMicrosPerSecond),
      clock_(clock != nullptr ? clock : &passNowMicros) {
  uint64_t keys = 0;
  if (db_->GetIntProperty("rocksdb.estimate-num-keys", &keys)) {
    size_.store(static_cast<int64_t>(keys));
  }
  committer_ = std::thread(&DiskMessageIdStore::commitLoop, this);
}

DiskMessageIdStore::~DiskMessageIdStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  committer_.join();
  db_->Close();
}

void DiskMessageIdStore::put(uint64_t target, std::string_view messageId, std::string_view owner) {
  const uint64_t now = clock_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Slots::node_type node;
    if (!spareNodes_.empty()) {
      node = std::move(spareNodes_.back());
      spareNodes_.pop_back();
    } else {
      // Only until the first batch was written: from then on the written
      // batch's nodes come back here.
      Slots one;
      node = one.extract(one.emplace(std::string(), std::string()).first);
    }
    storeKey(node.key(), target, messageId);
    if (!node.mapped()) {
      node.mapped().emplace();
    }
    encodeValue(*node.mapped(), now, owner);
    queueLocked(std::move(node));
  }
  size_.fetch_add(1, std::memory_order_relaxed);
}

void DiskMessageIdStore::queueLocked(Slots::node_type node) {
  // Only the first change of a batch wakes the committer; the rest ride along.
  if (queued_.empty()) {
    wake_.notify_one();
  }
  auto placed = queued_.insert(std::move(node));
  if (!placed.inserted) {
    placed.position->second = std::move(placed.node.mapped());
    spareNodes_.push_back(std::move(placed.node));
  }
}

void DiskMessageIdStore::queueDeleteLocked(const std::string& key) {
  Slots::node_type node;
  if (!spareNodes_.empty()) {
    node = std::move(spareNodes_.back());
    spareNodes_.pop_back();
    node.key() = key;
    node.mapped().reset();
  } else {
    Slots one;
    node = one.extract(one.emplace(key, std::nullopt).first);
  }
  queueLocked(std::move(node));
}

std::optional<std::string> DiskMessageIdStore::take(uint64_t target, std::string_view messageId) {
  // Built in a reused buffer: most takes find their key queued and need no
  // copy of it.
  thread_local std::string key;
  storeKey(key, target, messageId);
  std::optional<std::string> value;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto queued = queued_.find(key);
    if (queued != queued_.end()) {
      // Put or taken since the last batch. A put taken within the hold is
      // never written; the delete that replaces it removes any older
      // mapping of the same id from the disk.
      value = std::move(queued->second);
      queued->second.reset();
      if (!value) {
        return std::nullopt;
      }
    } else if (auto written = writing_.find(key); written != writing_.end()) {
      // In the batch being written (read, not changed, while the committer
      // reads it too): the delete follows in the next batch.
      if (!written->second) {
        return std::nullopt;
      }
      value = written->second;
      queueDeleteLocked(key);
    }
  }
  if (!value) {
    // Usually served from the memtable or block cache. The upstream thread
    // is the only taker, so nothing takes the same key meanwhile.
    std::string stored;
    if (!db_->Get(rocksdb::ReadOptions(), key, &stored).ok()) {
      return std::nullopt;
    }
    value = std::move(stored);
    std::lock_guard<std::mutex> lock(mutex_);
    queueDeleteLocked(key);
  }
  if (size_.fetch_sub(1, std::memory_order_relaxed) <= 0) {
    size_.store(0, std::memory_order_relaxed);
  }
  const uint64_t now = clock_();
  const uint64_t made = madeMicrosOf(*value);
  if (value->size() < 8 || (now > made && now - made > lifetimeMicros_)) {
    return std::nullopt;
  }
  return value->substr(8);
}

size_t DiskMessageIdStore::size() const {
  return static_cast<size_t>(std::max<int64_t>(0, size_.load(std::memory_order_relaxed)));
}

bool DiskMessageIdStore::sync() {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t failuresBefore = failures_;
  ++syncRequests_;
  wake_.notify_one();
  committed_.wait(lock, [&] { return (queued_.empty() && !busy_) || failures_ != failuresBefore; });
  --syncRequests_;
  return failures_ == failuresBefore;
}

void DiskMessageIdStore::reportFailureLocked(const std::string& reason) {
  ++failures_;
  // A full or failing disk fails every batch: one line a minute says so.
  const auto now = std::chrono::steady_clock::now();
  if (failures_ == 1 || now - lastReport_ >= std::chrono::minutes(1)) {
    lastReport_ = now;
    logApplication(LOG_SEVERE, this, kClass, "commitLoop",
                   "Message-id store write failed (%llu batches so far, kept for retry): %s",
                   static_cast<unsigned long long>(failures_), reason.c_str());
  }
}

void DiskMessageIdStore::addStoredDeletes(const std::vector<const std::string*>& keys,
                                          rocksdb::WriteBatch& batch) {
  // Most deletes are of mappings taken within the hold, never written: the
  // in-memory filters spare the disk their tombstones. Probed in groups, so
  // the database's per-read set-up is paid once per group, not per key; a
  // key whose block is not in memory counts as stored.
  constexpr size_t kGroup = 256;
  rocksdb::ReadOptions inMemory;
  inMemory.read_tier = rocksdb::kBlockCacheTier;
  rocksdb::Slice group[kGroup];
  rocksdb::PinnableSlice values[kGroup];
  rocksdb::Status statuses[kGroup];
  for (size_t first = 0; first < keys.size(); first += kGroup) {
    const size_t count = std::min(kGroup, keys.size() - first);
    for (size_t i = 0; i < count; ++i) {
      group[i] = *keys[first + i];
    }
    db_->MultiGet(inMemory, db_->DefaultColumnFamily(), count, group, values, statuses);
    for (size_t i = 0; i < count; ++i) {
      if (!statuses[i].IsNotFound()) {
        batch.Delete(group[i]);
      }
      values[i].Reset();
    }
  }
}

void DiskMessageIdStore::commitLoop() {
  // The write-ahead log reaches the kernel at every batch; syncing it to the
  // platter is left to the kernel, so a killed process loses nothing written.
  rocksdb::WriteOptions options;
  options.sync = false;
  std::vector<const std::string*> deletes; // keys of writing_ to be deleted
  Slots written;                           // the last batch written, emptied outside the lock
  std::vector<Slots::node_type> returning; // its nodes on their way to spareNodes_
  std::unique_lock<std::mutex> lock(mutex_);
  const auto hurried = [this] { return stop_ || syncRequests_ > 0; };
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queued_.empty(); });
    if (queued_.empty()) {
      return; // stopping, and nothing left
    }
    // The first change of a batch waits out the hold; whatever the receipts
    // consume meanwhile is never written at all.
    wake_.wait_until(lock, std::chrono::steady_clock::now() + kHold, hurried);
    writing_.swap(queued_);
    busy_ = true;
    lock.unlock();
    // writing_ stays unchanged until the lock is taken again: take() only
    // reads it, so the batch is built without holding up the traffic.
    rocksdb::WriteBatch batch;
    deletes.clear();
    for (const auto& [key, value] : writing_) {
      if (value) {
        batch.Put(key, *value);
      } else {
        deletes.push_back(&key);
      }
    }
    addStoredDeletes(deletes, batch);
    const rocksdb::Status status = db_->Write(options, &batch);
    lock.lock();
    busy_ = false;
    if (status.ok()) {
      // The written entries' nodes (up to kSpareNodes) go back to put(), so
      // a steady stream of mappings allocates nothing and its nodes are not
      // freed on this thread. They are taken apart outside the lock: a batch
      // of ten thousand entries would hold up the traffic thread's puts and
      // takes for a millisecond.
      written.swap(writing_);
      lock.unlock();
      while (!written.empty() && returning.size() < kSpareNodes) {
        returning.push_back(written.extract(written.begin()));
      }
      written.clear();
      lock.lock();
      const size_t room = kSpareNodes - std::min(kSpareNodes, spareNodes_.size());
      for (size_t i = 0; i < returning.size() && i < room; ++i) {
        spareNodes_.push_back(std::move(returning[i]));
      }
      lock.unlock();
      returning.clear(); // frees the nodes there was no room for
      lock.lock();
    } else {
      reportFailureLocked(status.ToString());
      // Kept for the next batch, under anything changed meanwhile; given
      // up only when stopping.
      for (auto& [key, value] : writing_) {
        queued_.try_emplace(key, std::move(value));
      }
      writing_.clear();
      if (stop_) {
        queued_.clear();
      }
    }
    committed_.notify_all();
  }
}

} // namespace quorvex
