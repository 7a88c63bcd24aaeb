// A short run of the fuzz input in the ordinary suite: random and mutated
// PDU streams must neither crash nor trip the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "FuzzInput.h"
#include "PduBuilder.h"

namespace quorvex::smpp::test {
namespace {

TEST(FuzzSmokeTest, RandomAndMutatedStreams) {
  std::mt19937 random(12345);
  std::vector<uint8_t> seed = submitBody().tlv(0x020E, {3}).frame(0x00000004, 1);
  const std::vector<uint8_t> bindPDU =
      PduBuilder().cstr("a").cstr("b").cstr("").octet(0x34).octet(0).octet(0).cstr("").frame(2, 1);
  seed.insert(seed.begin(), bindPDU.begin(), bindPDU.end());
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> input = seed;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int f = 0; f < flips; ++f) {
      input[random() % input.size()] = static_cast<uint8_t>(random());
    }
    input.resize(random() % (input.size() + 1));
    fuzzOneInput(input.data(), input.size());
  }
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> input(random() % 300);
    std::generate(input.begin(), input.end(), [&] { return static_cast<uint8_t>(random()); });
    fuzzOneInput(input.data(), input.size());
  }
}

} // namespace
} // namespace quorvex::smpp::test
