// SIGINT and SIGTERM end a tool's loop gracefully (counts are still
// printed); SIGPIPE is ignored so a vanished peer shows up as EPIPE.
#pragma once

namespace quorvex::tools {

void installStopSignals();
// True once SIGINT or SIGTERM arrived.
bool stopSignalled();

} // namespace quorvex::tools
