#include <gtest/gtest.h>

#include "loadgen/LoadOptions.h"

namespace quorvex::tools::test {
namespace {

// The error parseLoadOptions() refuses `words` with.
std::string errorOf(std::vector<const char*> words) {
  words.insert(words.begin(), "loadgen");
  LoadOptions options;
  std::string error;
  const int argc = static_cast<int>(words.size());
  EXPECT_FALSE(parseLoadOptions(argc, const_cast<char**>(words.data()), options, error));
  return error;
}

TEST(LoadOptionsTest, WithoutCountOrDurationARunStillEnds) {
  LoadOptions options;
  std::string error;
  char* argv[] = {const_cast<char*>("loadgen")};
  ASSERT_TRUE(parseLoadOptions(1, argv, options, error)) << error;
  EXPECT_GT(options.count, 0u);
}

// The values themselves are checked by the process tests that run the load
// generator with them.
TEST(LoadOptionsTest, BadArgumentsAreNamed) {
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
    EXPECT_EQ(errorOf(words), message);
  }
}

} // namespace
} // namespace quorvex::tools::test
