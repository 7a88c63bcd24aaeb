// The entry point's logic: the command line, start-up and shutdown order.
#pragma once

namespace quorvex {

// Runs the process in the role its first argument selects; returns the exit
// status (0 on every path).
int runApplication(int argc, char** argv);

} // namespace quorvex
