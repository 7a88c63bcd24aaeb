// The simulator's pieces without a process: options, texts and bodies.
#include <gtest/gtest.h>

#include "smsc_sim/DeliverBodies.h"
#include "smsc_sim/LineReader.h"
#include "smsc_sim/SimulatorOptions.h"

namespace quorvex::tools::test {
namespace {

bool parse(std::vector<std::string> words, SimulatorOptions& options, std::string& error) {
  std::vector<char*> argv{const_cast<char*>("sim")};
  for (auto& w : words) {
    argv.push_back(w.data());
  }
  return parseSimulatorOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(SimulatorOptionsTest, DefaultsAndValues) {
  SimulatorOptions options;
  std::string error;
  ASSERT_TRUE(parse({"--port=0", "--id-form", "dec", "--fail", "999=0x58", "--receipts", "both",
                     "--drop-after", "5"},
                    options, error))
      << error;
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.idForm, IdForm::kDecimal);
  EXPECT_EQ(options.receiptIdForm, IdForm::kDecimal); // follows --id-form
  EXPECT_EQ(options.failures.at("999"), 0x58u);
  EXPECT_EQ(options.receipts, ReceiptForm::kBoth);
  EXPECT_EQ(options.dropAfter, 5u);
}

TEST(SimulatorOptionsTest, BadArgumentsAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--port", "70000"}, "option --port: '70000' is not a number from 0 to 65535"},
      {{"--port"}, "option --port needs a value"},
      {{"--id-form", "oct"}, "option --id-form: expected hex or dec, got 'oct'"},
      {{"--fail", "999"}, "option --fail: expected DEST=STATUS with a non-zero status, got '999'"},
      {{"--fail", "999=0"},
       "option --fail: expected DEST=STATUS with a non-zero status, got '999=0'"},
      {{"--receipts", "sms"}, "option --receipts: expected none, text, tlv or both, got 'sms'"},
      {{"--receipt-state", "9"}, "option --receipt-state: '9' is not a number from 0 to 8"},
      {{"--bogus"}, "unknown argument '--bogus' (see --help)"},
      {{"--receipt-before-response", "--receipt-delay-ms", "5"},
       "--receipt-before-response and --receipt-delay-ms exclude each other"},
  };
  for (const auto& [words, message] : cases) {
    SimulatorOptions options;
    std::string error;
    EXPECT_FALSE(parse(words, options, error));
    EXPECT_EQ(error, message);
  }
}

TEST(SimulatorTexts, Utf8ToUcs2AndMOLimits) {
  std::vector<uint8_t> out;
  ASSERT_TRUE(utf8ToUcs2("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", out));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 'A', 0, 0xe9, 0x20, 0xac, 0xd8, 0x3d, 0xde, 0x00}));
  EXPECT_FALSE(utf8ToUcs2("\xc3", out));         // cut short
  EXPECT_FALSE(utf8ToUcs2("\xff", out));         // no such lead octet
  EXPECT_FALSE(utf8ToUcs2("\xe2\x28\xa1", out)); // bad continuation

  std::vector<uint8_t> body;
  EXPECT_TRUE(buildMOBody("1", "2", std::vector<uint8_t>(254, 'x'), 0, body));
  EXPECT_FALSE(buildMOBody("1", "2", std::vector<uint8_t>(255, 'x'), 0, body));
  EXPECT_FALSE(buildMOBody(std::string(21, '1'), "2", {}, 0, body));
}

} // namespace
} // namespace quorvex::tools::test
