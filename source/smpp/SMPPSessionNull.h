// The placeholder session of the server template: reads nothing, never asks
// to be closed by its checks.
#pragma once

#include "smpp/SMPPSession.h"

namespace quorvex::smpp {

class SMPPSessionNull : public SMPPSession {
public:
  using SMPPSession::SMPPSession;

  bool run() override { return false; }
  bool periodicCheck(uint64_t, bool&) override { return false; }
};

} // namespace quorvex::smpp
