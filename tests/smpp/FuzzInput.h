// One fuzz input through the decoders and a server session's reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::smpp::test {

void fuzzOneInput(const uint8_t* data, size_t size);

} // namespace quorvex::smpp::test
