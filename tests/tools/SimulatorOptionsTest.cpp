#include <gtest/gtest.h>

#include "smsc_sim/SimulatorOptions.h"

namespace quorvex::tools::test {
namespace {

// "ok" when `words` parse into `options`, else the error they get.
std::string parse(std::vector<const char*> words, SimulatorOptions& options) {
  words.insert(words.begin(), "sim");
  std::string error;
  const int argc = static_cast<int>(words.size());
  return parseSimulatorOptions(argc, const_cast<char**>(words.data()), options, error) ? "ok"
                                                                                       : error;
}

TEST(SimulatorOptionsTest, Values) {
  SimulatorOptions options;
  ASSERT_EQ(parse({"--port=0", "--id-form", "dec", "--fail", "999=0x58", "--receipts", "both",
                   "--drop-after", "5"},
                  options),
            "ok");
  // The receipts' id form follows --id-form.
  EXPECT_EQ(std::tuple(options.port, options.idForm, options.receiptIdForm, options.failures,
                       options.receipts, options.dropAfter),
            std::tuple(0, IdForm::kDecimal, IdForm::kDecimal,
                       std::map<std::string, uint32_t>{{"999", 0x58}}, ReceiptForm::kBoth, 5u));
}

TEST(SimulatorOptionsTest, BadArgumentsAreNamed) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
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
    EXPECT_EQ(parse(words, options), message);
  }
}

} // namespace
} // namespace quorvex::tools::test
