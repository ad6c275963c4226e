#pragma once

// One run of varnel-monitor, from the connect to the summary.

#include "monitor/Options.hpp"

namespace monitor {

/// Connects to the board, shows (and records, and captures) what arrives
/// until the run ends, disconnects and prints the summary. Returns the exit
/// status; failures are reported on standard error.
int runMonitor(const Options& options);

}  // namespace monitor
