// The load generator's pieces: options, percentiles, receipt reading, the
// result line.
#include <gtest/gtest.h>

#include "loadgen/DeliverReader.h"
#include "loadgen/LatencyRecorder.h"
#include "loadgen/LoadOptions.h"
#include "loadgen/LoadResult.h"
#include "smpp/SubmitSMRecord.h"
#include "smsc_sim/DeliverBodies.h"

namespace quorvex::tools::test {
namespace {

bool parse(std::vector<std::string> words, LoadOptions& options, std::string& error) {
  std::vector<char*> argv{const_cast<char*>("loadgen")};
  for (auto& w : words) {
    argv.push_back(w.data());
  }
  return parseLoadOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(LoadOptionsTest, CountByDefaultDurationOnRequest) {
  LoadOptions options;
  std::string error;
  ASSERT_TRUE(parse({}, options, error));
  EXPECT_EQ(options.count, 1000u);
  LoadOptions timed;
  ASSERT_TRUE(parse({"--duration", "2.5", "--rate=100", "--bind", "tx"}, timed, error)) << error;
  EXPECT_EQ(timed.count, 0u);
  EXPECT_DOUBLE_EQ(timed.durationSeconds, 2.5);
  EXPECT_DOUBLE_EQ(timed.rate, 100);
  EXPECT_FALSE(timed.transceiver);
}

TEST(LoadOptionsTest, BadArgumentsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--count", "5", "--duration", "1"}, "--count and --duration exclude each other"},
      {{"--bind", "rx"}, "option --bind: expected tx or trx, got 'rx'"},
      {{"--receipts", "--bind", "tx"},
       "--receipts needs --bind trx (a transmitter receives no deliver_sm)"},
      {{"--rate", "-3"}, "option --rate: '-3' is not a non-negative number"},
      {{"--duration", "0"}, "option --duration: must be above 0"},
      {{"--system-id", "abcdefghijklmnopq"}, "option --system-id: at most 15 characters"},
      {{"--sessions"}, "option --sessions needs a value"},
      {{"-x"}, "unknown argument '-x' (see --help)"},
  };
  for (const auto& [words, message] : cases) {
    LoadOptions options;
    std::string error;
    EXPECT_FALSE(parse(words, options, error));
    EXPECT_EQ(error, message);
  }
}

TEST(LatencyRecorderTest, NearestRankPercentilesLargeValuesWithinTwoPerMille) {
  LatencyRecorder recorder;
  EXPECT_EQ(recorder.percentile(50), 0u);
  for (uint64_t v = 1000; v >= 1; --v) {
    recorder.record(v);
  }
  EXPECT_EQ(recorder.percentile(50), 500u);
  EXPECT_EQ(recorder.percentile(90), 900u);
  EXPECT_EQ(recorder.percentile(99.9), 999u);
  EXPECT_EQ(recorder.max(), 1000u);

  // Large values within two per mille.
  recorder = LatencyRecorder();
  for (uint64_t v : {1024u, 5000u, 123456u, 9876543u}) {
    recorder.record(v);
  }
  EXPECT_EQ(recorder.percentile(25), 1024u);
  EXPECT_NEAR(static_cast<double>(recorder.percentile(50)), 5000, 5000 * 0.002);
  EXPECT_NEAR(static_cast<double>(recorder.percentile(75)), 123456, 123456 * 0.002);
  EXPECT_LE(recorder.percentile(75), 123456u);
  EXPECT_EQ(recorder.max(), 9876543u);
  EXPECT_EQ(recorder.percentile(100), 9876543u);
}

TEST(DeliverReaderTest, ReceiptIdFromTextOrTlvInEitherSpelling) {
  smpp::SubmitSMRecord submit;
  submit.source_addr = "1";
  submit.destination_addr = "2";
  for (ReceiptForm form : {ReceiptForm::kText, ReceiptForm::kTlv, ReceiptForm::kBoth}) {
    const auto body = buildReceiptBody(submit, "3b9aca00", 2, 0, form);
    DeliverSummary summary;
    ASSERT_TRUE(readDeliver(body.data(), body.size(), summary));
    EXPECT_TRUE(summary.receipt);
    EXPECT_EQ(summary.messageId, "3b9aca00");
  }
  std::vector<uint8_t> mo;
  ASSERT_TRUE(buildMOBody("1", "2", {'h', 'i'}, 0, mo));
  DeliverSummary summary;
  ASSERT_TRUE(readDeliver(mo.data(), mo.size(), summary));
  EXPECT_FALSE(summary.receipt);
  EXPECT_FALSE(readDeliver(mo.data(), 5, summary));
  // The other spelling of an id.
  EXPECT_EQ(hexFromDecimal("6699"), "1a2b");
  EXPECT_EQ(hexFromDecimal("1a2b"), "");
  EXPECT_EQ(decimalFromHex("1a2b"), "6699");
  EXPECT_EQ(decimalFromHex("xyz"), "");
}

} // namespace
} // namespace quorvex::tools::test
