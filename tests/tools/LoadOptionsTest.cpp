#include <gtest/gtest.h>

#include "loadgen/LoadOptions.h"

namespace quorvex::tools::test {
namespace {

// "ok" when `words` parse, else the error they get.
std::string parse(std::vector<const char*> words, LoadOptions& options) {
  words.insert(words.begin(), "loadgen");
  std::string error;
  const int argc = static_cast<int>(words.size());
  return parseLoadOptions(argc, const_cast<char**>(words.data()), options, error) ? "ok" : error;
}

// The values themselves are checked by the process tests that run the load
// generator with them.
TEST(LoadOptionsTest, DefaultsEndARunAndBadArgumentsAreNamed) {
  LoadOptions defaults;
  ASSERT_EQ(parse({}, defaults), "ok");
  EXPECT_GT(defaults.count, 0u); // without --count or --duration a run still ends
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
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
    EXPECT_EQ(parse(words, options), message);
  }
}

} // namespace
} // namespace quorvex::tools::test
