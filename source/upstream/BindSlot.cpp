#include "upstream/BindSlot.h"

namespace quorvex {

const char* bindTypeWord(int bindType) {
  switch (bindType) {
  case kBindRX:
    return "BindRX";
  case kBindTX:
    return "BindTX";
  case kBindTRX:
    return "BindTRX";
  default:
    return "";
  }
}

} // namespace quorvex
