#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cdr/SMPPCDRManager.h"
#include "support/TestProcess.h"

namespace quorvex {
namespace {

using namespace std::chrono_literals;

std::atomic<int64_t> fakeNanos{0}; // ns returned by the test clock

constexpr int64_t kSecond = 1000000000LL;
constexpr uint64_t kBind0 = 0x29ef074100; // bind 0 of one target
constexpr uint64_t kBind1 = 0x29ef074101; // bind 1 of the same target

class SMPPCDRManagerTest : public ::testing::Test {
protected:
  SMPPCDRManagerTest() {
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
    fakeNanos = 1700000000LL * kSecond;
    manager_.setClock([] { return fakeNanos.load(); });
  }

  void start(CDRMode mode, size_t batchSize = 1000, int64_t flushSeconds = 3600,
             int64_t cleanupHours = 24) {
    manager_.initialize("cdrs.csv", {batchSize, flushSeconds, cleanupHours});
    manager_.setMode(mode);
  }

  // Opens a record; the test holds it as the outstanding submit would.
  void submit(uint64_t smscId, uint64_t seqNo) {
    const CDRSubmit s{.sourceAddr = "111", .destAddr = "222", .messageLength = 5, .concat = {}};
    open_[{smscId, seqNo}] =
        manager_.queueSubmitEvent(s, "esme", "10.0.0.1", "smscA", smscId, seqNo);
  }
  void answer(uint64_t smscId, uint64_t seqNo, const std::string& id, bool await = true) {
    manager_.updateCDRWithMessageID(smscId, seqNo, std::move(open_[{smscId, seqNo}]), id, await);
  }
  void fail(uint64_t smscId, uint64_t seqNo, uint32_t status) {
    manager_.updateCDRWithSubmitFail(smscId, seqNo, std::move(open_[{smscId, seqNo}]), status);
  }

  // Open records (in flight or waiting for a receipt) and indexed message ids.
  std::tuple<size_t, size_t> counts() { return {manager_.pendingCount(), manager_.indexCount()}; }
  size_t lineCount() { return test::occurrences(dir_.read("cdrs.csv"), "\n"); }
  // One refused submit recorded by a second manager writing to `path`: its
  // flush thread, not its shutdown, hands the partial batch over.
  static void flushOneByAnotherManager(const std::string& path) {
    SMPPCDRManager other;
    other.initialize(path, {1000, 1, 24});
    other.setMode(CDRMode::CORRELATE);
    other.updateCDRWithSubmitFail(
        kBind0, 1, other.queueSubmitEvent(CDRSubmit{}, "e", "ip", "t", kBind0, 1), 8);
    EXPECT_TRUE(other.waitForBatchesWritten(1, 30s));
    other.shutdown();
  }

  test::TempDir dir_;
  SMPPCDRManager manager_;
  std::map<std::pair<uint64_t, uint64_t>, OpenCDR> open_; // opened; null once answered
  // Columns most rows share: the submit time, and everything from esmeId on.
  const std::string t0_ = "1700000000,2023-11-14T22:13:20Z";
  const std::string tail_ = ",esme,10.0.0.1,180103889152,smscA,5,0,0,0,0,0,0,0\n";
};

TEST_F(SMPPCDRManagerTest, OperationWritesSubmitRowThenReceiptRow) {
  start(CDRMode::OPERATION);
  submit(kBind0, 1);
  EXPECT_EQ(manager_.pendingCount(), 1u); // waiting for its response
  fakeNanos += kSecond;
  answer(kBind0, 1, "abc");
  EXPECT_EQ(counts(), std::tuple(0u, 1u));
  fakeNanos += kSecond;
  // The receipt comes back over another bind of the same target.
  manager_.updateCDRWithDeliveryReceipt(kBind1, "smscA", "abc", 2, 0, "2311142213");
  EXPECT_EQ(manager_.indexCount(), 0u);
  manager_.shutdown();
  EXPECT_EQ(dir_.read("cdrs.csv"),
            cdrCsvHeader() + "\nabc,111,222," + t0_ + ",1700000001,2023-11-14T22:13:21Z,,,,0,,,," +
                tail_ + // the receipt row
                "abc,,,,,,,1700000002,2023-11-14T22:13:22Z,2311142213,,1700000002,"
                "2023-11-14T22:13:22Z,2,0,,,180103889153,smscA,,,,,,,,\n");
}

TEST_F(SMPPCDRManagerTest, CorrelateWritesOneRowPerFinishedMessage) {
  start(CDRMode::CORRELATE);
  submit(kBind0, 1); // answered and receipted
  submit(kBind0, 2); // refused by the SMSC
  submit(kBind0, 3); // never receipted
  submit(kBind0, 4); // receipted with its hexadecimal id in decimal
  submit(kBind0, 5); // asked for no receipt: complete with its response
  answer(kBind0, 1, "abc");
  answer(kBind0, 3, "def");
  answer(kBind0, 4, "1a2b");
  fail(kBind0, 2, 0x45);
  fail(kBind0, 99, 0x45); // unknown: ignored
  manager_.updateCDRWithDeliveryReceipt(kBind1, "smscA", "abc", 2, 7, "2311142213");
  manager_.updateCDRWithDeliveryReceipt(kBind1, "smscA", "abc", 2, 7, "2311142213");
  manager_.updateCDRWithDeliveryReceipt(kBind1, "smscA", "6699", 2, 0, "2311142213");
  answer(kBind0, 5, "no-receipt", false);
  EXPECT_EQ(counts(), std::tuple(1u, 1u));
  manager_.shutdown();
  const std::string receipted = t0_ + "," + t0_ + ",2311142213,0," + t0_ + ",2,";
  const std::string unset = "0,1970-01-01T00:00:00Z";
  EXPECT_EQ(dir_.read("cdrs.csv"),
            cdrCsvHeader() + "\n,111,222," + t0_ + ",,,,,,69,,,," + tail_ + // refused
                "abc,111,222," + t0_ + "," + receipted + "7" + tail_ +      //
                "1a2b,111,222," + t0_ + "," + receipted + "0" + tail_ +     //
                "no-receipt,111,222," + t0_ + "," + t0_ + "," + unset + ",,0," + unset + ",0,0" +
                tail_);
}

TEST_F(SMPPCDRManagerTest, FullBatchIsHandedOverAtOnceUnderOneHeader) {
  dir_.write("cdrs.csv", ""); // an empty file gets the header too
  start(CDRMode::OPERATION, 3);
  std::string expected = cdrCsvHeader() + "\n";
  for (uint64_t seq = 1; seq <= 4; ++seq) {
    EXPECT_EQ(manager_.queuedCount(), (seq - 1) % 3);
    submit(kBind0, seq);
    answer(kBind0, seq, "id" + std::to_string(seq));
    expected += "id" + std::to_string(seq) + ",111,222," + t0_ + "," + t0_ + ",,,,0,,,," + tail_;
  }
  ASSERT_TRUE(manager_.waitForBatchesWritten(1, 10s));
  EXPECT_EQ(lineCount(), 4u); // the fourth row waits for the next batch
  manager_.shutdown();
  EXPECT_EQ(dir_.read("cdrs.csv"), expected);

  dir_.write("cdrs.csv", "existing\n");
  flushOneByAnotherManager("cdrs.csv");
  EXPECT_EQ(dir_.read("cdrs.csv").rfind("existing\n,,,", 0), 0u);
  EXPECT_EQ(lineCount(), 2u);
}

TEST_F(SMPPCDRManagerTest, ShutdownLosesNothingQueuedByManyThreads) {
  start(CDRMode::OPERATION, 7);
  std::vector<std::jthread> threads;
  for (uint64_t t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (uint64_t i = 0; i < 500; ++i) {
        const uint64_t smsc = kBind0 + t;
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        manager_.updateCDRWithMessageID(
            smsc, i, manager_.queueSubmitEvent(CDRSubmit{}, "e", "ip", "t", smsc, i), id);
        if (i % 2 == 0) {
          manager_.updateCDRWithDeliveryReceipt(smsc, "smscA", id, 2, 0, "d");
        }
      }
    });
  }
  threads.clear(); // joins them
  manager_.shutdown();
  EXPECT_EQ(lineCount(), 1u + 4 * 500 + 4 * 250);
}

