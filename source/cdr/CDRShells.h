// Allocations of open call-detail records, reused across threads.
//
// A record is opened by the thread that sends submits and completed by the
// one that reads responses. Allocated by one and freed by the other, every
// record would make both threads queue on the allocator's arena lock; instead
// the completing thread hands emptied records back in batches and the
// opening thread takes them in batches, one short lock per batch each.
#pragma once

#include "cdr/CDRRecord.h"

namespace quorvex {

// A record with every field at its default, reused when one is spare.
OpenCDR takeCDRShell();
// Gives back a record whose contents were moved out; null is ignored.
void returnCDRShell(OpenCDR shell);

} // namespace quorvex
