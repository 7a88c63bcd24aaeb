// libFuzzer entry: arbitrary bytes to the decoders and the framing reader.
#include "FuzzInput.h"
#include "app/Log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Each input ends its session with an INFO line; writing it would be most
  // of the work.
  quorvex::setLogLevel(quorvex::LOG_SEVERE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvex::smpp::test::fuzzOneInput(data, size);
  return 0;
}