TEST_F(SMPPCDRManagerTest, StaleAndEndedBindCleanupDropWithoutWriting) {
  start(CDRMode::CORRELATE);
  submit(kBind0, 1);
  answer(kBind0, 1, "waiting-for-receipt"); // an open record and its id
  manager_.setMode(CDRMode::OPERATION);
  submit(kBind0, 2);
  answer(kBind0, 2, "row-written"); // only the id waits
  fakeNanos += 24 * 3600 * kSecond;
  manager_.runStaleCleanup(); // exactly the age limit: kept
  EXPECT_EQ(counts(), std::tuple(1u, 2u));
  fakeNanos += 1;
  manager_.runStaleCleanup();
  EXPECT_EQ(counts(), std::tuple(0u, 0u));

  // An ended bind leaves the records waiting for receipts, which may
  // arrive on any bind of the target.
  manager_.setMode(CDRMode::CORRELATE);
  submit(kBind0, 3);
  answer(kBind0, 3, "x");
  manager_.cleanupPendingCDRsForSMSC(kBind0);
  EXPECT_EQ(counts(), std::tuple(1u, 1u));
  manager_.shutdown();
  EXPECT_EQ(lineCount(), 2u); // the row of the OPERATION response
}

TEST_F(SMPPCDRManagerTest, HugeConfiguredIntervalsMeanNeverRatherThanOverflow) {
  start(CDRMode::CORRELATE, 1000, INT64_MAX, INT64_MAX);
  submit(kBind0, 1);
  answer(kBind0, 1, "never-receipted");
  submit(kBind0, 2);
  fail(kBind0, 2, 8);
  fakeNanos += 1000LL * 24 * 3600 * kSecond;
  manager_.runStaleCleanup();
  EXPECT_EQ(manager_.pendingCount(), 1u);
  // The flush thread waits instead of handing over at once.
  EXPECT_FALSE(manager_.waitForBatchesWritten(1, 300ms));
  manager_.shutdown();
  EXPECT_EQ(lineCount(), 2u);
}

TEST_F(SMPPCDRManagerTest, NoneModeRecordsNothingAndUnwritableFileIsReported) {
  start(CDRMode::NONE, 1);
  submit(kBind0, 1);
  fail(kBind0, 1, 8);
  EXPECT_EQ(manager_.pendingCount(), 0u);
  manager_.shutdown(); // does nothing; the destructor stops the threads
  EXPECT_FALSE(dir_.exists("cdrs.csv"));
  flushOneByAnotherManager(dir_.path() + "/no-such-dir/cdrs.csv");
  EXPECT_NE(dir_.read("application.log").find("WARNING SMPPCDRManager::writeBatchToFile"),
            std::string::npos);
}

} // namespace
} // namespace quorvex
