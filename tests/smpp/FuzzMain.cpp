// libFuzzer entry: arbitrary bytes to the decoders and the framing reader.
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvex::smpp::test::fuzzOneInput(data, size);
  return 0;
}
